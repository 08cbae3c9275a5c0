#include "framebuffer.h"

#include "crc16.h"
#include "hextext.h"

#include <QDebug>
#include <cstring>

void FrameBuffer::clear()
{
    std::memset(m_bytes, 0xFF, sizeof m_bytes);
    m_length = 0;
}

bool FrameBuffer::setData(const char *bytes, int length)
{
    if (length < 0 || length > Capacity || (length > 0 && !bytes)) {
        qDebug() << QStringLiteral("/!\\ frame refused, length") << length;
        clear();
        return false;
    }
    if (length > 0)
        std::memcpy(m_bytes, bytes, static_cast<size_t>(length));
    m_length = length;
    return true;
}

QByteArray FrameBuffer::toByteArray() const
{
    return QByteArray(reinterpret_cast<const char *>(m_bytes), m_length);
}

bool FrameBuffer::buildSensorFrame(const QByteArray &payload)
{
    clear();
    const int n = payload.size();
    // start + payload + CRC + end + terminator, before stuffing
    if (n + 5 > Capacity)
        return false;
    m_bytes[0] = Start;
    std::memcpy(m_bytes + 1, payload.constData(), static_cast<size_t>(n));
    const uint16_t crc = computeCrc16(m_bytes + 1, n);
    m_bytes[1 + n] = static_cast<uint8_t>(crc & 0xFF);
    m_bytes[2 + n] = static_cast<uint8_t>(crc >> 8);
    m_bytes[3 + n] = End;
    m_length = n + 4;
    if (!escapeFrame()) {
        clear();
        return false;
    }
    m_bytes[m_length - 1] = End;
    m_bytes[m_length] = 0;
    return true;
}

bool FrameBuffer::escapeFrame()
{
    if (m_length < 3)
        return true;
    uint8_t work[Capacity];
    int w = 0;
    const int last = m_length - 1;
    for (int i = 1; i < last; ++i) {
        const uint8_t b = m_bytes[i];
        const bool special = b == Start || b == End || b == Escape;
        // room for this byte, the end byte and the terminator after the start byte
        if (1 + w + (special ? 2 : 1) + 2 > Capacity)
            return false;
        if (special) {
            work[w++] = Escape;
            work[w++] = static_cast<uint8_t>(b ^ 0x20);
        } else {
            work[w++] = b;
        }
    }
    const uint8_t endByte = m_bytes[last];
    std::memcpy(m_bytes + 1, work, static_cast<size_t>(w));
    m_length = 1 + w + 1;
    m_bytes[m_length - 1] = endByte;
    return true;
}

bool FrameBuffer::unescapeFrame(int from, int to)
{
    if (from < 1)
        from = 1;
    if (to > m_length)
        to = m_length;
    if (to - 2 < from)
        return true;
    uint8_t work[Capacity];
    int w = 0;
    bool changed = false;
    for (int i = from; i <= to - 2; ++i) {
        uint8_t b = m_bytes[i];
        if (b == Start || b == End)
            return false;
        if (b == Escape) {
            if (i + 1 > to - 2)
                return false;
            b = static_cast<uint8_t>(m_bytes[++i] ^ 0x20);
            changed = true;
        }
        work[w++] = b;
    }
    if (!changed)
        return true;
    // positions before `from` stay; the end byte and whatever follows move up behind the range
    const int tail = m_length - (to - 1);
    std::memcpy(m_bytes + from, work, static_cast<size_t>(w));
    std::memmove(m_bytes + from + w, m_bytes + to - 1, static_cast<size_t>(tail));
    m_length = from + w + tail;
    return true;
}

bool FrameBuffer::checkCrc() const
{
    return crcMatches(true);
}

bool FrameBuffer::crcMatches(bool report) const
{
    if (m_length < 7) {
        if (report)
            qDebug() << QStringLiteral("(length<6)");
        return false;
    }
    const uint16_t computed = computeCrc16(m_bytes + 1, m_length - 4);
    const uint16_t received =
        static_cast<uint16_t>(m_bytes[m_length - 3] | (m_bytes[m_length - 2] << 8));
    if (computed != received) {
        if (!report)
            return false;
        qDebug() << QStringLiteral("CRC error ! (received ") << QString::number(received, 16)
                 << QStringLiteral(", computed ") << QString::number(computed, 16)
                 << QStringLiteral(")");
        return false;
    }
    return true;
}

int FrameBuffer::checkSensorFrame()
{
    return check(true);
}

int FrameBuffer::checkSensorFrameQuietly()
{
    return check(false);
}

int FrameBuffer::check(bool report)
{
    uint8_t extra = 0xFF;
    if (m_length >= 2 && m_bytes[m_length - 2] == End && m_bytes[m_length - 1] != End) {
        extra = m_bytes[m_length - 1] == 0xFF ? 0xFE : m_bytes[m_length - 1];
        --m_length;
    }
    int result = 0;
    if (m_length < 1 || m_bytes[0] != Start || m_bytes[m_length - 1] != End) {
        if (report)
            qDebug() << QStringLiteral("error of start/end char");
        result = 1;
    }
    unescapeFrame(1, m_length);
    if (!crcMatches(report)) {
        if (report)
            qDebug() << QStringLiteral("CRC error");
        result = 2;
    }
    if (m_length < Capacity)
        m_bytes[m_length++] = extra;
    if (m_length != AnswerLength) {
        if (report)
            dumpFrame();
        return 3;
    }
    if (result != 0 && report)
        dumpFrame();
    return result;
}

void FrameBuffer::dumpFrame() const
{
    qDebug() << QStringLiteral("frame (") << m_length << QStringLiteral(") :")
             << hexText(m_bytes, m_length).trimmed();
}
