// How close to the line's own speed a whole sensor memory comes down, and how long the event
// loop is held up meanwhile.
//
// The simulated dongle runs in its own process at 1,000,000 baud, 10 bits a byte: in-process it
// would pace its bytes from the same thread as the download it feeds, and every page the engine
// decodes would also hold back the next bytes, so the measure would count our decoding twice.
// The real engine downloads the sensor's 3968 pages through the real link into .tsv files in a
// temporary folder ("Download All Data").
//
// Least time: the bytes of the page frames the download needs at that baud, plus the dongle's
// latency before the first frame of each request (page_latency_ms, read from the scenario; the
// request itself crosses the pseudo-terminal in microseconds). Ratio = least time / measured
// time from the first page request to the last page, target 0.90 or more. A 1 ms timer records
// the longest gap between its ticks during the download: the longest stall, target 50 ms.

#include "actionrun.h"
#include "fleetmodel.h"
#include "manageserialport.h"
#include "page.h"
#include "pagerange.h"
#include "scenario.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace
{

constexpr int Baud = 1000000;
constexpr uint16_t Serial = 0x4002;
constexpr int LimitMs = 180000; // a download that has not ended by then is stopped

// A receive frame carrying pages: start byte, two length bytes, the API header (frame type,
// source, RSSI, options) and the page header (request byte, first page, page count) before the
// pages, a checksum after them. Two pages: 0x42A bytes of length, 1070 in all.
constexpr int frameBytes(int pages)
{
    return 1 + 2 + 5 + 5 + pages * page::Size + 1;
}
static_assert(frameBytes(2) == 1070, "a two-page frame is 1070 bytes on the line");

// What the engine's markers tell: the download starts with its first request and ends with its
// last page.
struct Markers {
    QElapsedTimer clock;
    qint64 startNs = -1;
    qint64 endNs = -1;
    int requests = 0;
    int pageErrors = 0;
};
Markers markers;

void watchDiagnostics(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith(QLatin1String("\"new request\""))) {
        if (markers.startNs < 0)
            markers.startNs = markers.clock.nsecsElapsed();
        ++markers.requests;
    } else if (text.contains(QLatin1String(" : download finish"))) {
        markers.endNs = markers.clock.nsecsElapsed();
    } else if (text.startsWith(QLatin1String("\"error com p. : \""))) {
        ++markers.pageErrors;
    }
}

// CPU time of this thread: a stall the thread spent off the CPU was the machine's (another
// process ran) or a blocking call's, one spent on it was our own work.
qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Least {
    int latencyMs = 0;
    int requests = 0;
    int frames = 0;
    qint64 bytes = 0;
    double wireMs() const { return double(bytes) * 10 / Baud * 1000; }
    double ms() const { return wireMs() + requests * latencyMs; }
};

