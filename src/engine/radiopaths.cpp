#include "radiopaths.h"

#include "commandset.h"
#include "hextext.h"

#include <QDebug>
#include <algorithm>

namespace radiopaths
{

int direct_score(int rssi, int age)
{
    return rssi + (age / 60) * ((age - 60) / 6);
}

int relay_score(int rssi, int age, int relayRssi)
{
    return rssi + (relayRssi / 80) * (relayRssi - 80) + (age / 60) * ((age - 60) / 10);
}

Path choose_from_dongle_list(int heard, int current, bool alreadyDirect)
{
    if (alreadyDirect || heard <= current || heard < DirectAlwaysBelow)
        return Path::Direct;
    return Path::Unchanged;
}

Path choose_from_relay_list(int direct, int current, int relayed)
{
    if (direct < current || direct < DirectAlwaysBelow)
        return Path::Direct;
    if (relayed < current)
        return direct < relayed ? Path::Direct : Path::Relayed;
    return Path::Unchanged;
}

Path choose_from_answer(int direct, int relayed)
{
    return direct <= relayed || direct < DirectAlwaysBelow ? Path::Direct : Path::Relayed;
}

uint8_t lora_rssi(uint8_t levelByte)
{
    return uint8_t(std::max(0, LoraRssiBase - int(levelByte)));
}

QString rssi_cell_text(uint8_t rssi, int pathAge, int relayPosition)
{
    if (pathAge >= SensorRecord::CounterCeiling)
        return QString();
    QString text = QStringLiteral("-%1dbm\n").arg(rssi);
    if (relayPosition > 0)
        text += QStringLiteral("R%1 ").arg(relayPosition);
    else if (relayPosition < 0)
        text += QStringLiteral("R? ");
    return text + QStringLiteral("%1s").arg(pathAge);
}

QString rssi_item_text(uint16_t serialNumber, uint8_t rssi, int age)
{
    return QStringLiteral("%1 -%2 dbm  %3 s").arg(hex4(serialNumber)).arg(rssi, 3).arg(age, 3);
}

QString relay_list_title(int position, uint16_t relay, uint8_t relayRssi)
{
    return QStringLiteral("R%1, %2, -%3 dbm").arg(position).arg(hex4(relay)).arg(relayRssi);
}

bool always_listening(uint8_t sensorType, uint16_t serialNumber)
{
    return command::listensAlways(sensorType, serialNumber);
}

QByteArray dongle_add_sensor(uint16_t serialNumber)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return QByteArray();
    qDebug() << "add sensor" << hex4(serialNumber);
    return command::wakeTargetBody(serialNumber);
}

QByteArray sensor_ack_direct(uint16_t serialNumber)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return QByteArray();
    return command::ackDirectBody(serialNumber);
}

QByteArray relay_register_sensor(uint16_t serialNumber, uint16_t relay)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return QByteArray();
    return command::relayListBody(command::RelayRegister, serialNumber, relay);
}

QByteArray relay_release_sensor(uint16_t serialNumber, uint16_t relay)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return QByteArray();
    return command::relayListBody(command::RelayRelease, serialNumber, relay);
}

QByteArray relay_add_current_sensor(uint16_t serialNumber, uint16_t relay)
{
    if (serialNumber >= command::AlwaysListeningFrom)
        return QByteArray();
    qDebug() << "add current sensor relais";
    return command::relayListBody(command::RelayAddCurrent, serialNumber, relay);
}

bool relay_ack_confirms(const QByteArray &sent, const QByteArray &ack)
{
    if (sent.isEmpty() || ack.isEmpty() || uint8_t(ack[0]) != command::RelayListAck)
        return false;
    const auto listed = command::parseRelayListAck(ack);
    if (!listed) {
        qDebug() << "relay list ack size not 2 mul";
        return false;
    }
    const uint16_t sn = command::listBodySerial(sent);
    switch (uint8_t(sent[0])) {
    case command::RelayRegister:
    case command::RelayAddCurrent:
        // Serial number 0 empties the relay's list.
        return sn == 0 ? listed->isEmpty() : listed->contains(sn);
    case command::RelayRelease:
        return !listed->contains(sn);
    default:
        return false;
    }
}

