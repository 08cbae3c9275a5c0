#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>

// What the bytes on the dongle's line mean, told in words for the frame log and the LoRa
// terminal. Pure: bytes in, a summary and the fields out. A frame the link refuses says why, in
// the terms the link refuses it (a length no frame has, a frame cut short, a frame type the
// dongle does not send, a checksum or a sensor frame check that fails).
namespace framedecode
{

enum class Direction : uint8_t { In, Out };
// How the line is read: the 802.15.4 dongle's API frames, the LoRa dongle's frames (1 to 65
// bytes of payload), or the dongle loader's raw bytes.
enum class Line : uint8_t { Api, Lora, Loader };
// What a run of bytes is to the reader of the line.
enum class Piece : uint8_t {
    Frame, // from a start byte: a whole frame, one cut short, or a header no frame has
    Stray, // bytes outside any frame
    Raw,   // an unframed answer: the dongle's version byte, the loader's bytes
};

struct Field {
    QString name;
    QString value;
};

struct Decoded {
    bool refused = false;
    QString reason;  // why the link refuses it; empty when it takes it
    QString summary; // one line
    QVector<Field> fields;
};

Decoded decode(Direction direction, Line line, Piece piece, const QByteArray &bytes);
// A body sent or a payload received, without the framing around it (the LoRa terminal's view).
Decoded decodeBody(Direction direction, Line line, const QByteArray &body);
// The summary with the reason in front when the frame is refused: the one line of a log.
QString oneLine(const Decoded &decoded);

// Sixteen bytes a line, each line starting with its offset in hexadecimal.
QString hexDump(const QByteArray &bytes);

// Cuts the bytes of one direction into the pieces the link reads them as: a start byte, a
// length, that many bytes and a checksum make a frame; a length no frame of the line has ends
// the piece after its header (LoRa: at a start byte inside that header, where the link looks
// next); bytes before a start byte are a stray run. Every byte lands in exactly one piece, in
// order. A frame still arriving is held, never more than one frame's bytes.
class FrameCutter
{
public:
    struct Cut {
        Piece piece;
        QByteArray bytes;
    };

    // Drops what is held.
    void setLine(Line line);
    Line line() const { return m_line; }
    // Appends the complete pieces of `bytes` (and of what was held) to `out`. A stray run ends
    // with the bytes given; the loader's bytes are one raw piece per call.
    void feed(const QByteArray &bytes, QVector<Cut> &out);
    // The start of a frame the link gave up waiting for; empty when nothing is held.
    QByteArray takeHeld();
    int held() const { return m_held.size(); }

private:
    Line m_line = Line::Api;
    QByteArray m_held;
};

} // namespace framedecode