// The requests the range takes and the frames the dongle answers them with: two pages a frame
// while two are left, never across the last page of the ring.
Least leastTime(uint16_t start, uint16_t end, uint16_t pageCount, int latencyMs)
{
    Least least;
    least.latencyMs = latencyMs;
    uint16_t current = start;
    for (;;) {
        const pagerange::Request request = pagerange::nextRequest(current, end, pageCount);
        if (request.count == 0)
            return least;
        ++least.requests;
        int first = request.first;
        int remaining = std::min<int>(request.count, page::RingPages - first);
        while (remaining > 0) {
            const int n = remaining >= 2 && first + 1 < page::RingPages ? 2 : 1;
            ++least.frames;
            least.bytes += frameBytes(n);
            if (pagerange::completes(first, n, end))
                return least;
            first += n;
            remaining -= n;
        }
        current = pagerange::wrap(first, pageCount);
    }
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
    // The engine reads its catalogue and link settings from the working folder.
    QDir::setCurrent(dir.path());
    if (!QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini"))) {
        std::fprintf(stderr, "cannot copy the sensor catalogue\n");
        return 1;
    }

    const QString scenario = QStringLiteral(TESSARAN_SCENARIOS "/bench.ini");
    const sim::ScenarioResult loaded = sim::loadScenario(scenario);
    if (!loaded.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(loaded.errors.join(QLatin1Char('\n'))));
        return 1;
    }
    SimProcess simulator;
    const QString link = dir.path() + QStringLiteral("/dongle");
    if (!simulator.start(scenario, link, {QStringLiteral("--baud"), QString::number(Baud)})) {
        std::fprintf(stderr, "%s\n", qPrintable(simulator.errorString()));
        return 1;
    }
    markers.clock.start();
    qInstallMessageHandler(watchDiagnostics);

    ManageSerialPort port;
    if (!port.openPort(link)) {
        std::fprintf(stderr, "no dongle answered on %s\n", qPrintable(link));
        return 1;
    }
    FleetModel model;
    model.insert_sensor(Serial);
    actionblock::Choice choice;
    choice.downloadAll = true;
    model.setChoice(choice);
    ActionRun run(&model, &port);
    run.folder = dir.path() + QStringLiteral("/out");

    qint64 lastTickNs = -1;
    qint64 lastTickCpuNs = 0;
    qint64 longestStallNs = 0;
    qint64 longestStallCpuNs = 0;
    int stallsOver20 = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = markers.clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        const bool downloading = markers.startNs >= 0 && markers.endNs < 0;
        if (downloading && lastTickNs >= markers.startNs) {
            if (now - lastTickNs > 20000000)
                ++stallsOver20;
            if (now - lastTickNs > longestStallNs) {
                longestStallNs = now - lastTickNs;
                longestStallCpuNs = cpu - lastTickCpuNs;
            }
        }
        lastTickNs = now;
        lastTickCpuNs = cpu;
    });
    ticker.start(1);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &run, &ActionRun::stop_run);
    guard.start(LimitMs);

    // The sensor wakes on its own schedule, three seconds after the simulator started.
    run.action_run();
    ticker.stop();
    // The gap between the last tick and the end of the download.
    if (markers.endNs >= 0 && lastTickNs >= markers.startNs &&
        markers.endNs - lastTickNs > longestStallNs) {
        longestStallNs = markers.endNs - lastTickNs;
        longestStallCpuNs = 0; // unknown: the end is past the last tick
    }

    const FleetModel::Sensor &sensor = model.sensor(model.find_row(Serial));
    const QString status = model.cell(model.find_row(Serial), FleetModel::ColStatus).text;
    if (markers.startNs < 0 || markers.endNs < 0 || status != QLatin1String("Download Complete")) {
        std::fprintf(stderr, "bench_download: the download did not complete (%s)\n",
                     qPrintable(status));
        return 1;
    }
    const SensorRecord &rec = sensor.record;
    const Least least = leastTime(rec.start_page, rec.end_page, rec.page_count,
                                  loaded.scenario.dongle.pageLatencyMs);
    const double ms = double(markers.endNs - markers.startNs) / 1e6;
    std::printf(
        "bench_download: %u pages (%u to %u), %d frames, %lld bytes, %d requests "
        "(%d made, %d page time-outs), %u rows; least time %.0f ms (line %.0f ms + "
        "%d ms a request) at %d baud, download %.0f ms; ratio (least / download) %.3f "
        "(target 0.90); longest event-loop stall %.1f ms (%.1f ms of it on the CPU, %d stalls "
        "over 20 ms) (target 50)\n",
        unsigned(pagerange::pagesLeft(rec.start_page, rec.end_page, rec.page_count)),
        unsigned(rec.start_page), unsigned(rec.end_page), least.frames,
        static_cast<long long>(least.bytes), least.requests, markers.requests, markers.pageErrors,
        unsigned(rec.samples_written), least.ms(), least.wireMs(), least.latencyMs, Baud, ms,
        least.ms() / ms, double(longestStallNs) / 1e6, double(longestStallCpuNs) / 1e6,
        stallsOver20);
    return 0;
}
