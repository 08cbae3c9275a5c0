#pragma once

#include <QByteArray>
#include <cstdint>

// The 802.15.4 dongle's loader: the resident code that rewrites the dongle's firmware. The
// running firmware restarts into it on an API command; from then on the line runs at the
// loader's own rate and carries raw bytes, no API frames. The handshake sequences below are the
// loader's constants, fixed in the dongle: the program and the simulator both take them from
// here so they cannot drift apart.
namespace loader
{

// The loader's line rate, whatever rate the firmware used.
constexpr int BaudRate = 38400;
// Synchronisation: the loader answers a request within this window, and the host asks this
// many times before giving up (the loader needs a few seconds to come up after the restart).
constexpr int SyncAttempts = 31;
constexpr int WindowMs = 200;
// Pause between reopening the port and the first synchronisation request.
constexpr int SettleMs = 100;

// Body of the API frame that makes the running firmware restart into the loader (3 bytes).
QByteArray entryCommand();
// Host to loader, raw (4 bytes).
QByteArray syncRequest();
// Loader to host, raw (4 bytes): the loader is listening.
QByteArray syncAnswer();
// Loader to host, raw (4 bytes): one line was taken and written.
QByteArray lineAck();

// An encoded line (srec::encodeLine) is the record type's two characters, the count byte, then
// that many bytes. The whole line's length once its first three bytes are known; -1 before.
int encodedLineLength(const QByteArray &start);
// The line ends the image: a termination record (S7, S8 or S9), after which the loader starts
// the new firmware.
bool isTerminationLine(const QByteArray &encoded);

} // namespace loader
