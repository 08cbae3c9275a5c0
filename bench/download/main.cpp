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
// time from the first page request to the last page, target 0.97 or more. A 1 ms timer records
// the longest gap between its ticks during the download: the longest stall, target 50 ms.
//
// Then the same memory through a poor line, the sensor waking every 10 s: 2 % of the frames
// dropped (a lost frame costs a request made again; target ratio 0.80 against the same least
// time), and each byte flipped, dropped or inserted with a probability of 1e-3 (the pages are
// verified by a second copy; no ratio target, but no page may differ from what the sensor
// recorded). Both print how many requests were made again and what the rows are against the
// simulator's truth.
//
// Last, the same memory through the LoRa dongle at its 115200 baud (bench-lora.ini): a page is a
// transaction of its own, its request on the air, the sensor's acknowledgement, then the page in
// ten fragments. Least time per page: the request's air time and the answer's, and the gap the
// dongle leaves between two frames, as the scenario scales them and the simulated dongle waits
// them, plus the bytes of the acknowledgement and the fragments at that baud. Target 0.90.
//
// Then the clean line once more with the frame log on: its file written and the Frames view
// open (offscreen) on every frame of the download. Its ratio against the first run's is the
// cost of the log, target 0.95 or more. `bench_download framelog` runs the two clean-line
// downloads alone.
//
// Last, the clean line through the session, with the fleet journal recording every answer and
// the sensor's turn into its outbox and a publisher sending them to a local mosquitto as it
// goes: its ratio against the first run's is what publishing costs a download, target 0.95 or
// more. `bench_download publish` runs the two alone.

#include "actionrun.h"
#include "apiframe.h"
#include "fleetmodel.h"
#include "fleetjournal.h"
#include "fleetsession.h"
#include "framelog.h"
#include "testbroker.h"
#include "mqttpublisher.h"
#include "frametablemodel.h"
#include "frameview.h"
#include "loradongle.h"
#include "loraframe.h"
#include "lorarun.h"
#include "manageserialport.h"
#include "page.h"
#include "pagerange.h"
#include "scenario.h"
#include "settings.h"
#include "pagewire.h"
#include "simprocess.h"
#include "truthrows.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

