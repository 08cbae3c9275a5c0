#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;

// The far end of a pseudo-terminal: the program opens the slave side as its serial port, the
// peer reads what the program sent from the master side and writes answers back. Lives on the
// caller's thread and is driven by its event loop, so the program's own waits (which process
// events) let the peer answer in the middle of an exchange.
class PtyPeer : public QObject
{
    Q_OBJECT
public:
    // Longest frame body taken from the program; a longer announced length is noise.
    static constexpr int MaxBody = 2048;

    explicit PtyPeer(QObject *parent = nullptr);
    ~PtyPeer() override;

    bool open();
    bool isOpen() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    // A stable name for the slave side (a symbolic link, replaced if it exists).
    bool makeLink(const QString &linkPath);
    // Unplugs: the master side closes and the program's port sees the device vanish.
    void close();

    // Writes now, in one call.
    bool write(const QByteArray &bytes);
    // Writes what the terminal takes now without waiting: the count written, 0 when it is
    // full, -1 when it is closed or broken. Lets a peer on the program's own thread keep
    // feeding a slow reader from its event loop instead of stalling it.
    int writeSome(const char *bytes, int count);
    // Bytes the program sent are kept for received() and frames(); a long-running peer that
    // never looks at them turns that off.
    void setKeepHistory(bool keep) { m_keepHistory = keep; }
    // Writes each chunk gapMs after the previous one, from the event loop.
    void writeChunks(const QList<QByteArray> &chunks, int gapMs);
    // Writes after delayMs, from the event loop.
    void writeLater(const QByteArray &bytes, int delayMs);

    // Everything the program sent since the last clear.
    QByteArray received() const { return m_received; }
    void clearReceived() { m_received.clear(); }
    // Runs the event loop until at least `count` bytes were received or the time is up.
    bool waitForReceived(int count, int timeoutMs);
    // Bodies of the API frames the program sent, in order, since the last clear.
    QList<QByteArray> frames() const { return m_frames; }
    void clearFrames() { m_frames.clear(); }

    // Pulls what the program wrote; normally done by the socket notifier.
    void poll();
    // Forgets a frame being assembled (the bytes were not meant as frames).
    void clearPending() { m_pending.clear(); }
    // The rate the program set on its side of the terminal, for the standard rates; 0 for any
    // other (a custom rate) or when it cannot be read.
    int lineSpeed() const;

signals:
    void bytesReceived(const QByteArray &bytes);
    // One complete, well-formed API frame from the program (its body).
    void frameReceived(const QByteArray &body);

private:
    void splitFrames();

    int m_master = -1;
    int m_slaveKeeper = -1;
    QString m_slavePath;
    QString m_linkPath;
    QSocketNotifier *m_notifier = nullptr;
    QByteArray m_received;
    QByteArray m_pending;
    QList<QByteArray> m_frames;
    bool m_keepHistory = true;
};
