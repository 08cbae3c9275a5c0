#include "sensorfirmware.h"

#include "commandset.h"
#include "firmwareimage.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "sensoranswer.h"
#include "srecord.h"

#include <QDebug>
#include <QFile>

namespace
{
const QString CanceledText = QStringLiteral("Sensor update canceled by user");
const QString StreamErrorText = QStringLiteral("Error when updating sensor");
// Far beyond any loader's memory: such a file is not firmware, and reading it whole would only
// exhaust ours.
constexpr qint64 LargestFile = 32 * 1024 * 1024;
// Relay frames are counted on 16 bits: more frames would repeat counters the relay already took.
constexpr int MostCountedFrames = 0x10000;
constexpr int FramePauseMs = 30;
constexpr int SettleMs = 200;
constexpr int SensorCompletionMs = 8000;
constexpr int RelayCompletionMs = 5000;
constexpr int RelayRestoreMs = 2;

// Puts the dongle back on its channel when the update ends, however it ends.
class ChannelRestore
{
public:
    ChannelRestore(std::function<bool(int)> set, int channel)
        : m_set(std::move(set)), m_channel(channel)
    {
    }
    ~ChannelRestore() { restore(); }
    ChannelRestore(const ChannelRestore &) = delete;
    ChannelRestore &operator=(const ChannelRestore &) = delete;
    void restore()
    {
        if (m_done)
            return;
        m_done = true;
        m_set(m_channel);
    }
    // The channel was left again: put it back once more at the end.
    void rearm() { m_done = false; }

private:
    std::function<bool(int)> m_set;
    int m_channel;
    bool m_done = false;
};
} // namespace

SensorFirmwareUpdate::SensorFirmwareUpdate(ManageSerialPort *link, uint16_t serialNumber,
                                           quint8 knownVersion, RestartIntoLoader restartIntoLoader,
                                           QObject *parent)
    : QObject(parent), m_link(link), m_serialNumber(serialNumber), m_knownVersion(knownVersion),
      m_restartIntoLoader(std::move(restartIntoLoader))
{
}

void SensorFirmwareUpdate::cancel()
{
    if (m_running)
        m_cancelled = true;
}

void SensorFirmwareUpdate::run(const QString &path)
{
    if (m_running)
        return;
    m_running = true;
    m_cancelled = false;
    m_newVersion = -1;
    update(path);
    m_running = false;
    emit finished();
}

void SensorFirmwareUpdate::setStatus(const QString &text)
{
    m_status = text;
    emit statusChanged(text);
}

QString SensorFirmwareUpdate::failureText() const
{
    return firmware::targetFor(m_serialNumber) == firmware::Target::Relay
               ? QStringLiteral("Error when updating relais")
               : QStringLiteral("Error when updating sensor");
}

bool SensorFirmwareUpdate::pause(int ms)
{
    return LinkWait::pauseFor(ms, LinkWait::Events::All) == LinkWait::TimedOut;
}

void SensorFirmwareUpdate::update(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setStatus(QStringLiteral("The file can't be opened"));
        return;
    }
    if (file.size() > LargestFile) {
        setStatus(QStringLiteral("Not a firmware file: larger than %1 MB")
                      .arg(LargestFile / (1024 * 1024)));
        return;
    }
    const QByteArray text = file.readAll();
    // A device that got half an image is left in its loader: nothing leaves before the whole
    // file is known to be sound.
    const srec::Check check = srec::checkText(text);
    if (!check.ok()) {
        setStatus(QStringLiteral("Not a firmware file: ") + srec::describe(check));
        return;
    }
    if (!m_link || !m_link->isOpen()) {
        setStatus(failureText());
        return;
    }
    const QByteArray image = firmware::imageFromText(text);
    m_link->dropStaleInput();
    if (firmware::targetFor(m_serialNumber) == firmware::Target::Relay) {
        const firmware::Layout &layout = firmware::layoutFor(firmware::Target::Relay);
        const qint64 frames =
            (qint64(image.size()) + layout.pageSize - 1) / layout.pageSize * layout.framesPerPage;
        if (frames > MostCountedFrames) {
            setStatus(QStringLiteral("Not a firmware file: too large for a relay"));
            return;
        }
        runRelay(image);
    } else {
        runSensor(image);
    }
}

bool SensorFirmwareUpdate::setDongleChannel(int channel)
{
    m_link->sendApiFrame(command::setChannelBody(uint8_t(channel)), 0);
    return m_link->read_chan() == channel;
}

bool SensorFirmwareUpdate::enterLoaderChannel(int *saved)
{
    *saved = m_link->read_chan();
    // A channel we could not read is one we could not put back.
    if (*saved == 0) {
        qDebug() << QStringLiteral("/!\\ dongle channel unreadable, firmware not sent");
        setStatus(failureText());
        return false;
    }
    if (!setDongleChannel(firmware::LoaderChannel)) {
        qDebug() << QStringLiteral("/!\\ dongle channel not set to") << firmware::LoaderChannel;
        setDongleChannel(*saved);
        setStatus(failureText());
        return false;
    }
    return true;
}

