// tessaran-collect: the action run from the command line, for unattended collection.

#include "collector.h"
#include "filelocations.h"
#include "mqttpublisher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QTextStream>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace
{
bool g_verbose = false;
int g_signalPipe[2] = {-1, -1};

// The engine's diagnostic lines are for a developer: printed only when asked for.
void messages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if ((type == QtDebugMsg || type == QtInfoMsg) && !g_verbose)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Only the pipe is touched here: the run is stopped from the event loop, which every wait of
// the link keeps turning.
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tessaran-collect"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    const collect::Parsed parsed = collect::parseArguments(QCoreApplication::arguments());
    if (parsed.help) {
        out << collect::helpText();
        return collect::AllServed;
    }
    if (parsed.helpAll)
        collect::showHelpAll();
    if (!parsed.options) {
        err << "tessaran-collect: " << parsed.error << "\nTry 'tessaran-collect --help'.\n";
        return collect::Unusable;
    }
    // The collector only reads there: nothing of the user's folder is made.
    FileLocations::use(FileLocations::resolve(FileLocations::applicationFolders()));
    g_verbose = parsed.options->verbose;
    qInstallMessageHandler(messages);

    collect::Collector collector(*parsed.options, out, err);
    if (::pipe(g_signalPipe) != 0) {
        err << "tessaran-collect: no pipe for the signals\n";
        return collect::Unusable;
    }
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &collector, [&collector] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &byte, 1);
        collector.stop(QStringLiteral("interrupted"));
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const int code = collector.run();
    // The broker gets a few seconds for what the run left; the rest waits in the journal.
    if (collector.publishing()) {
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, &app, &QCoreApplication::quit);
        QObject::connect(collector.publisher(), &MqttPublisher::idle, &app,
                         &QCoreApplication::quit, Qt::QueuedConnection);
        QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
        limit.start(collect::PublishDrainMs);
        app.exec();
    }
    collector.endPublishing();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return code;
}
