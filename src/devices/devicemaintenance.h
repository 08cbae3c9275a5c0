#pragma once

#include "memorycommand.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>

class ManageSerialPort;
class QIODevice;

// The maintenance of one device over the dongle link, without a widget: reading and writing
// bytes of its memory, dumping it, moving it to another radio channel, reading and clearing its
// stored error, and restarting it into its loader.
//
// A sensor sleeps most of the time, so every operation first asks for the device's attention
// and waits, up to the guard (120 s), for the device to show up with a valid frame; only then is
// the command sent. An operation runs to its end inside run(): the waits keep processing events,
// so the operator can stop it (stop()) and the window can close meanwhile. One operation at a
// time: the link carries one exchange at a time.
class DeviceMaintenance : public QObject
{
    Q_OBJECT
public:
    enum Result {
        Done,      // the command went out (and a read was answered)
        Stopped,   // stop() or the application quitting ended it
        Expired,   // the device did not show up within the guard
        NoAnswer,  // it showed up but did not answer the command (or the relay refused)
        Refused,   // another operation runs, or the link cannot carry this operation
        Invalid,   // the fields do not make a command (see text())
        FileError, // the dump file could not be written (see text())
        LinkLost,  // the port went away
    };
    Q_ENUM(Result)

    static constexpr int GuardMs = 120000;
    static constexpr int AnswerAttempts = 11;
    static constexpr int DumpPauseMs = 5;

    DeviceMaintenance(ManageSerialPort *link, uint16_t serialNumber, uint16_t relayAddress,
                      QObject *parent = nullptr);
    ~DeviceMaintenance() override;

    uint16_t serialNumber() const { return m_serialNumber; }
    // The guard of the wait for the device (tests shorten it).
    void setGuardMs(int ms) { m_guardMs = ms; }
    bool isRunning() const { return m_running; }

    // Runs `operation` to its end. A Save writes the dump into `dumpFile` (open for writing);
    // the dump reads the memory the fields' type names.
    Result run(memorycommand::Operation operation, const memorycommand::Fields &fields,
               QIODevice *dumpFile = nullptr);
    // Ends the operation under way at its next step (a wait, a dump line).
    void stop();

    // What the last operation found: the bytes read ("0a 1b ..."), the error ("no error" or
    // the error word), or why it was refused.
    QString text() const { return m_text; }
    // The last operation on a relay was its channel command.
    bool relayChannelSent() const { return m_relayChannel; }
    // The identification byte of the last frame that answered an attention request.
    uint8_t identification() const { return m_identification; }

    // Asks for the device's attention, waits for its frame (up to the guard), then writes the
    // loader mark with a restart. True when the write went out; `versionBefore` (when given)
    // receives the identification byte of the frame the device showed up with. Ends, false,
    // when stopped.
    bool restart_into_loader(quint8 *versionBefore);

signals:
    // A dump reached `address` (of memorycommand::DumpEnd - DumpStep, its last line).
    void dumpProgress(int address);
    // The device showed up: the command goes out now.
    void deviceHeard(quint8 identification);

private:
    Result runApi(memorycommand::Operation operation, const memorycommand::Plan &plan,
                  const memorycommand::Fields &fields, QIODevice *dumpFile);
    Result runLora(memorycommand::Operation operation, const memorycommand::Plan &plan);
    Result relayChannel(const QByteArray &body);
    Result waitForDevice();
    Result sendBlock(const command::Block &block, uint16_t relay);
    // Tries to receive the answer to a command; the last frame holds it when true.
    bool receiveAnswer();
    // The last frame is a whole frame of this device.
    bool answersFromDevice() const;
    Result readError();
    // A file for `out` is best opened unbuffered: a line a full disk refused would otherwise stay
    // in its buffer and be written, cut, at close. On a refused line the file is cut back to its
    // last whole line and text() says "could not write PATH: why".
    Result dump(bool ram, QIODevice &out);
    // A short pause that keeps the program alive; false when the operation must end.
    bool breathe(int ms);
    Result ended() const;
    void clearTarget();

    ManageSerialPort *m_link;
    uint16_t m_serialNumber;
    uint16_t m_relayAddress;
    int m_guardMs = GuardMs;
    QTimer m_guard;
    bool m_running = false;
    bool m_stop = false;
    bool m_quitting = false;
    bool m_expired = false;
    bool m_relayChannel = false;
    uint8_t m_identification = 0;
    QString m_text;
};
