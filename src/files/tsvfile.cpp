#include "tsvfile.h"

#include "sensortype.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace
{
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

int digits2(const char *p)
{
    if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9')
        return -1;
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t daysFromCivil(int y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = int(y - era * 400);
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int daysInMonth(int y, int m)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

double number(const char *begin, const char *end)
{
    while (begin < end && *begin == ' ')
        ++begin;
    if (begin == end)
        return NaN;
    if (*begin == '+')
        ++begin;
    double v = NaN;
    const auto r = std::from_chars(begin, end, v);
    return r.ec == std::errc() && r.ptr == end ? v : NaN;
}

// One line without its line break (and without a "\r" before it).
struct Line {
    const char *begin;
    const char *end;
};

Line nextLine(const char *&at, const char *end)
{
    const char *start = at;
    const char *nl = static_cast<const char *>(memchr(at, '\n', size_t(end - at)));
    const char *stop = nl ? nl : end;
    at = nl ? nl + 1 : end;
    if (stop > start && stop[-1] == '\r')
        --stop;
    return {start, stop};
}

// The row a download writes where the sensor stopped recording: "-1", then "0" for each
// other recorded channel, all without decimals. No channel records -1 exactly without decimals
// and 0 in all the others: the formats of the signed channels have decimals.
bool isStopRow(const char *at, const char *end)
{
    static const char Head[] = "\t-1\t";
    if (end - at < 4 || memcmp(at, Head, 4) != 0)
        return false;
    for (at += 4; at < end; ++at)
        if (*at != '0' && *at != '\t')
            return false;
    return true;
}

QStringList fields(Line l)
{
    return QString::fromLocal8Bit(l.begin, int(l.end - l.begin)).split(QLatin1Char('\t'));
}
} // namespace

double tsvTime(const char *t, int length)
{
    if (length < 17 || t[2] != '/' || t[5] != '/' || t[8] != ' ' || t[11] != ':' || t[14] != ':')
        return -1;
    const int day = digits2(t), month = digits2(t + 3), year = digits2(t + 6);
    const int hour = digits2(t + 9), minute = digits2(t + 12), second = digits2(t + 15);
    if (day < 1 || month < 1 || month > 12 || year < 0 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59 || day > daysInMonth(2000 + year, month))
        return -1;
    return double(daysFromCivil(2000 + year, month, day) * 86400 + hour * 3600 + minute * 60 +
                  second);
}

bool parseTsv(const QByteArray &text, TsvData &data, QString *error)
{
    data = TsvData();
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const char *at = text.constData();
    const char *end = at + text.size();
    if (at == end)
        return fail(QStringLiteral("the file is empty"));
    // Our lines are a few hundred bytes: a longer one is another kind of file, and splitting
    // it into fields would take memory for nothing.
    int lineNumber = 0;
    const auto tooLong = [&](const Line &l) {
        ++lineNumber;
        return l.end - l.begin > MaxTsvLine;
    };
    const auto lineTooLong = [&] {
        return fail(QStringLiteral("line %1 is longer than %2 bytes: not a data file of a sensor")
                        .arg(lineNumber)
                        .arg(MaxTsvLine));
    };
    const Line header = nextLine(at, end);
    if (tooLong(header))
        return lineTooLong();
    const QStringList first = fields(header);
    if (at == end)
        return fail(QStringLiteral("the file has no \"Time\" line"));
    const Line titles = nextLine(at, end);
    if (tooLong(titles))
        return lineTooLong();
    const QStringList second = fields(titles);
    if (second.value(0) != QLatin1String("Time"))
        return fail(QStringLiteral("the second line does not start with \"Time\""));
    data.serialNumber = first.value(0).trimmed();
    for (int i = 1; i < second.size(); ++i)
        if (!second[i].isEmpty())
            data.titles << second[i];
    const int n = data.titles.size();
    if (n == 0)
        return fail(QStringLiteral("the file names no channel"));

    // A row is about 8 bytes a channel plus the time: enough room from the start.
    const int guess = int(std::min<qint64>((end - at) / (18 + 6 * n) + 16, 1 << 26));
    data.time.reserve(guess);
    data.columns.resize(n);
    for (auto &c : data.columns)
        c.reserve(guess);

    double last = -std::numeric_limits<double>::infinity();
    while (at < end) {
        const Line l = nextLine(at, end);
        if (tooLong(l)) {
            data = TsvData();
            return lineTooLong();
        }
        if (l.begin == l.end)
            continue;
        const double t = tsvTime(l.begin, int(l.end - l.begin));
        if (t < 0 || (l.end - l.begin > 17 && l.begin[17] != '\t')) {
            ++data.rejectedRows;
            continue;
        }
        if (isStopRow(l.begin + 17, l.end)) {
            ++data.stopRows;
            continue;
        }
        if (t < last)
            data.sorted = false;
        last = t;
        data.time.append(t);
        const char *f = l.begin + 17;
        for (int c = 0; c < n; ++c) {
            if (f < l.end && *f == '\t')
                ++f;
            const char *tab =
                f < l.end ? static_cast<const char *>(memchr(f, '\t', size_t(l.end - f))) : nullptr;
            const char *stop = tab ? tab : (f < l.end ? l.end : f);
            data.columns[c].append(f < l.end ? number(f, stop) : NaN);
            f = stop;
        }
    }
    if (data.time.isEmpty())
        return fail(QStringLiteral("the file holds no data row"));
    return true;
}

bool readTsvFile(const QString &path, TsvData &data, QString *error, qint64 largest)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    // Read whole, a file far past any download (a wrong file, no line end) ended the program.
    if (file.size() > largest) {
        if (error)
            *error = QStringLiteral("the file is larger than %1 MB: not a data file of a sensor")
                         .arg(largest / (1024 * 1024));
        return false;
    }
    return parseTsv(file.readAll(), data, error);
}

QStringList catalogueUnits(const QStringList &titles, const QString &iniPath)
{
    QSettings ini(iniPath, QSettings::IniFormat);
    const auto text = [](const QVariant &v) {
        return v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(','))
                                                : v.toString();
    };
    for (const QString &group : ini.childGroups()) {
        const QStringList all = splitCatalogueList(text(ini.value(group + "/TITLE_DATA")));
        const QStringList units = splitCatalogueList(text(ini.value(group + "/UNIT")));
        QStringList shown, shownUnits;
        for (int i = 0; i < all.size() && i < SensorType::Channels; ++i)
            if (all[i].size() > 1) {
                shown << all[i];
                shownUnits << units.value(i);
            }
        if (shown == titles)
            return shownUnits;
    }
    QStringList none;
    for (int i = 0; i < titles.size(); ++i)
        none << QString();
    return none;
}

