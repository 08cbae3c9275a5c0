#pragma once

#include <QString>
#include <memory>

class QLockFile;

// One program per dongle: the window and every collector take this lock before they open a
// port, and keep it while they work with that port, through an unplug and a return, so that a
// scheduled collection started meanwhile cannot take the dongle over. A lock whose holder died
// (a killed collector, a power cut) is taken over.
class PortLock
{
public:
    PortLock();
    ~PortLock();
    PortLock(const PortLock &) = delete;
    PortLock &operator=(const PortLock &) = delete;

    // Takes the lock of `devicePath` (releasing one of another port); true when this process
    // holds it now (or the port is a pseudo-terminal named directly: not locked). A refusal is
    // told by error().
    bool take(const QString &devicePath);
    void release();
    // "/dev/ttyUSB0 is in use by tessaran-collect (process 4242): ..."; empty after a take.
    QString error() const { return m_error; }

    // A pseudo-terminal that closed never comes back: its number goes to the next one opened,
    // by any program, and a lock kept for it would refuse that one. Named by its own name it is
    // not locked at all; named through a link (a simulator's), it is locked by that name.
    static bool isPseudoTerminal(const QString &path);

private:
    // Where the lock of a port lives: the system's lock folder when it can be written, else the
    // temporary folder. One name per device, whichever link names it.
    static QString lockFileFor(const QString &devicePath);

    std::unique_ptr<QLockFile> m_lock;
    QString m_file;
    QString m_error;
};
