#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <QElapsedTimer>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

// A mosquitto of the benchmark's own on 127.0.0.1 and a free port, anonymous, without logs;
// SIGTERM when it goes.
class LocalBroker
{
public:
    explicit LocalBroker(const QString &folder) : m_folder(folder) {}
    ~LocalBroker()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    LocalBroker(const LocalBroker &) = delete;
    LocalBroker &operator=(const LocalBroker &) = delete;

    // False when mosquitto is not installed or does not take connections within 10 s.
    bool start()
    {
        const QString program = QStandardPaths::findExecutable(
            QStringLiteral("mosquitto"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        if (program.isEmpty())
            return false;
        m_port = freePort();
        QFile conf(m_folder + QStringLiteral("/mosquitto.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        // Started by root it would become another user, who cannot read a private folder.
        conf.write("listener " + QByteArray::number(m_port) +
                   " 127.0.0.1\nallow_anonymous true\nlog_dest none\nuser " +
                   QByteArray(::getpwuid(::geteuid())->pw_name) + "\n");
        conf.close();
        m_process.start(program, {QStringLiteral("-c"), conf.fileName()});
        QElapsedTimer up;
        up.start();
        while (!accepts(m_port) && up.elapsed() < 10000)
            QThread::msleep(20);
        return accepts(m_port);
    }
    int port() const { return m_port; }

private:
    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    static int freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), len);
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        ::close(fd);
        return ntohs(a.sin_port);
    }
    static bool accepts(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = loopback(port);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    QString m_folder;
    int m_port = 0;
    QProcess m_process;
};