namespace
{

using pagewire::Baud;
using pagewire::Least;
using pagewire::frameBytes;
using pagewire::leastTime;
constexpr uint16_t Serial = 0x4002;
constexpr int LimitMs = 300000;     // a download that has not ended by then is stopped
constexpr int LoraLimitMs = 900000; // one transaction a page: some four and a half minutes

// What the engine's markers tell: the download starts with its first request and ends with its
// last page.
struct Markers {
    QElapsedTimer clock;
    qint64 startNs = -1;
    qint64 endNs = -1;
    int requests = 0;
    int pageErrors = 0;
    int cuts = 0; // downloads cut until the sensor's next wake
    QMap<QString, int> faults;
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
    } else if (text.startsWith(QLatin1String("\"flag_dl_interrupt\""))) {
        ++markers.cuts;
    } else if (text.startsWith(QLatin1String("\"link fault :\""))) {
        ++markers.faults[text.mid(15)];
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

// The LoRa transactions of `pages` pages: each request is on the air, then the dongle sends the
// sensor's acknowledgement at once and the first fragment the answer's air time later, every frame
// at least frame_gap_ms after the end of the one before it (the first after the previous page's
// last fragment too, which ended before the request left).
Least loraLeastTime(int pages, const sim::DongleConfig &dongle, int preamble, int baud)
{
    const double byteMs = 10.0 * 1000 / baud;
    const int ackBytes = api::buildFrame(QByteArray::fromHex("0601")).size();
    const int fragmentBytes =
        api::buildFrame(sim::LoraDongle::pageFragment(0, 0, 0, QByteArray(page::Size, '\0')))
            .size();
    const double air = sim::LoraDongle::scaled(lora::airTimeMs(preamble), dongle.airScale);
    const double answer = sim::LoraDongle::scaled(sim::LoraDongle::AnswerAirMs, dongle.airScale);
    const double gap = dongle.frameGapMs;
    const double ackStart = std::max(air, gap);
    const double firstFragment = std::max(air + answer, ackStart + ackBytes * byteMs + gap);
    const double end =
        firstFragment + lora::Fragments * fragmentBytes * byteMs + (lora::Fragments - 1) * gap;
    Least least;
    least.baud = baud;
    least.requests = pages;
    least.frames = pages * (1 + lora::Fragments);
    least.bytes = qint64(pages) * (ackBytes + lora::Fragments * fragmentBytes);
    least.latencyMs = end - (ackBytes + lora::Fragments * fragmentBytes) * byteMs;
    return least;
}

struct Condition {
    const char *name;
    QStringList simArgs;
    bool wakeOften;
    double targetRatio;    // 0: none
    int pages;             // 0: the full ring
    bool lora = false;     // through the LoRa dongle (bench-lora.ini)
    bool frameLog = false; // the frame log's file and view on
    bool publish = false;  // through the session, its journal and a publisher to a local broker
    bool rows = false;     // with `publish`: "Download new data" into an archive, rows published
};

// The ratio of the last download measured, and that of the clean line without the frame log.
double lastRatio = 0;
double cleanRatio = 0;

// One download of the whole memory under `c`; false when it did not complete or wrote a row the
// sensor did not record.
bool runOnce(const Condition &c, const QString &folder)
{
    markers = Markers();
    markers.clock.start();
    QString scenario = c.lora ? QStringLiteral(TESSARAN_SCENARIOS "/bench-lora.ini")
                              : QStringLiteral(TESSARAN_SCENARIOS "/bench.ini");
    const sim::ScenarioResult loaded = sim::loadScenario(scenario);
    if (!loaded.ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(loaded.errors.join(QLatin1Char('\n'))));
        return false;
    }
    if (c.wakeOften) {
        // A download a poor line cuts goes on at the sensor's next wake.
        QFile in(scenario);
        const QString often = folder + QStringLiteral("/often.ini");
        QFile out(often);
        QByteArray text = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        text.replace("wake = 1h", "wake = 10s");
        if (c.pages > 0)
            text.replace("pages = 4000", "pages = " + QByteArray::number(c.pages));
        if (text.isEmpty() || !out.open(QIODevice::WriteOnly) || out.write(text) < 0)
            return false;
        scenario = often;
    }
    const QString truth = folder + QStringLiteral("/truth");
    QDir().mkpath(truth);
    SimProcess simulator;
    const QString link = folder + QStringLiteral("/dongle");
    const int baud = c.lora ? settings::defaults::LoraBaud : Baud;
    QStringList args{QStringLiteral("--baud"), QString::number(baud), QStringLiteral("--truth"),
                     truth};
    args << c.simArgs;
    if (!simulator.start(scenario, link, args)) {
        std::fprintf(stderr, "%s\n", qPrintable(simulator.errorString()));
        return false;
    }

    ManageSerialPort port;
    // Watched from before the opening, as in the program when the view is open at start.
    FrameLog frameLog(port.frameTap());
    std::unique_ptr<FrameView> frameView;
    if (c.frameLog) {
        if (!frameLog.openFile(folder + QStringLiteral("/frames.log"),
                               qint64(settings::defaults::FrameLogSizeKb) * 1024)) {
            std::fprintf(stderr, "%s\n", qPrintable(frameLog.fileError()));
            return false;
        }
        frameView = std::make_unique<FrameView>(&frameLog);
        frameView->resize(1366, 400);
        frameView->show();
        frameLog.setWatched(true);
    }
    if (!port.openPort(link)) {
        std::fprintf(stderr, "no dongle answered on %s\n", qPrintable(link));
        return false;
    }
    // With publishing, the run is the session's, which records every answer and the sensor's
    // turn in the journal and puts them in its outbox, and a publisher sends them meanwhile.
    std::unique_ptr<testbroker::Broker> broker;
    std::unique_ptr<FleetJournal> journal;
    std::unique_ptr<FleetSession> session;
    std::unique_ptr<MqttPublisher> publisher;
    std::unique_ptr<FleetModel> ownModel;
    std::unique_ptr<ActionRun> ownRun;
    std::unique_ptr<LoraRun> ownLora;
    if (c.publish) {
        broker = std::make_unique<testbroker::Broker>(folder);
        journal = std::make_unique<FleetJournal>();
        const QString journalPath = folder + QStringLiteral("/journal.sqlite");
        if (!broker->start() || !journal->open(journalPath)) {
            std::fprintf(stderr, "bench_download (%s): no broker or journal\n", c.name);
            return false;
        }
        session = std::make_unique<FleetSession>(&port);
        session->setJournal(journal.get(), {});
        session->setPublishing(QStringLiteral("bench"), 1, c.rows);
        MqttSettings mqtt;
        mqtt.enabled = true;
        mqtt.host = QStringLiteral("127.0.0.1");
        mqtt.port = broker->port();
        publisher = std::make_unique<MqttPublisher>(journalPath, mqtt);
        QObject::connect(session.get(), &FleetSession::sensorOutcome, publisher.get(),
                         &MqttPublisher::wake);
        if (!publisher->start())
            return false;
    } else {
        ownModel = std::make_unique<FleetModel>();
        ownRun = std::make_unique<ActionRun>(ownModel.get(), &port);
        ownLora = std::make_unique<LoraRun>(ownModel.get(), &port);
    }
    FleetModel &model = session ? session->fleet() : *ownModel;
    ActionRun &run = session ? session->actionRun() : *ownRun;
    LoraRun &loraRun = session ? session->loraRun() : *ownLora;
    model.insert_sensor(Serial);
    actionblock::Choice choice;
    choice.downloadAll = !c.rows;
    choice.downloadNew = c.rows;
    model.setChoice(choice);
    const FleetRun::Settings settings{folder + QStringLiteral("/out"), false, false};
    run.setSettings(settings);
    loraRun.setSettings(settings);
    const FleetRun &used = c.lora ? static_cast<const FleetRun &>(loraRun) : run;

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
        // With rows, also the sensor's end, where its rows go into the outbox.
        const bool downloading = markers.startNs >= 0 && (markers.endNs < 0 || c.rows);
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
    if (c.lora)
        QObject::connect(&guard, &QTimer::timeout, &loraRun, &LoraRun::stop_run);
    else
        QObject::connect(&guard, &QTimer::timeout, &run, &ActionRun::stop_run);
    guard.start(c.lora ? LoraLimitMs : LimitMs);

    // On 802.15.4 the sensor wakes on its own schedule, three seconds after the simulator
    // started; on LoRa the run wakes it with the long preamble.
    if (session)
        session->runActions();
    else if (c.lora)
        loraRun.lora_action_run();
    else
        run.action_run();
    ticker.stop();
    const qint64 runEndNs = markers.clock.nsecsElapsed();
    port.closePort();
    // The gap between the last tick and the end of the download.
    if (markers.endNs >= 0 && lastTickNs >= markers.startNs &&
        markers.endNs - lastTickNs > longestStallNs) {
        longestStallNs = markers.endNs - lastTickNs;
        longestStallCpuNs = 0; // unknown: the end is past the last tick
    }
    if (c.rows && runEndNs - lastTickNs > longestStallNs) {
        longestStallNs = runEndNs - lastTickNs;
        longestStallCpuNs = 0;
    }

    const int row = model.find_row(Serial);
    const QString status = model.sensor(row).status;
    if (markers.startNs < 0 || markers.endNs < 0 || status != QLatin1String("Download Complete")) {
        std::fprintf(stderr, "bench_download (%s): the download did not complete (%s)\n", c.name,
                     qPrintable(status));
        return false;
    }
    const SensorRecord &rec = model.sensor(row).record;
    const int pages = int(pagerange::pagesLeft(rec.start_page, rec.end_page, rec.page_count));
    const Least least =
        c.lora ? loraLeastTime(pages, loaded.scenario.dongle, port.preambleSizeNormal(), baud)
               : leastTime(rec.start_page, rec.end_page, rec.page_count,
                           loaded.scenario.dongle.pageLatencyMs);
    const double ms = double(markers.endNs - markers.startNs) / 1e6;
    const pagevouch::Stats stats = used.downloadStats(Serial);
    // Every row against what the sensor recorded.
    const QDir out(c.rows ? settings.folder + QStringLiteral("/archive") : settings.folder);
    const QStringList tsvs = out.entryList({QStringLiteral("*.tsv")}, QDir::Files);
    const QVector<TruthRow> written =
        tsvs.size() == 1 ? tsvRows(out.filePath(tsvs.first())) : QVector<TruthRow>();
    const QVector<TruthRow> recorded =
        truthRows(truth + QStringLiteral("/") +
                  QStringLiteral("%1").arg(Serial, 4, 16, QLatin1Char('0')).toUpper() +
                  QStringLiteral(".truth"));
    const SensorType type = model.sensor(row).type;
    int wrong = 0;
    for (int i = 0; i < written.size(); ++i)
        if (i >= recorded.size() || written[i].time != recorded[i].time ||
            !writtenAs(written[i], recorded[i], type))
            ++wrong;
    // The sensor records on while it is downloaded: what it recorded after its answer is not
    // part of this download, and only its last page can hold such samples.
    const int missing = std::max(0, int(recorded.size()) - int(written.size()));
    lastRatio = least.ms() / ms;
    std::printf(
        "bench_download (%s): %d pages (%u to %u), %d frames, %lld bytes, %d requests "
        "(%d made, %d made again, %d page time-outs), %u rows; least time %.0f ms (line %.0f ms + "
        "%.1f ms a request%s) at %d baud, download %.0f ms; ratio (least / download) %.3f",
        c.name, pages, unsigned(rec.start_page), unsigned(rec.end_page), least.frames,
        static_cast<long long>(least.bytes), least.requests, markers.requests, stats.reRequested,
        markers.pageErrors, unsigned(rec.samples_written), least.ms(), least.wireMs(),
        least.latencyMs, c.lora ? " of air time and frame gaps" : "", baud, ms, least.ms() / ms);
    if (c.targetRatio > 0)
        std::printf(" (target %.2f)", c.targetRatio);
    std::printf("; pages verified by a second copy %d (%.1f %%), refused %d; rows against the "
                "truth: %d wrong (target 0), %d recorded after the answer",
                stats.verified, 100.0 * stats.verified / std::max(1, pages), stats.refused, wrong,
                missing);
    QStringList faults;
    for (auto it = markers.faults.cbegin(); it != markers.faults.cend(); ++it)
        faults << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    std::printf("; downloads cut until the next wake %d; link faults: %s", markers.cuts,
                faults.isEmpty() ? "none" : qPrintable(faults.join(QStringLiteral(", "))));
    std::printf("; longest event-loop stall %.1f ms (%.1f ms of it on the CPU, %d stalls over "
                "20 ms) (target 50)\n",
                double(longestStallNs) / 1e6, double(longestStallCpuNs) / 1e6, stallsOver20);
    if (c.publish) {
        std::printf("bench_download (%s): %d messages sent to the broker meanwhile, %d waiting",
                    c.name, publisher->sentCount(), publisher->waiting());
        if (cleanRatio > 0)
            std::printf("; ratio with publishing / without %.3f (target 0.95)",
                        lastRatio / cleanRatio);
        std::printf("\n");
    }
    if (c.frameLog) {
        const QFileInfo file(folder + QStringLiteral("/frames.log"));
        std::printf("bench_download (%s): %d frames in the view, %lld bytes in the log file",
                    c.name, frameView->model()->rowCount(), file.size());
        if (cleanRatio > 0)
            std::printf("; ratio with the frame log / without %.3f (target 0.95)",
                        lastRatio / cleanRatio);
        std::printf("\n");
    }
    std::fflush(stdout);
    return wrong == 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The frame log's view is a widget: shown offscreen when no display is named.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
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
    qInstallMessageHandler(watchDiagnostics);
    const Condition conditions[] = {
        {"clean line", {}, false, 0.97, 0},
        {"2 % of frames dropped",
         {QStringLiteral("--drop-rate"), QStringLiteral("0.02"), QStringLiteral("--fault-seed"),
          QStringLiteral("7")},
         true,
         0.80,
         0},
        // A smaller memory: every page needs several requests through such a line.
        {"byte faults 1e-3, 400 pages",
         {QStringLiteral("--byte-faults"), QStringLiteral("0.001"), QStringLiteral("--fault-seed"),
          QStringLiteral("7")},
         true,
         0,
         400},
        {"LoRa, clean line", {}, false, 0.90, 0, true},
        {"clean line, frame log on", {}, false, 0.97, 0, false, true},
        {"clean line, journal and publishing on", {}, false, 0.97, 0, false, false, true},
        {"clean line, new data, publishing with rows", {}, false, 0.97, 0, false, false, true, true},
    };
    constexpr int FrameLogRun = 4;
    constexpr int PublishRun = 5;
    // `bench_download N` measures the Nth condition alone (0: the clean line); `framelog` the
    // clean line without and with the frame log.
    const QByteArray which = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const bool frameLogOnly = which == "framelog";
    const bool publishOnly = which == "publish";
    const int only = which.isEmpty() || frameLogOnly || publishOnly ? -1 : which.toInt();
    bool ok = true;
    int n = 0;
    for (const Condition &c : conditions) {
        const QString folder = dir.path() + QStringLiteral("/run%1").arg(n);
        if ((only < 0 && !frameLogOnly && !publishOnly) || only == n ||
            (frameLogOnly && (n == 0 || n == FrameLogRun)) ||
            (publishOnly && (n == 0 || n == PublishRun || n == PublishRun + 1))) {
            QDir().mkpath(folder);
            ok = runOnce(c, folder) && ok;
            if (n == 0)
                cleanRatio = lastRatio;
        }
        ++n;
    }
    return ok ? 0 : 1;
}
