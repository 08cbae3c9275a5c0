#include "loraframe.h"

#include "commandset.h"

#include "apiframe.h"
#include "hextext.h"

#include <QDebug>

namespace lora
{

namespace
{
// A burst of broken frames must not cost more than reading it: each error shows a few dozen
// bytes of what is left and its length, and only the first few of one call are written out.
constexpr int DetailedErrors = 4;
constexpr int PreviewBytes = 32;
} // namespace

Extracted extractLoraFrame(QByteArray &buffer)
{
    Extracted out;
    // Everything before `consumed` is gone; it is removed once, on the way out, so a long run
    // of errors stays linear in the buffer.
    int consumed = 0;
    int errors = 0;
    const int cursor = 0; // the scan restarts at the front of what is left after each error
    const auto rest = [&] {
        const int left = buffer.size() - consumed;
        const auto *bytes = reinterpret_cast<const uint8_t *>(buffer.constData()) + consumed;
        if (left <= PreviewBytes)
            return hexText(bytes, left);
        return hexText(bytes, PreviewBytes) + QStringLiteral("... (%1 bytes)").arg(left);
    };
    for (;;) {
        const int found = buffer.indexOf(char(api::Delimiter), consumed);
        if (found < 0) {
            consumed = buffer.size();
            break;
        }
        const int pos7e = found - consumed;
        if (buffer.size() < found + 3) {
            consumed = found;
            break;
        }
        const int length = (static_cast<uint8_t>(buffer[found + 1]) << 8) |
                           static_cast<uint8_t>(buffer[found + 2]);
        if (length == 0 || length > MaxPayload) {
            if (++errors <= DetailedErrors) {
                const QString hex = rest();
                qDebug() << QStringLiteral("Error : frame size > 65 or 0 ;pos7e:") << pos7e
                         << QStringLiteral(",  cursor") << cursor;
                out.error = QStringLiteral("Error : frame size > 65 or 0;pos7e:") +
                            QString::number(pos7e) + QStringLiteral("  cursor : ") +
                            QString::number(cursor) + QStringLiteral("  ") + hex;
                qDebug() << hex;
                qDebug() << hex;
            }
            consumed = found + 1;
            continue;
        }
        if (buffer.size() < found + 3 + length + 1) {
            consumed = found;
            break;
        }
        const char *payload = buffer.constData() + found + 3;
        const uint8_t computed = api::checksum(payload, length);
        const uint8_t received = static_cast<uint8_t>(buffer[found + 3 + length]);
        if (computed == received) {
            out.payload = QByteArray(payload, length);
            consumed = found + 3 + length + 1;
            break;
        }
        if (++errors <= DetailedErrors) {
            const QString hex = rest();
            qDebug() << QStringLiteral("bad checksum") << QString::number(received, 16)
                     << QString::number(computed, 16) << QStringLiteral("frame size:") << length
                     << QStringLiteral("  ;pos7e:") << pos7e << QStringLiteral("  cursor : ")
                     << cursor;
            out.error = QStringLiteral("bad checksum, pos7e:") + QString::number(pos7e) +
                        QStringLiteral("  cursor : ") + QString::number(cursor) +
                        QStringLiteral("  ") + hex;
            qDebug() << hex;
        }
        consumed = found + 3 + length + 1;
    }
    if (errors > DetailedErrors)
        qDebug() << QStringLiteral("/!\\ framing errors not shown:") << errors - DetailedErrors;
    buffer.remove(0, consumed);
    return out;
}

bool holdsWork(const QByteArray &buffer)
{
    const int pos7e = buffer.indexOf(char(api::Delimiter));
    if (pos7e < 0 || buffer.size() < pos7e + 3)
        return false;
    const int length =
        (static_cast<uint8_t>(buffer[pos7e + 1]) << 8) | static_cast<uint8_t>(buffer[pos7e + 2]);
    if (length == 0 || length > MaxPayload)
        return true;
    return buffer.size() >= pos7e + 3 + length + 1;
}

} // namespace lora

namespace lora
{

QByteArray requestBody(uint32_t serialNumber, int preambleSize, const command::Block &block)
{
    QByteArray body;
    body.reserve(RequestLength);
    body.append(char(RequestKind));
    body.append(char(preambleSize));
    for (int shift = 24; shift >= 0; shift -= 8)
        body.append(char((serialNumber >> shift) & 0xFF));
    body.append(char(command::SensorFunction));
    body.append(reinterpret_cast<const char *>(block.data()), 16);
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

namespace lora
{

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

QByteArray answerAsSensorFrame(const QByteArray &payload)
{
    QByteArray stored(SensorFramePrefix, 0);
    stored[0] = char(0xC0);
    stored.append(payload);
    // A one-byte answer has no second byte to repeat: the radio's "no extra byte" value.
    stored.append(payload.size() >= 2 ? payload[1] : char(0xFF));
    return stored;
}

QByteArray readConfigBody()
{
    QByteArray body;
    body.append(char(ReadConfig));
    body.append(char(0));
    return body;
}

} // namespace lora
