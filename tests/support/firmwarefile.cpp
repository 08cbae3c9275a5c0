#include "firmwarefile.h"

#include <QFile>

namespace
{
QByteArray record(char type, const QByteArray &addressAndData)
{
    const int count = addressAndData.size() + 1;
    unsigned sum = unsigned(count);
    for (char c : addressAndData)
        sum += uint8_t(c);
    QByteArray bytes = char(count) + addressAndData + char(~sum & 0xFF);
    return QByteArray("S") + type + bytes.toHex().toUpper() + '\n';
}
} // namespace

QByteArray firmwareText(int lines)
{
    QByteArray text = record('0', QByteArray::fromHex("0000") + "tessaran");
    for (int i = 0; i < lines - 2; ++i) {
        const int address = 0x1000 + 16 * i;
        QByteArray data;
        data.append(char(address >> 8)).append(char(address & 0xFF));
        for (int b = 0; b < 16; ++b)
            data.append(char((i * 7 + b * 13) & 0xFF));
        text += record('1', data);
    }
    return text + record('9', QByteArray::fromHex("1000"));
}

bool writeFirmware(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

QList<QByteArray> loaderBytes(const QByteArray &text)
{
    QList<QByteArray> out;
    for (const QByteArray &line : text.split('\n'))
        if (!line.isEmpty())
            out << line.left(2) + QByteArray::fromHex(line.mid(2));
    return out;
}
