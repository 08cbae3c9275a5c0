#pragma once

#include <QByteArray>
#include <QVector>
#include <cstdint>

// A firmware image for a sensor's or a relay's loader, and the radio frames that carry it. The
// loaders take the S-record lines in their compact byte form, cut into pages; each page starts a
// new frame and the last frame of a page (and of the image) is filled up with 0xFF.
namespace firmware
{

enum class Target { Relay, Sensor };

struct Layout {
    int pageSize;        // image bytes a page holds
    int slotCount;       // image bytes (or 0xFF) a page frame carries
    int framesPerPage;   // frames it takes to carry one page
    uint8_t frameNumber; // byte 1 of the transmit request
    bool counted;        // relay frames start with a 16-bit frame counter, low byte first
};

// Both loaders listen for images on this radio channel only.
constexpr int LoaderChannel = 22;
constexpr uint8_t Filler = 0xFF;
// The sensor loader's "are you there" byte.
constexpr uint8_t Probe = 0xFF;
// End of image: these two bytes, then the image size (32 bits, most significant first).
constexpr uint8_t EndMark0 = 0x7A;
constexpr uint8_t EndMark1 = 0xA8;
constexpr int EndDataSize = 6;
// The relay's two-byte word once its new firmware runs: this, then the new version.
constexpr uint8_t RelayUpdated = 0x67;
// Transmit request: 0x01, frame number, address (2), options 0x01, data.
constexpr int HeaderSize = 5;
constexpr int CounterSize = 2;
// A sensor that restarts with this byte at this EEPROM address comes up in its loader.
constexpr uint16_t LoaderFlagAddress = 0x0101;
constexpr uint8_t LoaderFlagValue = 0xE5;

// Relays are the serial numbers 0x8000 to 0x8FFF.
Target targetFor(uint16_t serialNumber);
const Layout &layoutFor(Target target);

// The image of a file's whole text as read in text mode (line ends "\n"): every line in the
// loaders' byte form, in file order.
QByteArray imageFromText(const QByteArray &text);

struct Frame {
    QByteArray data;  // what follows the transmit request's header
    int imageEnd = 0; // image bytes carried by this frame and the ones before it
};

// The page frames of `image`, in sending order. The first frame is always there, so an empty
// image still gives one frame of filler.
QVector<Frame> pageFrames(const QByteArray &image, Target target);

// Transmit request bodies to the device's 16-bit address.
QByteArray frameBody(Target target, uint16_t serialNumber, const QByteArray &data);
QByteArray probeBody(uint16_t serialNumber);
QByteArray endOfImageData(uint32_t imageSize);
QByteArray endOfImageBody(Target target, uint16_t serialNumber, uint32_t imageSize);

// The relay's confirmation, as a received frame's data; false when `data` is not one.
bool relayConfirmation(const QByteArray &data, uint8_t *newVersion);

} // namespace firmware
