// How much faster than the radio delivers them a full sensor memory is decoded into .tsv rows.
//
// Wire time: the pages of a whole memory travel two per API page frame of 0x42A bytes, 1070
// bytes with the start, length and checksum, at 1,000,000 baud with 10 bits a byte. Decoding
// time: the page decoder and the file writer as a download uses them, frame after frame, with
// every page flushed to a temporary file. The ratio should stay at 50 or more.

#include "datafiles.h"
#include "pagedecode.h"
#include "sensortype.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

constexpr int FrameBytes = 1070;
constexpr double Baud = 1000000.0;
constexpr int Runs = 3;

struct Case {
    const char *name;
    int type;
    // Channel masks used in turn, page after page.
    std::vector<uint8_t> masks;
};

// A whole memory of pages as a sensor of this case records it: full pages, values that wander
// like measurements, counters that roll over, a stop marker after the last sample.
std::vector<uint8_t> buildMemory(const Case &c, quint32 seed)
{
    QRandomGenerator rng(seed);
    std::vector<uint8_t> memory(size_t(page::RingPages) * page::Size, 0);
    QDateTime t(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC);
    int walk[8] = {2150, 4500, 0, 0, 1200, 1500, -300, 300};
    uint32_t counter[2] = {0xFFF0, 0x2FFF0};
    for (int n = 0; n < page::RingPages; ++n) {
        uint8_t *p = memory.data() + size_t(n) * page::Size;
        const uint8_t mask = c.masks[size_t(n) % c.masks.size()];
        const int channels = page::channelCount(mask);
        const bool accel = c.type == page::AccelType;
        int samples = accel ? page::AccelRecords : std::min(255, page::samplesThatFit(channels));
        if (n == page::RingPages - 1 && !accel)
            samples -= 1; // room for the stop marker
        page::Header h;
        h.setTime(t);
        h.periodIndex = 3; // 10 s
        h.batteryIndex = 14;
        h.channelMask = mask;
        h.sampleCount = samples;
        h.high2 = uint16_t(counter[0] >> 16);
        h.high3 = uint16_t(counter[1] >> 16);
        page::writeHeader(p, h);
        int word = 0;
        for (int i = 0; i < samples; ++i) {
            if (accel) {
                page::setAccelRecord(p, i,
                                     {int(rng.bounded(-200, 200)), int(rng.bounded(-200, 200)),
                                      1000 + int(rng.bounded(-50, 50))});
                continue;
            }
            for (int k = 0; k < 8; ++k) {
                if (!(mask & (1 << k)))
                    continue;
                uint16_t w;
                if (k == 2 || k == 3) {
                    counter[k - 2] += rng.bounded(40);
                    w = uint16_t(counter[k - 2]);
                } else {
                    walk[k] += int(rng.bounded(-20, 21));
                    w = uint16_t(walk[k]);
                }
                page::setSampleWord(p, word++, w);
            }
        }
        if (n == page::RingPages - 1 && !accel)
            page::setSampleWord(p, word, 0xA004);
        t = t.addSecs(qint64(samples) * 10);
    }
    return memory;
}

struct Measure {
    double ms = 0;
    uint32_t rows = 0;
    qint64 bytes = 0;
};

Measure decodeMemory(const Case &c, const SensorType &type, const std::vector<uint8_t> &memory,
                     const QString &folder)
{
    DataFiles files;
    const QString name = QStringLiteral("%1.tsv").arg(QString::fromLatin1(c.name));
    if (!files.openText(folder, name)) {
        std::fprintf(stderr, "cannot create %s: %s\n", qPrintable(name),
                     qPrintable(files.errorString()));
        std::exit(1);
    }
    pagedecode::Options options;
    pagedecode::PageDecoder decoder(0x1A2B, 0, type.layout(c.type), options);
    // A received frame: 5 bytes before the pages, as the link hands it over.
    std::vector<uint8_t> frame(size_t(page::FrameFirstPage + 2 * page::Size), 0);
    const std::function<void()> afterPage = [] { QCoreApplication::processEvents(); };

    QElapsedTimer timer;
    timer.start();
    files.writeText(decoder.header());
    for (int current = 0; current < page::RingPages; current += 2) {
        std::copy_n(memory.data() + size_t(current) * page::Size, 2 * page::Size,
                    frame.data() + page::FrameFirstPage);
        writeFramePages(decoder, files, frame.data(), int(frame.size()), 2, current,
                        page::RingPages - 1, page::RingPages, afterPage);
    }
    files.close();
    Measure m;
    m.ms = double(timer.nsecsElapsed()) / 1e6;
    m.rows = decoder.samplesWritten();
    m.bytes = QFileInfo(files.textPath()).size();
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    const std::vector<Case> cases = {
        {"temperature-1ch", 1, {0x01}},
        {"temp-humidity-2ch", 1, {0x03}},
        {"analog-4ch", 2, {0x0F}},
        {"pulse-counters-32bit", 3, {0x0D}},
        {"power-meter-6ch", 4, {0x3F}},
        {"power-meter-mixed-masks", 6, {0x01, 0x03, 0x0F, 0x3F, 0x30}},
        {"barometric-offset", 13, {0x07}},
        {"accelerometer", page::AccelType, {0x07}},
    };
    const double wireMs = double(page::RingPages) / 2 * FrameBytes * 10 / Baud * 1000;
    std::printf("bench_decode: %d pages per memory, wire time %.0f ms at 1000000 baud\n",
                page::RingPages, wireMs);
    std::printf("%-26s %9s %9s %11s %8s\n", "layout", "rows", "MB", "decode ms", "ratio");

    double worst = 1e300;
    quint32 seed = 1;
    for (const Case &c : cases) {
        const SensorType type = describeType(c.type, QStringLiteral(TESSARAN_CATALOGUE));
        if (!type.known) {
            std::fprintf(stderr, "type %d missing from the catalogue\n", c.type);
            return 1;
        }
        const std::vector<uint8_t> memory = buildMemory(c, seed++);
        Measure best;
        for (int run = 0; run < Runs; ++run) {
            const Measure m = decodeMemory(c, type, memory, dir.path());
            if (run == 0 || m.ms < best.ms)
                best = m;
        }
        const double ratio = wireMs / best.ms;
        worst = std::min(worst, ratio);
        std::printf("%-26s %9u %9.1f %11.1f %8.1f\n", c.name, best.rows, double(best.bytes) / 1e6,
                    best.ms, ratio);
    }
    std::printf("decode ratio (wire time / decoding time, worst layout): %.1f (target 50)\n",
                worst);
    return 0;
}
