#include "simulator.h"

#include <QDateTime>
#include <QDir>

namespace sim
{

Simulator::Simulator(const Scenario &scenario, QObject *parent)
    : QObject(parent), m_fleet(scenario), m_wire()
{
    if (scenario.dongle.lora())
        m_lora = std::make_unique<LoraDongle>(m_fleet, m_wire);
    else
        m_api = std::make_unique<ApiDongle>(m_fleet, m_wire);
    connect(&m_wire, &Wire::unplugged, this, &Simulator::unplugged);
    connect(&m_wire, &Wire::replugged, this, &Simulator::replugged);
    connect(&m_fleet, &Fleet::note, &m_wire, &Wire::logNote);
    m_truthFlush.setInterval(500);
    connect(&m_truthFlush, &QTimer::timeout, this, &Simulator::flushTruth);
}

Simulator::~Simulator()
{
    close();
}

bool Simulator::setTruthDir(const QString &dir, QString *error)
{
    if (!QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("%1: cannot create the folder").arg(dir);
        return false;
    }
    for (const auto &d : m_fleet.devices()) {
        const uint16_t sn = d->serialNumber();
        Truth truth;
        const QString name = QStringLiteral("%1").arg(sn, 4, 16, QChar('0')).toUpper();
        truth.file = std::make_unique<QFile>(QDir(dir).filePath(name + QStringLiteral(".truth")));
        if (!truth.file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            if (error)
                *error =
                    QStringLiteral("%1: %2").arg(truth.file->fileName(), truth.file->errorString());
            m_truth.clear();
            return false;
        }
        truth.out = std::make_unique<QTextStream>(truth.file.get());
        *truth.out << "# tessaran-sim truth of device "
                   << QStringLiteral("%1").arg(sn, 4, 16, QChar('0')).toUpper() << " type "
                   << d->type()
                   << "\n# page\tsample\ttime\tmask\traw values of the recorded channels"
                   << " in channel order (X Y Z for type 10)\n";
        m_truth[sn] = std::move(truth);
        Device *device = d.get();
        d->setSink([this, device](int page, int index, int64_t seconds, const Sample &sample,
                                  uint8_t mask) {
            writeTruth(*device, page, index, seconds, sample, mask);
        });
    }
    return true;
}

void Simulator::writeTruth(const Device &device, int page, int index, int64_t seconds,
                           const Sample &sample, uint8_t mask)
{
    auto it = m_truth.find(device.serialNumber());
    if (it == m_truth.end())
        return;
    QTextStream &out = *it->second.out;
    out << page << '\t' << index << '\t'
        << QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC)
               .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
        << '\t' << QStringLiteral("%1").arg(mask, 2, 16, QChar('0'));
    const TypeTraits traits = typeTraits(device.type());
    for (int ch = 0; ch < Channels; ++ch) {
        if (!(traits.accelerometer ? ch < 3 : (mask & (1u << ch))))
            continue;
        int64_t v = sample.values[size_t(ch)];
        // What the page gives back: counters whole, other channels 2 and 3 as unsigned words.
        if (!traits.accelerometer && (ch == 2 || ch == 3) && !(traits.counterMask & (1u << ch)))
            v &= 0xFFFF;
        out << '\t' << qlonglong(v);
    }
    out << '\n';
}

void Simulator::flushTruth()
{
    for (auto &t : m_truth)
        t.second.out->flush();
}

bool Simulator::open(const QString &linkPath)
{
    if (!m_wire.open())
        return false;
    // Recording the span and writing its truth take a while for a large fleet: a collector
    // started on the link's appearance must meet a dongle that answers and truth files that are
    // whole, so the link comes last.
    m_fleet.start();
    flushTruth();
    if (!m_wire.publish(linkPath)) {
        m_truthFlush.stop();
        return false;
    }
    m_wire.start();
    if (!m_truth.empty())
        m_truthFlush.start();
    return true;
}

void Simulator::close()
{
    m_truthFlush.stop();
    flushTruth();
    m_wire.unplug();
}

} // namespace sim
