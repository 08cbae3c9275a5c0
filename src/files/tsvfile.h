#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>

// Reads back the .tsv data files the downloads write: a first line with the serial number,
// a second "Time" line with the channel titles, then one row per sample ("dd/MM/yy hh:mm:ss",
// then one field per title; empty fields are channels not recorded). Made for whole sensor
// memories: the text is scanned in place, numbers are parsed without building strings.
struct TsvData {
    QString serialNumber; // the first field of the first line
    QStringList titles;   // after "Time"
    // Seconds since 1970-01-01 00:00:00, the row's clock taken as written (no time zone).
    QVector<double> time;
    // One column per title, one value per row; NaN where a field is empty or not a number.
    QVector<QVector<double>> columns;
    int rejectedRows = 0; // rows without a readable time
    int stopRows = 0;     // the markers of a recording stop (not samples)
    bool sorted = true;   // times never go back
};

// The longest line a data file of ours can hold, with room to spare (64 channels' titles).
inline constexpr int MaxTsvLine = 4096;
// Parses the whole text; false with `error` set when it is not one of our data files.
bool parseTsv(const QByteArray &text, TsvData &data, QString *error);
// Reads and parses the file.
// A full memory of the largest sensor is a few tens of MB: anything past `largest` is refused
// before it is read.
inline constexpr qint64 LargestTsvFile = qint64(256) * 1024 * 1024;
bool readTsvFile(const QString &path, TsvData &data, QString *error,
                 qint64 largest = LargestTsvFile);

// "dd/MM/yy hh:mm:ss" (years 2000 to 2099) as seconds since the epoch; -1 when it is not one.
double tsvTime(const char *text, int length);

// The units of `titles` from the catalogue: those of the first type whose titles (the ones of
// two characters or more, in channel order) are `titles`. Empty strings when no type matches.
QStringList catalogueUnits(const QStringList &titles, const QString &iniPath);

// The newest data file of `serialNumber` in `folder` (by the time stamp in its name); empty
// when there is none.
QString latestDataFile(const QString &folder, uint32_t serialNumber);

// What a curve of `count` points, sorted by x, needs on a plot `columns` pixels wide showing
// x from `x0` to `x1`: per pixel column its first, lowest, highest and last points, in x order,
// plus one point on each side of the range so lines run to the edges. NaN values are left out
// (the plot draws no gaps).
void decimateMinMax(const double *x, const double *y, int count, double x0, double x1, int columns,
                    QVector<double> &outX, QVector<double> &outY);
