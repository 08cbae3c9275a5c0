#pragma once

#include "sensortype.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <QVector>

// A downloaded file set against what the simulated sensor recorded (its truth file).
struct TruthRow {
    QString time; // yyyy-MM-dd hh:mm:ss
    QVector<double> values;
    int mask = 0; // the recorded channels (truth rows only)
};

// The sample rows of a downloaded .tsv (values as written); stop rows, whose first value is -1,
// are not samples.
QVector<TruthRow> tsvRows(const QString &path);
// Every row of a .tsv's text holds as many fields as the first one: a row cut short has fewer.
bool wholeRows(const QByteArray &text);

// What the sensor's memory holds by its truth file: what each page holds since it was last
// written from its start, in recording order, within [from, to] when `from` is valid. `pages`,
// when given, receives every page the truth names.
QVector<TruthRow> truthRows(const QString &path, const QDateTime &from = QDateTime(),
                            const QDateTime &to = QDateTime(), QSet<int> *pages = nullptr);

// A written row stands for a raw one when each value is the raw one scaled by its channel's
// coefficient, to the decimals written. The values are those of the recorded channels in channel
// order: a counter on channels 2 and 3 keeps their scale when channel 1 is not recorded.
bool writtenAs(const TruthRow &written, const TruthRow &raw, const SensorType &type);
