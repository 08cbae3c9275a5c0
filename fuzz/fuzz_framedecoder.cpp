// The frame log's reader: any bytes cut into pieces as the link reads them, each piece explained.
#include "framedecoder.h"

#include <QtGlobal>
#include <cstdint>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace framedecode;
    qInstallMessageHandler(quiet);
    if (size < 2)
        return 0;
    // The first byte chooses the line and the direction, the second the size of the reads.
    const Line line = Line(data[0] % 3);
    const Direction direction = (data[0] & 0x80) ? Direction::Out : Direction::In;
    const int chunk = 1 + data[1] % 64;
    const QByteArray stream(reinterpret_cast<const char *>(data) + 2, int(size) - 2);
    FrameCutter cutter;
    cutter.setLine(line);
    QVector<FrameCutter::Cut> cuts;
    for (int at = 0; at < stream.size(); at += chunk)
        cutter.feed(stream.mid(at, chunk), cuts);
    int bytes = cutter.held();
    for (const FrameCutter::Cut &c : cuts) {
        bytes += c.bytes.size();
        const Decoded d = decode(direction, line, c.piece, c.bytes);
        if (d.summary.isEmpty() || d.refused == d.reason.isEmpty())
            __builtin_trap();
    }
    // Every byte lands in exactly one piece or is still held.
    if (bytes != stream.size())
        __builtin_trap();
    decode(direction, line, Piece::Frame, cutter.takeHeld());
    decodeBody(direction, line, stream);
    return 0;
}
