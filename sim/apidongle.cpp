#include "apidongle.h"
#include "hextext.h"

#include "apiframe.h"
#include "loader.h"
#include "page.h"
#include "powermeter.h"
#include "waveformframe.h"

#include <QTimer>
#include <algorithm>

namespace sim
{

namespace
{
uint16_t be16(const QByteArray &b, int at)
{
    return uint16_t((uint8_t(b[at]) << 8) | uint8_t(b[at + 1]));
}
} // namespace

ApiDongle::ApiDongle(Fleet &fleet, Wire &wire, QObject *parent)
    : QObject(parent), m_fleet(fleet), m_wire(wire), m_loaders(fleet, wire),
      m_loader(wire.peer(), wire)
{
    m_fleet.setListener(this);
    connect(&m_loader, &BootLoader::restarted, this, [this](bool updated) {
        if (updated)
            ++m_updates;
    });
    connect(&m_wire, &Wire::frameFromHost, this, &ApiDongle::handle);
    connect(&m_wire, &Wire::drained, this, [this] { streamStep(0); });
    m_notReady = m_fleet.dongleConfig().lateAnswers;
    connect(&m_wire, &Wire::replugged, this,
            [this] { m_notReady = m_fleet.dongleConfig().lateAnswers; });
}

QByteArray ApiDongle::receiveFrame(uint16_t source, uint8_t rssi, const QByteArray &data)
{
    return api::rx16Frame(source, rssi, data);
}

QByteArray ApiDongle::pageFrameData(uint8_t request, int firstPage, const QByteArray &pages)
{
    QByteArray data;
    data.append(char(request));
    data.append(char(firstPage >> 8));
    data.append(char(firstPage & 0xFF));
    const int count = pages.size() / page::Size;
    data.append(char(count >> 8));
    data.append(char(count & 0xFF));
    data.append(pages);
    return data;
}

void ApiDongle::deliver(uint16_t source, uint8_t rssi, const QByteArray &data, const QString &note)
{
    // The loader owns the serial line: what the radio hears meanwhile is not kept for later
    // (the firmware that would deliver it is not running), and a frame between two loader
    // acknowledgements would break the upload.
    if (m_loader.active()) {
        m_wire.logNote(QStringLiteral("in the loader, not delivered: ") + note);
        return;
    }
    const QByteArray frame = receiveFrame(source, rssi, data);
    if (!m_fleet.dongleConfig().backToBack) {
        // Frames the radio hears are separate events: the gap keeps two of them out of one read.
        m_wire.send(frame, note, 0, m_fleet.dongleConfig().frameGapMs);
        return;
    }
    // A dongle that buffers its radio events hands over all it has in one write.
    if (m_joined.isEmpty())
        QTimer::singleShot(0, this, [this] {
            if (!m_loader.active())
                m_wire.send(m_joined, m_joinedNote);
            m_joined.clear();
            m_joinedNote.clear();
        });
    else
        m_joinedNote += QStringLiteral(" + ");
    m_joined += frame;
    m_joinedNote += note;
}

void ApiDongle::heardStatus(const Device &device, const answer::Status &status, const Path &path)
{
    QByteArray data = answer::buildFrame(status);
    // Heard directly, the frame ends with its 0xC1; a relay adds what it measured.
    if (path.relay)
        data.append(char(path.extra));
    QString note = QStringLiteral("status %1 fn %2")
                       .arg(hex4(device.serialNumber()))
                       .arg(status.function, 2, 16, QChar('0'));
    if (path.relay)
        note += QStringLiteral(" via %1 rssi %2").arg(hex4(path.relay)).arg(path.extra);
    if (status.firstPage != answer::NoPage || status.lastPage != answer::NoPage)
        note += QStringLiteral(" pages %1-%2")
                    .arg(status.firstPage, 4, 16, QChar('0'))
                    .arg(status.lastPage, 4, 16, QChar('0'));
    deliver(device.serialNumber(), path.rssi, data, note);
}

void ApiDongle::heardRssiList(uint16_t source, uint8_t rssi,
                              const QVector<command::RssiEntry> &entries)
{
    // At most 64 entries a frame.
    constexpr int PerFrame = 64;
    int at = 0;
    do {
        const QVector<command::RssiEntry> chunk = entries.mid(at, PerFrame);
        deliver(source, rssi, command::rssiListFrame(chunk),
                QStringLiteral("rssi list of %1, %2 entries").arg(hex4(source)).arg(chunk.size()));
        at += PerFrame;
    } while (at < entries.size());
}

void ApiDongle::heardRelayListAck(uint16_t relay, uint8_t rssi, const QVector<uint16_t> &list)
{
    deliver(relay, rssi, command::relayListAckFrame(list),
            QStringLiteral("relay %1 list, %2 sensors").arg(hex4(relay)).arg(list.size()));
}

void ApiDongle::heardRelayChannel(uint16_t relay, uint8_t rssi, uint8_t value)
{
    QByteArray data(1, char(command::RelayChannel));
    data.append(char(value));
    deliver(relay, rssi, data, QStringLiteral("relay %1 channel %2").arg(hex4(relay)).arg(value));
}

bool ApiDongle::notReady(const QString &query)
{
    if (m_notReady == 0)
        return false;
    --m_notReady;
    m_wire.logNote(
        QStringLiteral("%1: not ready yet, no answer (%2 more)").arg(query).arg(m_notReady));
    return true;
}

int ApiDongle::version() const
{
    return std::min(255, m_fleet.version() + m_updates);
}

void ApiDongle::handle(const QByteArray &body)
{
    // The loader reads raw bytes; a frame found in them by chance is nobody's.
    if (m_loader.active())
        return;
    const uint8_t id = body.isEmpty() ? 0 : uint8_t(body[0]);
    auto log = [&](const QString &note) {
        m_wire.logLine(QStringLiteral("H>D"), api::buildFrame(body), note);
    };
    auto needs = [&](int size) {
        if (body.size() >= size)
            return true;
        log(QStringLiteral("body too short for 0x%1, ignored").arg(id, 2, 16, QChar('0')));
        return false;
    };
    if (body == loader::entryCommand()) {
        log(QStringLiteral("restart into the loader"));
        stopStream();
        // The restart loses what the firmware had not yet written to the host.
        m_wire.clearQueue();
        m_loader.enter();
        return;
    }
    switch (id) {
    case command::ReadChannel:
        log(QStringLiteral("read channel"));
        if (notReady(QStringLiteral("read channel")))
            return;
        deliver(0, 0, QByteArray(1, char(command::ReadChannel)) + char(m_fleet.channel()),
                QStringLiteral("channel %1").arg(m_fleet.channel()));
        return;
    case command::SetChannel:
        if (!needs(2))
            return;
        log(QStringLiteral("set channel %1").arg(uint8_t(body[1])));
        m_fleet.setChannel(uint8_t(body[1]));
        return;
    case command::ReadVersion:
        log(QStringLiteral("read version"));
        if (notReady(QStringLiteral("read version")))
            return;
        // A moment later than the rest: the host drops what is pending right after asking.
        m_wire.sendRaw(QByteArray(1, char(version())), QStringLiteral("version %1").arg(version()),
                       2);
        return;
    case command::RunEnd:
    case command::RunStart:
        log(QStringLiteral("control byte 0x%1").arg(id, 2, 16, QChar('0')));
        return;
    case api::TxDirect: {
        if (!needs(6))
            return;
        const uint16_t sn = be16(body, 2);
        const QByteArray data = body.mid(5);
        log(QStringLiteral("to %1 direct: %2")
                .arg(hex4(sn))
                .arg(data.size() == 1
                         ? QStringLiteral("byte %1").arg(uint8_t(data[0]), 2, 16, QChar('0'))
                         : QStringLiteral("sensor frame")));
        if (m_loaders.transmit(sn, data))
            return;
        m_fleet.transmit(sn, 0, data);
        return;
    }
    case api::TxRelay: {
        if (!needs(6))
            return;
        const uint16_t sn = be16(body, 1);
        const uint16_t relay = be16(body, 3);
        const QByteArray data = body.mid(5);
        log(QStringLiteral("to %1 via %2: %3")
                .arg(hex4(sn), hex4(relay))
                .arg(data.size() == 1
                         ? QStringLiteral("byte %1").arg(uint8_t(data[0]), 2, 16, QChar('0'))
                         : QStringLiteral("sensor frame")));
        m_fleet.transmit(sn, relay, data);
        return;
    }
    case command::WakeTarget:
        if (!needs(3))
            return;
        log(QStringLiteral("wake target %1").arg(hex4(be16(body, 1))));
        m_fleet.addWakeTarget(be16(body, 1));
        return;
    case command::AckDirect:
        if (!needs(3))
            return;
        log(QStringLiteral("end current %1").arg(hex4(be16(body, 1))));
        m_fleet.ackDirect(be16(body, 1));
        return;
    case command::SetCurrent:
        if (!needs(3))
            return;
        log(QStringLiteral("set current %1").arg(hex4(be16(body, 1))));
        m_fleet.setCurrent(be16(body, 1));
        return;
    case command::RelayRefresh:
        log(QStringLiteral("relay refresh"));
        m_fleet.refreshRelays();
        return;
    case command::RssiLists: {
        const uint16_t address = body.size() >= 3 ? be16(body, 1) : command::Everyone;
        log(QStringLiteral("rssi lists of %1").arg(hex4(address)));
        m_fleet.requestRssiLists(address);
        return;
    }
    case command::RelayRegister:
    case command::RelayRelease:
    case command::RelayAddCurrent:
        if (!needs(5))
            return;
        log(QStringLiteral("relay %1 list op 0x%2 sensor %3")
                .arg(hex4(be16(body, 3)))
                .arg(id, 2, 16, QChar('0'))
                .arg(hex4(be16(body, 1))));
        m_fleet.relayList(id, be16(body, 1), be16(body, 3));
        return;
    case command::RelayChannel:
        if (!needs(5))
            return;
        log(QStringLiteral("relay %1 channel %2").arg(hex4(be16(body, 3))).arg(uint8_t(body[1])));
        m_fleet.relayChannel(uint8_t(body[1]), be16(body, 3));
        return;
    case command::PageRequest: {
        if (!needs(7))
            return;
        const uint16_t sn = be16(body, 1);
        const int first = be16(body, 3);
        const int count = uint8_t(body[6]);
        if (first == waveform::BufferPage) {
            log(QStringLiteral("waveform buffers of %1").arg(hex4(sn)));
            sendWaveform(sn);
            return;
        }
        log(QStringLiteral("pages of %1 from %2, %3").arg(hex4(sn)).arg(first).arg(count));
        startStream(id, sn, 0, first, count);
        return;
    }
    case command::PageRequestRelay: {
        if (!needs(9))
            return;
        const uint16_t sn = be16(body, 1);
        const uint16_t relay = be16(body, 3);
        const int first = be16(body, 5);
        const int count = be16(body, 7);
        log(QStringLiteral("pages of %1 via %2 from %3, %4")
                .arg(hex4(sn), hex4(relay))
                .arg(first)
                .arg(count));
        startStream(id, sn, relay, first, count);
        return;
    }
    default:
        log(QStringLiteral("unknown body, ignored"));
        return;
    }
}

void ApiDongle::stopStream()
{
    if (m_stream.active || m_stream.tag)
        m_wire.cancel(m_stream.tag);
    m_stream.active = false;
}

void ApiDongle::startStream(uint8_t request, uint16_t serialNumber, uint16_t relay, int first,
                            int count)
{
    stopStream();
    // Serial number 0 or a count of 0 is the stop request.
    if (serialNumber == 0 || count == 0)
        return;
    if (first >= page::RingPages) {
        m_wire.logNote(QStringLiteral("page %1 is not memory: no answer").arg(first));
        return;
    }
    Device *d = m_fleet.reachable(serialNumber, relay);
    if (!d) {
        m_wire.logNote(QStringLiteral("%1 cannot be reached for pages").arg(hex4(serialNumber)));
        return;
    }
    m_fleet.touch(*d);
    m_stream.active = true;
    m_stream.request = request;
    m_stream.serialNumber = serialNumber;
    m_stream.relay = relay;
    m_stream.next = first;
    // A request that would run past the last page ends there.
    m_stream.remaining = std::min(count, page::RingPages - first);
    m_stream.tag = m_nextTag++;
    // The dongle needs a moment to fetch the first page from the sensor, and the host flushes
    // its input right after asking: an instant answer would be thrown away.
    streamStep(m_fleet.dongleConfig().pageLatencyMs);
}

void ApiDongle::streamStep(int delayMs)
{
    if (!m_stream.active || m_wire.hasQueued(m_stream.tag))
        return;
    Device *d = m_fleet.reachable(m_stream.serialNumber, m_stream.relay);
    if (!d) {
        m_wire.logNote(
            QStringLiteral("%1 went away during a download").arg(hex4(m_stream.serialNumber)));
        m_stream.active = false;
        return;
    }
    d->catchUp(m_fleet.simNowMs());
    m_fleet.touch(*d);
    const int first = m_stream.next;
    const int n = (m_stream.remaining >= 2 && first + 1 < page::RingPages) ? 2 : 1;
    QByteArray pages;
    for (int k = 0; k < n; ++k)
        pages.append(d->memory().pageBytes(first + k));
    const Path path = m_fleet.pathOf(*d, m_stream.relay);
    m_wire.send(
        receiveFrame(m_stream.serialNumber, path.rssi,
                     pageFrameData(m_stream.request, first, pages)),
        QStringLiteral("%1 page %2 (+%3)").arg(hex4(m_stream.serialNumber)).arg(first).arg(n),
        delayMs, 0, m_stream.tag);
    m_stream.next += n;
    m_stream.remaining -= n;
    if (m_stream.remaining <= 0)
        m_stream.active = false;
}

void ApiDongle::sendWaveform(uint16_t serialNumber)
{
    Device *d = m_fleet.reachable(serialNumber, 0);
    PowerMeter *meter = d ? d->powerMeter() : nullptr;
    if (!meter) {
        m_wire.logNote(QStringLiteral("%1 has no waveform: no answer")
                           .arg(serialNumber, 4, 16, QChar('0'))
                           .toUpper());
        return;
    }
    m_fleet.touch(*d);
    const Path path = m_fleet.pathOf(*d, 0);
    const QString sn = QStringLiteral("%1").arg(serialNumber, 4, 16, QChar('0')).toUpper();
    // The meter needs a moment to fetch its buffers, and the host drops its input right after
    // asking; the second frame is a separate radio event.
    const DongleConfig &c = m_fleet.dongleConfig();
    m_wire.send(receiveFrame(serialNumber, path.rssi, meter->frameData(1)),
                QStringLiteral("%1 voltage samples").arg(sn), c.pageLatencyMs, c.frameGapMs);
    m_wire.send(receiveFrame(serialNumber, path.rssi, meter->frameData(2)),
                QStringLiteral("%1 current samples").arg(sn), 0, c.frameGapMs);
}

} // namespace sim
