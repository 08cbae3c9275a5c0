#include "truthrows.h"

#include <QFile>
#include <QMap>
#include <QPair>
#include <algorithm>
#include <cmath>

bool wholeRows(const QByteArray &text)
{
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 3; i < lines.size(); ++i)
        if (lines[i].count('\t') != lines[2].count('\t'))
            return false;
    return true;
}

QVector<TruthRow> tsvRows(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = f.readAll().split('\n');
    QVector<TruthRow> rows;
    for (int i = 2; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].trimmed().split('\t');
        if (fields.size() < 2 || fields[1] == "-1")
            continue;
        TruthRow r;
        r.time = QDateTime::fromString(QString::fromLatin1(fields[0]),
                                       QStringLiteral("dd/MM/yy hh:mm:ss"))
                     .addYears(100)
                     .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        for (int k = 1; k < fields.size(); ++k)
            if (!fields[k].isEmpty())
                r.values << fields[k].toDouble();
        rows << r;
    }
    return rows;
}

QVector<TruthRow> truthRows(const QString &path, const QDateTime &from, const QDateTime &to,
                            QSet<int> *pages)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QMap<QPair<int, int>, QPair<int, TruthRow>> held;
    int order = 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith('#') || line.trimmed().isEmpty())
            continue;
        const QList<QByteArray> fields = line.trimmed().split('\t');
        TruthRow r;
        r.time = QString::fromLatin1(fields[2]);
        r.mask = fields[3].toInt(nullptr, 16);
        for (int k = 4; k < fields.size(); ++k)
            r.values << fields[k].toDouble();
        const int page = fields[0].toInt();
        const int index = fields[1].toInt();
        if (pages)
            pages->insert(page);
        // A page written again from its first sample lost everything it held.
        if (index == 0)
            for (auto it = held.lowerBound(qMakePair(page, 0));
                 it != held.end() && it.key().first == page;)
                it = held.erase(it);
        held[qMakePair(page, index)] = qMakePair(order++, r);
    }
    QVector<QPair<int, TruthRow>> sorted(held.begin(), held.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    QVector<TruthRow> rows;
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    for (const auto &p : sorted) {
        const QDateTime t = QDateTime::fromString(p.second.time, format);
        if (from.isValid() && (t < from || t > to))
            continue;
        rows << p.second;
    }
    return rows;
}

bool writtenAs(const TruthRow &written, const TruthRow &raw, const SensorType &type)
{
    if (written.time != raw.time || written.values.size() != raw.values.size())
        return false;
    size_t channel = 0;
    for (int k = 0; k < raw.values.size(); ++k, ++channel) {
        while (channel < type.coefficients.size() && !(raw.mask & (1 << channel)))
            ++channel;
        if (channel >= type.coefficients.size())
            return false;
        const double scaled = raw.values[k] * double(type.coefficients[channel]);
        if (qAbs(written.values[k] - scaled) > 0.5 * std::pow(10.0, -type.decimals[channel]) + 1e-6)
            return false;
    }
    return true;
}
