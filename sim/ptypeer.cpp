#include "ptypeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer(QObject *parent) : QObject(parent) {}

PtyPeer::~PtyPeer()
{
    close();
}

bool PtyPeer::open()
{
    close();
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0)
        return false;
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        close();
        return false;
    }
    const char *name = ::ptsname(m_master);
    if (!name) {
        close();
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // Holding the slave open keeps the master readable while the program closes and reopens
    // its port; raw mode so that no byte is translated or echoed before the program sets its own.
    m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_slaveKeeper >= 0) {
        termios tio{};
        if (::tcgetattr(m_slaveKeeper, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_slaveKeeper, TCSANOW, &tio);
        }
    }
    m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PtyPeer::poll);
    return true;
}

bool PtyPeer::makeLink(const QString &linkPath)
{
    if (m_slavePath.isEmpty())
        return false;
    QFile::remove(linkPath);
    if (::symlink(m_slavePath.toLocal8Bit().constData(), linkPath.toLocal8Bit().constData()) != 0)
        return false;
    m_linkPath = linkPath;
    return true;
}

void PtyPeer::close()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slaveKeeper >= 0)
        ::close(m_slaveKeeper);
    m_master = -1;
    m_slaveKeeper = -1;
    if (!m_linkPath.isEmpty())
        QFile::remove(m_linkPath);
    m_linkPath.clear();
}

bool PtyPeer::write(const QByteArray &bytes)
{
    if (m_master < 0)
        return false;
    int done = 0;
    QElapsedTimer clock;
    clock.start();
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (clock.elapsed() > 2000) {
            return false; // nobody reads the other side
        } else {
            QThread::usleep(200);
        }
    }
    return true;
}

int PtyPeer::writeSome(const char *bytes, int count)
{
    if (m_master < 0)
        return -1;
    if (count <= 0)
        return 0;
    const ssize_t n = ::write(m_master, bytes, size_t(count));
    if (n >= 0)
        return int(n);
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

void PtyPeer::writeChunks(const QList<QByteArray> &chunks, int gapMs)
{
    int at = 0;
    for (const QByteArray &chunk : chunks) {
        writeLater(chunk, at);
        at += gapMs;
    }
}

void PtyPeer::writeLater(const QByteArray &bytes, int delayMs)
{
    QPointer<PtyPeer> self(this);
    QTimer::singleShot(delayMs, this, [self, bytes] {
        if (self)
            self->write(bytes);
    });
}

void PtyPeer::poll()
{
    if (m_master < 0)
        return;
    char buffer[4096];
    QByteArray got;
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, int(n));
    }
    if (got.isEmpty())
        return;
    if (m_keepHistory)
        m_received.append(got);
    m_pending.append(got);
    emit bytesReceived(got);
    splitFrames();
}

void PtyPeer::splitFrames()
{
    for (;;) {
        const int start = m_pending.indexOf(char(0x7E));
        if (start < 0) {
            m_pending.clear();
            return;
        }
        m_pending.remove(0, start);
        if (m_pending.size() < 3)
            return;
        const int length = (uchar(m_pending[1]) << 8) | uchar(m_pending[2]);
        // No frame of either dongle is this long: a 7E in noise must not make every later
        // frame wait for tens of kilobytes.
        if (length > MaxBody) {
            m_pending.remove(0, 1);
            continue;
        }
        if (m_pending.size() < length + 4)
            return;
        unsigned sum = 0;
        for (int i = 3; i < 3 + length; ++i)
            sum += uchar(m_pending[i]);
        if (uchar(m_pending[3 + length]) != uchar(0xFF - (sum & 0xFF))) {
            m_pending.remove(0, 1); // not a frame start after all
            continue;
        }
        const QByteArray body = m_pending.mid(3, length);
        m_pending.remove(0, length + 4);
        if (m_keepHistory)
            m_frames.append(body);
        emit frameReceived(body);
    }
}

int PtyPeer::lineSpeed() const
{
    termios tio{};
    if (m_master < 0 || ::tcgetattr(m_master, &tio) != 0)
        return 0;
    static const struct {
        speed_t code;
        int rate;
    } rates[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},   {B9600, 9600},
                 {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
                 {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    const speed_t code = ::cfgetospeed(&tio);
    for (const auto &r : rates)
        if (r.code == code)
            return r.rate;
    return 0;
}

bool PtyPeer::waitForReceived(int count, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_received.size() < count && clock.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        poll();
        QThread::usleep(500);
    }
    return m_received.size() >= count;
}
