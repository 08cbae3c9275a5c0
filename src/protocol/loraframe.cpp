#include "loraframe.h"

#include "commandset.h"

#include "apiframe.h"
#include "hextext.h"

#include <QDebug>

namespace lora {

Extracted extractLoraFrame(QByteArray &buffer)
{
    Extracted out;
    int cursor = 0;
    while (cursor < buffer.size()) {
        const int pos7e = buffer.indexOf(char(api::Delimiter), cursor);
        if (pos7e < 0) {
            buffer.clear();
            return out;
        }
        if (buffer.size() < pos7e + 3) {
            buffer.remove(0, pos7e);
            return out;
        }
        const int length = (static_cast<uint8_t>(buffer[pos7e + 1]) << 8)
                           | static_cast<uint8_t>(buffer[pos7e + 2]);
        if (length == 0 || length > MaxPayload) {
            const QString hex = hexText(buffer);
            qDebug() << QStringLiteral("Error : frame size > 65 or 0 ;pos7e:") << pos7e
                     << QStringLiteral(",  cursor") << cursor;
            out.error = QStringLiteral("Error : frame size > 65 or 0;pos7e:") + QString::number(pos7e)
                        + QStringLiteral("  cursor : ") + QString::number(cursor)
                        + QStringLiteral("  ") + hex;
            qDebug() << hex;
            qDebug() << hex;
            buffer.remove(0, pos7e + 1);
            cursor = 0;
            continue;
        }
        if (buffer.size() < pos7e + 3 + length + 1) {
            buffer.remove(0, pos7e);
            return out;
        }
        const char *payload = buffer.constData() + pos7e + 3;
        const uint8_t computed = api::checksum(payload, length);
        const uint8_t received = static_cast<uint8_t>(buffer[pos7e + 3 + length]);
        if (computed == received) {
            out.payload = QByteArray(payload, length);
            buffer.remove(0, pos7e + 3 + length + 1);
            return out;
        }
        const QString hex = hexText(buffer);
        qDebug() << QStringLiteral("bad checksum") << QString::number(received, 16)
                 << QString::number(computed, 16) << QStringLiteral("frame size:") << length
                 << QStringLiteral("  ;pos7e:") << pos7e << QStringLiteral("  cursor : ") << cursor;
        out.error = QStringLiteral("bad checksum, pos7e:") + QString::number(pos7e)
                    + QStringLiteral("  cursor : ") + QString::number(cursor) + QStringLiteral("  ")
                    + hex;
        qDebug() << hex;
        buffer.remove(0, pos7e + 3 + length + 1);
        cursor = 0;
    }
    return out;
}

bool holdsWork(const QByteArray &buffer)
{
    const int pos7e = buffer.indexOf(char(api::Delimiter));
    if (pos7e < 0 || buffer.size() < pos7e + 3)
        return false;
    const int length = (static_cast<uint8_t>(buffer[pos7e + 1]) << 8)
                       | static_cast<uint8_t>(buffer[pos7e + 2]);
    if (length == 0 || length > MaxPayload)
        return true;
    return buffer.size() >= pos7e + 3 + length + 1;
}

} // namespace lora

namespace lora {

QByteArray requestBody(uint32_t serialNumber, int preambleSize, const uint8_t block[17])
{
    QByteArray body;
    body.reserve(RequestLength);
    body.append(char(RequestKind));
    body.append(char(preambleSize));
    for (int shift = 24; shift >= 0; shift -= 8)
        body.append(char((serialNumber >> shift) & 0xFF));
    body.append(char(command::SensorFunction));
    body.append(reinterpret_cast<const char *>(block), 16);
    body.append(QByteArray(7, 0x00));
    return body;
}

int airTimeMs(int preambleSize)
{
    return preambleSize > 32 ? 1100 : 160;
}

int acknowledgementWindowMs(int preambleSize)
{
    if (preambleSize <= 20)
        return 300;
    return ((preambleSize - 20) * 256 + preambleSize) * 2;
}

} // namespace lora

namespace lora {

std::optional<RadioReport> parseRadioReport(const QByteArray &frame)
{
    if (frame.size() != PresenceLength || static_cast<uint8_t>(frame[0]) != Presence)
        return std::nullopt;
    return RadioReport{rssiDbm(static_cast<uint8_t>(frame[1])), static_cast<uint8_t>(frame[2])};
}

bool isDongleReport(const QByteArray &frame)
{
    return !frame.isEmpty() && static_cast<uint8_t>(frame[0]) == Presence;
}

QByteArray readConfigBody()
{
    QByteArray body;
    body.append(char(ReadConfig));
    body.append(char(0));
    return body;
}

} // namespace lora
