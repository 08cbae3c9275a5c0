#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A well-formed S-record image of `lines` lines (at least 2): one S0 header, S1 data lines of
// 16 bytes from address 0x1000, one S9 termination record; "\n" line ends.
QByteArray firmwareText(int lines);
// Writes `text` to `path`; false when it cannot.
bool writeFirmware(const QString &path, const QByteArray &text);
// What the loader must receive for each line, worked out from the text alone: the two type
// characters, then the hexadecimal digits as bytes.
QList<QByteArray> loaderBytes(const QByteArray &text);
