#include "portlock.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>

PortLock::PortLock() = default;

PortLock::~PortLock() = default;

bool PortLock::isPseudoTerminal(const QString &path)
{
    return path.startsWith(QLatin1String("/dev/pts/"));
}

QString PortLock::lockFileFor(const QString &devicePath)
{
    // A symbolic link (a simulator's pty, /dev/serial/by-id/...) names the same device as its
    // target: both must find the same lock.
    const QString canonical = QFileInfo(devicePath).canonicalFilePath();
    QString name = canonical.isEmpty() || isPseudoTerminal(canonical)
                       ? QFileInfo(devicePath).absoluteFilePath()
                       : canonical;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QFileInfo system(QStringLiteral("/run/lock"));
    const QString folder =
        system.isDir() && system.isWritable() ? system.filePath() : QDir::tempPath();
    return folder + QStringLiteral("/tessaran") + name + QStringLiteral(".lock");
}

bool PortLock::take(const QString &devicePath)
{
    if (isPseudoTerminal(QFileInfo(devicePath).absoluteFilePath())) {
        release();
        m_error.clear();
        return true;
    }
    const QString file = lockFileFor(devicePath);
    if (m_lock && m_file == file) {
        m_error.clear();
        return true;
    }
    release();
    auto lock = std::make_unique<QLockFile>(file);
    // Held for as long as the program works with the port: never stale while its holder lives.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        m_lock = std::move(lock);
        m_file = file;
        m_error.clear();
        return true;
    }
    qint64 pid = 0;
    QString host, app;
    switch (lock->error()) {
    case QLockFile::LockFailedError:
        lock->getLockInfo(&pid, &host, &app);
        m_error = QStringLiteral("%1 is in use by %2 (process %3): one program at a time works "
                                 "with a dongle; wait for it to end, or stop it")
                      .arg(devicePath, app.isEmpty() ? QStringLiteral("another program") : app)
                      .arg(pid);
        break;
    case QLockFile::PermissionError:
        m_error = QStringLiteral("%1: the lock file %2 cannot be written").arg(devicePath, file);
        break;
    default:
        m_error = QStringLiteral("%1: the lock file %2 cannot be made").arg(devicePath, file);
        break;
    }
    return false;
}

void PortLock::release()
{
    m_lock.reset();
    m_file.clear();
}
