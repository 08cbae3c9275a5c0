#include "framelog.h"

#include "hextext.h"
#include "settings.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

FrameLog::FrameLog(FrameTap *tap, QObject *parent) : QObject(parent), m_tap(tap)
{
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &FrameLog::flush);
    connect(m_tap, &FrameTap::tapped, this, &FrameLog::onTapped);
}

FrameLog::~FrameLog()
{
    flush();
    if (m_using)
        m_tap->release();
}

void FrameLog::updateTap()
{
    const bool wanted = m_watched || m_file.isOpen();
    if (wanted == m_using)
        return;
    m_using = wanted;
    if (wanted) {
        m_tap->use();
    } else {
        flush();
        m_tap->release();
    }
}

void FrameLog::setWatched(bool watched)
{
    if (watched == m_watched)
        return;
    flush();
    m_watched = watched;
    updateTap();
}

void FrameLog::onTapped(const TappedFrame &frame)
{
    if (!m_using)
        return;
    m_waiting.append(frame);
    if (m_waiting.size() >= MaxWaiting)
        flush();
    else if (!m_batch.isActive())
        m_batch.start();
}

void FrameLog::flush()
{
    m_batch.stop();
    if (m_waiting.isEmpty())
        return;
    const QVector<TappedFrame> frames = std::move(m_waiting);
    m_waiting = QVector<TappedFrame>();
    if (m_file.isOpen()) {
        QByteArray text;
        for (const TappedFrame &f : frames)
            text += line(f).toUtf8() + '\n';
        writeLines(text);
    }
    emit framesLogged(frames);
}

QString FrameLog::line(const TappedFrame &f)
{
    using framedecode::Direction;
    const framedecode::Decoded d = framedecode::decode(f.direction, f.line, f.piece, f.bytes);
    return QStringLiteral("%1 %2 %3  %4  | %5")
        .arg(QDateTime::fromMSecsSinceEpoch(f.time).toString(
                 QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
             f.direction == Direction::In ? QStringLiteral("in ") : QStringLiteral("out"))
        .arg(f.bytes.size(), 5)
        .arg(framedecode::oneLine(d), hexText(f.bytes).trimmed());
}

bool FrameLog::openFile(const QString &path, qint64 limitBytes)
{
    closeFile();
    m_error.clear();
    m_limit = limitBytes;
    m_file.setFileName(path);
    if (QFileInfo(path).isDir() || !m_file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        m_error = QStringLiteral("The frame log %1 can't be written: %2")
                      .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()),
                           QFileInfo(path).isDir() ? QStringLiteral("it is a folder")
                                                   : m_file.errorString());
        qDebug() << QStringLiteral("/!\\") << m_error;
        emit fileChanged();
        return false;
    }
    updateTap();
    emit fileChanged();
    return true;
}

bool FrameLog::openConfigured(const settings::Store &store)
{
    const QString path = store.readString(settings::key::FrameLog).trimmed();
    if (path.isEmpty())
        return true;
    const int kb = store.readInt(settings::key::FrameLogSizeKb, settings::defaults::FrameLogSizeKb);
    return openFile(path, qint64(kb) * 1024);
}

void FrameLog::closeFile()
{
    flush();
    if (!m_file.isOpen())
        return;
    m_file.close();
    updateTap();
    emit fileChanged();
}

void FrameLog::failFile(const QString &error)
{
    m_error = error;
    qDebug() << QStringLiteral("/!\\") << error;
    m_file.close();
    updateTap();
    emit fileFailed(error);
    emit fileChanged();
}

bool FrameLog::rotate()
{
    // The file before goes, this one takes its name: two files at most, each under the limit.
    const QString path = m_file.fileName();
    const QString older = path + QStringLiteral(".1");
    m_file.close();
    QFile::remove(older);
    if (!QFile::rename(path, older) || !m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        failFile(QStringLiteral("The frame log %1 can't be rotated: %2")
                     .arg(QDir::toNativeSeparators(path), m_file.errorString()));
        return false;
    }
    return true;
}

bool FrameLog::writeLines(const QByteArray &text)
{
    if (m_file.size() > 0 && m_file.size() + text.size() > m_limit && !rotate())
        return false;
    if (m_file.write(text) != text.size() || !m_file.flush()) {
        failFile(QStringLiteral("The frame log %1 can't be written any more: %2")
                     .arg(QDir::toNativeSeparators(m_file.fileName()), m_file.errorString()));
        return false;
    }
    return true;
}
