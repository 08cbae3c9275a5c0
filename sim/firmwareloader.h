#pragma once

#include "firmwareimage.h"

#include <QByteArray>
#include <QObject>
#include <QVector>
#include <cstdint>

namespace sim
{

class Fleet;
class Wire;

// A device's firmware loader: it takes the page frames of an image on the loader channel and,
// at the end-of-image frame, puts the pages back together and checks them against the size
// announced. Relays listen for images all the time; a sensor only after it restarted into its
// loader (0xE5 at EEPROM 0x0101, or the scenario's `loader = 1`).
class FirmwareLoader
{
public:
    enum class Reply { None, Marker, Ack, Finished, Refused };

    explicit FirmwareLoader(firmware::Target target) : m_target(target) {}

    bool listening() const { return m_listening; }
    // Starts listening for an image; whatever came before is forgotten.
    void enter();
    void leave() { m_listening = false; }

    // One transmit request's data on the loader channel. `silentAfter` (>= 0) is the fault:
    // page frames beyond that many get no acknowledgement and are not kept.
    Reply take(const QByteArray &data, int silentAfter = -1);

    // The image of the last update that passed its check (empty before one did).
    QByteArray image() const { return m_image; }
    int framesTaken() const { return m_frames.size(); }
    uint32_t announcedSize() const { return m_size; }

private:
    Reply endOfImage(const QByteArray &data);

    firmware::Target m_target;
    bool m_listening = false;
    QVector<QByteArray> m_frames; // slots of each page frame, counter removed
    QByteArray m_image;
    uint32_t m_size = 0;
};

// The loaders' side of the radio: on the loader channel the dongle's transmit requests go to the
// addressed device's loader instead of its firmware, and the replies come back as a sensor loader
// gives them (the dongle's raw 0xDA marker) or a relay does (a frame holding 0x88).
class LoaderRadio : public QObject
{
    Q_OBJECT
public:
    LoaderRadio(Fleet &fleet, Wire &wire, QObject *parent = nullptr);

    // True when the request was for a listening loader (it is consumed, whatever the reply).
    bool transmit(uint16_t serialNumber, const QByteArray &data);

private:
    void comeBack(uint16_t serialNumber, bool updated);

    Fleet &m_fleet;
    Wire &m_wire;
};

} // namespace sim
