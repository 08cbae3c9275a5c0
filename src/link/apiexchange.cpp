#include "apiexchange.h"

#include "apiframe.h"
#include "commandset.h"
#include "linkwait.h"
#include "serialtransport.h"
#include "waveformframe.h"

#include <QDebug>

namespace
{
// What input between exchanges may keep: a few whole frames a receive may still ask for.
constexpr int IdleKeep = 4096;
// A download refreshes its buffer at every page receive; this long without it, it is over.
constexpr int DownloadQuietMs = 2000;
} // namespace

ApiExchange::ApiExchange(SerialTransport &transport, FrameBuffer &tx, FrameBuffer &rx)
    : m_transport(transport), m_tx(tx), m_rx(rx)
{
}

bool ApiExchange::sendTxFrame()
{
    return m_transport.write(m_tx.toByteArray());
}

bool ApiExchange::sendApiFrame(const QByteArray &body, uint8_t retries)
{
    const QByteArray frame = api::buildFrame(body);
    if (frame.isEmpty() || !m_tx.setData(frame)) {
        qDebug() << QStringLiteral("/!\\ API body refused, length") << body.size();
        return false;
    }
    bool sent = false;
    int attempts = retries + 1;
    while (attempts-- > 0 && !(sent = sendTxFrame())) {
    }
    return sent;
}

bool ApiExchange::sendSensorCommand(uint32_t serialNumber, uint8_t function,
                                    const command::Block &data, uint16_t relay)
{
    m_tx.buildSensorFrame(api::sensorCommandPayload(serialNumber, function, data));
    const QByteArray sensorFrame = m_tx.toByteArray();
    const uint16_t destination = static_cast<uint16_t>(serialNumber & 0xFFFF);
    const QByteArray body = relay == 0 ? api::txDirectBody(destination, sensorFrame)
                                       : api::txRelayBody(destination, relay, sensorFrame);
    const bool sent = sendApiFrame(body, 0);
    if (!sent)
        qDebug() << QStringLiteral("/!\\ Emission problem");
    return sent;
}

QByteArray ApiExchange::receiveApiFrame(uint64_t addressFilter)
{
    LinkWait wait(&m_transport, m_receiveTimeout);
    m_lastSource = 0;
    int extensions = 10;
    api::ReceiveAssembler frame(addressFilter);
    int reported = 0;
    bool failed = false;
    // Input a previous receive left (a second frame of its read) comes first.
    bool fresh = !m_input.isEmpty();
    for (;;) {
        if (m_transport.pendingBytes() > 0) {
            const QByteArray in = m_transport.readPending();
            if (in.isEmpty() && m_input.isEmpty()) {
                qDebug() << QStringLiteral("/!\\ error in number of bytes read");
                failed = true;
                break;
            }
            m_input.append(in);
            fresh = true;
        }
        if (fresh) {
            m_input.remove(0, frame.feed(m_input));
            fresh = false;
            for (; reported < frame.faults(); ++reported)
                m_transport.health().fault("receive frame");
        }
        if (frame.complete())
            break;
        // Looked at once more after the deadline: what came in meanwhile still counts.
        if (wait.timedOut()) {
            if (!frame.inFrame() || --extensions <= 0)
                break;
            wait.extend(10);
        }
        const LinkWait::Outcome o = wait.awaitInput();
        if (o != LinkWait::Running && o != LinkWait::TimedOut) {
            failed = true;
            break;
        }
    }
    wait.finish(failed || !frame.complete() ? LinkWait::TimedOut : LinkWait::Done);
    if (!failed && !frame.complete() && frame.inFrame()) {
        m_transport.health().fault("cut frame");
        m_transport.tap().cut();
    }
    if (failed || !frame.complete())
        return {};
    m_transport.health().cleanFrame();
    if (frame.hasSource())
        m_lastSource = frame.source();
    if (frame.hasRssi())
        m_lastRssi = frame.rssi();
    return frame.data();
}

bool ApiExchange::receiveIntoLastFrame(uint64_t addressFilter)
{
    m_rx.clear();
    const QByteArray data = receiveApiFrame(addressFilter);
    if (data.isEmpty())
        return false;
    return m_rx.setData(data);
}

int ApiExchange::readChannel()
{
    qDebug() << QStringLiteral("read_chan");
    int channel = 0;
    for (int attempt = 3; attempt > 0 && channel == 0; --attempt) {
        qDebug() << attempt;
        // A late answer to an earlier query (this read's last attempt, or a change made a
        // moment ago) would be taken for this one's.
        m_input.clear();
        m_transport.readPending();
        sendApiFrame(QByteArray(1, char(api::ReadChannel)), 0);
        receiveIntoLastFrame(0xFFFF);
        const uint8_t *d = m_rx.data();
        if (m_rx.length() >= 2 && d[0] == api::ReadChannel &&
            unsigned(d[1] - api::FirstChannel) <= unsigned(api::LastChannel - api::FirstChannel))
            channel = d[1];
        if (m_transport.isLost())
            break;
    }
    qDebug() << QStringLiteral("chan ") << channel;
    return channel;
}

