#pragma once

#include "archive.h"
#include "datafiles.h"
#include "pagedecode.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

// The open data files of the fleet's downloads and the page decoder writing each, keyed by
// serial number: a row of the sensor table may move while a download runs, its files do not.
// Nothing here asks the operator anything: where a folder must be chosen again, the caller's
// callback does it, and failures come back as results.
class DownloadFiles
{
public:
    struct Created {
        bool ok = false;
        QString failedPath; // the file that could not be created
    };

    DownloadFiles();
    ~DownloadFiles();
    DownloadFiles(const DownloadFiles &) = delete;
    DownloadFiles &operator=(const DownloadFiles &) = delete;

    // Opens the sensor's .tsv (and, with `binary`, its .pdc) in `folder`, named after the
    // serial number and `stamp`. When the text file cannot be created, `otherFolder` is asked
    // once for another folder (the operator's choice) and the pair goes there. Half a pair is
    // never left open.
    Created create(uint32_t serialNumber, const QString &folder, bool binary,
                   const std::function<QString()> &otherFolder,
                   const QDateTime &stamp = QDateTime::currentDateTime());

    // Opens the sensor's archives for a collection of its new data: its pages go to
    // archive::Writer instead of a file of their own.
    void openArchive(uint32_t serialNumber, const pagedecode::Layout &layout, archive::Plan plan);
    bool isArchive(uint32_t serialNumber) const;
    // What a collection's archives were left with once closed.
    struct ArchiveReport {
        QStringList paths;
        QVector<archive::Span> spans; // where the run's rows start in each of the paths
        QStringList notes;
        QVector<archive::Gap> gaps;
        uint32_t rows = 0;
        bool synced = true; // every row written is on the disk
        QString error;
    };
    ArchiveReport archiveReport(uint32_t serialNumber) const { return m_reports.value(serialNumber); }
    void forgetReports() { m_reports.clear(); }

    bool isOpen(uint32_t serialNumber) const;
    // Starts decoding into the files just created: the decoder for the sensor and the .tsv
    // header. False when the header could not be written.
    bool begin(uint32_t serialNumber, uint8_t ident, const pagedecode::Layout &layout,
               const pagedecode::Options &options);
    // Writes the pages of a received page frame (see writeFramePages).
    FrameOutcome decode(uint32_t serialNumber, const uint8_t *data, int dataLength, int count,
                        int currentPage, int endPage, int pageCount,
                        const std::function<void()> &afterPage = std::function<void()>());
    QString errorString(uint32_t serialNumber) const;

    // Closes the sensor's files; an archive is synced first. False when that failed.
    bool close(uint32_t serialNumber);
    void closeAll();

private:
    struct Open {
        DataFiles files;
        pagedecode::PageDecoder decoder;
        std::unique_ptr<archive::Writer> archive;
    };
    bool closeOpen(uint32_t serialNumber, Open &open);

    QHash<uint32_t, std::shared_ptr<Open>> m_open;
    QHash<uint32_t, ArchiveReport> m_reports;
};
