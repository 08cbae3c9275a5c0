#include "downloadfiles.h"

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
    // Names carry the second of creation: a second download of the sensor within the same
    // second must not truncate the first one's file, so it takes the next free second.
    QDateTime at = stamp;
    for (int tries = 0; tries < 60; ++tries, at = at.addSecs(1)) {
        const QString probe = dataFileBaseName(serialNumber, at);
        if (!QFileInfo::exists(dataFilePath(folder, probe + QStringLiteral(".tsv"))) &&
            !QFileInfo::exists(dataFilePath(folder, probe + QStringLiteral(".pdc"))))
            break;
    }
    const QString base = dataFileBaseName(serialNumber, at);
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
    return writeFramePages(open->decoder, open->files, data, dataLength, count, currentPage,
                           endPage, pageCount, afterPage);
}

QString DownloadFiles::errorString(uint32_t serialNumber) const
{
    const auto it = m_open.find(serialNumber);
    return it == m_open.end() ? QStringLiteral("file not open") : (*it)->files.errorString();
}

void DownloadFiles::close(uint32_t serialNumber)
{
    const auto it = m_open.find(serialNumber);
    if (it == m_open.end())
        return;
    (*it)->files.close();
    m_open.erase(it);
}

void DownloadFiles::closeAll()
{
    for (const std::shared_ptr<Open> &o : qAsConst(m_open))
        o->files.close();
    m_open.clear();
}
