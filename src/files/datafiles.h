#pragma once

#include "pagedecode.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

// The .tsv and .pdc files of one sensor's download. Failures come back as return values so the
// sensor table can tell the operator; nothing here shows a dialog.
//
// Every page is flushed to the system as soon as it is written: when the program dies in the
// middle of a long download, the rows of the pages already received are in the file. A write
// that does not go through whole (disk full) is taken back, so a file always ends on a whole row
// (.tsv) or a whole record (.pdc): a half row read as data would be a wrong value.

// Serial number as 4 upper-case hexadecimal digits, "_", the stamp as "ddMMyy_hhmmss".
QString dataFileBaseName(uint32_t serialNumber, const QDateTime &stamp);
// The base name for `stamp`, or for the next second that no file with one of `extensions`
// (".tsv", ".pdc") takes in `folder`: a second file of a sensor within the same second must not
// truncate the first one.
QString freeDataFileBaseName(const QString &folder, uint32_t serialNumber, const QDateTime &stamp,
                             const QStringList &extensions);
// `folder`'s absolute path, "/", `fileName`.
QString dataFilePath(const QString &folder, const QString &fileName);
// Creates the folder, with any missing parents, when it does not exist; true when it exists
// afterwards. The folder part of ensure_output_folder, before it asks the operator.
bool ensureFolder(const QString &folder);

class DataFiles
{
public:
    DataFiles() = default;
    ~DataFiles();
    DataFiles(const DataFiles &) = delete;
    DataFiles &operator=(const DataFiles &) = delete;

    // Creates (or truncates) folder/fileName; false when it cannot be opened for writing, with
    // the path and the reason kept for the message.
    bool openText(const QString &folder, const QString &fileName);
    bool openBinary(const QString &folder, const QString &fileName);
    // Opens an existing text file to add rows at its end (an archive).
    bool appendText(const QString &path);

    bool isOpen() const { return m_text.isOpen(); }
    bool hasBinary() const { return m_binary.isOpen(); }
    QString textPath() const { return m_text.fileName(); }
    QString binaryPath() const { return m_binary.fileName(); }
    QString errorString() const { return m_error; }

    // Write and flush; false when not everything reached the system (disk full, closed file),
    // and then the file is cut back to its length before the call.
    bool writeText(const QByteArray &bytes);
    bool writeBinary(const QByteArray &bytes);
    // One page: its .pdc record (when the binary file is open) and its rows, both or neither.
    bool writePage(const QByteArray &record, const QByteArray &rows);

    // Waits until what was written is on the disk itself, not only handed to the system: a
    // collection is recorded as done only after this.
    bool sync();
    void close();

private:
    bool open(QFile &file, const QString &path, QIODevice::OpenMode mode = QIODevice::Truncate);
    bool write(QFile &file, const QByteArray &bytes);
    void cutBack(QFile &file, qint64 length);

    QFile m_text;
    QFile m_binary;
    QString m_error;
};

struct FrameOutcome {
    int pages = 0;        // pages decoded, the one that could not be written included
    uint32_t samples = 0; // sample rows written (for samples_written)
    bool written = true;  // false: a row or record could not be written
    int samplesBeyondPage = 0;
};

// The body of decode_pages once the files are open: decodes the pages of a received page frame
// (see pagedecode::framePages) and writes, page after page, its .pdc record when the binary file
// is open and its rows, flushing both; `afterPage` runs after every page (the widget processes
// its events there). A page that cannot be written ends the frame: a later page written after a
// missing one would leave a hole in the data that nothing shows.
FrameOutcome writeFramePages(pagedecode::PageDecoder &decoder, DataFiles &files,
                             const uint8_t *data, int dataLength, int count, int currentPage,
                             int endPage, int pageCount,
                             const std::function<void()> &afterPage = std::function<void()>());
