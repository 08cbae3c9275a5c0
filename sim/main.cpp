// tessaran-sim: an 802.15.4 dongle and a fleet of sensors and relays on a pseudo-terminal.
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop does the rest.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

bool number(const QCommandLineParser &p, const QString &name, double min, double max, double &out)
{
    if (!p.isSet(name))
        return true;
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || v < min || v > max) {
        err() << "tessaran-sim: --" << name << " must be a number from " << min << " to " << max
              << ", not \"" << p.value(name) << "\"\n";
        return false;
    }
    out = v;
    return true;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaran-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated 802.15.4 or LoRa dongle with sensors and relays on a pseudo-terminal."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("scenario"), QStringLiteral("Scenario INI file."));
    parser.addOptions({
        {QStringLiteral("link"),
         QStringLiteral("Symbolic link to the terminal (default /tmp/tessaran-dongle)."),
         QStringLiteral("path"), QStringLiteral("/tmp/tessaran-dongle")},
        {QStringLiteral("speed"), QStringLiteral("Simulated seconds per real second."),
         QStringLiteral("n")},
        {QStringLiteral("baud"),
         QStringLiteral("Pace what is sent at this rate, 10 bits a byte (0: no pacing)."),
         QStringLiteral("n")},
        {QStringLiteral("log"), QStringLiteral("Write every frame both ways to this file."),
         QStringLiteral("file")},
        {QStringLiteral("truth"),
         QStringLiteral("Write every recorded sample per device into this folder."),
         QStringLiteral("dir")},
        {QStringLiteral("drop-every"), QStringLiteral("Drop every Nth frame sent."),
         QStringLiteral("n")},
        {QStringLiteral("drop-rate"), QStringLiteral("Drop each frame sent with this probability."),
         QStringLiteral("p")},
        {QStringLiteral("corrupt-every"),
         QStringLiteral("Corrupt one byte of every Nth frame sent."), QStringLiteral("n")},
        {QStringLiteral("corrupt-rate"),
         QStringLiteral("Corrupt each frame sent with this probability."), QStringLiteral("p")},
        {QStringLiteral("byte-faults"),
         QStringLiteral("Flip, drop or insert (a third each) each byte sent with this "
                        "probability."),
         QStringLiteral("p")},
        {QStringLiteral("unplug-after"),
         QStringLiteral("Close the terminal after S seconds, then exit."), QStringLiteral("s")},
        {QStringLiteral("replug-after"),
         QStringLiteral("After an unplug, open the terminal again on the same link after S "
                        "seconds instead of exiting (the fleet keeps its state)."),
         QStringLiteral("s")},
        {QStringLiteral("fault-seed"), QStringLiteral("Seed of the random faults."),
         QStringLiteral("n")},
        {QStringLiteral("refuse-every"),
         QStringLiteral("LoRa: refuse every Nth request with 06 00."), QStringLiteral("n")},
        {QStringLiteral("back-to-back"),
         QStringLiteral("802.15.4: frames heard together leave in one write (back_to_back = 1).")},
        {QStringLiteral("late-answers"),
         QStringLiteral("After the start and each replug the dongle ignores its first N "
                        "identification queries (late_answers = N)."),
         QStringLiteral("n")},
        {QStringLiteral("lose-fragment-every"),
         QStringLiteral("LoRa: every Nth page answer loses one fragment."), QStringLiteral("n")},
        {QStringLiteral("loader-no-sync"),
         QStringLiteral("802.15.4: the dongle's loader never answers the synchronisation.")},
        {QStringLiteral("loader-sync-on"),
         QStringLiteral("802.15.4: the loader answers only the Nth synchronisation request."),
         QStringLiteral("n")},
        {QStringLiteral("loader-no-ack"),
         QStringLiteral("802.15.4: the loader never acknowledges line N of an upload."),
         QStringLiteral("n")},
        {QStringLiteral("loader-noisy-ack"),
         QStringLiteral("802.15.4: a stray byte goes before the acknowledgement of line N."),
         QStringLiteral("n")},
    });
    parser.process(app);

    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err() << "tessaran-sim: give exactly one scenario file (see --help)\n";
        return 2;
    }
    const sim::ScenarioResult loaded = sim::loadScenario(args[0]);
    if (!loaded.ok()) {
        for (const QString &e : loaded.errors)
            err() << e << '\n';
        return 2;
    }
    sim::Scenario scenario = loaded.scenario;
    double speed = scenario.speed, baud = 0, lateAnswers = 0, dropEvery = 0, dropRate = 0,
           corruptEvery = 0, corruptRate = 0, unplugAfter = -1, replugAfter = -1, seed = 1,
           refuseEvery = 0, loseEvery = 0, syncOn = 0, noAck = 0, noisyAck = 0, byteFaults = 0;
    if (!number(parser, QStringLiteral("speed"), 0.001, 100000, speed) ||
        !number(parser, QStringLiteral("baud"), 0, 10000000, baud) ||
        !number(parser, QStringLiteral("drop-every"), 0, 1e9, dropEvery) ||
        !number(parser, QStringLiteral("drop-rate"), 0, 1, dropRate) ||
        !number(parser, QStringLiteral("corrupt-every"), 0, 1e9, corruptEvery) ||
        !number(parser, QStringLiteral("corrupt-rate"), 0, 1, corruptRate) ||
        !number(parser, QStringLiteral("byte-faults"), 0, 1, byteFaults) ||
        !number(parser, QStringLiteral("unplug-after"), 0, 1e6, unplugAfter) ||
        !number(parser, QStringLiteral("replug-after"), 0, 1e6, replugAfter) ||
        !number(parser, QStringLiteral("fault-seed"), 0, 4294967295.0, seed) ||
        !number(parser, QStringLiteral("refuse-every"), 0, 1e9, refuseEvery) ||
        !number(parser, QStringLiteral("lose-fragment-every"), 0, 1e9, loseEvery) ||
        !number(parser, QStringLiteral("loader-sync-on"), 0, 1e9, syncOn) ||
        !number(parser, QStringLiteral("loader-no-ack"), 0, 1e9, noAck) ||
        !number(parser, QStringLiteral("loader-noisy-ack"), 0, 1e9, noisyAck) ||
        !number(parser, QStringLiteral("late-answers"), 0, 1000, lateAnswers))
        return 2;
    scenario.speed = speed;
    if (parser.isSet(QStringLiteral("late-answers")))
        scenario.dongle.lateAnswers = int(lateAnswers);
    if (parser.isSet(QStringLiteral("back-to-back")))
        scenario.dongle.backToBack = true;

    sim::Simulator simulator(scenario);
    sim::Faults faults;
    faults.dropEvery = int(dropEvery);
    faults.dropRate = dropRate;
    faults.corruptEvery = int(corruptEvery);
    faults.corruptRate = corruptRate;
    faults.byteFaultRate = byteFaults;
    faults.unplugAfterMs = unplugAfter >= 0 ? int(unplugAfter * 1000) : -1;
    faults.replugAfterMs = replugAfter >= 0 ? int(replugAfter * 1000) : -1;
    faults.seed = uint32_t(seed);
    faults.refuseEvery = int(refuseEvery);
    faults.dropFragmentEvery = int(loseEvery);
    simulator.setFaults(faults);
    if (sim::ApiDongle *dongle = simulator.apiDongle()) {
        sim::BootLoader::Faults &f = dongle->loader().faults();
        f.noSync = parser.isSet(QStringLiteral("loader-no-sync"));
        f.syncOnAttempt = int(syncOn);
        f.noAckLine = int(noAck);
        f.noisyAckLine = int(noisyAck);
    }
    simulator.setBaud(int(baud));
    if (parser.isSet(QStringLiteral("log")) &&
        !simulator.setLogFile(parser.value(QStringLiteral("log")))) {
        err() << "tessaran-sim: cannot write the log " << parser.value(QStringLiteral("log"))
              << '\n';
        return 2;
    }
    if (parser.isSet(QStringLiteral("truth"))) {
        QString error;
        if (!simulator.setTruthDir(parser.value(QStringLiteral("truth")), &error)) {
            err() << "tessaran-sim: " << error << '\n';
            return 2;
        }
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
        err() << "tessaran-sim: no socket pair for signals\n";
        return 1;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    const QString link = parser.value(QStringLiteral("link"));
    if (!simulator.open(link)) {
        err() << "tessaran-sim: cannot open a pseudo-terminal linked at " << link << '\n';
        return 1;
    }
    if (faults.replugAfterMs < 0)
        QObject::connect(&simulator, &sim::Simulator::unplugged, &app,
                         [] { QCoreApplication::quit(); });

    QTextStream out(stdout);
    out << link << '\n';
    out.flush();
    const int code = app.exec();
    simulator.close();
    // Everything owed to the outside is done (truth flushed, link removed); handing a large
    // fleet's memory rings back one by one would only delay the end a signal asked for.
    out.flush();
    std::fflush(nullptr);
    ::_exit(code);
}
