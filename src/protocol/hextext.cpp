#include "hextext.h"

QString hexText(const uint8_t *bytes, int count)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    if (!bytes || count <= 0)
        return text;
    text.reserve(count * 3);
    for (int i = 0; i < count; ++i) {
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0F]);
        text += QLatin1Char(' ');
    }
    return text;
}

QString hexText(const QByteArray &bytes)
{
    return hexText(reinterpret_cast<const uint8_t *>(bytes.constData()), bytes.size());
}

QString hex4(uint32_t value)
{
    return QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}
