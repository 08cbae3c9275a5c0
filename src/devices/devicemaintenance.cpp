#include "devicemaintenance.h"

#include <QFileDevice>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "linkwait.h"
#include "manageserialport.h"
#include "sensoranswer.h"

#include <QDebug>
#include <QIODevice>

using memorycommand::Operation;
using memorycommand::Plan;

namespace
{
// Marks the operation under way for as long as it runs.
class Running
{
public:
    explicit Running(bool &flag) : m_flag(flag) { m_flag = true; }
    ~Running() { m_flag = false; }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;

private:
    bool &m_flag;
};
} // namespace

DeviceMaintenance::DeviceMaintenance(ManageSerialPort *link, uint16_t serialNumber,
                                     uint16_t relayAddress, QObject *parent)
    : QObject(parent), m_link(link), m_serialNumber(serialNumber), m_relayAddress(relayAddress)
{
    m_guard.setSingleShot(true);
    m_guard.setTimerType(Qt::PreciseTimer);
    connect(&m_guard, &QTimer::timeout, this, [this] { m_expired = true; });
}

DeviceMaintenance::~DeviceMaintenance() = default;

void DeviceMaintenance::stop()
{
    if (!m_running)
        return;
    m_stop = true;
    // The operation runs inside the caller of this stop (a click or a window closing, processed
    // by one of its waits): that wait ends now instead of running out.
    if (LinkWait *wait = LinkWait::current())
        wait->stop();
}

DeviceMaintenance::Result DeviceMaintenance::ended() const
{
    if (m_stop || m_quitting)
        return Stopped;
    if (!m_link->isOpen())
        return LinkLost;
    if (m_expired)
        return Expired;
    return Done;
}

bool DeviceMaintenance::breathe(int ms)
{
    // A wait of its own, with no port behind it: it ends early only when the application
    // quits, and then every later wait would return at once.
    LinkWait pause(nullptr, ms);
    if (pause.pause() == LinkWait::Quitting)
        m_quitting = true;
    return ended() == Done;
}

DeviceMaintenance::Result DeviceMaintenance::run(Operation operation,
                                                 const memorycommand::Fields &fields,
                                                 QIODevice *dumpFile)
{
    if (m_running) {
        m_text = QStringLiteral("Another operation is under way");
        return Refused;
    }
    const Running running(m_running);
    m_stop = false;
    m_expired = false;
    m_relayChannel = false;
    m_text.clear();
    const Plan plan = memorycommand::plan(operation, m_serialNumber, fields);
    if (plan.kind == Plan::Invalid) {
        m_text = plan.error;
        return Invalid;
    }
    if (!m_link->isOpen()) {
        m_text = QStringLiteral("The dongle is not connected");
        return LinkLost;
    }
    if (m_link->linkMode() == ManageSerialPort::Lora)
        return runLora(operation, plan);
    if (m_link->linkMode() != ManageSerialPort::Api802154) {
        m_text = QStringLiteral("No dongle answers on this port");
        return Refused;
    }
    if (operation == Operation::Save && !dumpFile) {
        m_text = QStringLiteral("The file can't be opened");
        return FileError;
    }
    m_guard.start(m_guardMs);
    const Result r = runApi(operation, plan, fields, dumpFile);
    m_guard.stop();
    return r;
}

DeviceMaintenance::Result DeviceMaintenance::runLora(Operation operation, const Plan &plan)
{
    // The LoRa dongle carries single requests: reads and writes of one location.
    if ((operation != Operation::Read && operation != Operation::Write) ||
        plan.kind != Plan::MemoryCommand) {
        m_text = QStringLiteral("Not available with a LoRa dongle");
        return Refused;
    }
    m_link->dropStaleInput();
    if (!m_link->sendLoraCommand(m_serialNumber, plan.block))
        return m_stop ? Stopped : NoAnswer;
    m_text = memorycommand::readText(m_link->lastFrameData(), m_link->lastFrameLength(), true);
    return Done;
}

