#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTimer>

class PtyPeer;

namespace sim
{

class Wire;

// The 802.15.4 dongle's loader: what runs after the firmware obeyed the loader-entry command.
// It speaks raw bytes at the loader rate only; bytes the host sends at any other rate are
// garbage to it. It answers the synchronisation request, then takes encoded S-record lines and
// acknowledges each. The termination record starts the new firmware; a host talking at another
// rate again, or a long silence, gives up and starts the firmware it had.
class BootLoader : public QObject
{
    Q_OBJECT
public:
    // The loader gives up after this long without a byte.
    static constexpr int QuietMs = 2000;

    // Misbehaviour a test or the command line asks for. Line numbers are 1-based; 0 is off.
    struct Faults {
        bool noSync = false;   // never answers the synchronisation
        int syncOnAttempt = 0; // answers only the Nth synchronisation request
        int noAckLine = 0;     // takes line N but never acknowledges it
        int noisyAckLine = 0;  // one stray byte in front of line N's acknowledgement
    };

    BootLoader(PtyPeer &peer, Wire &wire, QObject *parent = nullptr);

    // The firmware restarts into the loader.
    void enter();
    bool active() const { return m_active; }
    Faults &faults() { return m_faults; }

    // What the last session received: encoded lines in order (kept after it ended).
    QList<QByteArray> lines() const { return m_lines; }
    int syncRequests() const { return m_syncRequests; }
    // Loader entries since the start.
    int entries() const { return m_entries; }

signals:
    // The firmware runs again: the new image when `updated`, else the one it had.
    void restarted(bool updated);

private:
    void onBytes(const QByteArray &bytes);
    void take();
    void restart(bool updated, const QString &why);

    PtyPeer &m_peer;
    Wire &m_wire;
    Faults m_faults;
    QTimer m_quiet;
    QByteArray m_input;
    QList<QByteArray> m_lines;
    bool m_active = false;
    bool m_synced = false;
    int m_syncRequests = 0;
    int m_entries = 0;
};

} // namespace sim
