#pragma once

#include "ptypeer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <QVector>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>

namespace sim
{

// Faults the wire applies to what the simulator sends. Counts of 0 and rates of 0 are off.
struct Faults {
    int dropEvery = 0;    // drop every Nth frame
    int corruptEvery = 0; // corrupt one byte of every Nth frame
    double dropRate = 0;  // or each frame with this probability
    double corruptRate = 0;
    int dropNext = 0;       // drop the next N frames
    int corruptNext = 0;    // corrupt the next N frames
    int unplugAfterMs = -1; // close the terminal this long after start()
    int replugAfterMs = -1; // and open it again this long after each unplug
    // LoRa dongle: refuse requests with 06 00, lose one fragment of a page answer.
    int refuseNext = 0;
    int refuseEvery = 0;
    int dropFragment = -1; // fragment number lost from the next page answer
    int dropFragmentEvery = 0;
    // Each byte sent is, with this probability, flipped, dropped or preceded by a stray byte (a
    // third of the time each), as a poor line does: frames come cut, merged or with wrong bytes.
    double byteFaultRate = 0;
    uint32_t seed = 1;
    // Firmware loaders stop acknowledging after this many page frames (-1 off).
    int loaderSilentAfter = -1;
};

// The simulator's end of the serial line: a pseudo-terminal whose slave the program opens. It
// queues the frames the dongle sends, spaces and paces them, applies the faults, and logs every
// frame both ways. It never blocks: what the terminal does not take now is written later from
// the event loop, so the program can share the thread.
class Wire : public QObject
{
    Q_OBJECT
public:
    explicit Wire(QObject *parent = nullptr);
    ~Wire() override;

    // Opens the terminal; nobody outside knows of it until publish().
    bool open();
    // Makes the stable link to the slave (none when empty); a program started on the link's
    // appearance finds a device that answers, so this is the last step of starting.
    bool publish(const QString &linkPath);
    QString slavePath() const { return m_peer.slavePath(); }
    QString linkPath() const { return m_linkPath; }
    bool isOpen() const { return m_peer.isOpen(); }
    // The terminal itself, for a front end that reads raw bytes (the dongle's loader).
    PtyPeer &peer() { return m_peer; }
    // Closes the terminal: the program's port sees the device vanish.
    void unplug();
    // A new terminal behind the same link path: the device is back, as when a dongle is
    // plugged in again (its slave path may differ, the link path does not).
    bool replug();

    // Queues one frame. It leaves no earlier than `delayMs` from now and, when `gapMs` > 0, at
    // least that long after the end of the frame before it (separate radio events must not
    // reach the program in one read). Frames with a `tag` can be cancelled while queued.
    void send(const QByteArray &frame, const QString &note, int delayMs = 0, int gapMs = 0,
              int tag = 0);
    // Raw bytes that are not a frame (the version byte), same rules.
    void sendRaw(const QByteArray &bytes, const QString &note, int delayMs = 0);
    void cancel(int tag);
    // Drops everything queued (the dongle's firmware restarting).
    void clearQueue();
    bool hasQueued(int tag) const;
    int queued() const { return int(m_queue.size()); }

    // 0: as fast as the terminal takes them; otherwise 10 bits a byte at this rate.
    void setBaud(int baud) { m_baud = baud; }
    int baud() const { return m_baud; }
    Faults &faults() { return m_faults; }
    void setFaults(const Faults &faults);
    // Starts the unplug timer of the faults.
    void start();

    bool setLogFile(const QString &path);
    void logLine(const QString &direction, const QByteArray &bytes, const QString &note);
    void logNote(const QString &note);

signals:
    // A well-formed API frame body from the program.
    void frameFromHost(const QByteArray &body);
    // Every queued frame has been written.
    void drained();
    void unplugged();
    void replugged();

private:
    struct Item {
        QByteArray bytes;
        QString note;
        int64_t notBefore = 0; // ns on the wire's clock
        int64_t gapNs = 0;
        int tag = 0;
        bool frame = true;
        int written = 0;
    };
    void enqueue(Item item);
    void pump();
    void schedule();
    bool applyFaults(QByteArray &bytes, QString &note);
    void applyByteFaults(QByteArray &bytes, QString &note);
    static constexpr int64_t MsNs = 1000000;
    // The wire keeps its time in nanoseconds: at 1,000,000 baud a byte takes 10 us, and a pace
    // kept in whole milliseconds stretched each 1070-byte frame by half a millisecond.
    int64_t now() const { return m_clock.nsecsElapsed(); }
    // When the line is free again: the end of the last paced byte.
    static constexpr double SecondNs = 1e9;
    int64_t lineFree() const
    {
        return m_paceStart + int64_t(std::ceil(double(m_paced) * 10 / m_baud * SecondNs));
    }
    int64_t reactionTime() const { return m_reacting ? m_lastEnd : now(); }

    PtyPeer m_peer;
    QString m_linkPath;
    QElapsedTimer m_clock;
    std::deque<Item> m_queue;
    QTimer m_pumpTimer;
    QTimer m_unplugTimer;
    QTimer m_replugTimer;
    int64_t m_lastEnd = 0;   // when the last byte of the previous frame left (ns)
    int64_t m_paceStart = 0; // pacing: when the current run of bytes began (ns)
    int64_t m_paced = 0;     // pacing: bytes written since then
    bool m_reacting = false; // drained() is being told
    int m_baud = 0;
    Faults m_faults;
    std::mt19937 m_rng{1};
    int64_t m_frameCount = 0;
    QFile m_log;
};

} // namespace sim
