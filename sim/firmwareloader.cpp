#include "firmwareloader.h"
#include "hextext.h"

#include "apiframe.h"
#include "fleet.h"
#include "wire.h"

#include <QTimer>

namespace sim
{

namespace
{
// A device needs a moment to copy its new firmware and start it before it is heard again. The
// host puts its dongle back on the device's channel a little after the end of the image, and
// what the device says before that is lost.
constexpr int RestartMs = 500;

} // namespace

void FirmwareLoader::enter()
{
    m_listening = true;
    m_frames.clear();
    m_size = 0;
}

FirmwareLoader::Reply FirmwareLoader::take(const QByteArray &data, int silentAfter)
{
    if (!m_listening)
        return Reply::None;
    const firmware::Layout &layout = firmware::layoutFor(m_target);
    const int counterSize = layout.counted ? firmware::CounterSize : 0;
    // An update that stopped half-way is not resumed: the next one starts with the probe.
    if (m_target == firmware::Target::Sensor && data.size() == 1 &&
        uint8_t(data[0]) == firmware::Probe) {
        m_frames.clear();
        return Reply::Marker;
    }
    if (data.size() == firmware::EndDataSize && uint8_t(data[0]) == firmware::EndMark0 &&
        uint8_t(data[1]) == firmware::EndMark1)
        return endOfImage(data);
    if (data.size() != counterSize + layout.slotCount)
        return Reply::None;
    if (silentAfter >= 0 && m_frames.size() >= silentAfter)
        return Reply::None;
    const Reply ok = layout.counted ? Reply::Ack : Reply::Marker;
    if (layout.counted) {
        const int counter = uint8_t(data[0]) | (uint8_t(data[1]) << 8);
        // The first frame of a new image: whatever an interrupted update left is forgotten.
        if (counter == 0)
            m_frames.clear();
        // The same frame again: our acknowledgement was lost, the host repeats it.
        if (counter + 1 == m_frames.size())
            return ok;
        if (counter != (m_frames.size() & 0xFFFF))
            return Reply::None;
    }
    m_frames.append(data.mid(counterSize));
    return ok;
}

FirmwareLoader::Reply FirmwareLoader::endOfImage(const QByteArray &data)
{
    const firmware::Layout &layout = firmware::layoutFor(m_target);
    m_size = (uint32_t(uint8_t(data[2])) << 24) | (uint32_t(uint8_t(data[3])) << 16) |
             (uint32_t(uint8_t(data[4])) << 8) | uint8_t(data[5]);
    // Each page is the first page-size bytes of its frames; the rest of its frames is filler.
    QByteArray whole;
    QByteArray filler;
    for (int first = 0; first < m_frames.size(); first += layout.framesPerPage) {
        QByteArray page;
        for (int k = first; k < std::min(m_frames.size(), first + layout.framesPerPage); ++k)
            page += m_frames[k];
        whole += page.left(layout.pageSize);
        filler = page.mid(layout.pageSize);
    }
    // The frames must be exactly those the size needs, and only filler may follow the image.
    const qint64 size = m_size;
    const qint64 fullPages = size / layout.pageSize;
    const qint64 rest = size % layout.pageSize;
    const qint64 needed = std::max<qint64>(1, fullPages * layout.framesPerPage +
                                                  (rest + layout.slotCount - 1) / layout.slotCount);
    const QByteArray tail = whole.mid(int(std::min<qint64>(size, whole.size()))) + filler;
    const bool sound = m_frames.size() == needed && whole.size() >= size &&
                       tail.count(char(firmware::Filler)) == tail.size();
    m_frames.clear();
    if (!sound)
        return Reply::Refused;
    m_image = whole.left(int(size));
    m_listening = false;
    return Reply::Finished;
}

LoaderRadio::LoaderRadio(Fleet &fleet, Wire &wire, QObject *parent)
    : QObject(parent), m_fleet(fleet), m_wire(wire)
{
}

bool LoaderRadio::transmit(uint16_t serialNumber, const QByteArray &data)
{
    Device *d = m_fleet.device(serialNumber);
    if (!d || m_fleet.channel() != firmware::LoaderChannel || d->config().rssi < 0 ||
        !d->loader().listening())
        return false;
    const int silentAfter = m_wire.faults().loaderSilentAfter;
    const FirmwareLoader::Reply reply = d->loader().take(data, silentAfter);
    const QString sn = hex4(serialNumber);
    switch (reply) {
    case FirmwareLoader::Reply::None:
        m_wire.logNote(QStringLiteral("%1 loader: no answer to %2 bytes (frame %3)")
                           .arg(sn)
                           .arg(data.size())
                           .arg(d->loader().framesTaken()));
        break;
    case FirmwareLoader::Reply::Marker:
        m_wire.sendRaw(QByteArray(1, char(api::Marker)), sn + QStringLiteral(" loader marker"));
        break;
    case FirmwareLoader::Reply::Ack:
        m_wire.send(
            api::rx16Frame(serialNumber, uint8_t(d->config().rssi), QByteArray(1, char(api::Ack))),
            sn + QStringLiteral(" loader ack"), 0, m_fleet.dongleConfig().frameGapMs);
        break;
    case FirmwareLoader::Reply::Finished:
        m_wire.logNote(QStringLiteral("%1 loader: image of %2 bytes complete")
                           .arg(sn)
                           .arg(d->loader().image().size()));
        QTimer::singleShot(RestartMs, this, [this, serialNumber] {
            const Device *back = m_fleet.device(serialNumber);
            comeBack(serialNumber, back && !back->config().updateFails);
        });
        break;
    case FirmwareLoader::Reply::Refused:
        m_wire.logNote(QStringLiteral("%1 loader: image refused, %2 bytes announced")
                           .arg(sn)
                           .arg(d->loader().announcedSize()));
        break;
    }
    return true;
}

void LoaderRadio::comeBack(uint16_t serialNumber, bool updated)
{
    Device *d = m_fleet.device(serialNumber);
    if (!d)
        return;
    if (updated)
        d->setVersion(d->config().updateVersion >= 0 ? d->config().updateVersion
                                                     : (d->config().version + 1) & 0xFF);
    m_wire.logNote(QStringLiteral("%1 restarts with version %2")
                       .arg(hex4(serialNumber))
                       .arg(d->config().version));
    if (d->isRelay())
        d->loader().enter(); // listens for the next image at once
    if (!d->isRelay()) {
        // Its first status frame, on its own channel.
        m_fleet.wake(serialNumber);
        return;
    }
    if (!updated)
        return;
    QByteArray word(1, char(firmware::RelayUpdated));
    word.append(char(d->config().version));
    if (m_fleet.channel() == d->radioChannel())
        m_wire.send(api::rx16Frame(serialNumber, uint8_t(d->config().rssi), word),
                    hex4(serialNumber) + QStringLiteral(" updated"), 0,
                    m_fleet.dongleConfig().frameGapMs);
    else
        m_wire.logNote(QStringLiteral("%1 says it is updated; the dongle is on another channel")
                           .arg(hex4(serialNumber)));
}

} // namespace sim
