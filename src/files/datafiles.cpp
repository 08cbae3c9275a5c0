#include "datafiles.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

QString dataFileBaseName(uint32_t serialNumber, const QDateTime &stamp)
{
    return QStringLiteral("%1_%2")
        .arg(serialNumber & 0xFFFF, 4, 16, QLatin1Char('0'))
        .toUpper()
        .arg(stamp.toString(QStringLiteral("ddMMyy_hhmmss")));
}

QString freeDataFileBaseName(const QString &folder, uint32_t serialNumber, const QDateTime &stamp,
                             const QStringList &extensions)
{
    QDateTime at = stamp;
    for (int tries = 0; tries < 60; ++tries, at = at.addSecs(1)) {
        const QString base = dataFileBaseName(serialNumber, at);
        if (std::none_of(extensions.begin(), extensions.end(), [&](const QString &ext) {
                return QFileInfo::exists(dataFilePath(folder, base + ext));
            }))
            break;
    }
    return dataFileBaseName(serialNumber, at);
}

QString dataFilePath(const QString &folder, const QString &fileName)
{
    return QDir(folder).absolutePath() + QLatin1Char('/') + fileName;
}

bool ensureFolder(const QString &folder)
{
    const QString path = QDir(folder).absolutePath();
    if (QFileInfo(path).isDir())
        return true;
    return QDir().mkpath(path) && QFileInfo(path).isDir();
}

DataFiles::~DataFiles()
{
    close();
}

bool DataFiles::open(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    if (file.isOpen())
        file.close();
    file.setFileName(path);
    // Unbuffered: bytes a failed write left in a buffer would reach the file at the next
    // flush or at close, behind the cut that took the failed write back.
    if (!file.open(QIODevice::WriteOnly | mode | QIODevice::Unbuffered)) {
        m_error = file.errorString();
        return false;
    }
    file.flush();
    return true;
}

bool DataFiles::openText(const QString &folder, const QString &fileName)
{
    return open(m_text, dataFilePath(folder, fileName));
}

bool DataFiles::openBinary(const QString &folder, const QString &fileName)
{
    return open(m_binary, dataFilePath(folder, fileName));
}

bool DataFiles::appendText(const QString &path)
{
    return open(m_text, path, QIODevice::Append);
}

bool DataFiles::sync()
{
    bool ok = true;
    for (QFile *f : {&m_text, &m_binary}) {
        if (f->isOpen() && ::fsync(f->handle()) != 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            ok = false;
        }
    }
    return ok;
}

bool DataFiles::write(QFile &file, const QByteArray &bytes)
{
    if (!file.isOpen()) {
        m_error = QStringLiteral("file not open");
        return false;
    }
    const qint64 before = file.size();
    const bool whole = file.write(bytes) == bytes.size();
    const bool flushed = file.flush();
    if (!whole || !flushed) {
        m_error = file.errorString();
        cutBack(file, before);
        return false;
    }
    return true;
}

void DataFiles::cutBack(QFile &file, qint64 length)
{
    // Shrinking needs no room, so it works on a full disk.
    if (file.size() > length)
        file.resize(length);
    file.seek(length);
}

bool DataFiles::writePage(const QByteArray &record, const QByteArray &rows)
{
    const qint64 binaryBefore = m_binary.isOpen() ? m_binary.size() : 0;
    if (m_binary.isOpen() && !write(m_binary, record))
        return false;
    if (rows.isEmpty() || write(m_text, rows))
        return true;
    // The record without its rows would tell of samples the .tsv does not hold.
    if (m_binary.isOpen())
        cutBack(m_binary, binaryBefore);
    return false;
}

bool DataFiles::writeText(const QByteArray &bytes)
{
    return write(m_text, bytes);
}

bool DataFiles::writeBinary(const QByteArray &bytes)
{
    return write(m_binary, bytes);
}

void DataFiles::close()
{
    if (m_text.isOpen())
        m_text.close();
    if (m_binary.isOpen())
        m_binary.close();
}

FrameOutcome writeFramePages(pagedecode::PageDecoder &decoder, DataFiles &files,
                             const uint8_t *data, int dataLength, int count, int currentPage,
                             int endPage, int pageCount, const std::function<void()> &afterPage)
{
    FrameOutcome outcome;
    pagedecode::FramePage pages[pagedecode::MaxPagesPerFrame];
    const int n =
        pagedecode::framePages(data, dataLength, count, currentPage, endPage, pageCount, pages);
    QByteArray rows;
    for (int k = 0; k < n; ++k) {
        const QByteArray record =
            files.hasBinary() ? decoder.pdcRecord(pages[k].page, pages[k].number) : QByteArray();
        rows.clear();
        const pagedecode::PageResult r = decoder.decodePage(pages[k].page, pages[k].number, rows);
        if (!files.writePage(record, rows)) {
            ++outcome.pages;
            outcome.written = false;
            break;
        }
        outcome.samples += uint32_t(r.samples);
        outcome.samplesBeyondPage += r.samplesBeyondPage;
        ++outcome.pages;
        if (afterPage)
            afterPage();
    }
    return outcome;
}
