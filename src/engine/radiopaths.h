#pragma once

#include "commandset.h"
#include "fleetmodel.h"
#include "sensorrecord.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <optional>

// How each sensor is reached: directly by the dongle or through one of the relays. The dongle
// and every relay report which sensors they hear (RSSI lists); the path with the lower score
// wins. Scores are plain ints: with ages up to 32700 s the age term alone reaches millions, and
// a 16-bit score would wrap and make a long-silent path look like the best one.
namespace radiopaths
{

// A direct score below this wins whatever the other path scores.
constexpr int DirectAlwaysBelow = 81;
// Entries of one RSSI list frame that are read; the rest of a longer frame is ignored.
constexpr int MaxFrameEntries = 64;
// Capacity of the relay table, of a relay's list, of the pending announcements and of the
// relay poll list.
constexpr int MaxEntries = 256;
// List views: the "Dongle" list, then one per relay in table order.
constexpr int ListViews = 25;
// The LoRa dongle reports a level byte from which the dBm value is this minus the byte.
constexpr int LoraRssiBase = 137;

int direct_score(int rssi, int age);
// `relayRssi`: the RSSI byte of the relay's own last list frame.
int relay_score(int rssi, int age, int relayRssi);

enum class Path { Unchanged, Direct, Relayed };
// The dongle heard the sensor with score `heard`; `current` scores its present path.
Path choose_from_dongle_list(int heard, int current, bool alreadyDirect);
// A relay heard the sensor with score `relayed`; `direct` scores the stored direct values.
Path choose_from_relay_list(int direct, int current, int relayed);
// A relayed answer: direct, or stays on its relay.
Path choose_from_answer(int direct, int relayed);

// The rssi kept for a LoRa answer's level byte (0 when the byte says better than 0 dBm).
uint8_t lora_rssi(uint8_t levelByte);
// The Rssi cell: empty when the path is older than the counters go; `relayPosition` is the
// relay's 1-based place in the relay table, 0 for a direct sensor, -1 for a relay that is not
// (or no longer) in the table.
QString rssi_cell_text(uint8_t rssi, int pathAge, int relayPosition);
// One line of an RSSI list view.
QString rssi_item_text(uint16_t serialNumber, uint8_t rssi, int age);
QString relay_list_title(int position, uint16_t relay, uint8_t relayRssi);

// Sensors that announce themselves and always listen; also what the action run polls as relays.
bool always_listening(uint8_t sensorType, uint16_t serialNumber);

// Dongle and relay list bodies; empty when nothing is to be sent (always-listening devices are
// in no list). The relay ones must be confirmed with relay_ack_confirms().
QByteArray dongle_add_sensor(uint16_t serialNumber);
QByteArray sensor_ack_direct(uint16_t serialNumber);
QByteArray relay_register_sensor(uint16_t serialNumber, uint16_t relay);
QByteArray relay_release_sensor(uint16_t serialNumber, uint16_t relay);
QByteArray relay_add_current_sensor(uint16_t serialNumber, uint16_t relay);
// Whether a relay list acknowledgement confirms the relay list body `sent`.
bool relay_ack_confirms(const QByteArray &sent, const QByteArray &ack);

struct RssiList {
    uint16_t address = 0;  // the relay; 0 for the dongle's own list
    uint8_t relayRssi = 0; // RSSI byte of the relay's last list frame
    struct Entry {
        uint16_t serialNumber = 0;
        uint8_t rssi = 0;
        uint16_t age = 0; // seconds
    };
    QVector<Entry> entries; // ascending serial numbers
};

struct ListView {
    QString title;
    QStringList items;
};

// The action run's relays to poll, one after the other.
class RelayPolls
{
public:
    struct Relay {
        uint16_t serialNumber = 0;
        uint16_t relayAddress = 0; // the relay's own path; 0 when the dongle hears it
    };
    void clear();
    // False when the list is full.
    bool append(const Relay &relay);
    // The last relay takes the removed one's place.
    void remove(uint16_t serialNumber);
    int size() const { return m_relays.size(); }
    const QVector<Relay> &relays() const { return m_relays; }
    // The relay at the round-robin index, which then moves on; none when the list is empty.
    std::optional<Relay> next();
    static QByteArray poll_body(const Relay &relay);

private:
    QVector<Relay> m_relays;
    int m_index = 0;
};

class RadioPaths
{
public:
    struct Handled {
        bool accepted = false;
        // Bodies to send, in order; relay list bodies wait for their acknowledgement.
        QVector<QByteArray> bodies;
        // Announcing devices added to the list: wait up to 1000 ms for each one's frame.
        QVector<uint16_t> announced;
    };
    // An RSSI list frame `data` from `source` (0: the dongle's own list) received with
    // `frameRssi`. Updates the lists and the paths of the listed sensors; new sensors are added
    // only while a detection runs. Nothing is sent from in here, so a list that arrives while
    // the caller sends these bodies (and waits for acknowledgements) can be handled at once.
    Handled handle_rssi_list(FleetModel &model, uint16_t source, uint8_t frameRssi,
                             const QByteArray &data, bool detectionRunning);
    // A sensor's answer chooses its path too: `lastByte` is the answer's last byte, `frameRssi`
    // the RSSI the frame arrived with. The bodies to send (a release from the old relay).
    QVector<QByteArray> path_from_answer(FleetModel::Sensor &sensor, uint8_t lastByte,
                                         uint8_t frameRssi, bool lora) const;

    // Every view, "Dongle" first; sets the Rssi cells of the model's rows.
    QVector<ListView> show_rssi_lists(FleetModel &model) const;
    // One second for every list entry, up to the counters' ceiling.
    void age_lists();

    // Forgets every list; the records keep their paths (see reset_paths).
    void clear();
    // Every row becomes unheard and undetected, its Rssi cell empty.
    static void reset_paths(FleetModel &model);

    const RssiList &dongle_list() const { return m_dongle; }
    const QVector<RssiList> &relays() const { return m_relays; }
    // 1-based place of `relay` in the relay table; 0 when absent.
    int relay_position(uint16_t relay) const;

    struct Announcement {
        uint16_t serialNumber = 0;
        uint16_t relay = 0;
    };
    const QVector<Announcement> &pending_announcements() const { return m_pending; }
    // An announcing device's frame came: acknowledge it directly and through `currentRelay`,
    // and it waits no longer.
    QVector<QByteArray> acknowledge_announcement(uint16_t serialNumber, uint16_t currentRelay);

private:
    int present_score(const SensorRecord &r) const;
    int relay_rssi(uint16_t relay) const;
    static void make_direct(FleetModel::Sensor &s, uint8_t rssi, QVector<QByteArray> &bodies);
    void add_announcement(uint16_t serialNumber, uint16_t relay);

    RssiList m_dongle;
    QVector<RssiList> m_relays; // ascending relay addresses
    QVector<Announcement> m_pending;
};

} // namespace radiopaths
