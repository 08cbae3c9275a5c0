// A sensor answer as the radio delivers it, checked in the fixed frame buffer.
#include "framebuffer.h"

#include <QtGlobal>
#include <cstdint>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qInstallMessageHandler(quiet);
    FrameBuffer frame;
    frame.setData(reinterpret_cast<const char *>(data), int(size));
    frame.checkSensorFrame();
    if (frame.length() < 0 || frame.length() > FrameBuffer::Capacity)
        __builtin_trap();
    FrameBuffer built;
    built.buildSensorFrame(QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
