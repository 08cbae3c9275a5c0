#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Writes a well-formed S-record image of `lines` lines (at least 2) to `path` and returns its
// text (empty when it cannot): an S0 header, S1 lines of 16 bytes from 0x1000, an S9 record.
QByteArray writeFirmware(const QString &path, int lines);
// What the loader must receive for each line, worked out from the text alone: the two type
// characters, then the hexadecimal digits as bytes.
QList<QByteArray> loaderBytes(const QByteArray &text);