DeviceMaintenance::Result DeviceMaintenance::relayChannel(const QByteArray &body)
{
    m_relayChannel = true;
    if (!m_link->sendApiFrame(body, 0))
        return ended() == Done ? NoAnswer : ended();
    for (int attempt = 0; attempt < AnswerAttempts; ++attempt) {
        const int r = m_link->receiveSensorAnswer(m_serialNumber);
        if (r == ManageSerialPort::AnswerRelayChannel)
            return Done;
        if (r != ManageSerialPort::NoAnswer || ended() != Done)
            break;
    }
    return ended() == Done ? NoAnswer : ended();
}

DeviceMaintenance::Result DeviceMaintenance::waitForDevice()
{
    const QByteArray attention = memorycommand::attentionBody(m_serialNumber);
    if (!attention.isEmpty()) {
        if (memorycommand::deviceClass(m_serialNumber) == memorycommand::DeviceClass::Sensor)
            LinkWait::pauseFor(1);
        m_link->sendApiFrame(attention, 0);
    }
    for (;;) {
        const Result e = ended();
        if (e != Done)
            return e;
        // What came before the request was dropped: the device's next frame is its showing up.
        if (m_link->receiveSensorAnswer(m_serialNumber) == ManageSerialPort::AnswerSensorFrame &&
            answersFromDevice())
            break;
        if (!breathe(1))
            return ended();
    }
    m_identification =
        memorycommand::identification(m_link->lastFrameData(), m_link->lastFrameLength());
    emit deviceHeard(m_identification);
    return Done;
}

DeviceMaintenance::Result DeviceMaintenance::sendBlock(const command::Block &block, uint16_t relay)
{
    if (!m_link->sendSensorCommand(m_serialNumber, command::SensorFunction, block, relay))
        return m_link->isOpen() ? NoAnswer : LinkLost;
    return Done;
}

bool DeviceMaintenance::answersFromDevice() const
{
    return memorycommand::fromDevice(m_link->lastFrameData(), m_link->lastFrameLength(),
                                     m_serialNumber);
}

bool DeviceMaintenance::receiveAnswer()
{
    for (int attempt = 0; attempt < AnswerAttempts; ++attempt) {
        const int r = m_link->receiveSensorAnswer(m_serialNumber);
        // The first frame of the device after the command is its answer.
        if (r == ManageSerialPort::AnswerSensorFrame) {
            if (answersFromDevice())
                return true;
            continue;
        }
        if (r != ManageSerialPort::NoAnswer || !m_link->isOpen())
            return false;
    }
    return false;
}

void DeviceMaintenance::clearTarget()
{
    m_link->sendApiFrame(memorycommand::clearTargetBody(), 0);
}

DeviceMaintenance::Result DeviceMaintenance::runApi(Operation operation, const Plan &plan,
                                                    const memorycommand::Fields &fields,
                                                    QIODevice *dumpFile)
{
    // A frame heard before the request (a wake frame, the answer to the last command) is not
    // the device showing up for this one.
    m_link->dropStaleInput();
    if (plan.kind == Plan::RelayChannel)
        return relayChannel(plan.relayBody);
    if (operation != Operation::Channel && operation != Operation::ReadError &&
        operation != Operation::ClearError)
        qDebug() << QStringLiteral("program_active") << (operation == Operation::Upload);
    const Result heard = waitForDevice();
    if (heard != Done)
        return heard;
    if (operation == Operation::Save)
        return dump(fields.ram, *dumpFile);

    qDebug() << QStringLiteral("send param");
    const Result sent = sendBlock(plan.block, 0);
    if (sent != Done)
        return sent;
    switch (operation) {
    case Operation::Read: {
        const bool answered = receiveAnswer();
        if (answered)
            m_text =
                memorycommand::readText(m_link->lastFrameData(), m_link->lastFrameLength(), false);
        clearTarget();
        return answered ? Done : NoAnswer;
    }
    case Operation::ReadError:
        return readError();
    default:
        // A write needs no answer, but the device sends one: taken here, it cannot pass for
        // the device showing up to the next operation, asleep by then after its restart.
        receiveAnswer();
        return Done;
    }
}