void RelayPolls::clear()
{
    m_relays.clear();
    m_index = 0;
}

bool RelayPolls::append(const Relay &relay)
{
    if (m_relays.size() >= MaxEntries)
        return false;
    m_relays.append(relay);
    return true;
}

void RelayPolls::remove(uint16_t serialNumber)
{
    for (int i = 0; i < m_relays.size(); ++i) {
        if (m_relays[i].serialNumber != serialNumber)
            continue;
        m_relays[i] = m_relays.last();
        m_relays.removeLast();
        break;
    }
    if (m_index >= m_relays.size())
        m_index = 0;
}

std::optional<RelayPolls::Relay> RelayPolls::next()
{
    if (m_relays.isEmpty())
        return std::nullopt;
    const Relay r = m_relays[m_index];
    m_index = (m_index + 1) % m_relays.size();
    return r;
}

QByteArray RelayPolls::poll_body(const Relay &relay)
{
    if (relay.relayAddress == 0)
        return command::rawDirectBody(relay.serialNumber, command::Attention);
    return command::rawRelayBody(relay.serialNumber, relay.relayAddress, command::Attention);
}

int RadioPaths::relay_position(uint16_t relay) const
{
    for (int i = 0; i < m_relays.size(); ++i)
        if (m_relays[i].address == relay)
            return i + 1;
    return 0;
}

int RadioPaths::relay_rssi(uint16_t relay) const
{
    const int at = relay_position(relay);
    // A relay no list came from is as bad as a relay can be.
    return at > 0 ? m_relays[at - 1].relayRssi : 255;
}

int RadioPaths::present_score(const SensorRecord &r) const
{
    if (r.relay_address == 0)
        return direct_score(r.rssi, r.path_age);
    return relay_score(r.rssi, r.path_age, relay_rssi(r.relay_address));
}

void RadioPaths::make_direct(FleetModel::Sensor &s, uint8_t rssi, QVector<QByteArray> &bodies)
{
    SensorRecord &r = s.record;
    // A detected sensor is released by the detection itself once it answered.
    if (r.relay_address != 0 && !s.detected) {
        const QByteArray b = relay_release_sensor(uint16_t(r.serial_number), r.relay_address);
        if (!b.isEmpty())
            bodies << b;
    }
    r.rssi = rssi;
    r.relay_address = 0;
    r.path_age = r.direct_age;
}

void RadioPaths::add_announcement(uint16_t serialNumber, uint16_t relay)
{
    for (Announcement &a : m_pending) {
        if (a.serialNumber == serialNumber) {
            a.relay = relay;
            return;
        }
    }
    if (m_pending.size() < MaxEntries)
        m_pending.append({serialNumber, relay});
}

