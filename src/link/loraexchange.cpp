#include "loraexchange.h"

#include "apiexchange.h"
#include "apiframe.h"
#include "clockfields.h"
#include "commandset.h"
#include "hextext.h"
#include "linkwait.h"
#include "loraframe.h"
#include "serialtransport.h"

#include <QDateTime>
#include <QDebug>

LoraExchange::LoraExchange(SerialTransport &transport, ApiExchange &api, FrameBuffer &rx,
                           QObject *parent)
    : QObject(parent), m_transport(transport), m_api(api), m_rx(rx)
{
    connect(&m_poll, &QTimer::timeout, this, &LoraExchange::read_lora);
    m_clock.start();
}

void LoraExchange::startPolling()
{
    m_poll.start(1);
}

void LoraExchange::stopPolling()
{
    m_poll.stop();
}

void LoraExchange::setPreambles(int normal, int wakeUp)
{
    m_preambleNormal = normal;
    m_preambleWakeUp = wakeUp;
}

void LoraExchange::requestStop()
{
    m_stopRequest = true;
    emit stopping();
}

int LoraExchange::dropInput()
{
    const int dropped =
        m_transport.readPending().size() + m_input.size() + (m_newFrame ? m_lastFrame.size() : 0);
    m_input.clear();
    m_newFrame = false;
    m_transport.tap().cut();
    return dropped;
}

QByteArray LoraExchange::extractLoraFrame()
{
    const lora::Extracted out = lora::extractLoraFrame(m_input);
    m_error = out.error;
    return out.payload;
}

void LoraExchange::read_lora()
{
    const QByteArray in = m_transport.readPending();
    // A second frame that came in the same read is still whole in the buffer: deliver it on
    // this tick even though the port is quiet.
    if (in.isEmpty() && !lora::holdsWork(m_input))
        return;
    m_input.append(in);
    if (m_input.size() <= 3)
        return;
    const QByteArray payload = extractLoraFrame();
    if (!m_error.isEmpty()) {
        m_transport.health().fault("lora framing");
        emit error_rx();
    }
    if (!payload.isEmpty()) {
        m_transport.health().cleanFrame();
        m_lastFrame = payload;
        m_newFrame = true;
        emit new_frame();
    }
}

bool LoraExchange::frameOfKind(uint8_t kind) const
{
    return m_newFrame && !m_lastFrame.isEmpty() && static_cast<uint8_t>(m_lastFrame[0]) == kind;
}

bool LoraExchange::detectLora()
{
    if (LinkWait::pauseFor(200, LinkWait::Events::NoInput, &m_transport) != LinkWait::TimedOut)
        return false;
    m_api.sendApiFrame(QByteArray(1, char(api::LoraPresence)), 0);
    startPolling();
    LinkWait wait(&m_transport, 1500);
    connect(this, &LoraExchange::new_frame, &wait, &LinkWait::wake);
    m_newFrame = false;
    for (;;) {
        const LinkWait::Outcome o = wait.sleep();
        if (m_newFrame && m_lastFrame.size() == lora::PresenceLength &&
            static_cast<uint8_t>(m_lastFrame[0]) == lora::Presence) {
            wait.finish(LinkWait::Done);
            qDebug() << QStringLiteral("lora detected");
            return true;
        }
        m_newFrame = false;
        if (o != LinkWait::Running) {
            wait.finish(o);
            stopPolling();
            return false;
        }
    }
}

bool LoraExchange::setLoraConfig(const QByteArray &frame, int tries)
{
    while (tries > 0) {
        m_newFrame = false;
        m_api.sendApiFrame(frame, 1);
        qDebug() << QStringLiteral("tx");
        LinkWait wait(&m_transport, 1000);
        connect(this, &LoraExchange::new_frame, &wait, &LinkWait::wake);
        LinkWait::Outcome o = LinkWait::Running;
        while (o == LinkWait::Running) {
            o = wait.sleep();
            if (m_newFrame && m_lastFrame == frame) {
                wait.finish(LinkWait::Done);
                qDebug() << QStringLiteral("set conf ok");
                return true;
            }
            m_newFrame = false;
        }
        wait.finish(o);
        if (o != LinkWait::TimedOut)
            return false;
        --tries;
    }
    return false;
}

void LoraExchange::sendConfiguration(const QList<QByteArray> &frames)
{
    for (const QByteArray &frame : frames) {
        const bool ok = setLoraConfig(frame, 3);
        qDebug() << ok;
        if (!m_transport.isOpen())
            return;
    }
}

QByteArray LoraExchange::buildLoraRequest(uint32_t serialNumber, int preambleSize,
                                          command::Block &data)
{
    // Every attempt carries the clock of its own sending plus the time it spends on the air:
    // stamping after building would send the clock of the previous attempt, seconds old after
    // a wake-up wait, and the sensor would accept it as right.
    if (data[command::FlagsByte] & command::SetClock)
        clockfields::write(data,
                           QDateTime::currentDateTime().addMSecs(lora::airTimeMs(preambleSize)));
    return lora::requestBody(serialNumber, preambleSize, data);
}

