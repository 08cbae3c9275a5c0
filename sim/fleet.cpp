#include "fleet.h"
#include "hextext.h"

#include "framebuffer.h"
#include "waveformframe.h"

#include <QDateTime>
#include <algorithm>

namespace sim
{

int64_t wallClockMs()
{
    const QDateTime local = QDateTime::currentDateTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).toMSecsSinceEpoch();
}

namespace
{
} // namespace

Fleet::Fleet(const Scenario &scenario, QObject *parent)
    : QObject(parent), m_dongle(scenario.dongle), m_speed(scenario.speed),
      m_channel(scenario.dongle.channel)
{
    for (const DeviceConfig &config : scenario.devices)
        m_devices.push_back(std::make_unique<Device>(config, m_channel));
    m_real.start();
    m_baseSimMs = wallClockMs();
    m_tick.setInterval(10);
    connect(&m_tick, &QTimer::timeout, this, [this] { runSchedules(true); });
}

Fleet::~Fleet() = default;

void Fleet::start()
{
    if (m_started)
        return;
    m_started = true;
    const int64_t now = simNowMs();
    for (auto &d : m_devices) {
        d->start(now);
        d->lastHeardMs = now;
        d->announcing = d->listensAlways();
        const DeviceConfig &c = d->config();
        int64_t first = c.firstWakeSeconds;
        if (d->listensAlways())
            first = first >= 0 ? first : 1 + c.serialNumber % 3;
        else if (first < 0)
            first = c.wakeSeconds > 0 ? 1 + (c.serialNumber * 7919) % c.wakeSeconds : 0;
        d->nextWakeMs = now + first * 1000;
    }
    m_tick.start();
}

int64_t Fleet::simNowMs() const
{
    return m_baseSimMs + int64_t(double(m_real.elapsed() - m_baseRealMs) * m_speed);
}

void Fleet::setSpeed(double speed)
{
    if (speed <= 0)
        return;
    m_baseSimMs = simNowMs();
    m_baseRealMs = m_real.elapsed();
    m_speed = speed;
}

void Fleet::advance(int64_t ms)
{
    if (ms > 0)
        m_baseSimMs += ms;
    tick();
}

Device *Fleet::device(uint16_t serialNumber)
{
    for (auto &d : m_devices)
        if (d->serialNumber() == serialNumber)
            return d.get();
    return nullptr;
}

void Fleet::setChannel(int channel)
{
    if (channel >= api::FirstChannel && channel <= api::LastChannel)
        m_channel = channel;
}

bool Fleet::hearsDirectly(const Device &d) const
{
    return d.config().rssi >= 0 && d.radioChannel() == m_channel;
}

bool Fleet::relayHears(const Device &relay, const Device &d) const
{
    return d.config().relay == relay.serialNumber() && d.radioChannel() == relay.radioChannel();
}

bool Fleet::awake(const Device &d) const
{
    return d.listensAlways() || realNowMs() < d.awakeUntilMs;
}

void Fleet::touch(Device &d)
{
    if (!d.listensAlways())
        d.awakeUntilMs = std::max(d.awakeUntilMs, realNowMs() + m_dongle.awakeMs);
}

Path Fleet::pathOf(const Device &d, uint16_t viaRelay) const
{
    Path p;
    if (viaRelay == 0) {
        p.rssi = uint8_t(std::max(0, d.config().rssi));
        return p;
    }
    p.relay = viaRelay;
    for (const auto &r : m_devices)
        if (r->serialNumber() == viaRelay)
            p.rssi = uint8_t(std::max(0, r->config().rssi));
    p.extra = uint8_t(d.config().relayRssi);
    return p;
}

Device *Fleet::reachable(uint16_t serialNumber, uint16_t relay)
{
    Device *d = device(serialNumber);
    if (!d || !awake(*d))
        return nullptr;
    if (relay == 0)
        return hearsDirectly(*d) ? d : nullptr;
    Device *r = device(relay);
    if (!r || !r->isRelay() || !hearsDirectly(*r) || !relayHears(*r, *d))
        return nullptr;
    return d;
}

