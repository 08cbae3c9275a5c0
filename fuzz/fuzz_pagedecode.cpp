// Downloaded pages (whatever their header promises) turned into data-file rows.
#include "pagedecode.h"

#include <QtGlobal>
#include <cstdint>
#include <cstring>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qInstallMessageHandler(quiet);
    if (size < 2)
        return 0;
    pagedecode::Layout layout;
    layout.sensorType = data[0] % 16;
    layout.channelCount = data[1] % 9;
    for (int k = 0; k < pagedecode::Channels; ++k) {
        layout.titles[k] = (data[1] >> (k % 8)) & 1 ? QStringLiteral("Ch") : QString();
        layout.decimals[k] = k;
        layout.wideCounter[k] = (data[0] >> 4) & 1;
    }
    pagedecode::PageDecoder decoder(0x1234, 0, layout, {});
    // The frame as the link hands it over: one or two pages after a 5-byte head, maybe short.
    const uint8_t *frame = data + 2;
    const int length = int(size - 2);
    pagedecode::FramePage pages[pagedecode::MaxPagesPerFrame];
    const int n = pagedecode::framePages(frame, length, 2, 10, 20, 3968, pages);
    QByteArray rows;
    for (int i = 0; i < n; ++i) {
        decoder.decodePage(pages[i].page, pages[i].number, rows);
        decoder.pdcRecord(pages[i].page, pages[i].number);
    }
    return 0;
}
