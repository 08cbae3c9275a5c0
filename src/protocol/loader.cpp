#include "loader.h"

namespace loader
{

namespace
{
QByteArray bytes(std::initializer_list<uint8_t> list)
{
    QByteArray b;
    for (uint8_t v : list)
        b.append(char(v));
    return b;
}
} // namespace

QByteArray entryCommand()
{
    return bytes({0xB0, 0x4C, 0xD7});
}

QByteArray syncRequest()
{
    return bytes({0xA5, 0x5A, 0xC3, 0x3C});
}

QByteArray syncAnswer()
{
    return bytes({0x3C, 0xC3, 0x5A, 0xA5});
}

QByteArray lineAck()
{
    return bytes({0x06, 0x4F, 0x4B, 0x06});
}

int encodedLineLength(const QByteArray &start)
{
    if (start.size() < 3)
        return -1;
    return 3 + uint8_t(start[2]);
}

bool isTerminationLine(const QByteArray &encoded)
{
    return encoded.size() >= 2 && encoded[0] == 'S' &&
           (encoded[1] == '7' || encoded[1] == '8' || encoded[1] == '9');
}

} // namespace loader