void Fleet::answer(Device &d, const answer::Status &status, const Path &path)
{
    d.lastHeardMs = simNowMs();
    if (path.relay)
        if (Device *r = device(path.relay))
            r->lastHeardMs = d.lastHeardMs;
    if (m_listener)
        m_listener->heardStatus(d, status, path);
}

void Fleet::sendStatus(Device &d, uint8_t function, const Path &path)
{
    answer(d, d.status(simNowMs(), function), path);
}

bool Fleet::wake(uint16_t serialNumber)
{
    Device *d = device(serialNumber);
    if (!d)
        return false;
    const uint16_t sn = d->serialNumber();
    if (d->inLoader()) {
        emit note(QStringLiteral("%1 is in its loader: no status").arg(hex4(sn)));
        return true;
    }
    bool wanted = m_wakeTargets.contains(sn);
    if (Device *r = d->config().relay ? device(d->config().relay) : nullptr)
        wanted = wanted || r->relayList.contains(sn);
    if (!d->listensAlways())
        d->awakeUntilMs = realNowMs() + (wanted ? m_dongle.awakeMs : m_dongle.listenMs);
    if (hearsDirectly(*d)) {
        sendStatus(*d, 0, pathOf(*d, 0));
        return true;
    }
    Device *r = d->config().relay ? device(d->config().relay) : nullptr;
    if (r && hearsDirectly(*r) && relayHears(*r, *d)) {
        sendStatus(*d, 0, pathOf(*d, r->serialNumber()));
        return true;
    }
    emit note(QStringLiteral("%1 woke but nobody heard it").arg(hex4(sn)));
    return true;
}

void Fleet::tick()
{
    runSchedules(false);
}

void Fleet::runSchedules(bool bounded)
{
    if (!m_started || m_devices.empty())
        return;
    // Samples a device records in one bounded pass, and the pass's time budget.
    constexpr int64_t SamplesPerPass = 4096;
    constexpr qint64 BudgetMs = 20;
    const int64_t now = simNowMs();
    QElapsedTimer spent;
    spent.start();
    const size_t count = m_devices.size();
    const size_t first = m_nextDevice % count;
    for (size_t k = 0; k < count; ++k) {
        if (bounded && k > 0 && spent.elapsed() >= BudgetMs)
            break;
        const size_t index = (first + k) % count;
        m_nextDevice = (index + 1) % count;
        Device *d = m_devices[index].get();
        d->catchUp(now, bounded ? SamplesPerPass : INT64_MAX);
        const DeviceConfig &c = d->config();
        if (d->listensAlways()) {
            if (d->announcing && now >= d->nextWakeMs) {
                d->nextWakeMs = now + std::max(1, c.announceSeconds) * 1000;
                wake(d->serialNumber());
            }
        } else if (c.wakeSeconds > 0 && now >= d->nextWakeMs) {
            const int64_t interval = int64_t(c.wakeSeconds) * 1000;
            d->nextWakeMs += interval;
            if (d->nextWakeMs <= now) // far behind (speed change, advance): no burst of wakes
                d->nextWakeMs = now + interval;
            wake(d->serialNumber());
        }
    }
}

void Fleet::addWakeTarget(uint16_t serialNumber)
{
    if (serialNumber == 0)
        m_wakeTargets.clear();
    else
        m_wakeTargets.insert(serialNumber);
}

void Fleet::ackDirect(uint16_t serialNumber)
{
    const uint16_t sn = serialNumber ? serialNumber : m_current;
    if (sn == 0)
        return;
    if (Device *d = device(sn))
        if (!d->listensAlways())
            d->awakeUntilMs = 0;
    if (serialNumber)
        m_wakeTargets.remove(serialNumber);
    if (m_current == sn)
        m_current = 0;
}

void Fleet::setCurrent(uint16_t serialNumber)
{
    m_current = serialNumber;
    if (Device *d = device(serialNumber))
        touch(*d);
}

