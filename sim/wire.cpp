#include "wire.h"

#include "hextext.h"

#include <QDateTime>
#include <QTextStream>
#include <algorithm>

namespace sim
{

Wire::Wire(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_peer.setKeepHistory(false);
    m_pumpTimer.setSingleShot(true);
    // A coarse timer may fire half a millisecond early or late on a 10 ms latency: the
    // device's latencies and the line's pace are what the benchmarks measure against.
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    m_unplugTimer.setSingleShot(true);
    connect(&m_pumpTimer, &QTimer::timeout, this, &Wire::pump);
    m_replugTimer.setSingleShot(true);
    connect(&m_unplugTimer, &QTimer::timeout, this, &Wire::unplug);
    connect(&m_replugTimer, &QTimer::timeout, this, &Wire::replug);
    connect(&m_peer, &PtyPeer::frameReceived, this, &Wire::frameFromHost);
}

Wire::~Wire() = default;

bool Wire::open()
{
    m_linkPath.clear();
    return m_peer.open();
}

bool Wire::publish(const QString &linkPath)
{
    if (linkPath.isEmpty())
        return true;
    if (!m_peer.makeLink(linkPath)) {
        m_peer.close();
        return false;
    }
    m_linkPath = linkPath;
    return true;
}

void Wire::start()
{
    if (m_faults.unplugAfterMs >= 0)
        m_unplugTimer.start(m_faults.unplugAfterMs);
}

void Wire::setFaults(const Faults &faults)
{
    m_faults = faults;
    m_rng.seed(faults.seed);
}

void Wire::unplug()
{
    if (!m_peer.isOpen())
        return;
    m_unplugTimer.stop();
    m_pumpTimer.stop();
    m_queue.clear();
    m_peer.close();
    logNote(QStringLiteral("unplugged"));
    if (m_faults.replugAfterMs >= 0)
        m_replugTimer.start(m_faults.replugAfterMs);
    emit unplugged();
}

bool Wire::replug()
{
    m_replugTimer.stop();
    if (m_peer.isOpen())
        return true;
    if (!m_peer.open())
        return false;
    if (!m_linkPath.isEmpty() && !m_peer.makeLink(m_linkPath)) {
        m_peer.close();
        return false;
    }
    m_lastEnd = 0;
    m_paced = 0;
    logNote(QStringLiteral("plugged in again"));
    emit replugged();
    return true;
}

void Wire::clearQueue()
{
    m_pumpTimer.stop();
    m_queue.clear();
}

void Wire::send(const QByteArray &frame, const QString &note, int delayMs, int gapMs, int tag)
{
    Item item;
    item.bytes = frame;
    item.note = note;
    item.notBefore = reactionTime() + std::max(0, delayMs) * MsNs;
    item.gapNs = std::max(0, gapMs) * MsNs;
    item.tag = tag;
    enqueue(item);
}

void Wire::sendRaw(const QByteArray &bytes, const QString &note, int delayMs)
{
    Item item;
    item.bytes = bytes;
    item.note = note;
    item.notBefore = reactionTime() + std::max(0, delayMs) * MsNs;
    item.frame = false;
    enqueue(item);
}

void Wire::enqueue(Item item)
{
    if (!m_peer.isOpen())
        return;
    m_queue.push_back(std::move(item));
    schedule();
}

void Wire::cancel(int tag)
{
    if (tag == 0)
        return;
    // A frame already on its way stays whole: cutting it would be a fault nobody asked for.
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                 [tag](const Item &i) { return i.tag == tag && i.written == 0; }),
                  m_queue.end());
}

bool Wire::hasQueued(int tag) const
{
    return std::any_of(m_queue.begin(), m_queue.end(),
                       [tag](const Item &i) { return i.tag == tag; });
}

bool Wire::applyFaults(QByteArray &bytes, QString &note)
{
    ++m_frameCount;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    bool drop = false;
    if (m_faults.dropNext > 0) {
        --m_faults.dropNext;
        drop = true;
    }
    if (m_faults.dropEvery > 0 && m_frameCount % m_faults.dropEvery == 0)
        drop = true;
    if (m_faults.dropRate > 0 && chance(m_rng) < m_faults.dropRate)
        drop = true;
    if (drop)
        return false;
    bool corrupt = false;
    if (m_faults.corruptNext > 0) {
        --m_faults.corruptNext;
        corrupt = true;
    }
    if (m_faults.corruptEvery > 0 && m_frameCount % m_faults.corruptEvery == 0)
        corrupt = true;
    if (m_faults.corruptRate > 0 && chance(m_rng) < m_faults.corruptRate)
        corrupt = true;
    if (corrupt && bytes.size() > 3) {
        // Past the delimiter and the length, so the frame still arrives whole and only its
        // checksum gives it away.
        const int at = 3 + int(m_rng() % uint32_t(bytes.size() - 3));
        bytes[at] = char(bytes[at] ^ 0x5A);
        note += QStringLiteral(" [corrupted byte %1]").arg(at);
    }
    return true;
}

