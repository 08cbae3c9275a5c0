#include "firmwarefile.h"

#include <QFile>

namespace
{
QByteArray record(char type, const QByteArray &addressAndData)
{
    const QByteArray bytes = char(addressAndData.size() + 1) + addressAndData;
    unsigned sum = 0;
    for (char c : bytes)
        sum += uint8_t(c);
    return QByteArray("S") + type + (bytes + char(~sum & 0xFF)).toHex().toUpper() + '\n';
}
} // namespace

QByteArray writeFirmware(const QString &path, int lines)
{
    QByteArray text = record('0', QByteArray::fromHex("0000") + "tessaran");
    for (int i = 0; i < lines - 2; ++i) {
        QByteArray data = QByteArray::number(0x1000 + 16 * i, 16).rightJustified(4, '0');
        for (int b = 0; b < 16; ++b)
            data += QByteArray::number((i * 7 + b * 13) & 0xFF, 16).rightJustified(2, '0');
        text += record('1', QByteArray::fromHex(data));
    }
    text += record('9', QByteArray::fromHex("1000"));
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size()
               ? text
               : QByteArray();
}

QList<QByteArray> loaderBytes(const QByteArray &text)
{
    QList<QByteArray> out;
    for (const QByteArray &line : text.split('\n'))
        if (!line.isEmpty())
            out << line.left(2) + QByteArray::fromHex(line.mid(2));
    return out;
}
