#include "frametap.h"

#include "apiframe.h"

#include <QDateTime>

using framedecode::Direction;
using framedecode::Piece;

void FrameTap::use()
{
    ++m_users;
}

void FrameTap::release()
{
    if (m_users > 0 && --m_users == 0) {
        // What it held would be joined to bytes read long after: no frame is made of those.
        m_cutter.takeHeld();
    }
}

void FrameTap::setLine(framedecode::Line line)
{
    cut();
    m_cutter.setLine(line);
}

void FrameTap::emitPiece(Direction direction, Piece piece, const QByteArray &bytes)
{
    TappedFrame f;
    f.time = QDateTime::currentMSecsSinceEpoch();
    f.direction = direction;
    f.line = m_cutter.line();
    f.piece = piece;
    f.bytes = bytes;
    emit tapped(f);
}

void FrameTap::out(const QByteArray &bytes)
{
    if (!active() || bytes.isEmpty())
        return;
    const bool framed =
        line() != framedecode::Line::Loader && static_cast<uint8_t>(bytes[0]) == api::Delimiter;
    emitPiece(Direction::Out, framed ? Piece::Frame : Piece::Raw, bytes);
}

void FrameTap::in(const QByteArray &bytes)
{
    if (!active() || bytes.isEmpty())
        return;
    m_cuts.clear();
    m_cutter.feed(bytes, m_cuts);
    for (const framedecode::FrameCutter::Cut &c : qAsConst(m_cuts))
        emitPiece(Direction::In, c.piece, c.bytes);
    m_cuts.clear();
}

void FrameTap::rawIn(const QByteArray &bytes)
{
    if (!active() || bytes.isEmpty())
        return;
    emitPiece(Direction::In, Piece::Raw, bytes);
}

void FrameTap::cut()
{
    const QByteArray held = m_cutter.takeHeld();
    if (active() && !held.isEmpty())
        emitPiece(Direction::In, Piece::Frame, held);
}