uint8_t ApiExchange::readDongleVersion()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!sendApiFrame(QByteArray(1, char(api::ReadVersion)), 0))
            return 0;
        m_input.clear();
        m_transport.readPending();
        LinkWait wait(&m_transport, 500, LinkWait::Events::NoInput);
        LinkWait::Outcome o = LinkWait::Running;
        while (o == LinkWait::Running) {
            if (m_transport.pendingBytes() == 1) {
                wait.finish(LinkWait::Done);
                char version = 0;
                m_transport.readByte(&version);
                qDebug() << QStringLiteral("ver : ") << QChar(QLatin1Char(version));
                return static_cast<uint8_t>(version);
            }
            o = wait.pass();
        }
        wait.finish(o);
        if (o != LinkWait::TimedOut)
            return 0;
    }
    return 0;
}

bool ApiExchange::sendAndWaitAck(const QByteArray &body, uint16_t addressFilter)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendApiFrame(body, 0);
        const int previous = m_receiveTimeout;
        m_receiveTimeout = 100;
        const QByteArray answer = receiveApiFrame(addressFilter);
        m_receiveTimeout = previous;
        qDebug() << answer.size() << Qt::hex
                 << (answer.isEmpty() ? 0 : static_cast<uint8_t>(answer[0])) << Qt::dec;
        if (answer.size() == 1 && static_cast<uint8_t>(answer[0]) == api::Ack)
            return true;
        if (!m_transport.isOpen())
            break;
    }
    return false;
}

bool ApiExchange::sendAndWaitMarker(const QByteArray &body)
{
    for (int remaining = 3; remaining >= 0; --remaining) {
        LinkWait wait(&m_transport, 200, LinkWait::Events::NoInput);
        m_input.clear();
        m_transport.readPending();
        sendApiFrame(body, 0);
        bool marked = false;
        LinkWait::Outcome o = LinkWait::Running;
        while (o == LinkWait::Running && !marked) {
            o = wait.pass();
            marked = m_transport.readPending().contains(char(api::Marker));
        }
        wait.finish(marked ? LinkWait::Done : o);
        qDebug() << QStringLiteral("n_try") << remaining;
        if (marked)
            return true;
        if (o != LinkWait::TimedOut)
            return false;
    }
    return false;
}

sensoranswer::Result ApiExchange::receiveSensorAnswer(uint16_t addressFilter)
{
    using namespace sensoranswer;
    m_receiveTimeout = m_timeoutBase;
    if (!receiveIntoLastFrame(addressFilter))
        return None;
    switch (m_rx.data()[0]) {
    case FrameBuffer::Start: {
        const int check = m_rx.checkSensorFrame();
        if (check == 0)
            return SensorFrame;
        qDebug() << QStringLiteral("write validation auto : error nb ") << check;
        m_transport.health().fault("sensor frame check");
        return None;
    }
    case command::RssiLists:
        return RssiLists;
    case command::RelayListAck:
        return RelayListAck;
    case command::RelayChannel:
        return RelayChannel;
    case api::Ack:
        return Ack;
    default:
        return None;
    }
}

