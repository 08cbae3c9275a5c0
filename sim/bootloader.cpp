#include "bootloader.h"

#include "loader.h"
#include "ptypeer.h"
#include "wire.h"

namespace sim
{

BootLoader::BootLoader(PtyPeer &peer, Wire &wire, QObject *parent)
    : QObject(parent), m_peer(peer), m_wire(wire)
{
    m_quiet.setSingleShot(true);
    connect(&m_quiet, &QTimer::timeout, this,
            [this] { restart(false, QStringLiteral("loader: nothing for %1 ms").arg(QuietMs)); });
    connect(&m_peer, &PtyPeer::bytesReceived, this, &BootLoader::onBytes);
}

void BootLoader::enter()
{
    m_active = true;
    m_synced = false;
    m_input.clear();
    m_lines.clear();
    m_syncRequests = 0;
    ++m_entries;
    // Whatever the firmware was assembling is gone with it.
    m_peer.clearPending();
    m_quiet.start(QuietMs);
    m_wire.logNote(QStringLiteral("loader: started, waiting at %1 baud").arg(loader::BaudRate));
}

void BootLoader::onBytes(const QByteArray &bytes)
{
    if (!m_active)
        return;
    if (m_peer.lineSpeed() != loader::BaudRate) {
        // A host back at the firmware's rate: the loader sees framing errors, gives up, and the
        // firmware it had takes over (these bytes are lost).
        restart(false, QStringLiteral("loader: %1 bytes at another rate").arg(bytes.size()));
        return;
    }
    m_quiet.start(QuietMs);
    m_wire.logLine(QStringLiteral("H>D"), bytes, QStringLiteral("loader input"));
    m_input.append(bytes);
    take();
}

void BootLoader::take()
{
    const QByteArray sync = loader::syncRequest();
    while (m_active && !m_input.isEmpty()) {
        if (m_input.startsWith(sync)) {
            m_input.remove(0, sync.size());
            ++m_syncRequests;
            const bool answer = !m_faults.noSync && (m_faults.syncOnAttempt <= 0 ||
                                                     m_syncRequests == m_faults.syncOnAttempt);
            if (answer) {
                m_synced = true;
                m_wire.sendRaw(
                    loader::syncAnswer(),
                    QStringLiteral("loader: sync answer (request %1)").arg(m_syncRequests));
            } else {
                m_wire.logNote(
                    QStringLiteral("loader: sync request %1 not answered").arg(m_syncRequests));
            }
            continue;
        }
        if (sync.startsWith(m_input))
            return; // maybe the start of a request
        if (!m_synced || m_input[0] != 'S') {
            m_input.remove(0, 1); // noise
            continue;
        }
        const int length = loader::encodedLineLength(m_input);
        if (length < 0 || m_input.size() < length)
            return;
        const QByteArray line = m_input.left(length);
        m_input.remove(0, length);
        m_lines.append(line);
        const int number = m_lines.size();
        if (number == m_faults.noAckLine) {
            m_wire.logNote(QStringLiteral("loader: line %1 not acknowledged").arg(number));
            continue;
        }
        QByteArray ack = loader::lineAck();
        if (number == m_faults.noisyAckLine)
            ack.prepend('\0');
        m_wire.sendRaw(ack, QStringLiteral("loader: ack line %1").arg(number));
        if (loader::isTerminationLine(line))
            restart(true, QStringLiteral("loader: image complete, %1 lines").arg(number));
    }
}

void BootLoader::restart(bool updated, const QString &why)
{
    if (!m_active)
        return;
    m_active = false;
    m_quiet.stop();
    m_input.clear();
    // Bytes the loader swallowed must not be read as the start of an API frame.
    m_peer.clearPending();
    m_wire.logNote(why + (updated ? QStringLiteral(", new firmware runs")
                                  : QStringLiteral(", previous firmware runs")));
    emit restarted(updated);
}

} // namespace sim
