#include "relaylist.h"
#include "linkwait.h"

#include "commandset.h"
#include "manageserialport.h"
#include "radiopaths.h"

#include <QCoreApplication>
#include <QTimer>

namespace relaylist
{

bool send_confirmed(ManageSerialPort &link, const QByteArray &body, uint16_t relay,
                    const std::function<bool()> &keepGoing)
{
    if (body.isEmpty())
        return true;
    const auto wanted = [&keepGoing] { return !keepGoing || keepGoing(); };
    for (int attempt = 0; attempt < Tries && wanted() && !LinkWait::quitting(); ++attempt) {
        if (!link.sendApiFrame(body, 0))
            continue;
        LinkWait window(nullptr, ReadListMs); // a stop may end it (through current())
        while (!window.over() && wanted()) {
            if (link.receiveSensorAnswer(relay) != ManageSerialPort::AnswerRelayListAck) {
                LinkWait::yield();
                continue;
            }
            const QByteArray ack(reinterpret_cast<const char *>(link.lastFrameData()),
                                 link.lastFrameLength());
            if (radiopaths::relay_ack_confirms(body, ack))
                return true;
        }
    }
    return false;
}

bool dongle_add_sensor(ManageSerialPort &link, uint32_t serialNumber)
{
    const QByteArray body = radiopaths::dongle_add_sensor(uint16_t(serialNumber));
    if (body.isEmpty())
        return true;
    const bool sent = link.sendApiFrame(body, 0);
    LinkWait::pauseFor(2);
    return sent;
}

bool sensor_ack_direct(ManageSerialPort &link, uint32_t serialNumber)
{
    const QByteArray body = radiopaths::sensor_ack_direct(uint16_t(serialNumber));
    if (body.isEmpty())
        return true;
    const bool sent = link.sendApiFrame(body, 0);
    LinkWait::pauseFor(1);
    return sent;
}

} // namespace relaylist