void Wire::applyByteFaults(QByteArray &bytes, QString &note)
{
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    QByteArray out;
    out.reserve(bytes.size() + 8);
    int faults = 0;
    for (const char b : bytes) {
        if (chance(m_rng) >= m_faults.byteFaultRate) {
            out.append(b);
            continue;
        }
        ++faults;
        switch (m_rng() % 3) {
        case 0: // flipped
            out.append(char(b ^ char(1 << (m_rng() % 8))));
            break;
        case 1: // dropped
            break;
        default: // a stray byte before it
            out.append(char(m_rng() & 0xFF));
            out.append(b);
            break;
        }
    }
    if (faults > 0) {
        bytes = out;
        note += QStringLiteral(" [%1 byte faults]").arg(faults);
    }
}

void Wire::schedule()
{
    if (m_queue.empty() || !m_peer.isOpen()) {
        m_pumpTimer.stop();
        return;
    }
    const Item &front = m_queue.front();
    const int64_t t = now();
    int64_t due = t;
    if (front.written == 0) {
        due = std::max(due, front.notBefore);
        if (front.gapNs > 0)
            due = std::max(due, m_lastEnd + front.gapNs);
    } else if (m_baud > 0) {
        // The pace held the rest back: the next byte's time on the line, a millisecond at
        // least when the terminal itself was full.
        due = std::max(t + 1, lineFree());
    } else {
        due = t + MsNs; // the terminal held the rest back
    }
    // Never before it is due: a timer's whole milliseconds, rounded up.
    const int wait = int(std::max<int64_t>(0, (due - t + MsNs - 1) / MsNs));
    if (!m_pumpTimer.isActive() || m_pumpTimer.remainingTime() > wait)
        m_pumpTimer.start(wait);
}

void Wire::pump()
{
    bool wrote = false;
    while (!m_queue.empty() && m_peer.isOpen()) {
        Item &item = m_queue.front();
        const int64_t t = now();
        if (item.written == 0) {
            const int64_t start =
                std::max(item.notBefore, item.gapNs > 0 ? m_lastEnd + item.gapNs : 0);
            if (t < start)
                break;
            if (item.frame && !applyFaults(item.bytes, item.note)) {
                logLine(QStringLiteral("D>H"), item.bytes,
                        item.note + QStringLiteral(" [dropped]"));
                m_queue.pop_front();
                // A frame lost on the way does not stop the device sending the next one.
                wrote = true;
                continue;
            }
            if (m_faults.byteFaultRate > 0)
                applyByteFaults(item.bytes, item.note);
            logLine(QStringLiteral("D>H"), item.bytes, item.note);
            // A line that fell idle starts a new paced run when the frame was due, however late
            // the timer came: the line was free then. A frame due while the line is still busy
            // follows the one before it without a gap, as a stream does.
            if (m_baud > 0 && lineFree() <= start) {
                m_paceStart = start;
                m_paced = 0;
            }
        }
        int allowed = item.bytes.size() - item.written;
        if (m_baud > 0) {
            // A byte goes once its time on the line has come (10 bits a byte).
            const int64_t budget =
                int64_t(double(t - m_paceStart) / SecondNs * m_baud / 10) + 1 - m_paced;
            allowed = int(std::min<int64_t>(allowed, std::max<int64_t>(0, budget)));
        }
        if (allowed == 0)
            break;
        const int n = m_peer.writeSome(item.bytes.constData() + item.written, allowed);
        if (n < 0) {
            unplug();
            return;
        }
        item.written += n;
        m_paced += n;
        if (item.written < item.bytes.size())
            break;
        m_lastEnd = m_baud > 0 ? lineFree() : now();
        m_queue.pop_front();
        wrote = true;
    }
    if (m_queue.empty() && wrote) {
        // What the device sends in answer to the line falling quiet leaves from the moment it
        // did, not from when this pump happened to notice.
        m_reacting = true;
        emit drained();
        m_reacting = false;
    }
    schedule();
}

bool Wire::setLogFile(const QString &path)
{
    m_log.close();
    m_log.setFileName(path);
    return m_log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text);
}

void Wire::logLine(const QString &direction, const QByteArray &bytes, const QString &note)
{
    if (!m_log.isOpen())
        return;
    QTextStream out(&m_log);
    out << QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")) << ' ' << direction << ' '
        << hexText(bytes).trimmed();
    if (!note.isEmpty())
        out << "  | " << note;
    out << '\n';
    out.flush();
}

void Wire::logNote(const QString &note)
{
    if (!m_log.isOpen())
        return;
    QTextStream out(&m_log);
    out << QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")) << " --- " << note << '\n';
}

} // namespace sim
