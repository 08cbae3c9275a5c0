#pragma once

#include <QFileInfo>
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
    // holds it now. A refusal is told by error().
    bool take(const QString &devicePath);
    void release();
    QString heldPath() const { return m_path; }
    // "/dev/ttyUSB0 is in use by tessaran-collect (process 4242): ..."; empty after a take.
    QString error() const { return m_error; }

    // Where the lock of a port lives: the system's lock folder when it can be written, else the
    // temporary folder. One name per device, whichever link names it.
    static QString lockFileFor(const QString &devicePath);
    // A pseudo-terminal that closed never comes back: its number goes to the next one opened,
    // by any program. Its lock is kept by the name it was opened by (a simulator's link), and
    // let go with the port when that name is the terminal's own.
    static bool isPseudoTerminal(const QString &path);
    bool releasesOnClose() const { return isPseudoTerminal(QFileInfo(m_path).absoluteFilePath()); }

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_file;
    QString m_path;
    QString m_error;
};