void Fleet::refreshRelays()
{
    // The relays listen for their sensors again; their lists keep what they already heard.
    for (auto &r : m_devices)
        if (r->isRelay() && hearsDirectly(*r))
            r->lastHeardMs = simNowMs();
}

QVector<command::RssiEntry> Fleet::listOf(uint16_t source) const
{
    QVector<command::RssiEntry> entries;
    const int64_t now = simNowMs();
    for (const auto &d : m_devices) {
        int rssi = -1;
        if (source == 0 && hearsDirectly(*d))
            rssi = d->config().rssi;
        else if (source != 0 && d->config().relay == source)
            rssi = d->config().relayRssi;
        if (rssi < 0)
            continue;
        command::RssiEntry e;
        e.serialNumber = d->serialNumber();
        e.rssi = uint8_t(rssi);
        const int64_t age = std::max<int64_t>(0, now - d->lastHeardMs) / 1000;
        e.ageUnits = uint8_t(std::min<int64_t>(255, age / command::RssiAgeUnitSeconds));
        entries.append(e);
    }
    std::sort(entries.begin(), entries.end(),
              [](const command::RssiEntry &a, const command::RssiEntry &b) {
                  return a.serialNumber < b.serialNumber;
              });
    return entries;
}

void Fleet::requestRssiLists(uint16_t address)
{
    if (!m_listener)
        return;
    if (address == command::Everyone || address == 0)
        m_listener->heardRssiList(0, 0, listOf(0));
    for (const auto &r : m_devices) {
        if (!r->isRelay() || !hearsDirectly(*r))
            continue;
        if (address != command::Everyone && address != r->serialNumber())
            continue;
        r->lastHeardMs = simNowMs();
        m_listener->heardRssiList(r->serialNumber(), uint8_t(std::max(0, r->config().rssi)),
                                  listOf(r->serialNumber()));
    }
}

void Fleet::relayList(uint8_t op, uint16_t serialNumber, uint16_t relay)
{
    Device *r = device(relay);
    if (!r || !r->isRelay() || !hearsDirectly(*r)) {
        emit note(QStringLiteral("no relay %1 within reach").arg(hex4(relay)));
        return;
    }
    QVector<uint16_t> &list = r->relayList;
    auto sleepSensor = [this](uint16_t sn) {
        if (Device *d = device(sn))
            if (!d->listensAlways())
                d->awakeUntilMs = 0;
    };
    if (op == command::RelayRegister || op == command::RelayAddCurrent) {
        if (serialNumber == 0 && op == command::RelayRegister) {
            list.clear();
        } else if (serialNumber != 0 && !list.contains(serialNumber)) {
            list.insert(std::lower_bound(list.begin(), list.end(), serialNumber), serialNumber);
        }
        if (op == command::RelayAddCurrent && serialNumber) {
            r->relayCurrent = serialNumber;
            if (Device *d = device(serialNumber))
                touch(*d);
        }
    } else if (op == command::RelayRelease) {
        const uint16_t sn = serialNumber ? serialNumber : r->relayCurrent;
        if (serialNumber)
            list.removeAll(serialNumber);
        if (sn)
            sleepSensor(sn);
        if (r->relayCurrent == sn)
            r->relayCurrent = 0;
    } else {
        return;
    }
    r->lastHeardMs = simNowMs();
    if (m_listener)
        m_listener->heardRelayListAck(relay, uint8_t(std::max(0, r->config().rssi)), list);
}

void Fleet::relayChannel(uint8_t value, uint16_t relay)
{
    Device *r = device(relay);
    if (!r || !r->isRelay() || !hearsDirectly(*r)) {
        emit note(QStringLiteral("no relay %1 within reach").arg(hex4(relay)));
        return;
    }
    // Only a channel the radio has is confirmed; the relay moves there after answering.
    if (value < api::FirstChannel || value > api::LastChannel) {
        emit note(QStringLiteral("relay %1 refuses channel %2").arg(hex4(relay)).arg(value));
        return;
    }
    if (m_listener)
        m_listener->heardRelayChannel(relay, uint8_t(std::max(0, r->config().rssi)), value);
    r->setRadioChannel(value);
}

