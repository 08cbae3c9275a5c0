#include "apiframe.h"

#include "waveformframe.h"

#include <QDebug>
#include <algorithm>

namespace api
{

uint8_t checksum(const char *body, int count)
{
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
        sum += static_cast<uint8_t>(body[i]);
    return static_cast<uint8_t>(0xFF - (sum & 0xFF));
}

QByteArray buildFrame(const QByteArray &body)
{
    if (body.size() > MaxBody)
        return {};
    QByteArray frame;
    frame.reserve(body.size() + 4);
    frame.append(char(Delimiter));
    frame.append(char(body.size() >> 8));
    frame.append(char(body.size() & 0xFF));
    frame.append(body);
    frame.append(char(checksum(body.constData(), body.size())));
    return frame;
}

QByteArray txDirectBody(uint16_t destination, const QByteArray &sensorFrame)
{
    QByteArray body;
    body.append(char(TxDirect));
    body.append(char(0x00));
    body.append(char(destination >> 8));
    body.append(char(destination & 0xFF));
    body.append(char(0x01));
    body.append(sensorFrame);
    return body;
}

QByteArray txRelayBody(uint16_t serialNumber, uint16_t relay, const QByteArray &sensorFrame)
{
    QByteArray body;
    body.append(char(TxRelay));
    body.append(char(serialNumber >> 8));
    body.append(char(serialNumber & 0xFF));
    body.append(char(relay >> 8));
    body.append(char(relay & 0xFF));
    body.append(sensorFrame);
    return body;
}

QByteArray rx16Frame(uint16_t source, uint8_t rssi, const QByteArray &data)
{
    QByteArray body;
    body.reserve(5 + data.size());
    body.append(char(Rx16));
    body.append(char(source >> 8));
    body.append(char(source & 0xFF));
    body.append(char(rssi));
    body.append(char(0x00));
    body.append(data);
    return buildFrame(body);
}

QByteArray sensorCommandPayload(uint32_t serialNumber, uint8_t function,
                                const command::Block &block)
{
    QByteArray payload;
    payload.reserve(23);
    for (int shift = 24; shift >= 0; shift -= 8)
        payload.append(char((serialNumber >> shift) & 0xFF));
    payload.append(char(function));
    payload.append(char(0x00));
    payload.append(reinterpret_cast<const char *>(block.data()), command::BlockSize);
    return payload;
}

static void reportAddress(uint16_t received, uint64_t filter)
{
    qDebug() << QStringLiteral("error address, read adress : ") << Qt::hex << received
             << QStringLiteral(" , module address : ") << filter << Qt::dec;
}

void ReceiveAssembler::abandon()
{
    m_inFrame = false;
    m_position = 0;
    m_sum = 0;
    m_data.clear();
    // What the abandoned frame said about its sender must not stick to the next frame: a 0x90
    // frame carries no 16-bit source of its own.
    m_hasSource = false;
    m_source = 0;
    m_hasRssi = false;
    m_rssi = 0;
}

// Returns false when the byte was not taken into a frame and must be looked at again as a
// possible start byte (the frame it would have continued was just abandoned).
bool ReceiveAssembler::step(uint8_t b)
{
    if (!m_inFrame) {
        if (b == Delimiter) {
            abandon();
            m_inFrame = true;
            m_length = 0;
            m_junk = false;
        } else if (!m_junk) {
            m_junk = true;
            ++m_faults;
        }
        return true;
    }
    ++m_position;
    const int pos = m_position; // positions count from the delimiter at 0
    if (pos == 1) {
        m_length = b << 8;
        return true;
    }
    if (pos == 2) {
        m_length |= b;
        if (m_length > MaxBody) {
            qDebug() << QStringLiteral("/!\\ frame length too large") << m_length;
            ++m_faults;
            abandon();
        }
        return true;
    }
    if (pos == m_length + 3) {
        const uint8_t expected = static_cast<uint8_t>(0xFF - (m_sum & 0xFF));
        if (b == expected) {
            m_complete = true;
            m_inFrame = false;
            return true;
        }
        qDebug() << QStringLiteral("bad checksum");
        qDebug() << QStringLiteral("length data") << m_length;
        qDebug() << Qt::hex << b << expected << Qt::dec;
        ++m_faults;
        abandon();
        return b != Delimiter;
    }
    m_sum += b;
    if (pos == 3) {
        m_id = b;
        if (m_id != Rx16 && m_id != Rx64) {
            qDebug() << QStringLiteral("error command 0x80-1");
            ++m_faults;
            abandon();
            return b != Delimiter;
        }
        return true;
    }
    if (m_id == Rx16) {
        if (pos == 4) {
            m_address = static_cast<uint16_t>(b << 8);
        } else if (pos == 5) {
            m_address |= b;
            if (!acceptsSource(m_filter, m_address)) {
                reportAddress(m_address, m_filter);
                abandon();
                return b != Delimiter;
            }
            m_hasSource = true;
            m_source = m_address;
        } else if (pos == 6) {
            m_hasRssi = true;
            m_rssi = static_cast<int8_t>(b);
        } else if (pos >= 8) {
            m_data.append(char(b));
        }
    } else {
        if (pos == 10) {
            m_address = static_cast<uint16_t>(b << 8);
        } else if (pos == 11) {
            m_address |= b;
            if (!acceptsSource(m_filter, m_address)) {
                reportAddress(m_address, m_filter);
                abandon();
                return b != Delimiter;
            }
        } else if (pos >= 15) {
            m_data.append(char(b));
        }
    }
    return true;
}

int ReceiveAssembler::feed(const char *bytes, int count)
{
    int used = 0;
    while (used < count && !m_complete) {
        if (step(static_cast<uint8_t>(bytes[used])))
            ++used;
        // otherwise the same byte, a 7E, opens the next frame on the following pass
    }
    return used;
}

int pruneIdleInput(QByteArray &buffer, int keepAtMost)
{
    const int size = buffer.size();
    const auto at = [&](int i) { return static_cast<uint8_t>(buffer[i]); };
    QByteArray kept;
    int dropped = 0;
    int i = 0;
    while (i < size) {
        const int start = buffer.indexOf(char(Delimiter), i);
        if (start < 0) {
            dropped += size - i;
            break;
        }
        dropped += start - i;
        if (size < start + 3) {
            kept.append(buffer.mid(start));
            break;
        }
        const int length = (at(start + 1) << 8) | at(start + 2);
        if (length == 0 || length > MaxBody) {
            ++dropped;
            i = start + 1;
            continue;
        }
        if (size < start + length + 4) {
            kept.append(buffer.mid(start)); // still arriving
            break;
        }
        const uint8_t id = at(start + 3);
        if ((id == Rx16 || id == Rx64) &&
            checksum(buffer.constData() + start + 3, length) == at(start + 3 + length)) {
            kept.append(buffer.constData() + start, length + 4);
            i = start + length + 4;
        } else {
            ++dropped;
            i = start + 1;
        }
    }
    if (kept.size() > keepAtMost) {
        dropped += kept.size() - keepAtMost;
        kept.remove(0, kept.size() - keepAtMost);
    }
    buffer = kept;
    return dropped;
}

FrameStart pageFrameStart(const QByteArray &buffer, int at)
{
    if (at >= buffer.size() || static_cast<uint8_t>(buffer[at]) != Delimiter)
        return FrameStart::No;
    if (buffer.size() < at + 4)
        return FrameStart::NeedMore;
    const int length =
        (static_cast<uint8_t>(buffer[at + 1]) << 8) | static_cast<uint8_t>(buffer[at + 2]);
    const bool plausible = length == OnePageLength || length == TwoPageLength ||
                           waveform::isFrameLength(length) ||
                           (length >= 6 && length <= ShortFrameMax);
    return plausible && static_cast<uint8_t>(buffer[at + 3]) == Rx16 ? FrameStart::Yes
                                                                     : FrameStart::No;
}

int keepArrivingFrame(QByteArray &buffer)
{
    const int size = buffer.size();
    const auto at = [&](int i) { return static_cast<uint8_t>(buffer[i]); };
    // Walks whole frames from the front; the walk only stays in step while they are whole, so a
    // start byte met where a frame should begin is the only one trusted.
    int i = 0;
    while (i < size) {
        const FrameStart start = pageFrameStart(buffer, i);
        if (start == FrameStart::NeedMore)
            break;
        if (start == FrameStart::No) {
            ++i;
            continue;
        }
        const int length = (at(i + 1) << 8) | at(i + 2);
        if (size < i + length + 4)
            break; // still arriving
        i += length + 4;
    }
    const int dropped = std::min(i, size);
    buffer.remove(0, dropped);
    return dropped;
}

PageFrame parsePageFrame(const QByteArray &frame, uint16_t addressFilter)
{
    PageFrame result;
    if (frame.size() < 4 || static_cast<uint8_t>(frame[0]) != Delimiter)
        return result;
    const auto at = [&](int i) { return static_cast<uint8_t>(frame[i]); };
    const int length = (at(1) << 8) | at(2);
    if (frame.size() != length + 4)
        return result;
    unsigned sum = 0;
    for (int pos = 3; pos <= length + 2; ++pos)
        sum += at(pos);
    if (length < 1 || at(3) != Rx16) {
        qDebug() << QStringLiteral("wrong command 0x81");
        result.status = PageFrame::WrongCommand;
        return result;
    }
    if (length >= 3) {
        const uint16_t source = static_cast<uint16_t>((at(4) << 8) | at(5));
        const bool paged =
            length == OnePageLength || length == TwoPageLength || waveform::isFrameLength(length);
        if (paged && !acceptsSource(addressFilter, source)) {
            reportAddress(source, addressFilter);
            return result;
        }
        // Every receive frame names its sender: the page loop tells a sensor that woke from
        // the one it downloads by it.
        result.hasSource = true;
        result.source = source;
    }
    if (length >= 4)
        result.rssi = static_cast<int8_t>(at(6));
    const uint8_t computed = static_cast<uint8_t>(0xFF - (sum & 0xFF));
    const uint8_t received = at(length + 3);
    if (computed != received) {
        qDebug() << QStringLiteral("Bad CS, computed CS : ") << QString::asprintf("%02X", computed)
                 << QStringLiteral("  received CS : ") << QString::asprintf("%02X", received);
        result.status = PageFrame::BadChecksum;
        return result;
    }
    if (length >= 6)
        result.data = frame.mid(8, length - 5);
    result.status = PageFrame::Accepted;
    return result;
}

} // namespace api
