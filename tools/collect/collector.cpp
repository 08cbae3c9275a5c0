#include "collector.h"
#include "hextext.h"

#include "actionblock.h"
#include "datafiles.h"
#include "filelocations.h"
#include "fleetmodel.h"
#include "fleetrun.h"
#include "framelog.h"
#include "linksettings.h"
#include "linkwait.h"
#include "manageserialport.h"
#include "portreconnect.h"
#include "sensorlist.h"
#include "sensorlistfile.h"
#include "sensortype.h"
#include "periods.h"
#include "settings.h"
#include "fleetjournal.h"
#include "mqttpublisher.h"
#include "healthsettings.h"
#include "summaryjson.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTextStream>
#include <QTimer>
#include <cstdlib>

namespace collect
{

namespace
{
using FM = FleetModel;

const QString DateFormats[] = {QStringLiteral("yyyy-MM-dd hh:mm:ss"),
                               QStringLiteral("yyyy-MM-dd hh:mm")};

// The statuses a download ends with when the sensor's data is all on disk.
// Timers take milliseconds in an int.
constexpr int MaxSeconds = 2000000;

std::optional<QDateTime> parseDate(const QString &text)
{
    for (const QString &format : DateFormats) {
        const QDateTime t = QDateTime::fromString(text.trimmed(), format);
        if (t.isValid())
            return t;
    }
    return std::nullopt;
}

QCommandLineParser &describe(QCommandLineParser &p)
{
    p.setApplicationDescription(QStringLiteral(
        "Runs the sensor action over a list of sensors through the radio dongle at PORT, as\n"
        "\"Send Action\" does, and writes the data files into the output folder. Every sensor\n"
        "of the list is served once, when it wakes. The sensor catalogue sensor.ini and the\n"
        "link settings config.ini come from the current folder when it holds them; otherwise\n"
        "config.ini from ~/.config/tessaran and sensor.ini from there or from the installed\n"
        "defaults (--config names another settings file)."));
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addHelpOption();
    p.addOption({QStringLiteral("port"), QStringLiteral("Serial port of the dongle (required)."),
                 QStringLiteral("PATH")});
    p.addOption({QStringLiteral("sensors"),
                 QStringLiteral("Serial numbers, 1 to 4 hexadecimal digits each, separated by "
                                "commas (e.g. 1A01,8001)."),
                 QStringLiteral("SN,SN,...")});
    p.addOption({QStringLiteral("list"),
                 QStringLiteral("A sensor list saved with \"Export Sensor List\"; instead of "
                                "--sensors."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("detect"),
                 QStringLiteral("First listen this long for sensors and relays (802.15.4 dongle) "
                                "and add those heard to the list; --sensors and --list are then "
                                "optional."),
                 QStringLiteral("SECONDS")});
    p.addOption({QStringLiteral("set-time"), QStringLiteral("Set each sensor's clock to this "
                                                            "computer's; not with a download.")});
    p.addOption({QStringLiteral("download"),
                 QStringLiteral("\"all\": download every recorded sample into a new file per "
                                "sensor; \"new\": only the samples recorded since the last "
                                "collection, appended to the sensor's archive in DIR/archive "
                                "(one file per recording). Not with --from or --set-time."),
                 QStringLiteral("all|new")});
    p.addOption({QStringLiteral("period"),
                 QStringLiteral("Set each sensor's recording period, in seconds: 1, 2, 5, 10, 15, "
                                "20, 30, 60, 120, 300, 600, 900 or 3600. Needs the sensors' "
                                "types (--list or --detect); not with a download."),
                 QStringLiteral("SECONDS")});
    p.addOption({QStringLiteral("channels"),
                 QStringLiteral("Record these channels, numbered from 1 (e.g. 1,2). Needs the "
                                "sensors' types (--list or --detect); not with a download."),
                 QStringLiteral("LIST")});
    p.addOption({QStringLiteral("clear-memory"),
                 QStringLiteral("Clear each sensor's memory: everything it recorded is lost. "
                                "Not with a download.")});
    p.addOption({QStringLiteral("clear-after-download"),
                 QStringLiteral("With --download: clear the memory of each sensor whose download "
                                "completed (every page checked, the files on disk), at its next "
                                "wake. A sensor whose download did not complete keeps its "
                                "memory.")});
    p.addOption({QStringLiteral("summary-json"),
                 QStringLiteral("Write what the run did, sensor by sensor, as JSON to this file "
                                "(replaced whole at the end of the run; fields in the README)."),
                 QStringLiteral("FILE")});
    p.addOption(
        {QStringLiteral("from"),
         QStringLiteral("Download the samples from this local time on, given as "
                        "\"yyyy-MM-dd hh:mm[:ss]\", not in the future; needs a later --to."),
         QStringLiteral("DATETIME")});
    p.addOption({QStringLiteral("to"),
                 QStringLiteral("Download the samples up to this local time, same format."),
                 QStringLiteral("DATETIME")});
    p.addOption({QStringLiteral("out"),
                 QStringLiteral("Folder of the data files (default: the current folder)."),
                 QStringLiteral("DIR")});
    p.addOption({QStringLiteral("timeout"),
                 QStringLiteral("Stop the run after this many seconds (default: none)."),
                 QStringLiteral("SECONDS")});
    p.addOption({QStringLiteral("config"),
                 QStringLiteral("Read the link settings from this INI file instead of "
                                "config.ini."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("frame-log"),
                 QStringLiteral("Append every frame in and out, decoded, to this file (instead "
                                "of LOG/FRAME_LOG of the settings)."),
                 QStringLiteral("FILE")});
    p.addOption({QStringLiteral("mqtt"),
                 QStringLiteral("Publish to the MQTT broker at HOST[:PORT] (the [MQTT] settings "
                                "for the rest); what it does not acknowledge waits in the "
                                "journal for the next run."),
                 QStringLiteral("HOST[:PORT]")});
    p.addOption({QStringLiteral("mqtt-rows"),
                 QStringLiteral("Also publish the rows each collection adds to the archives "
                                "(as PUBLISH_ROWS of the [MQTT] settings).")});
    p.addOption({QStringLiteral("verbose"), QStringLiteral("Also print the diagnostic lines.")});
    return p;
}

// Link settings, and the data file options, from `file`; empty: the config.ini in use
// (FileLocations).
struct Config {
    LinkSettings link;
    bool pdc = false;
    bool debug = false;
    QString frameLog;
    qint64 frameLogLimit = 0;
    MqttSettings mqtt;
};

std::optional<Config> loadConfig(const QString &file, QString &error)
{
    if (!file.isEmpty()) {
        // A file that cannot be read would read as empty: every setting its default, silently.
        QFile source(file);
        if (!source.open(QIODevice::ReadOnly)) {
            error = QStringLiteral("cannot read %1: %2").arg(file, source.errorString());
            return std::nullopt;
        }
    }
    const settings::Store store(file.isEmpty() ? FileLocations::current().config() : file);
    Config c;
    c.link = LinkSettings::load(store);
    c.pdc = store.readBool(settings::key::PdcEnable, false);
    c.debug = store.readBool(settings::key::DebugEnable, false);
    c.frameLog = store.readString(settings::key::FrameLog).trimmed();
    c.frameLogLimit =
        qint64(store.readInt(settings::key::FrameLogSizeKb, settings::defaults::FrameLogSizeKb)) *
        1024;
    c.mqtt = mqtt::loadSettings(store);
    return c;
}

} // namespace

QString helpText()
{
    QCommandLineParser p;
    return describe(p).helpText() +
           QStringLiteral("\nRefused as wrong arguments, before PORT is opened:\n"
                          "  --set-time with a download (--download, or --from and --to)\n"
                          "  --download with --from; --from without --to, or --to alone\n"
                          "  a window that is reversed, empty or starts in the future\n"
                          "\nExit codes:\n"
                          "  0  every listed sensor was served (its download complete)\n"
                          "  1  some were not: --timeout reached, interrupted (SIGINT, "
                          "SIGTERM) or a run that could not start\n"
                          "  2  wrong arguments, or PORT could not be opened or is no "
                          "dongle\n");
}

void showHelpAll()
{
    // Only the parser knows the toolkit's options, and it tells them on its way out.
    QCommandLineParser p;
    describe(p);
    p.process(QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--help-all")});
    std::exit(AllServed);
}

Parsed parseArguments(const QStringList &arguments)
{
    Parsed r;
    QCommandLineParser p;
    describe(p);
    if (!p.parse(arguments)) {
        r.error = p.errorText();
        return r;
    }
    if (p.isSet(QStringLiteral("help"))) {
        r.help = true;
        return r;
    }
    if (p.isSet(QStringLiteral("help-all"))) {
        r.helpAll = true;
        return r;
    }
    if (!p.positionalArguments().isEmpty()) {
        r.error = QStringLiteral("unexpected argument: ") + p.positionalArguments().first();
        return r;
    }
    Options o;
    o.port = p.value(QStringLiteral("port"));
    if (o.port.isEmpty()) {
        r.error = QStringLiteral("--port is required");
        return r;
    }
    const bool sensors = p.isSet(QStringLiteral("sensors"));
    const bool list = p.isSet(QStringLiteral("list"));
    if (p.isSet(QStringLiteral("detect"))) {
        bool ok = false;
        o.detectSeconds = p.value(QStringLiteral("detect")).toInt(&ok);
        if (!ok || o.detectSeconds <= 0 || o.detectSeconds > MaxSeconds) {
            r.error =
                QStringLiteral("--detect takes a number of seconds from 1 to %1").arg(MaxSeconds);
            return r;
        }
    }
    if ((sensors && list) || (!sensors && !list && o.detectSeconds == 0)) {
        r.error = QStringLiteral("give either --sensors or --list");
        return r;
    }
    if (sensors) {
        for (const QString &part :
             p.value(QStringLiteral("sensors")).split(QLatin1Char(','), Qt::KeepEmptyParts)) {
            const std::optional<uint16_t> sn = sensorlist::parseTypedSerialNumber(part);
            if (!sn) {
                r.error = QStringLiteral("bad serial number \"%1\": %2")
                              .arg(part, sensorlist::TypedSerialNumberRule);
                return r;
            }
            if (!o.sensors.contains(*sn))
                o.sensors << *sn;
        }
        if (o.sensors.size() > FM::MaxSensors) {
            r.error = QStringLiteral("more than %1 sensors").arg(FM::MaxSensors);
            return r;
        }
    }
    o.listFile = p.value(QStringLiteral("list"));
    o.setTime = p.isSet(QStringLiteral("set-time"));
    if (p.isSet(QStringLiteral("download"))) {
        const QString what = p.value(QStringLiteral("download"));
        if (what != QLatin1String("all") && what != QLatin1String("new")) {
            r.error = QStringLiteral(
                "--download takes \"all\" or \"new\"; a time window is --from and --to");
            return r;
        }
        o.downloadAll = what == QLatin1String("all");
        o.downloadNew = what == QLatin1String("new");
    }
    const bool from = p.isSet(QStringLiteral("from"));
    const bool to = p.isSet(QStringLiteral("to"));
    if (from != to) {
        r.error = QStringLiteral("--from and --to go together");
        return r;
    }
    if (from) {
        if (o.downloadAll || o.downloadNew) {
            r.error = QStringLiteral("give either --download or --from and --to");
            return r;
        }
        const std::optional<QDateTime> a = parseDate(p.value(QStringLiteral("from")));
        const std::optional<QDateTime> b = parseDate(p.value(QStringLiteral("to")));
        if (!a || !b) {
            r.error = QStringLiteral("a date is \"yyyy-MM-dd hh:mm[:ss]\": ") +
                      p.value(!a ? QStringLiteral("from") : QStringLiteral("to"));
            return r;
        }
        switch (actionblock::windowFault(*a, *b, QDateTime::currentDateTime())) {
        case actionblock::WindowFault::Reversed:
            r.error = QStringLiteral("--to is before --from");
            return r;
        case actionblock::WindowFault::Empty:
            r.error = QStringLiteral("--from and --to are the same time: the window is empty");
            return r;
        case actionblock::WindowFault::Future:
            r.error = QStringLiteral("--from is in the future: no sensor has recorded there yet");
            return r;
        case actionblock::WindowFault::None:
            break;
        }
        o.from = *a;
        o.to = *b;
    }
    // A download sends the window in the bytes a clock setting would overwrite, so the two
    // cannot share one parameter block.
    if (o.setTime && (o.downloadAll || o.downloadNew || o.downloadBetween())) {
        r.error = QStringLiteral("--set-time cannot go with a download (--download, or "
                                 "--from and --to): set the clocks in a run of their own");
        return r;
    }
    if (p.isSet(QStringLiteral("period"))) {
        bool ok = false;
        const int seconds = p.value(QStringLiteral("period")).toInt(&ok);
        for (int code = 0; ok && code < periods::Count && o.periodCode < 0; ++code)
            if (periods::secondsOfCode(code) == seconds)
                o.periodCode = code;
        if (o.periodCode < 0) {
            r.error = QStringLiteral("--period takes one of 1, 2, 5, 10, 15, 20, 30, 60, 120, "
                                     "300, 600, 900 or 3600 seconds");
            return r;
        }
    }
    if (p.isSet(QStringLiteral("channels"))) {
        for (const QString &part :
             p.value(QStringLiteral("channels")).split(QLatin1Char(','), Qt::KeepEmptyParts)) {
            bool ok = false;
            const int ch = part.trimmed().toInt(&ok);
            if (!ok || ch < 1 || ch > 8) {
                r.error = QStringLiteral("--channels takes channel numbers from 1 to 8 separated "
                                         "by commas (e.g. 1,2): \"%1\"")
                              .arg(part);
                return r;
            }
            if (!o.channels.contains(ch))
                o.channels << ch;
        }
    }
    o.clearMemory = p.isSet(QStringLiteral("clear-memory"));
    o.clearAfterDownload = p.isSet(QStringLiteral("clear-after-download"));
    // A sensor answers a change to its recording with a new recording; the pages a download
    // in the same block would fetch are the old one's.
    if (o.changesRecording() && o.anyDownload()) {
        r.error = QStringLiteral("--period, --channels and --clear-memory cannot go with a "
                                 "download: change the recording in a run of its own (to clear "
                                 "the memories once downloaded, --clear-after-download)");
        return r;
    }
    if (o.clearAfterDownload && !(o.downloadAll || o.downloadNew)) {
        r.error = QStringLiteral("--clear-after-download needs --download all or --download new: "
                                 "a time window leaves samples outside it that clearing would "
                                 "lose");
        return r;
    }
    if ((o.periodCode >= 0 || !o.channels.isEmpty()) && !list && o.detectSeconds == 0) {
        r.error = QStringLiteral("--period and --channels need each sensor's type: give the "
                                 "sensors with --list (a list the program exported) or let "
                                 "--detect find them");
        return r;
    }
    o.summaryJson = p.value(QStringLiteral("summary-json"));
    if (p.isSet(QStringLiteral("out")))
        o.outDir = p.value(QStringLiteral("out"));
    if (p.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        o.timeoutSeconds = p.value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || o.timeoutSeconds <= 0 || o.timeoutSeconds > MaxSeconds) {
            r.error =
                QStringLiteral("--timeout takes a number of seconds from 1 to %1").arg(MaxSeconds);
            return r;
        }
    }
    o.configFile = p.value(QStringLiteral("config"));
    o.frameLog = p.value(QStringLiteral("frame-log"));
    if (p.isSet(QStringLiteral("mqtt"))) {
        o.mqtt = p.value(QStringLiteral("mqtt"));
        MqttSettings check;
        if (!mqtt::applyAddress(o.mqtt, check)) {
            r.error = QStringLiteral("--mqtt takes HOST or HOST:PORT, the port from 1 to 65535");
            return r;
        }
    }
    o.mqttRows = p.isSet(QStringLiteral("mqtt-rows"));
    if (o.mqttRows && !o.downloadNew) {
        r.error = QStringLiteral("--mqtt-rows publishes what --download new adds to the archives; "
                                 "give it with that");
        return r;
    }
    o.verbose = p.isSet(QStringLiteral("verbose"));
    r.options = o;
    return r;
}

Collector::Collector(const Options &options, QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_options(options), m_out(out), m_err(err)
{
}

Collector::~Collector() = default;

bool Collector::publishing() const
{
    return m_publisher && m_publisher->isConnected() && !m_publisher->isIdle();
}

void Collector::endPublishing()
{
    if (!m_publisher)
        return;
    const int left = m_publisher->waiting();
    line(QStringLiteral("MQTT: %1 sent, %2 left in the journal for the next run")
             .arg(m_publisher->sentCount())
             .arg(left));
    m_publisher.reset();
}

void Collector::line(const QString &text)
{
    m_out << QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) << ' ' << text << '\n';
    m_out.flush();
}

void Collector::failed(const QString &title, const QString &text)
{
    m_err << "tessaran-collect: " << title << ": " << text << '\n';
}

void Collector::stop(const QString &why)
{
    if (m_stopWhy.isEmpty()) {
        m_stopWhy = why;
        m_stoppedDetecting = m_session && m_session->isDetecting();
    }
    // Nothing to serve yet: the identification under way and the attempts after it end now.
    if (m_opening && !m_interrupted) {
        m_interrupted = true;
        line(why);
        if (LinkWait *wait = LinkWait::current())
            wait->stop();
        return;
    }
    if (m_session && m_session->isDetecting() && !m_interrupted) {
        m_interrupted = true;
        line(why);
        m_session->stop();
        return;
    }
    if (!m_session || !m_session->isRunning() || m_stopping)
        return;
    m_stopping = true;
    line(why);
    m_session->stop();
}

// Progress is told each time it passes a tenth; every other status once per change.
void Collector::statusChanged(int row)
{
    const FleetModel &fleet = m_session->fleet();
    if (!fleet.isSensorRow(row))
        return;
    const FM::Sensor &s = fleet.sensor(row);
    const uint16_t sn = uint16_t(s.record.serial_number);
    if (s.status.isEmpty() || s.status == m_lastStatus.value(sn))
        return;
    m_lastStatus[sn] = s.status;
    // The engine says "by user" for any stop; the final line tells the collector's own reason.
    if (!m_stopWhy.isEmpty() && FleetRun::isStopText(s.status))
        return;
    if (s.showingProgress) {
        const int decile = s.record.download_percent / 10;
        if (decile <= m_lastDecile.value(sn, -1))
            return;
        m_lastDecile[sn] = decile;
    } else {
        m_lastDecile.remove(sn);
    }
    QString text = hex4(sn) + QStringLiteral(": ") + s.status;
    // The run's bar, as the window shows it: the pages, rate and time left of this download.
    const RunProgress &progress = m_session->progress();
    if (s.showingProgress && progress.downloading())
        text += QStringLiteral(" (%1 of %2 sensors served, %3)")
                    .arg(progress.sensorsServed())
                    .arg(progress.sensorsListed())
                    .arg(progress.text());
    line(text);
}

void Collector::outcome(uint32_t serialNumber, SensorOutcome)
{
    if (!m_session)
        return;
    const SensorSummary s = m_session->summaryFor(serialNumber);
    for (const QString &note : s.archiveNotes)
        line(hex4(serialNumber) + QStringLiteral(": ") + note);
    for (const archive::Gap &gap : s.gaps)
        line(hex4(serialNumber) + QStringLiteral(": ") + archive::gapText(gap));
    // The verdict of the final line: a sensor whose data fell short is told once, NOT served,
    // with the summary.
    if (s.done)
        line(hex4(serialNumber) +
             (m_clearing ? QStringLiteral(": memory cleared") : QStringLiteral(": served")));
}

QString Collector::reason(const SensorSummary &sensor) const
{
    if (sensor.done || m_stopWhy.isEmpty())
        return sensor.status;
    if (m_stoppedDetecting)
        return m_stopWhy + QStringLiteral(" during detection");
    if (sensor.outcome == SensorOutcome::Interrupted && sensor.pages.fetched > 0)
        return m_stopWhy + QStringLiteral(" during its download");
    // A sensor that answered with a fault of its own keeps it; one the stop caught waiting is
    // told why the run stopped.
    if (sensor.outcome == SensorOutcome::Interrupted || FleetRun::isStopText(sensor.status) ||
        FleetRun::isWaitingText(sensor.status))
        return m_stopWhy + QStringLiteral(" before it was served");
    return sensor.status;
}

int Collector::run()
{
    const QDateTime started = QDateTime::currentDateTime();
    QString error;
    const std::optional<Config> config = loadConfig(m_options.configFile, error);
    if (!config) {
        m_err << "tessaran-collect: " << error << '\n';
        return Unusable;
    }

    // The run goes on: such a channel is written unscaled, which the operator can still mend.
    for (const QString &w : catalogueWarnings())
        m_err << "tessaran-collect: warning: " << w << '\n';

    ManageSerialPort link(config->link);
    // Before the port opens, so the dongle's identification is in the file too. The file asked
    // for on the command line must be there; the one of the settings is a diagnosis the run
    // goes on without.
    FrameLog frames(link.frameTap());
    connect(&frames, &FrameLog::fileFailed, this,
            [this](const QString &e) { m_err << "tessaran-collect: warning: " << e << '\n'; });
    if (!m_options.frameLog.isEmpty()) {
        if (!frames.openFile(m_options.frameLog, config->frameLogLimit)) {
            m_err << "tessaran-collect: " << frames.fileError() << '\n';
            return Unusable;
        }
    } else if (!config->frameLog.isEmpty() &&
               !frames.openFile(config->frameLog, config->frameLogLimit)) {
        m_err << "tessaran-collect: warning: " << frames.fileError() << '\n';
    }
    FleetSession session(&link);
    m_session = &session;
    // The same journal as the program's in this folder; one that cannot be used is a warning.
    FleetJournal journal;
    const QString journalPath = QFileInfo(FileLocations::current().config())
                                    .absoluteDir()
                                    .filePath(FleetJournal::defaultFileName());
    if (journal.open(journalPath))
        session.setJournal(&journal, health::loadThresholds());
    else
        m_err << "tessaran-collect: warning: " << journal.errorText() << '\n';
    // The publisher reads the outbox through a journal of its own, and outlives the run so
    // that main() can give it the time to send what the run left.
    MqttSettings mqttSettings = config->mqtt;
    if (!m_options.mqtt.isEmpty())
        mqtt::applyAddress(m_options.mqtt, mqttSettings);
    if (m_options.mqttRows)
        mqttSettings.publishRows = true;
    if (mqttSettings.enabled && journal.isOpen()) {
        session.setPublishing(mqttSettings.topicPrefix, mqttSettings.qos,
                              mqttSettings.publishRows);
        m_publisher = std::make_unique<MqttPublisher>(journalPath, mqttSettings);
        connect(m_publisher.get(), &MqttPublisher::stateChanged, this, &Collector::line);
        connect(&session, &FleetSession::sensorOutcome, m_publisher.get(), &MqttPublisher::wake);
        if (!m_publisher->start())
            m_err << "tessaran-collect: warning: " << m_publisher->stateLine() << '\n';
    } else if (mqttSettings.enabled) {
        m_err << "tessaran-collect: warning: MQTT: nothing is published without the journal\n";
    }
    // Closed before the journal goes: the session is older.
    struct Detach {
        FleetSession &s;
        ~Detach() { s.setJournal(nullptr, {}); }
    } detach{session};
    FleetModel &model = session.fleet();
    QVector<SensorListFile::Sensor> listed;
    if (!m_options.listFile.isEmpty()) {
        const SensorListFile file = SensorListFile::read(m_options.listFile);
        if (!file.ok()) {
            m_err << "tessaran-collect: " << file.error() << '\n';
            return Unusable;
        }
        // A list with a wrong entry would leave a sensor out unnoticed: better not run.
        if (!file.rejected().isEmpty()) {
            for (const QString &r : file.rejected())
                m_err << "tessaran-collect: " << m_options.listFile << ": " << r << '\n';
            return Unusable;
        }
        listed = file.sensors();
    } else {
        for (uint16_t sn : m_options.sensors) {
            SensorListFile::Sensor s;
            s.serialNumber = sn;
            listed << s;
        }
    }
    if (listed.isEmpty() && m_options.detectSeconds == 0) {
        m_err << "tessaran-collect: the sensor list is empty\n";
        return Unusable;
    }
    // Made before the port is opened: a folder that cannot be made is a wrong --out.
    if (!ensureFolder(m_options.outDir)) {
        m_err << "tessaran-collect: the folder " << QDir(m_options.outDir).absolutePath()
              << " can't be created\n";
        return Unusable;
    }
    if (listed.size() > FM::MaxSensors) {
        m_err << "tessaran-collect: more than " << FM::MaxSensors << " sensors\n";
        return Unusable;
    }
    if (!QFileInfo(defaultCatalogue()).isFile())
        m_err << "tessaran-collect: warning: no " << FileLocations::CatalogueName
              << " in the working folder or the installed defaults: sensor types stay "
                 "unknown\n";

    for (const SensorListFile::Sensor &s : listed) {
        int row = model.insert_sensor(s.serialNumber);
        if (row < 0)
            continue;
        // What an import restores; the sensor's first answer replaces it.
        if (s.typeOfModule != 0) {
            model.edit(row).record.sensor_type = uint8_t(s.typeOfModule);
            model.fill_channel_selector(row, false);
            model.setCheckedChannels(row, s.recordingChannels);
            model.fill_period_selector(row, s.periodItem());
        }
        model.edit(row).record.period_index = uint8_t(s.periodeIndex);
        model.edit(row).record.channel_mask = uint8_t(s.recordingChannelsIndex);
    }

    // A dongle that answers late is given the attempts of a returning one.
    m_opening = true;
    const bool opened = PortReconnect::openWithRetries(
        &link, m_options.port, PortReconnect::IntervalMs, [this] { return m_interrupted; });
    m_opening = false;
    if (!opened) {
        if (m_interrupted) {
            for (int r = 0; r < model.size(); ++r)
                m_out << hex4(model.sensor(r).record.serial_number) << " NOT served: interrupted\n";
            m_out.flush();
            return SomeNotServed;
        }
        if (!link.openError().isEmpty())
            m_err << "tessaran-collect: " << link.openError() << '\n';
        else
            m_err << "tessaran-collect: " << m_options.port
                  << " could not be opened, or no dongle answered there\n";
        return Unusable;
    }

    // A dongle pulled out and plugged in again: the run waits for it (as long as a download may
    // take), and the same port is opened again when it is back.
    PortReconnect reconnect(&link);
    reconnect.watch(m_options.port);
    connect(&reconnect, &PortReconnect::portLost, this,
            [this](const QString &port) { line(QStringLiteral("port lost: ") + port); });
    connect(&reconnect, &PortReconnect::portBack, this,
            [this, &link, &reconnect](const QString &port) {
                if (link.openPort(port)) {
                    reconnect.watch(port);
                    line(QStringLiteral("port back: ") + port);
                } else {
                    line(QStringLiteral("port back, but no dongle answered: ") + port);
                }
            });

    actionblock::Choice choice;
    choice.setTime = m_options.setTime;
    choice.downloadAll = m_options.downloadAll;
    choice.downloadNew = m_options.downloadNew;
    choice.downloadBetween = m_options.downloadBetween();
    choice.windowStart = m_options.from;
    choice.windowEnd = m_options.to;
    choice.changePeriod = m_options.periodCode >= 0;
    choice.selectChannels = !m_options.channels.isEmpty();
    choice.clearData = m_options.clearMemory;
    model.setChoice(choice);

    session.setRunSettings({m_options.outDir, config->pdc, config->debug});
    connect(&model, &FleetModel::statusChanged, this, &Collector::statusChanged);
    connect(&session, &FleetSession::failed, this, &Collector::failed);
    connect(&session, &FleetSession::sensorOutcome, this, &Collector::outcome);
    QTimer tick;
    connect(&tick, &QTimer::timeout, &session, &FleetSession::tick);
    tick.start(1000);
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this,
            [this] { stop(QStringLiteral("time-out after %1 s").arg(m_options.timeoutSeconds)); });
    if (m_options.timeoutSeconds > 0)
        deadline.start(m_options.timeoutSeconds * 1000);

    bool settingsRefused = false;
    if (m_options.detectSeconds > 0) {
        if (link.linkMode() != ManageSerialPort::Api802154) {
            m_err << "tessaran-collect: --detect needs an 802.15.4 dongle\n";
            link.closePort();
            return Unusable;
        }
        connect(&session, &FleetSession::sensorDetected, this, [this](uint32_t sn) {
            if (!m_toldDetected.value(uint16_t(sn))) {
                m_toldDetected[uint16_t(sn)] = true;
                line(hex4(sn) + QStringLiteral(": detected"));
            }
        });
        QTimer enough;
        enough.setSingleShot(true);
        connect(&enough, &QTimer::timeout, &session, &FleetSession::stop);
        enough.start(m_options.detectSeconds * 1000);
        line(QStringLiteral("detecting for %1 s").arg(m_options.detectSeconds));
        session.detect();
    }

    if (m_interrupted) {
        // Stopped while detecting: no run, nobody served.
    } else if (model.size() == 0) {
        m_err << "tessaran-collect: no sensor to serve\n";
    } else if (!applySettings(model)) {
        settingsRefused = true;
    } else {
        if (link.linkMode() == ManageSerialPort::Lora)
            line(QStringLiteral("reaching %1 sensor(s) through the LoRa dongle").arg(model.size()));
        else
            line(QStringLiteral("listening for %1 sensor(s)").arg(model.size()));
        session.runActions();
    }
    const RunSummary summary = session.summary();
    // What each sensor last said, before the clearing pass leaves out those it does not clear.
    QHash<uint32_t, QJsonObject> last;
    const auto snapshot = [&] {
        for (int r = 0; r < model.size(); ++r)
            last.insert(model.sensor(r).record.serial_number, lastStatusJson(model.sensor(r)));
    };
    snapshot();
    QSet<uint32_t> cleared;
    const bool clearing = m_options.clearAfterDownload && !m_interrupted && !settingsRefused &&
                          m_stopWhy.isEmpty() && model.size() > 0;
    if (clearing) {
        cleared = clearDownloaded(session, summary);
        snapshot();
    }
    tick.stop();
    deadline.stop();
    model.files().closeAll();
    reconnect.watch(QString());
    link.closePort();

    // What the journal foresees, for whoever reads the lines.
    for (const SensorSummary &sensor : summary.sensors)
        for (const QJsonValue &w :
             last.value(sensor.serialNumber).value(QStringLiteral("warnings")).toArray())
            m_out << hex4(sensor.serialNumber) << " warning: " << w.toString() << '\n';
    bool allDone = summary.allDone() && !settingsRefused;
    for (const SensorSummary &sensor : summary.sensors) {
        m_out << hex4(sensor.serialNumber) << ' ' << (sensor.done ? "served" : "NOT served") << ": "
              << reason(sensor);
        if (!sensor.pagesText.isEmpty())
            m_out << " (" << sensor.pagesText << ')';
        if (!sensor.archivePaths.isEmpty())
            m_out << " -> " << sensor.archivePaths.join(QStringLiteral(", "));
        if (m_options.clearAfterDownload) {
            const bool wasCleared = cleared.contains(sensor.serialNumber);
            allDone &= wasCleared;
            m_out << (wasCleared ? "; memory cleared" : "; memory NOT cleared");
        }
        m_out << '\n';
    }
    m_out.flush();
    m_session = nullptr;
    const int code = allDone ? AllServed : SomeNotServed;
    if (!m_options.summaryJson.isEmpty() &&
        !writeSummary(summary, last, code, started,
                      m_options.clearAfterDownload ? &cleared : nullptr))
        return Unusable;
    return code;
}

bool Collector::writeSummary(const RunSummary &summary, const QHash<uint32_t, QJsonObject> &last,
                             int exitCode, const QDateTime &started,
                             const QSet<uint32_t> *cleared)
{
    QJsonObject doc;
    doc[QStringLiteral("version")] = SummaryVersion;
    doc[QStringLiteral("started")] = started.toString(Qt::ISODate);
    doc[QStringLiteral("ended")] = QDateTime::currentDateTime().toString(Qt::ISODate);
    doc[QStringLiteral("port")] = m_options.port;
    doc[QStringLiteral("download")] = m_options.downloadAll   ? QStringLiteral("all")
                                      : m_options.downloadNew ? QStringLiteral("new")
                                      : m_options.downloadBetween() ? QStringLiteral("window")
                                                                    : QStringLiteral("none");
    doc[QStringLiteral("exitCode")] = exitCode;
    doc[QStringLiteral("stoppedBy")] = m_stopWhy;
    QJsonArray sensors;
    for (const SensorSummary &s : summary.sensors) {
        std::optional<bool> wasCleared;
        if (cleared)
            wasCleared = cleared->contains(s.serialNumber);
        sensors.append(sensorJson(s, reason(s), last.value(s.serialNumber), wasCleared));
    }
    doc[QStringLiteral("sensors")] = sensors;
    QString error;
    if (writeJson(m_options.summaryJson, doc, &error))
        return true;
    m_err << "tessaran-collect: cannot write the summary " << m_options.summaryJson << ": "
          << error << '\n';
    return false;
}

bool Collector::applySettings(FleetModel &model)
{
    if (m_options.periodCode < 0 && m_options.channels.isEmpty())
        return true;
    bool ok = true;
    for (int r = 0; r < model.size(); ++r) {
        const FM::Sensor &s = model.sensor(r);
        const QString sn = hex4(s.record.serial_number);
        if (s.record.sensor_type == 0) {
            m_err << "tessaran-collect: " << sn
                  << ": its type is not known (not in the list, or not heard while detecting): "
                     "--period and --channels need it\n";
            ok = false;
            continue;
        }
        if (m_options.periodCode >= 0)
            model.fill_period_selector(r, periods::itemOfCode(m_options.periodCode));
        if (m_options.channels.isEmpty())
            continue;
        QStringList titles;
        const QStringList selectable = s.type.selectableChannels();
        for (int ch : m_options.channels) {
            const QString title = s.type.channelTitle(ch - 1);
            if (!selectable.contains(title)) {
                m_err << "tessaran-collect: " << sn << ": its type (" << s.type.title
                      << ") has no channel " << ch << " to record\n";
                ok = false;
            }
            titles << title;
        }
        model.fill_channel_selector(r, false);
        model.setCheckedChannels(r, titles);
    }
    return ok;
}

QSet<uint32_t> Collector::clearDownloaded(FleetSession &session, const RunSummary &downloads)
{
    FleetModel &model = session.fleet();
    // Only a download that completed leaves nothing in the memory that is not in the files.
    QSet<uint32_t> complete;
    for (const SensorSummary &s : downloads.sensors)
        if (s.done && (s.outcome == SensorOutcome::DownloadComplete ||
                       s.outcome == SensorOutcome::NoData))
            complete.insert(s.serialNumber);
    for (int r = model.size() - 1; r >= 0; --r)
        if (!complete.contains(model.sensor(r).record.serial_number))
            model.remove_row(r);
    QSet<uint32_t> cleared;
    if (model.size() == 0)
        return cleared;
    actionblock::Choice clear;
    clear.clearData = true;
    model.setChoice(clear);
    m_clearing = true;
    m_lastStatus.clear();
    line(QStringLiteral("clearing the memory of %1 sensor(s) at their next wake").arg(model.size()));
    session.runActions();
    m_clearing = false;
    for (const SensorSummary &s : session.summary().sensors)
        if (s.done)
            cleared.insert(s.serialNumber);
    return cleared;
}

} // namespace collect
