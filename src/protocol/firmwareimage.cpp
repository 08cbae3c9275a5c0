#include "firmwareimage.h"

#include "srecord.h"

namespace firmware
{

namespace
{
constexpr Layout RelayLayout{256, 29, 9, 0x00, true};
constexpr Layout SensorLayout{528, 107, 5, 0x01, false};
constexpr uint8_t TxRequest = 0x01;
constexpr uint8_t TxOptions = 0x01;
} // namespace

Target targetFor(uint16_t serialNumber)
{
    return (serialNumber & 0xF000) == 0x8000 ? Target::Relay : Target::Sensor;
}

const Layout &layoutFor(Target target)
{
    return target == Target::Relay ? RelayLayout : SensorLayout;
}

QByteArray imageFromText(const QByteArray &text)
{
    QByteArray image;
    image.reserve(text.size() / 2 + 16);
    for (const QByteArray &line : srec::splitLines(text))
        image.append(srec::encodeLine(line));
    return image;
}

QVector<Frame> pageFrames(const QByteArray &image, Target target)
{
    const Layout &layout = layoutFor(target);
    QVector<Frame> frames;
    frames.reserve(image.size() / layout.pageSize * layout.framesPerPage + layout.framesPerPage);
    int next = 0;     // next image byte
    int position = 0; // in the current page
    uint16_t counter = 0;
    do {
        Frame frame;
        frame.data.reserve((layout.counted ? CounterSize : 0) + layout.slotCount);
        if (layout.counted) {
            frame.data.append(char(counter & 0xFF));
            frame.data.append(char(counter >> 8));
        }
        for (int slot = 0; slot < layout.slotCount; ++slot, ++position) {
            if (position < layout.pageSize && next < image.size())
                frame.data.append(image[next++]);
            else
                frame.data.append(char(Filler));
        }
        // A page never shares a frame with the next one.
        if (position >= layout.pageSize)
            position = 0;
        frame.imageEnd = next;
        frames.append(frame);
        ++counter;
    } while (next < image.size());
    return frames;
}

QByteArray frameBody(Target target, uint16_t serialNumber, const QByteArray &data)
{
    QByteArray body;
    body.reserve(HeaderSize + data.size());
    body.append(char(TxRequest));
    body.append(char(layoutFor(target).frameNumber));
    body.append(char(serialNumber >> 8));
    body.append(char(serialNumber & 0xFF));
    body.append(char(TxOptions));
    body.append(data);
    return body;
}

QByteArray probeBody(uint16_t serialNumber)
{
    return frameBody(Target::Sensor, serialNumber, QByteArray(1, char(Probe)));
}

QByteArray endOfImageData(uint32_t imageSize)
{
    QByteArray data;
    data.append(char(EndMark0));
    data.append(char(EndMark1));
    for (int shift = 24; shift >= 0; shift -= 8)
        data.append(char((imageSize >> shift) & 0xFF));
    return data;
}

QByteArray endOfImageBody(Target target, uint16_t serialNumber, uint32_t imageSize)
{
    return frameBody(target, serialNumber, endOfImageData(imageSize));
}

bool relayConfirmation(const QByteArray &data, uint8_t *newVersion)
{
    if (data.size() != 2 || uint8_t(data[0]) != RelayUpdated)
        return false;
    if (newVersion)
        *newVersion = uint8_t(data[1]);
    return true;
}

} // namespace firmware
