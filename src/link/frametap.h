#pragma once

#include "framedecoder.h"

#include <QByteArray>
#include <QObject>
#include <QVector>

// One piece of what went over the line, as the frame log keeps it: decoded only when shown.
struct TappedFrame {
    qint64 time = 0; // ms since the epoch
    framedecode::Direction direction = framedecode::Direction::In;
    framedecode::Line line = framedecode::Line::Api;
    framedecode::Piece piece = framedecode::Piece::Frame;
    QByteArray bytes;
};

// Sees every byte the serial transport writes and reads, cut into the frames and stray runs the
// link reads them as, and tells them with tapped(). While nobody uses it the transport does not
// call it, so a closed frame view and no log file cost one test per read and write.
class FrameTap : public QObject
{
    Q_OBJECT
public:
    bool active() const { return m_users > 0; }
    // Counted: the tap runs while one user at least holds it.
    void use();
    void release();

    // How the bytes read from here on are cut; a frame held goes out cut short.
    void setLine(framedecode::Line line);
    framedecode::Line line() const { return m_cutter.line(); }

    // A write: one frame, or the loader's raw bytes.
    void out(const QByteArray &bytes);
    // Bytes read from the port.
    void in(const QByteArray &bytes);
    // Bytes read as an unframed answer (the dongle's version byte).
    void rawIn(const QByteArray &bytes);
    // The link gave up on the frame it was reading, or dropped its input: the frame held, if
    // any, goes out cut short.
    void cut();

signals:
    void tapped(const TappedFrame &frame);

private:
    void emitPiece(framedecode::Direction direction, framedecode::Piece piece,
                   const QByteArray &bytes);

    int m_users = 0;
    framedecode::FrameCutter m_cutter;
    QVector<framedecode::FrameCutter::Cut> m_cuts;
};
