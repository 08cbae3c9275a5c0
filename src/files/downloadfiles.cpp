#include "downloadfiles.h"

#include <algorithm>

#include <QDebug>
#include <QFileInfo>

DownloadFiles::DownloadFiles() = default;

DownloadFiles::~DownloadFiles()
{
    closeAll();
}

DownloadFiles::Created DownloadFiles::create(uint32_t serialNumber, const QString &folder,
                                             bool binary,
                                             const std::function<QString()> &otherFolder,
                                             const QDateTime &stamp)
{
    close(serialNumber);
    const QString base = freeDataFileBaseName(
        folder, serialNumber, stamp, {QStringLiteral(".tsv"), QStringLiteral(".pdc")});
    const QString textName = base + QStringLiteral(".tsv");
    const QString binaryName = base + QStringLiteral(".pdc");
    QString where = folder;
    qDebug() << QStringLiteral("path : ") << dataFilePath(where, textName);

    auto open = std::make_shared<Open>();
    Created result;
    if (!open->files.openText(where, textName)) {
        qDebug() << QStringLiteral("1");
        if (otherFolder)
            where = otherFolder();
        if (!open->files.openText(where, textName)) {
            qDebug() << QStringLiteral("2");
            result.failedPath = dataFilePath(where, textName);
            return result;
        }
    }
    if (binary && !open->files.openBinary(where, binaryName)) {
        // Half a pair would write rows without their pages: neither file stays open.
        open->files.close();
        result.failedPath = dataFilePath(where, binaryName);
        return result;
    }
    m_open.insert(serialNumber, open);
    result.ok = true;
    return result;
}

void DownloadFiles::openArchive(uint32_t serialNumber, const pagedecode::Layout &layout,
                                archive::Plan plan)
{
    close(serialNumber);
    auto open = std::make_shared<Open>();
    open->archive = std::make_unique<archive::Writer>(serialNumber, layout, std::move(plan));
    m_open.insert(serialNumber, open);
}

bool DownloadFiles::isArchive(uint32_t serialNumber) const
{
    const auto it = m_open.find(serialNumber);
    return it != m_open.end() && (*it)->archive;
}

bool DownloadFiles::isOpen(uint32_t serialNumber) const
{
    return m_open.contains(serialNumber);
}

bool DownloadFiles::begin(uint32_t serialNumber, uint8_t ident, const pagedecode::Layout &layout,
                          const pagedecode::Options &options)
{
    const auto it = m_open.find(serialNumber);
    if (it == m_open.end())
        return false;
    Open &o = **it;
    o.decoder = pagedecode::PageDecoder(serialNumber, ident, layout, options);
    return o.files.writeText(o.decoder.header());
}

FrameOutcome DownloadFiles::decode(uint32_t serialNumber, const uint8_t *data, int dataLength,
                                   int count, int currentPage, int endPage, int pageCount,
                                   const std::function<void()> &afterPage)
{
    const auto it = m_open.find(serialNumber);
    if (it == m_open.end()) {
        FrameOutcome none;
        none.written = false;
        return none;
    }
    // Held while events run after a page: a close from there must not free what is written.
    const std::shared_ptr<Open> open = *it;
    if (open->archive)
        return open->archive->write(data, dataLength, count, currentPage, endPage, pageCount,
                                    afterPage);
    return writeFramePages(open->decoder, open->files, data, dataLength, count, currentPage,
                           endPage, pageCount, afterPage);
}

QString DownloadFiles::errorString(uint32_t serialNumber) const
{
    const auto it = m_open.find(serialNumber);
    if (it == m_open.end())
        return QStringLiteral("file not open");
    return (*it)->archive ? (*it)->archive->errorString() : (*it)->files.errorString();
}

bool DownloadFiles::closeOpen(uint32_t serialNumber, Open &open)
{
    open.files.close();
    if (!open.archive)
        return true;
    archive::Writer &w = *open.archive;
    ArchiveReport &r = m_reports[serialNumber];
    r.synced = w.sync();
    w.close();
    // A sensor may be collected in more than one go within a run (a lost wake): the report
    // tells of all of them.
    for (const QString &p : w.paths())
        if (!r.paths.contains(p))
            r.paths << p;
    for (const archive::Span &span : w.spans())
        if (std::none_of(r.spans.cbegin(), r.spans.cend(),
                         [&span](const archive::Span &o) { return o.path == span.path; }))
            r.spans << span;
    r.notes << w.notes();
    r.gaps << w.gaps();
    r.rows += w.rows();
    if (!w.errorString().isEmpty())
        r.error = w.errorString();
    return r.synced;
}

bool DownloadFiles::close(uint32_t serialNumber)
{
    const auto it = m_open.find(serialNumber);
    if (it == m_open.end())
        return true;
    const std::shared_ptr<Open> open = *it;
    m_open.erase(it);
    return closeOpen(serialNumber, *open);
}

void DownloadFiles::closeAll()
{
    const auto open = m_open;
    m_open.clear();
    for (auto it = open.begin(); it != open.end(); ++it)
        closeOpen(it.key(), **it);
}