QString latestDataFile(const QString &folder, uint32_t serialNumber)
{
    const QString prefix =
        QStringLiteral("%1_").arg(serialNumber & 0xFFFF, 4, 16, QChar('0')).toUpper();
    const QDir dir(folder);
    QString best;
    QDateTime bestStamp;
    for (const QString &name :
         dir.entryList({prefix + QStringLiteral("*.tsv")}, QDir::Files | QDir::Readable)) {
        const QDateTime stamp =
            QDateTime::fromString(name.mid(5, 13), QStringLiteral("ddMMyy_hhmmss"));
        if (!stamp.isValid())
            continue;
        if (best.isEmpty() || stamp > bestStamp) {
            best = dir.filePath(name);
            bestStamp = stamp;
        }
    }
    return best;
}

void decimateMinMax(const double *x, const double *y, int count, double x0, double x1, int columns,
                    QVector<double> &outX, QVector<double> &outY)
{
    outX.clear();
    outY.clear();
    if (count <= 0 || columns <= 0 || !(x1 > x0))
        return;
    int from = int(std::lower_bound(x, x + count, x0) - x);
    int to = int(std::upper_bound(x, x + count, x1) - x);
    from = std::max(0, from - 1);
    to = std::min(count, to + 1);
    if (to - from <= 4 * columns) {
        outX.reserve(to - from);
        outY.reserve(to - from);
        for (int i = from; i < to; ++i)
            if (!std::isnan(y[i])) {
                outX.append(x[i]);
                outY.append(y[i]);
            }
        return;
    }
    outX.reserve(4 * columns + 4);
    outY.reserve(4 * columns + 4);
    const double width = (x1 - x0) / columns;
    int i = from;
    while (i < to) {
        const int column = int(std::floor((x[i] - x0) / width));
        // Everything in this pixel column: its first, lowest, highest and last points.
        int j = i;
        int lo = -1, hi = -1, firstValid = -1, lastValid = -1;
        while (j < to && int(std::floor((x[j] - x0) / width)) == column) {
            if (!std::isnan(y[j])) {
                if (firstValid < 0)
                    firstValid = j;
                lastValid = j;
                if (lo < 0 || y[j] < y[lo])
                    lo = j;
                if (hi < 0 || y[j] > y[hi])
                    hi = j;
            }
            ++j;
        }
        const int picks[4] = {firstValid, std::min(lo, hi), std::max(lo, hi), lastValid};
        int previous = -1;
        for (int p : picks) {
            if (p < 0 || p == previous)
                continue;
            outX.append(x[p]);
            outY.append(y[p]);
            previous = p;
        }
        i = j;
    }
}