RadioPaths::Handled RadioPaths::handle_rssi_list(FleetModel &model, uint16_t source,
                                                 uint8_t frameRssi, const QByteArray &data,
                                                 bool detectionRunning)
{
    Handled out;
    const auto entries = command::parseRssiList(data);
    if (!entries) {
        qDebug() << "rssi_list_size non multiple de 4" << data.size();
        return out;
    }
    qDebug() << "list length" << entries->size() << (data.isEmpty() ? 0 : int(uint8_t(data[0])));

    RssiList *list = &m_dongle;
    if (source != 0) {
        int at = relay_position(source);
        if (at == 0) {
            if (m_relays.size() >= MaxEntries) {
                // A full table keeps the relays it has rather than overwrite one of them.
                qDebug() << "relay table full, list ignored from" << hex4(source);
                return out;
            }
            out.bodies << relay_register_sensor(0, source);
            RssiList fresh;
            fresh.address = source;
            const auto pos = std::lower_bound(
                m_relays.begin(), m_relays.end(), source,
                [](const RssiList &l, uint16_t address) { return l.address < address; });
            at = int(pos - m_relays.begin()) + 1;
            m_relays.insert(at - 1, fresh);
        }
        list = &m_relays[at - 1];
        list->relayRssi = frameRssi;
    }
    out.accepted = true;
    list->entries.clear();

    const int count = std::min(int(entries->size()), MaxFrameEntries);
    for (int i = 0; i < count; ++i) {
        const command::RssiEntry &e = entries->at(i);
        const RssiList::Entry kept{e.serialNumber, e.rssi, uint16_t(e.ageSeconds())};
        auto pos = std::lower_bound(
            list->entries.begin(), list->entries.end(), e.serialNumber,
            [](const RssiList::Entry &x, uint16_t sn) { return x.serialNumber < sn; });
        if (pos != list->entries.end() && pos->serialNumber == e.serialNumber)
            *pos = kept;
        else
            list->entries.insert(pos, kept);

        const int row = model.find_row(e.serialNumber);
        if (row < 0) {
            if (!detectionRunning)
                continue;
            qDebug() << "new sensor" << hex4(e.serialNumber);
            const int added = model.insert_sensor(e.serialNumber);
            if (added < 0)
                continue;
            const SensorRecord &r = model.sensor(added).record;
            if (always_listening(r.sensor_type, e.serialNumber)) {
                add_announcement(e.serialNumber, r.relay_address);
                if (r.relay_address != 0)
                    out.bodies << command::rawRelayBody(e.serialNumber, r.relay_address,
                                                        command::Attention);
                out.bodies << command::rawDirectBody(e.serialNumber, command::Attention);
                out.announced << e.serialNumber;
            }
            continue;
        }

        FleetModel::Sensor &s = model.edit(row);
        SensorRecord &r = s.record;
        const int current = present_score(r);
        if (source == 0) {
            r.direct_rssi = e.rssi;
            r.direct_age = uint16_t(e.ageSeconds());
            const int heard = direct_score(e.rssi, e.ageSeconds());
            if (choose_from_dongle_list(heard, current, r.relay_address == 0) == Path::Direct)
                make_direct(s, e.rssi, out.bodies);
        } else {
            const int relayed = relay_score(e.rssi, e.ageSeconds(), frameRssi);
            const int direct = direct_score(r.direct_rssi, r.direct_age);
            switch (choose_from_relay_list(direct, current, relayed)) {
            case Path::Direct:
                make_direct(s, r.direct_rssi, out.bodies);
                break;
            case Path::Relayed: {
                const uint16_t old = r.relay_address;
                r.rssi = e.rssi;
                r.relay_address = source;
                r.path_age = uint16_t(e.ageSeconds());
                if (!s.detected) {
                    // Already on this relay: registering again is enough.
                    if (old != 0 && old != source) {
                        const QByteArray b = relay_release_sensor(e.serialNumber, old);
                        if (!b.isEmpty())
                            out.bodies << b;
                    }
                    const QByteArray b = relay_register_sensor(e.serialNumber, source);
                    if (!b.isEmpty())
                        out.bodies << b;
                }
                break;
            }
            case Path::Unchanged:
                break;
            }
        }
        if (e.serialNumber >= command::AlwaysListeningFrom) {
            for (Announcement &a : m_pending)
                if (a.serialNumber == e.serialNumber)
                    a.relay = r.relay_address;
        }
    }
    return out;
}

