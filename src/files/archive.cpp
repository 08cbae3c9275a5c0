#include "archive.h"

#include "page.h"
#include "tsvfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>

namespace archive
{

namespace
{

const QString IndexName = QStringLiteral("recordings.ini");
// Two of our longest lines: the last row and the one before it, whichever is torn.
constexpr qint64 TailBytes = 2 * MaxTsvLine + 4;

QDateTime wallClock(int64_t secs)
{
    return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
}

// "-1" and zeros after the time: where a recording stopped.
bool stopMarker(const char *at, const char *end)
{
    static const char Stop[] = "\t-1\t";
    return end - at >= 21 && memcmp(at + 17, Stop, 4) == 0 &&
           std::all_of(at + 21, end, [](char c) { return c == '0' || c == '\t'; });
}

// A row as the decoder writes it, whole: its time, a tab after it, and either a field for
// every column of the header or the stop marker ("-1" and zeros).
bool wholeRow(const char *at, const char *end, int columns)
{
    const int length = int(end - at);
    if (length < 18 || tsvTime(at, length) < 0 || at[17] != '\t' || end[-1] != '\t')
        return false;
    const int tabs = int(std::count(at, end, '\t'));
    return tabs >= 1 + columns || stopMarker(at, end);
}

QString fileNameOf(const QString &path)
{
    return QFileInfo(path).fileName();
}

} // namespace

QString folderFor(const QString &outputFolder)
{
    return QDir(outputFolder).absoluteFilePath(QStringLiteral("archive"));
}

End trueEndOf(const QByteArray &head, const QByteArray &tail, qint64 size)
{
    End e;
    const int line1 = head.indexOf("\r\n");
    if (line1 < 0 || head.mid(line1 + 2, 4) != "Time") {
        e.error = QStringLiteral("it has no header");
        return e;
    }
    int line2 = head.indexOf("\r\n", line1 + 2);
    if (line2 < 0) {
        if (size > head.size()) {
            e.error = QStringLiteral("its header is not one of ours");
            return e;
        }
        line2 = head.size();
    }
    e.usable = true;
    e.header = head.left(line2);
    const int columns = int(e.header.count('\t') - head.left(line1).count('\t'));
    e.length = line2;
    const qint64 tailStart = size - tail.size();
    // Looks back from `limit` (an offset in the file) for the last row that is whole.
    qint64 limit = size;
    if (!tail.isEmpty() && tail.endsWith('\r'))
        --limit; // cut between the two bytes of a line break
    for (int tries = 0; tries < 2; ++tries) {
        const int inTail = int(limit - tailStart);
        const int at = inTail > 0 ? tail.lastIndexOf("\r\n", inTail - 2) : -1;
        if (at < 0 && tailStart > line2) {
            e.usable = false;
            e.error = QStringLiteral("its last rows are not ours");
            return e;
        }
        const qint64 rowStart = at < 0 ? -1 : tailStart + at;
        if (rowStart < line2) {
            // Only the header is left.
            e.length = line2;
            break;
        }
        const char *b = tail.constData() + at + 2;
        const char *en = tail.constData() + inTail;
        if (wholeRow(b, en, columns)) {
            e.lastRow = int64_t(tsvTime(b, int(en - b)));
            e.length = limit;
            break;
        }
        limit = rowStart;
        e.length = limit;
    }
    e.torn = size - e.length;
    // More than one torn row is not something a cut write leaves: the file was changed.
    if (e.lastRow == Nothing && e.length > line2) {
        e.usable = false;
        e.error = QStringLiteral("its last rows are not ours");
    }
    return e;
}

End trueEnd(const QString &path, bool repair)
{
    QFile f(path);
    End e;
    if (!f.open(QIODevice::ReadOnly)) {
        e.error = f.errorString();
        return e;
    }
    const qint64 size = f.size();
    const QByteArray head = f.read(MaxTsvLine * 2);
    f.seek(std::max<qint64>(0, size - TailBytes));
    const QByteArray tail = f.readAll();
    f.close();
    e = trueEndOf(head, tail, size);
    if (e.usable && e.torn > 0 && repair) {
        if (!f.open(QIODevice::ReadWrite) || !f.resize(e.length)) {
            e.usable = false;
            e.error = QStringLiteral("its torn last row cannot be cut away: ") + f.errorString();
        } else {
            e.torn = 0;
        }
    }
    return e;
}

std::optional<Latest> latest(const QString &folder, uint32_t serialNumber, bool repair)
{
    const QString prefix =
        QStringLiteral("%1_").arg(serialNumber & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
    static const QRegularExpression name(QStringLiteral("^[0-9A-F]{4}_(\\d{6})_(\\d{6})\\.tsv$"));
    QString best;
    QDateTime bestStamp;
    const QStringList files =
        QDir(folder).entryList({prefix + QStringLiteral("*.tsv")}, QDir::Files, QDir::Name);
    for (const QString &file : files) {
        const QRegularExpressionMatch m = name.match(file);
        if (!m.hasMatch())
            continue;
        QDateTime stamp = QDateTime::fromString(m.captured(1) + m.captured(2),
                                                QStringLiteral("ddMMyyhhmmss"));
        if (!stamp.isValid())
            continue;
        if (stamp.date().year() < 2000) // two-digit years are this century's
            stamp = stamp.addYears(100);
        if (!bestStamp.isValid() || stamp > bestStamp) {
            bestStamp = stamp;
            best = file;
        }
    }
    if (best.isEmpty())
        return std::nullopt;
    Latest l;
    l.path = QDir(folder).absoluteFilePath(best);
    l.recording = readRecording(folder, best);
    l.end = trueEnd(l.path, repair);
    return l;
}

bool writeRecording(const QString &folder, const QString &fileName, const Recording &r)
{
    QSettings index(QDir(folder).absoluteFilePath(IndexName), QSettings::IniFormat);
    index.beginGroup(QFileInfo(fileName).completeBaseName());
    index.setValue(QStringLiteral("type"), int(r.sensorType));
    index.setValue(QStringLiteral("channels"), int(r.channelMask));
    index.setValue(QStringLiteral("period"), r.periodIndex);
    index.setValue(QStringLiteral("start"), r.start.toString(Qt::ISODate));
    index.endGroup();
    index.sync();
    return index.status() == QSettings::NoError;
}

std::optional<Recording> readRecording(const QString &folder, const QString &fileName)
{
    QSettings index(QDir(folder).absoluteFilePath(IndexName), QSettings::IniFormat);
    if (index.status() != QSettings::NoError)
        return std::nullopt;
    index.beginGroup(QFileInfo(fileName).completeBaseName());
    if (!index.contains(QStringLiteral("start")))
        return std::nullopt;
    bool ok[3] = {};
    Recording r;
    const int type = index.value(QStringLiteral("type")).toInt(&ok[0]);
    const int mask = index.value(QStringLiteral("channels")).toInt(&ok[1]);
    r.periodIndex = index.value(QStringLiteral("period")).toInt(&ok[2]);
    r.start = QDateTime::fromString(index.value(QStringLiteral("start")).toString(), Qt::ISODate);
    if (!ok[0] || !ok[1] || !ok[2] || type < 0 || type > 255 || mask < 0 || mask > 255)
        return std::nullopt;
    r.sensorType = uint8_t(type);
    r.channelMask = uint8_t(mask);
    return r;
}

QString gapText(const Gap &gap)
{
    const QString f = QStringLiteral("dd/MM/yy hh:mm:ss");
    return QStringLiteral("samples from %1 to %2 were overwritten in the sensor's memory before "
                          "they were collected")
        .arg(gap.from.toString(f), gap.to.toString(f));
}

Appended appended(const QString &path, qint64 from)
{
    Appended a;
    a.end = from;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        a.error = f.errorString();
        return a;
    }
    const QByteArray head = f.read(2 * MaxTsvLine + 4);
    const int line1 = head.indexOf("\r\n");
    const int line2 = line1 < 0 ? -1 : head.indexOf("\r\n", line1 + 2);
    const QByteArray titles =
        line1 < 0 ? QByteArray() : head.mid(line1 + 2, line2 < 0 ? -1 : line2 - line1 - 2);
    if (!titles.startsWith("Time") || from < line1 + 2 + titles.size()) {
        a.error = QStringLiteral("it has no header");
        return a;
    }
    for (const QByteArray &t : titles.split('\t').mid(1))
        a.columns << QString::fromUtf8(t);
    const int columns = a.columns.size();
    if (!f.seek(from)) {
        a.error = f.errorString();
        return a;
    }
    QByteArray text = f.readAll();
    // Rows are written whole or cut back; only the last can be torn (a power cut), and then it
    // waits for the next collection, which writes it again.
    while (!text.isEmpty()) {
        const int start = text.lastIndexOf("\r\n");
        if (start < 0) {
            text.clear();
            break;
        }
        if (wholeRow(text.constData() + start + 2, text.constData() + text.size(), columns))
            break;
        text.truncate(start);
    }
    if (!text.isEmpty() && !text.startsWith("\r\n")) {
        a.error = QStringLiteral("its rows do not start where they were written");
        return a;
    }
    a.end = from + text.size();
    a.text = text;
    return a;
}

bool isStopRow(const char *at, const char *end)
{
    return stopMarker(at, end);
}

Plan plan(const QString &outputFolder, uint32_t serialNumber)
{
    Plan p;
    p.folder = folderFor(outputFolder);
    p.latest = latest(p.folder, serialNumber, true);
    return p;
}

Writer::Writer(uint32_t serialNumber, const pagedecode::Layout &layout, Plan plan)
    : m_serial(serialNumber), m_plan(std::move(plan))
{
    pagedecode::Options options;
    options.after = m_plan.after();
    // The archive keeps the download's columns: a row with debug fields would not fit them.
    m_decoder = pagedecode::PageDecoder(serialNumber, 0, layout, options);
}

FrameOutcome Writer::write(const uint8_t *data, int dataLength, int count, int currentPage,
                           int endPage, int pageCount, const std::function<void()> &afterPage)
{
    FrameOutcome outcome;
    pagedecode::FramePage pages[pagedecode::MaxPagesPerFrame];
    const int n =
        pagedecode::framePages(data, dataLength, count, currentPage, endPage, pageCount, pages);
    QByteArray rows;
    for (int k = 0; k < n; ++k) {
        rows.clear();
        const pagedecode::PageResult r =
            m_decoder.decodePage(pages[k].page, pages[k].number, rows);
        ++outcome.pages;
        if (rows.size() > 2) {
            const page::Header h = page::readHeader(pages[k].page);
            Recording rec;
            rec.sensorType = uint8_t(m_decoder.layout().sensorType);
            rec.channelMask = h.channelMask;
            rec.periodIndex = h.periodIndex;
            rec.start = m_plan.recordingStart;
            const int64_t first = int64_t(tsvTime(rows.constData() + 2, rows.size() - 2));
            if (!m_routed) {
                m_routed = true;
                // Within one recording the samples follow each other a period apart: a jump
                // past the last one collected, from a ring that holds nothing older, is what
                // the ring overwrote.
                const int64_t last = m_plan.after();
                const int period = page::periodSeconds[h.periodIndex];
                const bool sameRecording = m_plan.latest && m_plan.latest->recording &&
                                           m_plan.latest->recording->start == rec.start;
                if (last != Nothing && m_plan.ringFull && sameRecording && period > 0 &&
                    first - last > period + std::max(1, period / 2))
                    m_gaps.append({wallClock(last + period), wallClock(first - period)});
            }
            if (!route(rec, first) || !m_file.writeText(rows)) {
                if (m_error.isEmpty())
                    m_error = m_file.errorString();
                outcome.written = false;
                break;
            }
            m_rows += uint32_t(r.samples);
        }
        outcome.samples += uint32_t(r.samples);
        outcome.samplesBeyondPage += r.samplesBeyondPage;
        if (afterPage)
            afterPage();
    }
    return outcome;
}

bool Writer::route(const Recording &rec, int64_t firstRow)
{
    if (m_current && *m_current == rec)
        return true;
    const auto changed = [](const Recording &was, const Recording &now) {
        if (was.start != now.start)
            return QStringLiteral("the recording restarted");
        if (was.sensorType != now.sensorType)
            return QStringLiteral("the sensor type changed");
        if (was.channelMask != now.channelMask)
            return QStringLiteral("the channels changed");
        return QStringLiteral("the period changed");
    };
    if (m_current) {
        const QString why = changed(*m_current, rec);
        if (!sync())
            return false;
        close();
        return startNew(rec, firstRow, why);
    }
    if (!m_plan.latest)
        return startNew(rec, firstRow, QString());
    const Latest &l = *m_plan.latest;
    const QString name = fileNameOf(l.path);
    QString why;
    if (!l.end.usable)
        why = QStringLiteral("%1 cannot be appended to (%2)").arg(name, l.end.error);
    else if (l.end.header != m_decoder.header())
        why = QStringLiteral("the header of %1 is not what the sensor records now").arg(name);
    else if (!l.recording)
        why = QStringLiteral("%1 is not in the archive's index").arg(name);
    else if (*l.recording != rec)
        why = changed(*l.recording, rec);
    if (!why.isEmpty())
        return startNew(rec, firstRow, why);
    if (!m_file.appendText(l.path)) {
        m_error = QStringLiteral("%1 cannot be opened: %2").arg(l.path, m_file.errorString());
        return false;
    }
    m_current = rec;
    m_path = l.path;
    m_paths << l.path;
    m_spans.append({l.path, l.end.length});
    return true;
}

bool Writer::startNew(const Recording &rec, int64_t firstRow, const QString &why)
{
    if (!ensureFolder(m_plan.folder)) {
        m_error = QStringLiteral("The folder %1 can't be created").arg(m_plan.folder);
        return false;
    }
    // Named after the recording's start; a recording that changed its channels or period
    // without restarting takes the time of its first sample under the new ones.
    QDateTime at = rec.start.isValid() ? rec.start : wallClock(firstRow);
    if (QFileInfo::exists(dataFilePath(m_plan.folder, dataFileBaseName(m_serial, at) +
                                                          QStringLiteral(".tsv"))))
        at = wallClock(firstRow);
    const QString name =
        freeDataFileBaseName(m_plan.folder, m_serial, at, {QStringLiteral(".tsv")}) +
        QStringLiteral(".tsv");
    if (!writeRecording(m_plan.folder, name, rec)) {
        m_error = QStringLiteral("The archive's index in %1 can't be written").arg(m_plan.folder);
        return false;
    }
    if (!m_file.openText(m_plan.folder, name) || !m_file.writeText(m_decoder.header())) {
        m_error = QStringLiteral("The file %1 can't be created: %2")
                      .arg(dataFilePath(m_plan.folder, name), m_file.errorString());
        m_file.close();
        QFile::remove(dataFilePath(m_plan.folder, name));
        return false;
    }
    m_current = rec;
    m_path = dataFilePath(m_plan.folder, name);
    m_paths << m_path;
    m_spans.append({m_path, qint64(m_decoder.header().size())});
    m_notes << (why.isEmpty() ? QStringLiteral("new archive %1").arg(name)
                              : QStringLiteral("new archive %1: %2").arg(name, why));
    return true;
}

bool Writer::sync()
{
    if (!m_file.isOpen() || m_file.sync())
        return true;
    m_error = m_file.errorString();
    return false;
}

void Writer::close()
{
    m_file.close();
}

} // namespace archive