pageresult::Result ApiExchange::receivePageFrame(uint16_t addressFilter, uint16_t timeoutMs)
{
    using namespace pageresult;
    LinkWait wait(&m_transport, timeoutMs);
    m_page.clear();
    m_lastSource = 0;
    m_pageNoise = false;
    int expected = 10;
    int extensions = 10;

    // The moves out of the shared buffer are guarded so refreshShared(), which a caller's timer
    // may run inside our waits, never appends while we take from the front.
    const auto take = [this](int count) {
        m_rxLock = true;
        m_page.append(m_shared.left(count));
        m_shared.remove(0, count);
        m_rxLock = false;
    };

    // A wait ends when bytes come in, and they are pulled here before the first wait and after
    // every one: nothing waits for a poll, and no byte is left unseen until the next wait ends.
    refreshShared();
    while (m_shared.size() < 3) {
        const LinkWait::Outcome o = wait.awaitInput();
        refreshShared();
        if (o == LinkWait::TimedOut) {
            qDebug() << QStringLiteral("timeout") << true;
            wait.finish(o);
            return None;
        }
        if (o != LinkWait::Running) {
            wait.finish(o);
            return None;
        }
    }
    take(3);
    if (static_cast<uint8_t>(m_page[0]) != api::Delimiter) {
        qDebug() << QStringLiteral("missing 7E");
        m_transport.health().fault("missing 7E");
        m_pageNoise = true;
        // Only the first byte is known to be no start: the next frame may begin in the other two.
        m_rxLock = true;
        m_shared.prepend(m_page.mid(1));
        m_rxLock = false;
        m_page.clear();
        wait.finish(LinkWait::Done);
        return Broken;
    }
    expected = (static_cast<uint8_t>(m_page[1]) << 8) | static_cast<uint8_t>(m_page[2]);
    if (expected > api::MaxBody) {
        qDebug() << QStringLiteral("/!\\ frame length too large") << expected;
        m_transport.health().fault("frame length");
        wait.finish(LinkWait::Done);
        return Broken;
    }

    bool rejected = false;
    LinkWait::Outcome end = LinkWait::Running;
    for (;;) {
        if (!rejected && m_shared.size() > expected) {
            take(expected + 1);
            const api::PageFrame frame = api::parsePageFrame(m_page, addressFilter);
            if (frame.status == api::PageFrame::BadChecksum) {
                // A broken frame: the caller flushes and asks for these pages again.
                m_transport.health().fault("page checksum");
                wait.finish(LinkWait::Done);
                m_page.clear();
                return Broken;
            }
            if (frame.status == api::PageFrame::Accepted) {
                wait.finish(LinkWait::Done);
                m_page.clear();
                if (frame.hasSource)
                    m_lastSource = frame.source;
                m_lastRssi = frame.rssi;
                if (!m_rx.setData(frame.data))
                    return None;
                const bool sensorFrame = expected != api::TwoPageLength &&
                                         expected != api::OnePageLength &&
                                         !waveform::isFrameLength(expected);
                if (sensorFrame && m_rx.data()[0] != FrameBuffer::Start) {
                    m_transport.health().cleanFrame();
                    return Unrelated;
                }
                if (sensorFrame && m_rx.checkSensorFrame() != 0) {
                    m_transport.health().fault("sensor frame check");
                    return None;
                }
                m_transport.health().cleanFrame();
                if (expected == api::TwoPageLength)
                    return TwoPages;
                if (expected == api::OnePageLength)
                    return OnePage;
                if (waveform::isFrameLength(expected))
                    return Waveform;
                return SensorFrame;
            }
            if (frame.status == api::PageFrame::WrongCommand) {
                // Damage, not a frame for someone else: what follows it is read by the next
                // call instead of waiting out this one.
                m_transport.health().fault("wrong command");
                wait.finish(LinkWait::Done);
                m_page.clear();
                return Broken;
            }
            rejected = true;
        }
        const LinkWait::Outcome o = wait.awaitInput();
        refreshShared();
        if (o == LinkWait::Running)
            continue;
        if (o == LinkWait::TimedOut && !rejected && --extensions > 0) {
            wait.extend(10);
            continue;
        }
        end = wait.finish(o);
        break;
    }
    // A header whose frame never came whole: its bytes went missing on the way.
    if (!rejected && end == LinkWait::TimedOut) {
        m_transport.health().fault("cut frame");
        m_transport.tap().cut();
    }
    return expected > 10 ? Broken : None;
}

void ApiExchange::refreshShared()
{
    m_lastRefresh.start();
    if (m_rxLock)
        return;
    m_shared.append(m_transport.readPending());
}

int ApiExchange::pageBytesWaiting()
{
    refreshShared();
    return m_shared.size();
}

int ApiExchange::flushForRequest()
{
    m_input.clear();
    refreshShared();
    return api::keepArrivingFrame(m_shared);
}

int ApiExchange::skipToFrameStart()
{
    refreshShared();
    int at = 0;
    while (at < m_shared.size() && api::pageFrameStart(m_shared, at) == api::FrameStart::No)
        ++at;
    m_shared.remove(0, at);
    return at;
}

bool ApiExchange::wholePageFrameWaiting()
{
    refreshShared();
    if (m_shared.size() < 3 || static_cast<uint8_t>(m_shared[0]) != api::Delimiter)
        return false;
    const int length = (static_cast<uint8_t>(m_shared[1]) << 8) | static_cast<uint8_t>(m_shared[2]);
    return m_shared.size() >= length + 4;
}

int ApiExchange::flush()
{
    const int dropped = m_transport.readPending().size() + m_input.size() + m_shared.size();
    m_input.clear();
    m_shared.clear();
    m_transport.tap().cut();
    return dropped;
}

int ApiExchange::drainIdle()
{
    if (m_lastRefresh.isValid() && m_lastRefresh.elapsed() < DownloadQuietMs)
        return 0;
    m_input.append(m_transport.readPending());
    return api::pruneIdleInput(m_input, IdleKeep);
}
