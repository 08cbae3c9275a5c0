#pragma once

#include "commandblock.h"
#include "framebuffer.h"

#include <QByteArray>
#include <cstdint>

// The 0x7E-delimited frames both dongles speak: 7E, 16-bit big-endian body length, body,
// checksum (0xFF minus the low byte of the body sum).
namespace api
{

constexpr uint8_t Delimiter = 0x7E;
// Largest body we accept in either direction: a frame and its data must fit a FrameBuffer.
constexpr int MaxBody = FrameBuffer::Capacity - 4;

constexpr uint8_t TxDirect = 0x01;
constexpr uint8_t TxRelay = 0x51;
constexpr uint8_t Rx16 = 0x81;
constexpr uint8_t Rx64 = 0x90;

// Dongle command and answer bytes.
constexpr uint8_t ReadChannel = 0x37;
constexpr uint8_t SetChannel = 0x36;
constexpr uint8_t ReadVersion = 0xA1;
constexpr uint8_t LoraPresence = 0x04;
constexpr uint8_t RunStart = 0x05;
constexpr uint8_t Ack = 0x88;
constexpr uint8_t Marker = 0xDA;
constexpr int FirstChannel = 11;
constexpr int LastChannel = 26;

// Page frames: API body lengths of a one-page and a two-page answer.
constexpr int OnePageLength = 0x21A;
constexpr int TwoPageLength = 0x42A;

uint8_t checksum(const char *body, int count);
// The whole frame, or an empty array when the body is longer than MaxBody. An empty body
// still makes the 4-byte frame 7E 00 00 FF (a LoRa configuration left empty on purpose).
QByteArray buildFrame(const QByteArray &body);
// Transmit request bodies carrying a stuffed sensor frame.
QByteArray txDirectBody(uint16_t destination, const QByteArray &sensorFrame);
QByteArray txRelayBody(uint16_t serialNumber, uint16_t relay, const QByteArray &sensorFrame);
// A receive frame as the dongle delivers it: 0x81, 16-bit source, RSSI, options 0, data.
QByteArray rx16Frame(uint16_t source, uint8_t rssi, const QByteArray &data);
// The 23-byte command payload: serial number (big-endian), function, 0x00, 17 data bytes.
QByteArray sensorCommandPayload(uint32_t serialNumber, uint8_t function,
                                const command::Block &block);
// An address filter whose low 16 bits are 0xFFFF accepts any source.
inline bool acceptsSource(uint64_t filter, uint16_t source)
{
    return (filter & 0xFFFF) == 0xFFFF || (filter & 0xFFFF) == source;
}

// Assembles one receive frame (0x81 or 0x90) from bytes as they arrive, one at a time,
// abandoning frames with a wrong identifier, a wrong source or a bad checksum and looking
// for the next start byte after them.
class ReceiveAssembler
{
public:
    explicit ReceiveAssembler(uint64_t addressFilter) : m_filter(addressFilter) {}

    // Feeds bytes until a frame completes; returns how many bytes were used. Bytes after a
    // complete frame are not consumed.
    int feed(const char *bytes, int count);
    int feed(const QByteArray &bytes) { return feed(bytes.constData(), bytes.size()); }

    bool complete() const { return m_complete; }
    // A start byte was seen and the frame is neither complete nor abandoned.
    bool inFrame() const { return m_inFrame; }
    QByteArray data() const { return m_data; }
    bool hasSource() const { return m_hasSource; }
    uint16_t source() const { return m_source; }
    bool hasRssi() const { return m_hasRssi; }
    int rssi() const { return m_rssi; }
    // Signs of a damaged stream met so far: bytes outside any frame, a length no frame has, a
    // wrong identifier, a checksum that does not match. A source other than the filter's is none.
    int faults() const { return m_faults; }

private:
    void abandon();
    bool step(uint8_t byte);

    uint64_t m_filter;
    bool m_inFrame = false;
    int m_position = 0; // of the last byte taken, the delimiter being 0
    int m_length = 0;
    uint8_t m_id = 0;
    unsigned m_sum = 0;
    uint16_t m_address = 0;
    bool m_complete = false;
    bool m_hasSource = false;
    uint16_t m_source = 0;
    bool m_hasRssi = false;
    int m_rssi = 0;
    int m_faults = 0;
    bool m_junk = false; // inside a run of bytes outside any frame
    QByteArray m_data;
};

// Input that came while no exchange was waiting: keeps the whole receive frames with a good
// checksum (a later receive may still want them) and a frame still arriving, at most
// `keepAtMost` bytes of them, newest last; drops everything else. Returns the bytes dropped.
int pruneIdleInput(QByteArray &buffer, int keepAtMost);

// Whether a page download's frame may start at `at` in `buffer`: a start byte, then a length and
// an identifier that a receive frame of a download has (pages, a waveform block, or a sensor
// frame of at most ShortFrameMax bytes). Inside damaged bytes a start byte turns up every 256
// bytes or so; one with such a header once in millions. NeedMore when the header is not all in.
enum class FrameStart { No, Yes, NeedMore };
constexpr int ShortFrameMax = 300;
FrameStart pageFrameStart(const QByteArray &buffer, int at);

// Before a new request: everything that came in answers an earlier one and goes, except a frame
// still arriving at the end of `buffer` (cutting it would leave its tail to look like noise).
// Returns the bytes dropped.
int keepArrivingFrame(QByteArray &buffer);

// Verdict on a whole page frame (header, body and checksum).
struct PageFrame {
    enum Status { Accepted, Rejected, WrongCommand, BadChecksum };
    Status status = Rejected;
    QByteArray data;
    bool hasSource = false;
    uint16_t source = 0;
    int rssi = 0;
};
// `frame` holds 3 + length + 1 bytes starting with 7E. The source is checked only for the
// page lengths; a wrong source is Rejected, a wrong identifier WrongCommand, a checksum
// mismatch BadChecksum.
PageFrame parsePageFrame(const QByteArray &frame, uint16_t addressFilter);

} // namespace api
