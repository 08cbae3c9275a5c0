#pragma once

// A mosquitto of its own on 127.0.0.1 and a free port, for the tests and the benchmarks.
#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QCoreApplication>
#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testbroker
{
constexpr int Wait = 30000;

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// The port the system gives a socket bound to 0; free again once it is closed.
inline int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool accepts(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// mosquitto on 127.0.0.1, with its own configuration and persistence in the test's folder.
class Broker
{
public:
    // `access`: what follows the listener line (who may log in, its TLS).
    explicit Broker(const QString &dir, const QByteArray &access = "allow_anonymous true\n")
        : m_dir(dir), m_port(freePort())
    {
        QFile conf(dir + QStringLiteral("/mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        QByteArray text = "listener " + QByteArray::number(m_port) + " 127.0.0.1\n"
                          "persistence true\n"
                          "persistence_location " + dir.toUtf8() + "/\n"
                          "log_dest none\n"
                          // Started by root, it would become another user who cannot read
                          // the test's private folder.
                          "user " + QByteArray(::getpwuid(::geteuid())->pw_name) + "\n";
        conf.write(text + access);
    }
    ~Broker() { stop(); }

    static QString program()
    {
        return QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                              {QStringLiteral("/usr/sbin"),
                                               QStringLiteral("/usr/local/sbin")});
    }
    int port() const { return m_port; }

    // True once it takes connections.
    bool start()
    {
        m_process.start(program(), {QStringLiteral("-c"), m_dir + QStringLiteral("/mosquitto.conf")});
        if (!m_process.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < Wait && m_process.state() == QProcess::Running) {
            if (accepts(m_port))
                return true;
            QCoreApplication::processEvents();
            QThread::msleep(50);
        }
        return false;
    }
    // SIGTERM: the broker saves its sessions and quits.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QString m_dir;
    int m_port;
    QProcess m_process;
};

} // namespace testbroker
