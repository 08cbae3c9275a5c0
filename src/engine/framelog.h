#pragma once

#include "frametap.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

namespace settings
{
class Store;
}

// The frame log: what the link's tap sees, handed on in batches to the frame view, and written
// to a file, one decoded line per frame, while one is open. The tap runs only while the view is
// watched or a file is open; the frames wait at most BatchMs, so neither the decoding of the
// file lines nor the view's updates happen inside an exchange.
class FrameLog : public QObject
{
    Q_OBJECT
public:
    static constexpr int BatchMs = 100;
    // Frames kept waiting for the batch at most: a burst beyond this goes out at once.
    static constexpr int MaxWaiting = 2048;

    explicit FrameLog(FrameTap *tap, QObject *parent = nullptr);
    ~FrameLog() override;

    // The tap runs while the log is watched or its file is open; framesLogged() hands on every
    // frame it sees, so a view opened late shows what came while the file was being written.
    void setWatched(bool watched);
    bool watched() const { return m_watched; }

    // Appends a line per frame to `path`; once the file holds `limitBytes`, it becomes
    // `path`.1 (replacing the one before) and a new file is begun. False, with fileError()
    // telling why, when the file cannot be opened for writing.
    bool openFile(const QString &path, qint64 limitBytes);
    // The file LOG/FRAME_LOG of `store` names, rotated at LOG/FRAME_LOG_SIZE_KB; true when
    // none is named.
    bool openConfigured(const settings::Store &store);
    void closeFile();
    bool fileOpen() const { return m_file.isOpen(); }
    QString filePath() const { return m_file.fileName(); }
    // Why the file could not be opened or written; empty while all is well.
    QString fileError() const { return m_error; }

    // What waits goes out now.
    void flush();

    // The file's line for a frame: local time, direction, length, meaning (with the reason a
    // refused frame was refused), and its bytes.
    static QString line(const TappedFrame &frame);

signals:
    void framesLogged(const QVector<TappedFrame> &frames);
    // The file could not be written any more and was closed.
    void fileFailed(const QString &error);
    // A file was opened, closed or failed: what fileOpen(), filePath() and fileError() say
    // changed.
    void fileChanged();

private:
    void onTapped(const TappedFrame &frame);
    void updateTap();
    bool writeLines(const QByteArray &text);
    bool rotate();
    void failFile(const QString &error);

    FrameTap *m_tap;
    bool m_using = false;
    bool m_watched = false;
    QVector<TappedFrame> m_waiting;
    QTimer m_batch;
    QFile m_file;
    qint64 m_limit = 0;
    QString m_error;
};