QVector<QByteArray> RadioPaths::path_from_answer(FleetModel::Sensor &sensor, uint8_t lastByte,
                                                 uint8_t frameRssi, bool lora) const
{
    QVector<QByteArray> bodies;
    SensorRecord &r = sensor.record;
    r.path_age = 0;
    if (lora) {
        r.direct_rssi = r.rssi = lora_rssi(lastByte);
        r.direct_age = 0;
        return bodies;
    }
    // 0xFF: no relay measured it, the dongle heard it.
    if (lastByte == 0xFF) {
        r.direct_rssi = frameRssi;
        r.direct_age = 0;
        if (r.relay_address == 0)
            r.rssi = frameRssi;
        return bodies;
    }
    const int relayed = relay_score(lastByte, 0, relay_rssi(r.relay_address));
    const int direct = direct_score(r.direct_rssi, r.direct_age);
    if (choose_from_answer(direct, relayed) == Path::Direct) {
        make_direct(sensor, r.direct_rssi, bodies);
    } else if (r.relay_address == 0) {
        // Relayed, but no list has named the relay yet. Kept as a direct path with the relay's
        // RSSI and a fresh age, it would score as well as that relay's list entry ever can and
        // the sensor would never be routed through it: the path stays unknown until a list
        // names the relay.
        r.path_age = SensorRecord::NoContact;
    } else {
        r.rssi = lastByte;
        r.direct_age = 0;
    }
    return bodies;
}

QVector<ListView> RadioPaths::show_rssi_lists(FleetModel &model) const
{
    QVector<ListView> views(ListViews);
    views[0].title = QStringLiteral("Dongle");
    for (int row = 0; row < model.size(); ++row) {
        const SensorRecord &r = model.sensor(row).record;
        const auto sn = uint16_t(r.serial_number);
        if (r.direct_age < SensorRecord::CounterCeiling)
            views[0].items << rssi_item_text(sn, r.direct_rssi, r.direct_age);
        int position = 0;
        if (r.relay_address != 0) {
            position = relay_position(r.relay_address);
            if (position == 0)
                position = -1;
        }
        FleetModel::PathShown shown;
        shown.shown = true;
        shown.rssi = r.rssi;
        shown.age = r.path_age;
        shown.relayPosition = position;
        model.setPathShown(row, shown);
    }
    for (int i = 0; i < m_relays.size() && i + 1 < ListViews; ++i) {
        const RssiList &l = m_relays[i];
        ListView &v = views[i + 1];
        v.title = relay_list_title(i + 1, l.address, l.relayRssi);
        for (const RssiList::Entry &e : l.entries)
            v.items << rssi_item_text(e.serialNumber, e.rssi, e.age);
    }
    return views;
}

void RadioPaths::age_lists()
{
    auto age = [](RssiList &l) {
        for (RssiList::Entry &e : l.entries)
            if (e.age < SensorRecord::CounterCeiling)
                ++e.age;
    };
    age(m_dongle);
    for (RssiList &l : m_relays)
        age(l);
}

void RadioPaths::clear()
{
    m_dongle.entries.clear();
    m_relays.clear();
}

void RadioPaths::reset_paths(FleetModel &model)
{
    for (int row = 0; row < model.size(); ++row) {
        FleetModel::Sensor &s = model.edit(row);
        s.detected = false;
        s.record.relay_address = 0;
        s.record.rssi = 0xFF;
        s.record.direct_rssi = 0xFF;
        s.record.direct_age = SensorRecord::NoContact;
        s.record.path_age = SensorRecord::NoContact;
        model.setPathShown(row, FleetModel::PathShown());
    }
}

QVector<QByteArray> RadioPaths::acknowledge_announcement(uint16_t serialNumber,
                                                         uint16_t currentRelay)
{
    for (int i = 0; i < m_pending.size(); ++i) {
        if (m_pending[i].serialNumber != serialNumber)
            continue;
        m_pending[i] = m_pending.last();
        m_pending.removeLast();
        break;
    }
    return {command::rawDirectBody(serialNumber, command::AnnounceAck),
            command::rawRelayBody(serialNumber, currentRelay, command::AnnounceAck)};
}

} // namespace radiopaths
