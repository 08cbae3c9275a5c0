#include "loradongle.h"
#include "hextext.h"

#include "apiframe.h"
#include "crc16.h"
#include "framebuffer.h"
#include "loraframe.h"
#include "page.h"

#include <algorithm>
#include <cmath>

namespace sim
{

namespace
{
constexpr uint8_t ReadConfig = 0x03;
constexpr uint8_t ConfigFrame = 0x10;
// How long the dongle listens for the sensor's radio acknowledgement before giving up.
constexpr double AckListenMs = 50;
// What the radio hears when nothing transmits: -120 dBm.
constexpr uint8_t NoiseFloor = 17;
// Status byte of the radio report: a request is on the air.
constexpr uint8_t StatusBusy = 0x01;
// The radio settings the dongle starts with, as its first configuration frame sets them.
const QByteArray DefaultRadio = QByteArray::fromHex("106C566693640453000000");
} // namespace

LoraDongle::LoraDongle(Fleet &fleet, Wire &wire, QObject *parent)
    : QObject(parent), m_fleet(fleet), m_wire(wire), m_lastRssi(NoiseFloor),
      m_radioConfig(DefaultRadio)
{
    m_fleet.setListener(this);
    m_air.setSingleShot(true);
    connect(&m_air, &QTimer::timeout, this, &LoraDongle::airDone);
    connect(&m_wire, &Wire::frameFromHost, this, &LoraDongle::handle);
    m_notReady = m_fleet.dongleConfig().lateAnswers;
    connect(&m_wire, &Wire::replugged, this,
            [this] { m_notReady = m_fleet.dongleConfig().lateAnswers; });
}

uint8_t LoraDongle::rssiByte(int rssi)
{
    return uint8_t(std::clamp(137 - rssi, 0, 255));
}

QByteArray LoraDongle::answerPayload(const answer::Status &status, uint8_t rssi)
{
    // The unstuffed frame: C0, the 49 payload bytes, the CRC low byte first, C1.
    const QByteArray body = answer::buildPayload(status);
    const uint16_t crc =
        computeCrc16(reinterpret_cast<const uint8_t *>(body.constData()), body.size());
    QByteArray frame(1, char(FrameBuffer::Start));
    frame.append(body);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    frame.append(char(FrameBuffer::End));
    QByteArray payload;
    payload.append(char(lora::Answer));
    payload.append(char(rssi));
    payload.append(frame.mid(answer::Clock));
    return payload;
}

QByteArray LoraDongle::pageFragment(uint8_t rssi, int number, uint16_t page,
                                    const QByteArray &pageBytes)
{
    QByteArray f;
    f.append(char(lora::Answer));
    f.append(char(rssi));
    f.append(char(number));
    f.append(char(page >> 8));
    f.append(char(page & 0xFF));
    QByteArray data = pageBytes.mid(number * lora::FragmentData, lora::FragmentData);
    data.append(QByteArray(lora::FragmentData - data.size(), '\0'));
    f.append(data);
    return f;
}

int LoraDongle::scaled(double ms, double airScale)
{
    return int(std::lround(ms * airScale));
}

void LoraDongle::out(const QByteArray &payload, const QString &note, int delayMs)
{
    // Every frame of a transaction is a radio event of its own: never two in one read.
    m_wire.send(api::buildFrame(payload), note, delayMs, m_fleet.dongleConfig().frameGapMs, m_tag);
}

void LoraDongle::handle(const QByteArray &body)
{
    auto log = [&](const QString &note) {
        m_wire.logLine(QStringLiteral("H>D"), api::buildFrame(body), note);
    };
    m_received.append(body);
    if (body.isEmpty()) {
        // Nothing to configure and nothing to echo: a zero length is no frame for the host.
        log(QStringLiteral("empty body, ignored"));
        return;
    }
    const uint8_t id = uint8_t(body[0]);
    if (body.size() == 1 && id == api::LoraPresence) {
        log(QStringLiteral("presence"));
        if (m_notReady > 0) {
            --m_notReady;
            m_wire.logNote(QStringLiteral("presence: not ready yet, no answer"));
            return;
        }
        QByteArray report(1, char(lora::Presence));
        report.append(char(m_lastRssi));
        report.append(char(m_transaction.active ? StatusBusy : 0x00));
        m_wire.send(api::buildFrame(report),
                    QStringLiteral("radio report, rssi %1 dBm").arg(int(m_lastRssi) - 137));
        return;
    }
    if (body.size() == 1 && id == command::RunStart) {
        log(QStringLiteral("control byte 0x05"));
        return;
    }
    if (body.size() == 2 && id == ReadConfig && body[1] == 0) {
        log(QStringLiteral("read configuration"));
        m_wire.send(api::buildFrame(QByteArray(1, char(ReadConfig)) + m_radioConfig.mid(1)),
                    QStringLiteral("configuration"));
        return;
    }
    if (id == ConfigFrame) {
        log(QStringLiteral("configuration frame"));
        // Register writes leave bytes 1 to 7 at zero; anything else sets the radio itself.
        if (body.mid(1, 7).count('\0') != std::min(7, body.size() - 1))
            m_radioConfig = body;
        m_wire.send(api::buildFrame(body), QStringLiteral("configuration echo"));
        return;
    }
    if (id == lora::RequestKind) {
        request(body);
        return;
    }
    log(QStringLiteral("unknown body, ignored"));
}

void LoraDongle::request(const QByteArray &body)
{
    // 01, preamble, serial number (4), 0F, 16 block bytes, padding.
    constexpr int Needed = 7 + 16;
    const bool wellFormed =
        body.size() >= Needed && uint8_t(body[6]) == command::SensorFunction && uint8_t(body[1]) > 0;
    const uint16_t sn =
        body.size() >= 6 ? uint16_t((uint8_t(body[4]) << 8) | uint8_t(body[5])) : uint16_t(0);
    const int preamble = body.size() >= 2 ? uint8_t(body[1]) : 0;
    m_wire.logLine(QStringLiteral("H>D"), api::buildFrame(body),
                   QStringLiteral("request to %1, preamble %2").arg(hex4(sn)).arg(preamble));

    // The host asks again before the last request was through: the newest one wins.
    m_air.stop();
    m_wire.cancel(m_tag);
    if (m_transaction.active)
        m_wire.logNote(
            QStringLiteral("request to %1 abandoned").arg(hex4(m_transaction.serialNumber)));
    m_transaction.active = false;
    m_tag = m_nextTag++;
    m_requests.append(body);
    ++m_requestCount;

    Faults &faults = m_wire.faults();
    bool refuse = !wellFormed;
    if (faults.refuseNext > 0) {
        --faults.refuseNext;
        refuse = true;
    }
    if (faults.refuseEvery > 0 && m_requestCount % faults.refuseEvery == 0)
        refuse = true;
    if (refuse) {
        out(QByteArray::fromHex("0600"),
            wellFormed ? QStringLiteral("refused (fault)") : QStringLiteral("refused: malformed"));
        return;
    }

    m_transaction.active = true;
    m_transaction.serialNumber = sn;
    m_transaction.preamble = preamble;
    m_transaction.block.fill(0);
    // Only bytes 0 to 15 travel; the sub-second byte stays 0.
    std::copy(body.constBegin() + 7, body.constBegin() + 7 + 16, m_transaction.block.begin());
    m_air.start(scaled(lora::airTimeMs(preamble)));
}

void LoraDongle::airDone()
{
    if (!m_transaction.active)
        return;
    m_transaction.active = false;
    const uint16_t sn = m_transaction.serialNumber;
    Device *d = m_fleet.inDirectReach(sn);
    if (d && !m_fleet.isAwake(*d)) {
        if (m_transaction.preamble >= m_fleet.dongleConfig().wakePreamble) {
            m_wire.logNote(QStringLiteral("%1 woken by the long preamble").arg(hex4(sn)));
        } else {
            m_wire.logNote(
                QStringLiteral("%1 is asleep: the short preamble went unheard").arg(hex4(sn)));
            d = nullptr;
        }
    }
    if (!d) {
        out(QByteArray::fromHex("0600"), QStringLiteral("no acknowledgement from %1").arg(hex4(sn)),
            scaled(AckListenMs));
        return;
    }
    m_fleet.touch(*d);
    const uint8_t rssi = rssiByte(d->config().rssi);
    m_lastRssi = rssi;
    out(QByteArray::fromHex("0601"), QStringLiteral("%1 took the request").arg(hex4(sn)));

    const command::Block &block = m_transaction.block;
    if (block[0] == command::LoraFragmented) {
        const uint16_t page =
            uint16_t((block[command::LoraPageBytes] << 8) | block[command::LoraPageBytes + 1]);
        if (page >= page::RingPages) {
            m_wire.logNote(QStringLiteral("page %1 is not memory: no answer").arg(page));
            return;
        }
        d->catchUp(m_fleet.simNowMs());
        const QByteArray bytes = d->memory().pageBytes(page);
        Faults &faults = m_wire.faults();
        ++m_fragmentedCount;
        int lost = -1;
        if (faults.dropFragment >= 0) {
            lost = faults.dropFragment;
            faults.dropFragment = -1;
        } else if (faults.dropFragmentEvery > 0 &&
                   m_fragmentedCount % faults.dropFragmentEvery == 0) {
            lost = 1 + int((m_fragmentedCount / faults.dropFragmentEvery) % (lora::Fragments - 1));
        }
        for (int k = 0; k < lora::Fragments; ++k) {
            const QString note =
                QStringLiteral("%1 page %2 fragment %3").arg(hex4(sn)).arg(page).arg(k);
            if (k == lost) {
                m_wire.logNote(note + QStringLiteral(" lost (fault)"));
                continue;
            }
            out(pageFragment(rssi, k, page, bytes), note, k == 0 ? scaled(AnswerAirMs) : 0);
        }
        return;
    }

    m_capturing = true;
    m_captured.reset();
    m_fleet.deliverBlock(*d, block, m_fleet.pathOf(*d, 0));
    m_capturing = false;
    if (!m_captured)
        return;
    out(answerPayload(*m_captured, rssi),
        QStringLiteral("answer of %1 fn %2")
            .arg(hex4(sn))
            .arg(m_captured->function, 2, 16, QChar('0')),
        scaled(AnswerAirMs));
}

void LoraDongle::heardStatus(const Device &device, const answer::Status &status, const Path &)
{
    if (m_capturing && device.serialNumber() == m_transaction.serialNumber) {
        m_captured = status;
        return;
    }
    // A sensor that wakes on its own only listens: nothing reaches the host.
    m_wire.logNote(QStringLiteral("%1 awake, listening").arg(hex4(device.serialNumber())));
}

} // namespace sim