bool LoraExchange::sendframe(uint32_t serialNumber, int preambleSize, command::Block data,
                             int overallTimeoutMs)
{
    m_lastEnd = LinkWait::Stopped;
    if (m_stopRequest)
        return false;
    const int ackWindow = lora::acknowledgementWindowMs(preambleSize);
    m_newFrame = false;
    LinkWait wait(&m_transport, overallTimeoutMs);
    connect(this, &LoraExchange::new_frame, &wait, &LinkWait::wake);
    connect(this, &LoraExchange::stopping, &wait, &LinkWait::stop);

    bool complete = false;
    LinkWait::Outcome o = LinkWait::Running;
    for (;;) {
        const QByteArray body = buildLoraRequest(serialNumber, preambleSize, data);
        qDebug() << m_clock.elapsed() << QStringLiteral("sendframe") << hexText(body);
        m_api.sendApiFrame(body, 1);

        bool accepted = false;
        wait.openWindow(ackWindow);
        for (;;) {
            m_newFrame = false;
            o = wait.sleep();
            if (frameOfKind(lora::Ack)) {
                qDebug() << m_clock.elapsed() << hexText(m_lastFrame);
                accepted = m_lastFrame.size() >= 2 &&
                           static_cast<uint8_t>(m_lastFrame[1]) == lora::Accepted;
                break;
            }
            // The overall time-out ends the wait as well: nothing sent after it would count.
            if (!wait.windowOpen() || o != LinkWait::Running)
                break;
        }
        wait.closeWindow();
        if (wait.ended() != LinkWait::Running || m_stopRequest)
            break;
        if (!accepted) {
            if (wait.timedOut())
                break;
            continue;
        }

        wait.openWindow(100);
        for (;;) {
            m_newFrame = false;
            o = wait.sleep();
            if (frameOfKind(lora::Answer)) {
                qDebug() << m_clock.elapsed() << hexText(m_lastFrame);
                complete = true;
                break;
            }
            if (!wait.windowOpen() || wait.ended() != LinkWait::Running)
                break;
        }
        wait.closeWindow();
        if (complete || wait.timedOut() || wait.ended() != LinkWait::Running || m_stopRequest)
            break;
    }
    m_lastEnd = wait.finish(complete                            ? LinkWait::Done
                            : wait.ended() != LinkWait::Running ? wait.ended()
                                                                : LinkWait::TimedOut);
    return complete;
}

bool LoraExchange::sendLoraCommand(uint32_t serialNumber, command::Block data)
{
    m_stopRequest = false;
    if (!sendframe(serialNumber, m_preambleNormal, data, 700)) {
        // Quitting or a lost dongle: no wake-up pass of a minute after it.
        if (m_lastEnd == LinkWait::Quitting || m_lastEnd == LinkWait::PortLost)
            return false;
        if (!sendframe(serialNumber, m_preambleWakeUp, data, 65000))
            return false;
    }
    if (data[0] != command::LoraFragmented)
        return m_rx.setData(lora::answerAsSensorFrame(m_lastFrame));
    return reassembleFragments();
}

bool LoraExchange::reassembleFragments()
{
    QByteArray assembled;
    int expected = 0;
    LinkWait window(&m_transport, 350);
    connect(this, &LoraExchange::new_frame, &window, &LinkWait::wake);
    // The 0x02 answer that completed the transaction is fragment 0.
    m_newFrame = true;
    for (;;) {
        if (frameOfKind(lora::Answer)) {
            const QByteArray &f = m_lastFrame;
            qDebug() << m_clock.elapsed() << hexText(f);
            const int number = f.size() >= 3 ? static_cast<uint8_t>(f[2]) : 0;
            if (number != expected) {
                qDebug() << QStringLiteral("error frag: expected:") << expected
                         << QStringLiteral("    received:") << number;
                m_transport.health().fault("fragment out of order");
                LinkWait::Outcome o = LinkWait::Running;
                while (o == LinkWait::Running)
                    o = window.sleep();
                window.finish(o);
                return false;
            }
            if (expected == 0)
                assembled.append(f.left(lora::FragmentHeader));
            assembled.append(f.mid(lora::FragmentHeader, lora::FragmentData));
            if (++expected == lora::Fragments) {
                window.finish(LinkWait::Done);
                return m_rx.setData(assembled);
            }
        }
        m_newFrame = false;
        const LinkWait::Outcome o = window.sleep();
        if (o != LinkWait::Running) {
            // A fragment that came with the end of the window still counts.
            if (frameOfKind(lora::Answer))
                continue;
            if (o == LinkWait::TimedOut)
                m_transport.health().fault("fragments missing");
            window.finish(o);
            return false;
        }
    }
}
