#pragma once

#include "datafiles.h"
#include "pagedecode.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <functional>
#include <optional>

// A sensor's archive: one .tsv per recording (same header and rows as a download's file) in the
// "archive" folder under the output folder, to which each collection of new data appends the
// samples after the last one it holds. The file itself says where it ends: a row torn by a
// power cut is cut away before anything is appended, and the next collection starts after the
// last whole row. What recording a file holds (type, channels, period, start) is kept beside
// it in an index written before the file, so rows of another recording never go into it.
namespace archive
{

inline constexpr int64_t Nothing = pagedecode::Options::NoLowerBound;

// The archive folder under an output folder.
QString folderFor(const QString &outputFolder);

// Which recording rows belong to. Times are the sensor's wall clock.
struct Recording {
    uint8_t sensorType = 0;
    uint8_t channelMask = 0;
    int periodIndex = -1;
    QDateTime start;
    bool operator==(const Recording &o) const
    {
        return sensorType == o.sensorType && channelMask == o.channelMask &&
               periodIndex == o.periodIndex && start == o.start;
    }
    bool operator!=(const Recording &o) const { return !(*this == o); }
};

// Where a .tsv really ends.
struct End {
    bool usable = false;    // readable, with both header lines whole
    QByteArray header;      // the two header lines, without a line break after them
    int64_t lastRow = Nothing; // the time of its last whole row (seconds, wall clock)
    qint64 length = 0;      // bytes up to the end of that row (or of the header)
    qint64 torn = 0;        // bytes after it: a row cut short, to be cut away
    QString error;
};
// Reads the end of `path`; with `repair`, a torn last row is cut away.
End trueEnd(const QString &path, bool repair);
// The same over the whole text of a file (`size` bytes, `tail` its last bytes and `head` its
// first ones), for the reader above and the tests.
End trueEndOf(const QByteArray &head, const QByteArray &tail, qint64 size);

// The newest archive of a sensor in `folder`, by the stamp in its name.
struct Latest {
    QString path;
    std::optional<Recording> recording; // empty: the index does not know the file
    End end;
};
std::optional<Latest> latest(const QString &folder, uint32_t serialNumber, bool repair);

// The index beside the archives.
bool writeRecording(const QString &folder, const QString &fileName, const Recording &recording);
std::optional<Recording> readRecording(const QString &folder, const QString &fileName);

// Samples a collection found missing: overwritten in the sensor's memory before anyone
// collected them.
struct Gap {
    QDateTime from;
    QDateTime to;
};
QString gapText(const Gap &gap);

// Where a collection's rows start in one archive file: the bytes from `from` to the end of the
// file's last whole row are what it appended.
struct Span {
    QString path;
    qint64 from = 0;
};

// The whole rows a file holds from `from` on, for those who pass them on; a row cut short at the
// end is left out (the next collection writes it again).
struct Appended {
    QStringList columns; // the header's column titles after "Time"
    QByteArray text;     // the rows, each after a line break as in the file; stop rows included
    qint64 end = 0;      // where the last whole row ends: the next `from`
    QString error;
};
Appended appended(const QString &path, qint64 from);
// A stop row (the row from `at` to `end`): the marker a sensor writes where its recording
// stopped, not a sample.
bool isStopRow(const char *at, const char *end);

// What a collection of one sensor knows before its first page.
struct Plan {
    QString folder;                // the archive folder
    std::optional<Latest> latest;  // the archive it may append to
    QDateTime recordingStart;      // as the sensor's answer gave it
    // The sensor offered its whole ring: what came before its oldest page was overwritten.
    bool ringFull = false;
    // The last sample collected; rows up to it are not written again.
    int64_t after() const
    {
        return latest && latest->end.usable ? latest->end.lastRow : Nothing;
    }
};
// The plan for a sensor about to be collected (the latest archive repaired).
Plan plan(const QString &outputFolder, uint32_t serialNumber);

// Appends the new rows of a collection's pages to the sensor's archives, opening a new one
// where the recording changes.
class Writer
{
public:
    Writer(uint32_t serialNumber, const pagedecode::Layout &layout, Plan plan);
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // The pages of a received page frame (see pagedecode::framePages); a page that cannot be
    // written ends the frame.
    FrameOutcome write(const uint8_t *data, int dataLength, int count, int currentPage,
                       int endPage, int pageCount,
                       const std::function<void()> &afterPage = std::function<void()>());
    // Every row written is on the disk; false when the system could not say so.
    bool sync();
    void close();

    QString path() const { return m_path; }
    // Files this collection wrote to, in order.
    const QStringList &paths() const { return m_paths; }
    // Where this collection's rows start, one entry per file, in order.
    const QVector<Span> &spans() const { return m_spans; }
    // What the operator is told: archives started, and why.
    const QStringList &notes() const { return m_notes; }
    const QVector<Gap> &gaps() const { return m_gaps; }
    QString errorString() const { return m_error; }
    uint32_t rows() const { return m_rows; }

private:
    bool route(const Recording &recording, int64_t firstRow);
    bool startNew(const Recording &recording, int64_t firstRow, const QString &why);

    uint32_t m_serial;
    pagedecode::PageDecoder m_decoder;
    Plan m_plan;
    DataFiles m_file;
    std::optional<Recording> m_current;
    QString m_path;
    QStringList m_paths;
    QVector<Span> m_spans;
    QStringList m_notes;
    QVector<Gap> m_gaps;
    QString m_error;
    bool m_routed = false; // the first page with new rows has chosen its file
    uint32_t m_rows = 0;
};

} // namespace archive
