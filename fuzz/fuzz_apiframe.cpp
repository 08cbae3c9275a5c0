// API receive frames and page frames from the dongle, in arbitrary chunks.
#include "apiframe.h"

#include <QtGlobal>
#include <cstdint>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qInstallMessageHandler(quiet);
    if (size < 1)
        return 0;
    const int chunk = 1 + data[0] % 16;
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), int(size - 1));
    api::ReceiveAssembler assembler(data[0] & 1 ? 0xFFFF : 0x1234);
    for (int i = 0; i < bytes.size() && !assembler.complete(); i += chunk)
        assembler.feed(bytes.mid(i, chunk));
    if (assembler.data().size() > api::MaxBody)
        __builtin_trap();
    api::parsePageFrame(bytes, 0x1234);
    return 0;
}
