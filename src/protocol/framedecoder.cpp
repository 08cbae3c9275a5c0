#include "framedecoder.h"

#include "apiframe.h"
#include "commandset.h"
#include "crc16.h"
#include "framebuffer.h"
#include "hextext.h"
#include "loader.h"
#include "loraframe.h"
#include "page.h"
#include "sensoranswer.h"
#include "waveformframe.h"

#include <QDateTime>
#include <QStringList>

namespace framedecode
{

namespace
{

uint8_t u8(const QByteArray &b, int i)
{
    return static_cast<uint8_t>(b[i]);
}

uint16_t be16(const QByteArray &b, int i)
{
    return static_cast<uint16_t>((u8(b, i) << 8) | u8(b, i + 1));
}

QString hex2(unsigned value)
{
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

QString bytesText(const QByteArray &bytes)
{
    return hexText(bytes).trimmed();
}

QString dateText(const uint8_t *six)
{
    const QDateTime t = command::bcdDateTime(six);
    if (t.isValid())
        return t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    return QStringLiteral("no date (%1)").arg(hexText(six, 6).trimmed());
}

// An 802.15.4 RSSI byte is the level below 0 dBm.
QString rssiText(unsigned levelByte)
{
    return levelByte == 0 ? QStringLiteral("0 dBm") : QStringLiteral("-%1 dBm").arg(levelByte);
}

QString pagesText(uint16_t first, uint16_t last)
{
    if (first == answer::NoPage && last == answer::NoPage)
        return QStringLiteral("none");
    return QStringLiteral("%1 to %2").arg(first).arg(last);
}

// What is said of a frame while it is taken apart.
struct Text {
    Decoded d;
    void field(const QString &name, const QString &value) { d.fields.append({name, value}); }
    void refuse(const QString &reason)
    {
        if (!d.refused) {
            d.refused = true;
            d.reason = reason;
        }
    }
};

// ---- 17-byte blocks ----

QString memoryText(const command::Block &b)
{
    const uint16_t address =
        uint16_t((b[command::MemoryAddressBytes] << 8) | b[command::MemoryAddressBytes + 1]);
    const QString at = QStringLiteral("0x%1").arg(hex4(address));
    switch (b[command::MemoryOperationByte]) {
    case command::ReadEeprom:
        return QStringLiteral("read EEPROM at ") + at;
    case command::ReadRam:
        return QStringLiteral("read RAM at ") + at;
    case command::WriteEeprom:
        return QStringLiteral("write EEPROM at %1 = 0x%2%3")
            .arg(at, hex2(b[command::MemoryValueByte]),
                 b[command::MemoryRestartByte] ? QStringLiteral(", restart")
                                               : QStringLiteral(", no restart"));
    case 0:
        return QStringLiteral("no action");
    default:
        return QStringLiteral("memory operation 0x%1").arg(hex2(b[command::MemoryOperationByte]));
    }
}

QString actionsText(const command::Block &b)
{
    using namespace command;
    const uint8_t flags = b[FlagsByte];
    QStringList parts;
    if (flags & SetClock)
        parts << QStringLiteral("set clock %1.%2")
                     .arg(dateText(&b[ClockBytes]))
                     .arg(subSecondMilliseconds(b[SubSecondByte]), 3, 10, QLatin1Char('0'));
    if (flags & ChangePeriod)
        parts << QStringLiteral("period code %1").arg(b[PeriodCodeByte]);
    if (flags & ClearData)
        parts << QStringLiteral("clear data");
    if (flags & DownloadBetween)
        parts << QStringLiteral("download %1 to %2")
                     .arg(dateText(&b[WindowStartBytes]), dateText(&b[WindowEndBytes]));
    if (flags & DownloadAll)
        parts << QStringLiteral("download all");
    if (flags & SelectChannels)
        parts << QStringLiteral("channels 0x%1 (type %2)")
                     .arg(hex2(b[ChannelMaskByte]))
                     .arg(b[SensorTypeByte]);
    if (flags & ~KnownActionFlags)
        parts << QStringLiteral("unknown flags 0x%1").arg(hex2(flags & ~KnownActionFlags));
    return parts.join(QStringLiteral(", "));
}

QString blockText(const command::Block &b)
{
    if (b[command::FlagsByte] == command::LoraFragmented)
        return QStringLiteral("page request, page %1")
            .arg(be16(command::toBytes(b), command::LoraPageBytes));
    if (b[command::FlagsByte] == 0)
        return memoryText(b);
    return actionsText(b);
}

// ---- sensor frames ----

// A command the host sends inside a transmit request: C0, stuffed payload and CRC, C1.
QString sensorCommand(Text &t, const QByteArray &frame)
{
    FrameBuffer f;
    f.setData(frame);
    if (f.length() < 2 || f.data()[0] != FrameBuffer::Start ||
        f.data()[f.length() - 1] != FrameBuffer::End || !f.unescapeFrame(1, f.length())) {
        t.refuse(QStringLiteral("sensor frame: bad start or end byte"));
        return QStringLiteral("sensor frame");
    }
    const int payload = f.length() - 4;
    if (payload < 6) {
        t.refuse(QStringLiteral("sensor frame: %1 bytes, too short for a command").arg(f.length()));
        return QStringLiteral("sensor frame");
    }
    const uint8_t *p = f.data() + 1;
    const uint16_t computed = computeCrc16(p, payload);
    const uint16_t received = uint16_t(p[payload] | (p[payload + 1] << 8));
    if (computed != received)
        t.refuse(QStringLiteral("sensor frame: CRC error (received %1, computed %2)")
                     .arg(hex4(received), hex4(computed)));
    const QByteArray bytes(reinterpret_cast<const char *>(p), payload);
    const command::Block block = command::blockFromBytes(bytes.mid(6));
    t.field(QStringLiteral("serial number"), hex4(answer::read32(p, 0)));
    t.field(QStringLiteral("function"), QStringLiteral("0x") + hex2(p[4]));
    t.field(QStringLiteral("block"), bytesText(command::toBytes(block)));
    const QString what = blockText(block);
    t.field(QStringLiteral("command"), what);
    if (p[4] != command::SensorFunction)
        return QStringLiteral("function 0x%1").arg(hex2(p[4]));
    return what;
}

void answerFields(Text &t, const answer::Status &s, bool lora)
{
    if (!lora) {
        t.field(QStringLiteral("serial number"), hex4(s.serialNumber));
        t.field(QStringLiteral("function"), QStringLiteral("0x") + hex2(s.function));
    }
    const auto date = [](const QDateTime &d) {
        return d.isValid() ? d.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                           : QStringLiteral("no date");
    };
    t.field(QStringLiteral("clock"), date(s.clock));
    t.field(QStringLiteral("recording start"), date(s.recordingStart));
    t.field(QStringLiteral("period code"), QString::number(s.periodCode));
    t.field(QStringLiteral("page count"), QString::number(s.pageCount));
    t.field(QStringLiteral("pages"), pagesText(s.firstPage, s.lastPage));
    t.field(QStringLiteral("type"), QString::number(s.sensorType));
    t.field(QStringLiteral("channels"), QStringLiteral("0x") + hex2(s.channelMask));
    t.field(QStringLiteral("version"), QString::number(s.version));
    t.field(QStringLiteral("battery"), QString::fromLatin1(page::batteryLabels[s.batteryIndex]));
    t.field(QStringLiteral("mode"), QString::number(s.mode));
    t.field(QStringLiteral("error flag"), QString::number(s.errorFlag));
    if (s.memory) {
        QByteArray m;
        for (uint8_t b : *s.memory)
            m.append(char(b));
        t.field(QStringLiteral("bytes 34-41"), bytesText(m));
    }
    if (!lora)
        t.field(QStringLiteral("last byte"),
                s.extra == answer::HeardDirectly
                    ? QStringLiteral("FF (heard directly)")
                    : QStringLiteral("%1 (relay's RSSI %2)").arg(hex2(s.extra), rssiText(s.extra)));
}

QString answerSummary(const answer::Status &s)
{
    return QStringLiteral("type %1, pages %2, clock %3")
        .arg(s.sensorType)
        .arg(pagesText(s.firstPage, s.lastPage),
             s.clock.isValid() ? s.clock.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                               : QStringLiteral("none"));
}

// A sensor's answer as the radio delivered it, checked as the link checks it.
QString sensorAnswer(Text &t, const QByteArray &data)
{
    FrameBuffer f;
    if (!f.setData(data)) {
        t.refuse(
            QStringLiteral("sensor frame: %1 bytes, more than a frame holds").arg(data.size()));
        return QStringLiteral("sensor frame");
    }
    const int check = f.checkSensorFrameQuietly();
    if (check == 3)
        t.refuse(QStringLiteral("sensor frame: %1 bytes, %2 expected")
                     .arg(f.length())
                     .arg(answer::CheckedLength));
    else if (check == 2)
        t.refuse(QStringLiteral("sensor frame: CRC error"));
    else if (check == 1)
        t.refuse(QStringLiteral("sensor frame: bad start or end byte"));
    const std::optional<answer::Status> s = answer::parse(f.data(), f.length());
    if (check != 0 || !s)
        return QStringLiteral("sensor frame");
    answerFields(t, *s, false);
    return QStringLiteral("answer of %1 (fn %2): %3")
        .arg(hex4(s->serialNumber), hex2(s->function), answerSummary(*s));
}

// ---- 802.15.4 dongle ----

QString txData(Text &t, const QByteArray &data)
{
    if (!data.isEmpty() && u8(data, 0) == FrameBuffer::Start)
        return sensorCommand(t, data);
    if (data.size() == 1) {
        switch (u8(data, 0)) {
        case command::Attention:
            return QStringLiteral("attention request (60)");
        case command::AnnounceAck:
            return QStringLiteral("announcement acknowledged (61)");
        case waveform::CaptureByte:
            return QStringLiteral("capture a waveform (B0)");
        default:
            break;
        }
    }
    return QStringLiteral("%1 data bytes").arg(data.size());
}

QString apiOut(Text &t, const QByteArray &b)
{
    const auto need = [&](int n) {
        if (b.size() >= n)
            return true;
        t.refuse(QStringLiteral("body of %1 bytes, %2 expected").arg(b.size()).arg(n));
        return false;
    };
    const uint8_t id = u8(b, 0);
    if (b == loader::entryCommand())
        return QStringLiteral("restart into the loader");
    switch (id) {
    case api::TxDirect:
        if (!need(6))
            return QStringLiteral("transmit request");
        t.field(QStringLiteral("destination"), hex4(be16(b, 2)));
        return QStringLiteral("to %1: ").arg(hex4(be16(b, 2))) + txData(t, b.mid(5));
    case api::TxRelay:
        if (!need(6))
            return QStringLiteral("transmit request through a relay");
        t.field(QStringLiteral("destination"), hex4(be16(b, 1)));
        t.field(QStringLiteral("relay"), hex4(be16(b, 3)));
        return QStringLiteral("to %1 via %2: ").arg(hex4(be16(b, 1)), hex4(be16(b, 3))) +
               txData(t, b.mid(5));
    case command::WakeTarget:
        if (!need(3))
            return QStringLiteral("wake-up target");
        return be16(b, 1) == 0 ? QStringLiteral("clear the wake-up target")
                               : QStringLiteral("wake-up target %1").arg(hex4(be16(b, 1)));
    case command::AckDirect:
        return need(3) ? QStringLiteral("%1 heard directly").arg(hex4(be16(b, 1)))
                       : QStringLiteral("heard directly");
    case command::SetCurrent:
        return need(3) ? QStringLiteral("current sensor %1").arg(hex4(be16(b, 1)))
                       : QStringLiteral("current sensor");
    case command::PageRequest:
        if (!need(7))
            return QStringLiteral("page request");
        if (be16(b, 3) == waveform::BufferPage)
            return QStringLiteral("waveform buffers of %1").arg(hex4(be16(b, 1)));
        t.field(QStringLiteral("first page"), QString::number(be16(b, 3)));
        t.field(QStringLiteral("pages"), QString::number(u8(b, 6)));
        return QStringLiteral("page request to %1: %2 pages from %3")
            .arg(hex4(be16(b, 1)))
            .arg(u8(b, 6))
            .arg(be16(b, 3));
    case command::PageRequestRelay:
        if (!need(9))
            return QStringLiteral("page request through a relay");
        return QStringLiteral("page request to %1 via %2: %3 pages from %4")
            .arg(hex4(be16(b, 1)), hex4(be16(b, 3)))
            .arg(be16(b, 7))
            .arg(be16(b, 5));
    case command::RelayRefresh:
        return QStringLiteral("relays, refresh");
    case command::RssiLists:
        return QStringLiteral("RSSI lists request");
    case command::RelayRegister:
    case command::RelayRelease:
    case command::RelayAddCurrent: {
        if (!need(5))
            return QStringLiteral("relay list");
        const QString op = id == command::RelayRegister  ? QStringLiteral("register")
                           : id == command::RelayRelease ? QStringLiteral("release")
                                                         : QStringLiteral("add current");
        return QStringLiteral("relay %1 list: %2 %3").arg(hex4(be16(b, 3)), op, hex4(be16(b, 1)));
    }
    case command::RelayChannel:
        return need(5) ? QStringLiteral("relay %1 channel %2").arg(hex4(be16(b, 3))).arg(u8(b, 1))
                       : QStringLiteral("relay channel");
    case api::SetChannel:
        return need(2) ? QStringLiteral("set radio channel %1").arg(u8(b, 1))
                       : QStringLiteral("set radio channel");
    case api::ReadChannel:
        return QStringLiteral("read radio channel");
    case api::ReadVersion:
        return QStringLiteral("read dongle version");
    case command::RunEnd:
        return QStringLiteral("control byte 04 (end of a run)");
    case command::RunStart:
        return QStringLiteral("control byte 05 (start of a run)");
    default:
        return QStringLiteral("body %1, %2 bytes, no dongle command").arg(hex2(id)).arg(b.size());
    }
}

QString pageFrame(Text &t, int length, const QByteArray &data)
{
    const int pages = length == api::TwoPageLength ? 2 : 1;
    if (data.size() < page::FrameFirstPage + pages * page::Size)
        return QStringLiteral("page frame");
    const uint16_t first =
        page::framePageNumber(reinterpret_cast<const uint8_t *>(data.constData()));
    const page::Header h = page::readHeader(reinterpret_cast<const uint8_t *>(data.constData()) +
                                            page::FrameFirstPage);
    t.field(QStringLiteral("first page"), QString::number(first));
    t.field(QStringLiteral("pages"), QString::number(pages));
    const QDateTime time = h.time();
    t.field(QStringLiteral("page time"), time.isValid()
                                             ? time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                             : QStringLiteral("no date"));
    t.field(QStringLiteral("period index"), QString::number(h.periodIndex));
    t.field(QStringLiteral("channels"), QStringLiteral("0x") + hex2(h.channelMask));
    t.field(QStringLiteral("samples"), QString::number(h.sampleCount));
    return pages == 2 ? QStringLiteral("pages %1 and %2").arg(first).arg(first + 1)
                      : QStringLiteral("page %1").arg(first);
}

// The data of a receive frame, by what receiveSensorAnswer and receivePageFrame look for.
QString rxData(Text &t, int length, bool rx16, const QByteArray &data)
{
    if (rx16 && (length == api::OnePageLength || length == api::TwoPageLength))
        return pageFrame(t, length, data);
    if (rx16 && waveform::isFrameLength(length))
        return length == waveform::VoltageFrameLength ? QStringLiteral("waveform, voltage samples")
                                                      : QStringLiteral("waveform, current samples");
    const uint8_t first = u8(data, 0);
    if (first == FrameBuffer::Start)
        return sensorAnswer(t, data);
    if (first == command::RssiLists) {
        const auto list = command::parseRssiList(data);
        if (!list)
            return QStringLiteral("RSSI lists, %1 bytes (not whole entries)").arg(data.size());
        QStringList entries;
        for (const command::RssiEntry &e : *list)
            entries << QStringLiteral("%1 %2 %3 s")
                           .arg(hex4(e.serialNumber), rssiText(e.rssi))
                           .arg(e.ageSeconds());
        t.field(QStringLiteral("entries"), entries.join(QStringLiteral(", ")));
        return list->size() == 1 ? QStringLiteral("RSSI list, 1 entry")
                                 : QStringLiteral("RSSI list, %1 entries").arg(list->size());
    }
    if (first == command::RelayListAck) {
        const auto list = command::parseRelayListAck(data);
        if (!list)
            return QStringLiteral("relay list, %1 bytes (not whole numbers)").arg(data.size());
        QStringList numbers;
        for (uint16_t sn : *list)
            numbers << hex4(sn);
        return QStringLiteral("relay list: ") +
               (numbers.isEmpty() ? QStringLiteral("empty") : numbers.join(QStringLiteral(" ")));
    }
    if (first == command::RelayChannel)
        return QStringLiteral("relay channel answer");
    if (first == api::Ack && data.size() == 1)
        return QStringLiteral("acknowledgement (88)");
    if (first == api::ReadChannel && data.size() >= 2) {
        const int channel = u8(data, 1);
        return channel >= api::FirstChannel && channel <= api::LastChannel
                   ? QStringLiteral("radio channel %1").arg(channel)
                   : QStringLiteral("radio channel %1 (no channel)").arg(channel);
    }
    return QStringLiteral("%1 data bytes from %2 (no answer)").arg(data.size()).arg(hex2(first));
}

QString apiIn(Text &t, const QByteArray &b)
{
    const uint8_t id = u8(b, 0);
    const bool rx16 = id == api::Rx16;
    const int header = rx16 ? 5 : 12;
    if (b.size() <= header) {
        t.refuse(QStringLiteral("receive frame without data"));
        return QStringLiteral("receive frame");
    }
    QString from;
    if (rx16) {
        from = hex4(be16(b, 1));
        t.field(QStringLiteral("source"), from);
        t.field(QStringLiteral("RSSI"), rssiText(u8(b, 3)));
    } else {
        from = bytesText(b.mid(1, 8)).remove(QLatin1Char(' '));
        t.field(QStringLiteral("source (64-bit)"), from);
        from = hex4(be16(b, 7));
    }
    const QString what = rxData(t, b.size(), rx16, b.mid(header));
    return QStringLiteral("from %1%2: %3")
        .arg(from, rx16 ? QStringLiteral(" (%1)").arg(rssiText(u8(b, 3))) : QString(), what);
}

// ---- LoRa dongle ----

QString loraOut(Text &t, const QByteArray &b)
{
    const uint8_t id = u8(b, 0);
    if (id == lora::RequestKind) {
        if (b.size() < 7 + 16) {
            t.refuse(QStringLiteral("request of %1 bytes, %2 expected")
                         .arg(b.size())
                         .arg(lora::RequestLength));
            return QStringLiteral("request");
        }
        const int preamble = u8(b, 1);
        const uint32_t sn = answer::read32(reinterpret_cast<const uint8_t *>(b.constData()), 2);
        const command::Block block = command::blockFromBytes(b.mid(7, 16));
        t.field(QStringLiteral("serial number"), hex4(sn));
        t.field(QStringLiteral("preamble"), QString::number(preamble));
        t.field(QStringLiteral("function"), QStringLiteral("0x") + hex2(u8(b, 6)));
        t.field(QStringLiteral("block"), bytesText(b.mid(7, 16)));
        const QString what = blockText(block);
        t.field(QStringLiteral("command"), what);
        return QStringLiteral("request to %1, preamble %2%3: %4")
            .arg(hex4(sn))
            .arg(preamble)
            .arg(lora::acknowledgementWindowMs(preamble) > 300 ? QStringLiteral(" (wake-up)")
                                                               : QString(),
                 what);
    }
    if (id == api::LoraPresence && b.size() == 1)
        return QStringLiteral("presence query (04)");
    if (id == command::RunStart && b.size() == 1)
        return QStringLiteral("control byte 05");
    if (b == lora::readConfigBody())
        return QStringLiteral("read configuration");
    if (id == 0x10)
        return QStringLiteral("configuration frame");
    return QStringLiteral("body %1, %2 bytes").arg(hex2(id)).arg(b.size());
}

QString loraIn(Text &t, const QByteArray &p)
{
    const uint8_t id = u8(p, 0);
    if (id == lora::Ack) {
        if (p.size() >= 2 && u8(p, 1) == lora::Accepted)
            return QStringLiteral("acknowledgement: request taken");
        return QStringLiteral("acknowledgement: request not taken");
    }
    if (const auto report = lora::parseRadioReport(p))
        return QStringLiteral("radio report: RSSI %1 dBm, status %2")
            .arg(report->rssiDbm)
            .arg(report->status, 0, 16);
    if (id == lora::Answer) {
        const QString level =
            p.size() >= 2 ? QStringLiteral("%1 dBm").arg(lora::rssiDbm(u8(p, 1))) : QString();
        if (!level.isEmpty())
            t.field(QStringLiteral("RSSI"), level);
        if (p.size() == lora::FragmentHeader + lora::FragmentData && u8(p, 2) < lora::Fragments) {
            t.field(QStringLiteral("page"), QString::number(be16(p, 3)));
            t.field(QStringLiteral("fragment"), QString::number(u8(p, 2)));
            // Numbered from 0, as the link counts them when one is missing.
            return QStringLiteral("page %1, fragment %2 of 0-%3 (%4)")
                .arg(be16(p, 3))
                .arg(u8(p, 2))
                .arg(lora::Fragments - 1)
                .arg(level);
        }
        if (p.size() == 5 && p[2] == '!')
            return QStringLiteral("marker answer (time base)");
        const std::optional<answer::Status> s = answer::parse(lora::answerAsSensorFrame(p));
        if (!s)
            return QStringLiteral("answer, %1 bytes (%2)").arg(p.size()).arg(level);
        answerFields(t, *s, true);
        return QStringLiteral("answer (%1): %2").arg(level, answerSummary(*s));
    }
    if (id == 0x10)
        return QStringLiteral("configuration echo");
    if (id == lora::ReadConfig)
        return QStringLiteral("configuration");
    return QStringLiteral("payload %1, %2 bytes").arg(hex2(id)).arg(p.size());
}

// ---- the loader's raw bytes ----

QString loaderBytes(Direction direction, const QByteArray &b)
{
    if (direction == Direction::Out) {
        if (b == loader::syncRequest())
            return QStringLiteral("loader: synchronisation request");
        if (b.size() >= 3 && b[0] == 'S' && loader::encodedLineLength(b) == b.size())
            return QStringLiteral("loader: S%1 line, %2 bytes%3")
                .arg(QLatin1Char(b[1]))
                .arg(u8(b, 2))
                .arg(loader::isTerminationLine(b) ? QStringLiteral(", the last") : QString());
        return QStringLiteral("loader: %1 bytes").arg(b.size());
    }
    if (b == loader::syncAnswer())
        return QStringLiteral("loader: synchronised");
    if (b == loader::lineAck())
        return QStringLiteral("loader: line taken");
    return QStringLiteral("loader: %1 bytes").arg(b.size());
}

Decoded framed(Direction direction, Line line, const QByteArray &f)
{
    Text t;
    const bool lora = line == Line::Lora;
    if (f.size() < 3) {
        t.refuse(QStringLiteral("cut short: %1 of the 3 header bytes").arg(f.size()));
        t.d.summary = QStringLiteral("frame header");
        return t.d;
    }
    const int length = be16(f, 1);
    t.field(QStringLiteral("length"), QString::number(length));
    if (lora ? (length == 0 || length > lora::MaxPayload) : length > api::MaxBody) {
        t.refuse(lora ? QStringLiteral("length %1: a LoRa frame carries 1 to %2 bytes")
                            .arg(length)
                            .arg(lora::MaxPayload)
                      : QStringLiteral("length %1: more than the %2 a frame may carry")
                            .arg(length)
                            .arg(api::MaxBody));
        t.d.summary = QStringLiteral("frame header");
        return t.d;
    }
    if (f.size() < length + 4) {
        t.refuse(QStringLiteral("cut short: %1 of %2 bytes").arg(f.size()).arg(length + 4));
        t.d.summary = QStringLiteral("frame of %1 bytes").arg(length + 4);
        return t.d;
    }
    const QByteArray body = f.mid(3, length);
    // The 802.15.4 reader tells the type before the checksum: a frame it does not know is
    // dropped as soon as its type byte is in.
    if (!lora && direction == Direction::In && length > 0 && u8(body, 0) != api::Rx16 &&
        u8(body, 0) != api::Rx64) {
        t.refuse(QStringLiteral("unknown frame type %1 (the dongle sends 81 and 90)")
                     .arg(hex2(u8(body, 0))));
        t.d.summary = QStringLiteral("frame type %1, %2 bytes").arg(hex2(u8(body, 0))).arg(length);
        return t.d;
    }
    const uint8_t computed = api::checksum(body.constData(), body.size());
    const uint8_t received = u8(f, length + 3);
    if (computed != received)
        t.refuse(QStringLiteral("bad checksum (received %1, computed %2)")
                     .arg(hex2(received), hex2(computed)));
    if (f.size() > length + 4)
        t.refuse(QStringLiteral("%1 bytes after the checksum").arg(f.size() - length - 4));
    const Decoded inner = decodeBody(direction, line, body);
    for (const Field &field : inner.fields)
        t.d.fields.append(field);
    if (inner.refused)
        t.refuse(inner.reason);
    t.d.summary = inner.summary;
    return t.d;
}

} // namespace

Decoded decodeBody(Direction direction, Line line, const QByteArray &body)
{
    Text t;
    if (line == Line::Loader) {
        t.d.summary = loaderBytes(direction, body);
        return t.d;
    }
    if (body.isEmpty()) {
        if (direction == Direction::In)
            t.refuse(QStringLiteral("empty frame"));
        t.d.summary = QStringLiteral("empty body");
        return t.d;
    }
    if (line == Line::Lora)
        t.d.summary = direction == Direction::Out ? loraOut(t, body) : loraIn(t, body);
    else
        t.d.summary = direction == Direction::Out ? apiOut(t, body) : apiIn(t, body);
    return t.d;
}

Decoded decode(Direction direction, Line line, Piece piece, const QByteArray &bytes)
{
    if (piece == Piece::Frame && line != Line::Loader)
        return framed(direction, line, bytes);
    Text t;
    if (piece == Piece::Stray && line != Line::Loader) {
        if (!bytes.isEmpty() && bytes.count(char(api::Marker)) == bytes.size()) {
            t.d.summary = QStringLiteral("firmware update marker (DA)");
            return t.d;
        }
        t.refuse(QStringLiteral("no start byte 7E"));
        t.d.summary = QStringLiteral("%1 bytes outside any frame").arg(bytes.size());
        return t.d;
    }
    if (line == Line::Loader) {
        t.d.summary = loaderBytes(direction, bytes);
    } else if (bytes.size() == 1) {
        t.d.summary = QStringLiteral("unframed byte %1 (dongle version '%2')")
                          .arg(hex2(u8(bytes, 0)))
                          .arg(QChar(QLatin1Char(bytes[0])));
    } else {
        t.d.summary = QStringLiteral("%1 unframed bytes").arg(bytes.size());
    }
    return t.d;
}

QString oneLine(const Decoded &d)
{
    return d.refused ? QStringLiteral("REFUSED (%1): %2").arg(d.reason, d.summary) : d.summary;
}

QString hexDump(const QByteArray &bytes)
{
    QString text;
    for (int at = 0; at < bytes.size(); at += 16) {
        if (at > 0)
            text += QLatin1Char('\n');
        text += QStringLiteral("%1  ").arg(at, 4, 16, QLatin1Char('0')).toUpper();
        text += bytesText(bytes.mid(at, 16));
    }
    return text;
}

void FrameCutter::setLine(Line line)
{
    m_line = line;
    m_held.clear();
}

QByteArray FrameCutter::takeHeld()
{
    QByteArray held;
    held.swap(m_held);
    return held;
}

void FrameCutter::feed(const QByteArray &bytes, QVector<Cut> &out)
{
    if (m_line == Line::Loader) {
        if (!bytes.isEmpty())
            out.append({Piece::Raw, bytes});
        return;
    }
    const QByteArray buffer = m_held.isEmpty() ? bytes : m_held + bytes;
    m_held.clear();
    const int size = buffer.size();
    const bool lora = m_line == Line::Lora;
    int i = 0;
    while (i < size) {
        if (u8(buffer, i) != api::Delimiter) {
            int next = buffer.indexOf(char(api::Delimiter), i);
            if (next < 0)
                next = size;
            out.append({Piece::Stray, buffer.mid(i, next - i)});
            i = next;
            continue;
        }
        if (size - i < 3)
            break;
        const int length = be16(buffer, i + 1);
        if (lora ? (length == 0 || length > lora::MaxPayload) : length > api::MaxBody) {
            // The 802.15.4 reader drops the header and reads on after it; the LoRa reader looks
            // for the next start byte right after the one it refused.
            int end = i + 3;
            if (lora)
                for (int k = i + 1; k < i + 3; ++k)
                    if (u8(buffer, k) == api::Delimiter) {
                        end = k;
                        break;
                    }
            out.append({Piece::Frame, buffer.mid(i, end - i)});
            i = end;
            continue;
        }
        if (size - i < length + 4)
            break;
        out.append({Piece::Frame, buffer.mid(i, length + 4)});
        i += length + 4;
    }
    if (i < size)
        m_held = buffer.mid(i);
}

} // namespace framedecode