DeviceMaintenance::Result DeviceMaintenance::readError()
{
    Result r = NoAnswer;
    if (receiveAnswer()) {
        const std::optional<uint8_t> index =
            memorycommand::errorIndex(m_link->lastFrameData(), m_link->lastFrameLength());
        if (index && *index == 0) {
            m_text = QStringLiteral("no error");
            r = Done;
        } else if (index && sendBlock(memorycommand::errorWordRead(*index), 0) == Done &&
                   receiveAnswer()) {
            const std::optional<uint16_t> word =
                memorycommand::errorWord(m_link->lastFrameData(), m_link->lastFrameLength());
            if (word) {
                m_text = memorycommand::errorWordText(*word);
                r = Done;
            }
        }
    }
    clearTarget();
    return r;
}

namespace
{

// What failed and where, for the window: "could not write /x/dump.hex: No space left on device".
QString writeFailure(QIODevice &out)
{
    const auto *file = qobject_cast<QFileDevice *>(&out);
    const QString where = file ? file->fileName() : QStringLiteral("the file");
    // The file's own text is "Unknown error" when its buffer failed: errno still says why.
    const QString why =
        errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : out.errorString();
    return QStringLiteral("could not write %1: %2").arg(where, why);
}

// Cuts the file back to its last whole line. The file's own buffer is bypassed: flushing what
// failed once would only fail again, and keep the cut line.
void cutToWholeLines(QIODevice &out, qint64 whole)
{
    if (auto *file = qobject_cast<QFileDevice *>(&out); file && file->handle() >= 0)
        if (::ftruncate(file->handle(), whole) != 0)
            qWarning("could not cut %s back to its last whole line", qPrintable(file->fileName()));
}

} // namespace

DeviceMaintenance::Result DeviceMaintenance::dump(bool ram, QIODevice &out)
{
    // The device answered: from here on it is kept awake by the reads themselves.
    m_guard.stop();
    Result r = Done;
    auto *file = qobject_cast<QFileDevice *>(&out);
    qint64 whole = out.pos();
    for (int address = 0; address < memorycommand::DumpEnd; address += memorycommand::DumpStep) {
        if (!breathe(DumpPauseMs)) {
            r = ended();
            break;
        }
        const Result sent =
            sendBlock(memorycommand::dumpRead(ram, uint16_t(address)), m_relayAddress);
        if (sent == LinkLost) {
            r = sent;
            break;
        }
        if (sent == Done && receiveAnswer()) {
            const QByteArray line =
                memorycommand::dumpLine(uint16_t(address), m_link->lastFrameData(),
                                        m_link->lastFrameLength())
                    .toLatin1();
            // Each line is flushed: a buffered file takes a line a full disk refuses and tells
            // only at close, when the dump has long said it is done.
            errno = 0;
            if (out.write(line) != line.size() || (file && !file->flush())) {
                // A full disk or a vanished file: reading on would only lose what comes.
                m_text = writeFailure(out);
                cutToWholeLines(out, whole);
                r = FileError;
                break;
            }
            whole += line.size();
        }
        emit dumpProgress(address);
    }
    clearTarget();
    return r;
}

bool DeviceMaintenance::restart_into_loader(quint8 *versionBefore)
{
    // The loader mark goes through the same dispatcher as the window's operations.
    if (m_link->linkMode() != ManageSerialPort::Api802154 ||
        run(Operation::Upload, memorycommand::Fields()) != Done)
        return false;
    if (versionBefore)
        *versionBefore = m_identification;
    return true;
}
