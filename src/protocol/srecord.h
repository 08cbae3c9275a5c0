#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Firmware files for the dongle, the sensors and the relays are S-record text files. The devices'
// loaders take each line in a compact byte form and check nothing a host could have caught, so
// a file is checked whole before the first byte leaves: a half-sent image bricks a device that
// sits on a mast.
namespace srec
{

enum class Problem {
    None,
    NoLines,     // nothing but line ends
    NotARecord,  // does not start with "S" and a type digit
    UnknownType, // S4, or a letter where the digit should be
    NotHex,      // a character other than a hexadecimal digit after the type
    OddDigits,   // half a byte at the end of the line
    BadCount,    // the count byte does not match the bytes that follow it
    TooShort,    // fewer bytes than the type's address and checksum need
    BadChecksum, // the last byte is not the ones' complement of the sum of the others
    PastTop,     // a data record's bytes run past the top of its type's address space
    NoData,      // only header, count and start records: no byte of program
};

struct Check {
    Problem problem = Problem::None;
    int line = 0;  // 1-based line of the problem, 0 when the file as a whole is at fault
    int lines = 0; // S-record lines found (when the file passed)
    bool ok() const { return problem == Problem::None; }
};

// `line` without its line end.
Problem checkLine(const QByteArray &line);

// The file's whole text as read in text mode (line ends are "\n"). A blank line is refused
// like any other line that is not a record; only the final line end may be followed by nothing.
Check checkText(const QByteArray &text);

// "line 3: checksum does not match" and the like, for a status line.
QString describe(const Check &check);

// The file's lines as the loaders take them, each with its line end when it had one.
QList<QByteArray> splitLines(const QByteArray &text);

// A line (with its line end) in the loaders' byte form: the first two characters as they are,
// then each following whole pair of characters read as a base-16 number the way strtol reads it
// (an invalid character ends the number, no digit gives 0), low 8 bits, leaving out the line
// end. A line of only its line end gives the line end and a zero byte.
QByteArray encodeLine(const QByteArray &line);

} // namespace srec
