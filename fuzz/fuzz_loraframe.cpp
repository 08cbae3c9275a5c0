// The LoRa dongle's byte stream, taken out frame by frame.
#include "loraframe.h"

#include <QtGlobal>
#include <cstdint>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qInstallMessageHandler(quiet);
    QByteArray buffer(reinterpret_cast<const char *>(data), int(size));
    for (;;) {
        const int before = buffer.size();
        const lora::Extracted out = lora::extractLoraFrame(buffer);
        if (out.payload.size() > lora::MaxPayload)
            __builtin_trap();
        if (buffer.size() >= before)
            break;
    }
    return 0;
}