void Fleet::transmit(uint16_t serialNumber, uint16_t relay, const QByteArray &data)
{
    if (data.isEmpty())
        return;
    QVector<Device *> targets;
    if (serialNumber == command::Everyone) {
        for (auto &d : m_devices)
            targets.append(d.get());
    } else if (Device *d = device(serialNumber)) {
        targets.append(d);
    } else {
        emit note(QStringLiteral("nobody is %1").arg(hex4(serialNumber)));
        return;
    }
    for (Device *d : targets) {
        if (relay == 0) {
            if (hearsDirectly(*d))
                receiveFrame(*d, data, pathOf(*d, 0));
            continue;
        }
        const uint16_t via = relay == command::Everyone ? d->config().relay : relay;
        Device *r = via ? device(via) : nullptr;
        if (r && r->isRelay() && hearsDirectly(*r) && relayHears(*r, *d))
            receiveFrame(*d, data, pathOf(*d, via));
    }
}

void Fleet::receiveFrame(Device &d, const QByteArray &data, const Path &path)
{
    const uint16_t sn = d.serialNumber();
    if (d.inLoader()) {
        emit note(QStringLiteral("%1 is in its loader and ignores the frame").arg(hex4(sn)));
        return;
    }
    if (data.size() == 1) {
        const uint8_t byte = uint8_t(data[0]);
        if (byte == command::Attention) {
            if (awake(d)) {
                touch(d);
                sendStatus(d, 0, path);
            }
        } else if (byte == command::AnnounceAck) {
            d.announcing = false;
        } else if (byte == waveform::CaptureByte && d.powerMeter() && awake(d)) {
            touch(d);
            d.powerMeter()->capture();
            emit note(QStringLiteral("%1 captures a waveform").arg(hex4(sn)));
        } else {
            emit note(QStringLiteral("%1 ignores the byte %2")
                          .arg(hex4(sn))
                          .arg(byte, 2, 16, QChar('0')));
        }
        return;
    }
    FrameBuffer frame;
    if (uint8_t(data[0]) != FrameBuffer::Start || !frame.setData(data) ||
        !frame.unescapeFrame(1, frame.length()) || !frame.checkCrc()) {
        emit note(QStringLiteral("%1 drops a broken frame").arg(hex4(sn)));
        return;
    }
    // C0, serial number (4), function, 0x00, 17 bytes, CRC (2), C1.
    const int payload = frame.length() - 4;
    const uint8_t *p = frame.data() + 1;
    if (payload < 6 + command::BlockSize) {
        emit note(
            QStringLiteral("%1 drops a frame of %2 payload bytes").arg(hex4(sn)).arg(payload));
        return;
    }
    const uint32_t addressed =
        (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    if ((addressed & 0xFFFF) != sn || p[4] != command::SensorFunction)
        return; // for someone else, or a function this fleet does not know
    if (!awake(d)) {
        emit note(QStringLiteral("%1 is asleep").arg(hex4(sn)));
        return;
    }
    command::Block block;
    std::copy(p + 6, p + 6 + command::BlockSize, block.begin());
    deliverBlock(d, block, path);
}

Device *Fleet::inDirectReach(uint16_t serialNumber)
{
    Device *d = device(serialNumber);
    return d && hearsDirectly(*d) ? d : nullptr;
}

void Fleet::deliverBlock(Device &d, const command::Block &block, const Path &path)
{
    const uint16_t sn = d.serialNumber();
    touch(d);
    const Device::Outcome outcome = d.apply(block, simNowMs());
    answer(d, outcome.status, path);
    if (outcome.restart) {
        d.restarted();
        // A battery sensor goes back to sleep; the others listen again at once.
        if (!d.listensAlways())
            d.awakeUntilMs = 0;
        emit note(QStringLiteral("%1 restarts on channel %2").arg(hex4(sn)).arg(d.radioChannel()));
    }
}

} // namespace sim
