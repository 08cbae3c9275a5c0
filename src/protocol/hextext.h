#pragma once

#include <QByteArray>
#include <QString>

// Two upper-case hexadecimal digits per byte, each followed by a blank ("7E 00 01 ").
// Diagnostics and the frame windows show bytes this way.
QString hexText(const QByteArray &bytes);
QString hexText(const uint8_t *bytes, int count);
// Four upper-case hexadecimal digits of the low 16 bits: how serial numbers and radio addresses
// are shown and named ("1A2B").
QString hex4(uint32_t value);