SensorFirmwareUpdate::Streamed SensorFirmwareUpdate::stream(const QByteArray &image)
{
    const firmware::Target target = firmware::targetFor(m_serialNumber);
    const QVector<firmware::Frame> frames = firmware::pageFrames(image, target);
    const qint64 size = image.size();
    for (int i = 0; i < frames.size(); ++i) {
        if (!pause(FramePauseMs)) {
            setStatus(CanceledText);
            return Streamed::Cancelled;
        }
        qDebug() << i << QStringLiteral(" : ");
        const QByteArray body = firmware::frameBody(target, m_serialNumber, frames[i].data);
        const bool sent = target == firmware::Target::Relay
                              ? m_link->sendAndWaitAck(body, m_serialNumber)
                              : m_link->sendAndWaitMarker(body);
        if (!sent) {
            qDebug() << QStringLiteral("write firm error");
            setStatus(StreamErrorText);
            return Streamed::Failed;
        }
        const qint64 done = frames[i].imageEnd;
        setStatus(target == firmware::Target::Relay
                      ? QStringLiteral("Uploading new firmware : %1/%2").arg(done).arg(size)
                      : QStringLiteral("Uploading new firmware : %1 %")
                            .arg(size ? done * 100 / size : 100));
        emit progressChanged(int(done), int(size));
        if (m_cancelled) {
            setStatus(CanceledText);
            return Streamed::Cancelled;
        }
    }
    return Streamed::All;
}

void SensorFirmwareUpdate::runSensor(const QByteArray &image)
{
    quint8 versionBefore = m_knownVersion;
    int saved = 0;
    if (!enterLoaderChannel(&saved))
        return;
    ChannelRestore channel([this](int c) { return setDongleChannel(c); }, saved);
    // The loader listens on its own channel only: asking anywhere else would never find a
    // sensor left in its loader by an update that stopped half-way.
    if (!m_link->sendAndWaitMarker(firmware::probeBody(m_serialNumber))) {
        // Waking and restarting it happens on its usual channel.
        channel.restore();
        qDebug() << QStringLiteral("send action");
        const bool restarted = m_restartIntoLoader && m_restartIntoLoader(&versionBefore);
        if (m_cancelled) {
            setStatus(CanceledText);
            return;
        }
        // Without its loader the sensor would not take a single frame.
        if (!restarted) {
            setStatus(StreamErrorText);
            return;
        }
        channel.rearm();
        if (!setDongleChannel(firmware::LoaderChannel)) {
            qDebug() << QStringLiteral("/!\\ dongle channel not set to") << firmware::LoaderChannel;
            setStatus(StreamErrorText);
            return;
        }
    }
    if (!sendImage(image, firmware::Target::Sensor))
        return;
    pause(SettleMs);
    // The sensor starts its new firmware on its own channel: listening for it on the loader
    // channel would never hear it.
    channel.restore();
    m_link->sendApiFrame(command::wakeTargetBody(m_serialNumber), 0);

    LinkWait guard(nullptr, SensorCompletionMs);
    bool heard = false;
    LinkWait::Outcome o = LinkWait::Running;
    while (!heard && o == LinkWait::Running && m_link->isOpen()) {
        if (m_serialNumber >= command::AlwaysListeningFrom)
            m_link->sendApiFrame(command::rawDirectBody(m_serialNumber, command::Attention), 0);
        heard = m_link->receiveSensorAnswer(m_serialNumber) == ManageSerialPort::AnswerSensorFrame;
        if (!heard)
            o = guard.pass();
    }
    guard.finish(heard ? LinkWait::Done : LinkWait::TimedOut);
    if (heard && m_link->lastFrameLength() > answer::Version) {
        const quint8 version = m_link->lastFrameData()[answer::Version];
        if (version > versionBefore) {
            m_newVersion = version;
            setStatus(QStringLiteral("Sensor successfully updated, new version : ") +
                      QString::number(version));
            return;
        }
    }
    setStatus(QStringLiteral("Error when updating sensor"));
}

bool SensorFirmwareUpdate::sendImage(const QByteArray &image, firmware::Target target)
{
    if (m_cancelled) {
        setStatus(CanceledText);
        return false;
    }
    pause(SettleMs);
    if (stream(image) != Streamed::All)
        return false;
    m_link->sendApiFrame(firmware::endOfImageBody(target, m_serialNumber, uint32_t(image.size())),
                         0);
    qDebug() << QStringLiteral("trame size : ") << image.size();
    return true;
}

void SensorFirmwareUpdate::runRelay(const QByteArray &image)
{
    int saved = 0;
    if (!enterLoaderChannel(&saved))
        return;
    ChannelRestore channel([this](int c) { return setDongleChannel(c); }, saved);
    if (!sendImage(image, firmware::Target::Relay))
        return;
    LinkWait guard(nullptr, RelayCompletionMs);
    pause(RelayRestoreMs);
    channel.restore();
    bool confirmed = false;
    uint8_t version = 0;
    LinkWait::Outcome o = LinkWait::Running;
    while (!confirmed && o == LinkWait::Running && m_link->isOpen()) {
        confirmed =
            firmware::relayConfirmation(m_link->receiveApiFrame(command::Everyone), &version);
        if (!confirmed)
            o = guard.pass();
    }
    guard.finish(confirmed ? LinkWait::Done : LinkWait::TimedOut);
    if (confirmed) {
        m_newVersion = version;
        setStatus(QStringLiteral("Relais successfully updated, new version :") +
                  QString::number(version));
        return;
    }
    setStatus(QStringLiteral("Error when updating relais"));
}
