#include "scenario.h"

#include "generator.h"

#include <QFile>
#include <QHash>
#include <QSet>

namespace sim
{

const DeviceConfig *Scenario::find(uint16_t serialNumber) const
{
    for (const DeviceConfig &d : devices)
        if (d.serialNumber == serialNumber)
            return &d;
    return nullptr;
}

static QString snText(uint16_t sn)
{
    return QStringLiteral("%1").arg(sn, 4, 16, QChar('0')).toUpper();
}

int64_t parseDuration(const QString &text)
{
    QString t = text.trimmed().toLower();
    int64_t unit = 1;
    if (t.endsWith('s')) {
        t.chop(1);
    } else if (t.endsWith('m')) {
        unit = 60;
        t.chop(1);
    } else if (t.endsWith('h')) {
        unit = 3600;
        t.chop(1);
    } else if (t.endsWith('d')) {
        unit = 86400;
        t.chop(1);
    }
    bool ok = false;
    const qlonglong n = t.trimmed().toLongLong(&ok);
    // Ten years is more than any memory ring holds at the longest period.
    if (!ok || n < 0 || n > 3650LL * 86400 / unit)
        return -1;
    return n * unit;
}

namespace
{

struct Reader {
    QString name;
    QStringList *errors;
    int line = 0;

    void error(const QString &text) const
    {
        errors->append(QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(text));
    }

    bool integer(const QString &key, const QString &value, int min, int max, int &out) const
    {
        bool ok = false;
        const QString v = value.trimmed();
        const int n = v.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                          ? v.mid(2).toInt(&ok, 16)
                          : v.toInt(&ok, 10);
        if (!ok || n < min || n > max) {
            error(QStringLiteral("%1 must be a number from %2 to %3, not \"%4\"")
                      .arg(key)
                      .arg(min)
                      .arg(max)
                      .arg(value));
            return false;
        }
        out = n;
        return true;
    }

    bool serial(const QString &key, const QString &value, uint16_t &out) const
    {
        bool ok = false;
        const uint n = value.trimmed().toUInt(&ok, 16);
        if (!ok || n == 0 || n > 0xFFFF) {
            error(QStringLiteral(
                      "%1 must be a serial number from 0001 to FFFF in hexadecimal, not \"%2\"")
                      .arg(key, value));
            return false;
        }
        out = uint16_t(n);
        return true;
    }
};

void applyDeviceKey(const Reader &r, DeviceConfig &d, const QString &key, const QString &value)
{
    int n = 0;
    if (key == QLatin1String("type")) {
        if (r.integer(key, value, 0, 255, n))
            d.type = n;
    } else if (key == QLatin1String("version")) {
        if (r.integer(key, value, 0, 255, n))
            d.version = n;
    } else if (key == QLatin1String("period")) {
        if (r.integer(key, value, 0, 12, n))
            d.periodCode = n;
    } else if (key == QLatin1String("channels")) {
        if (r.integer(key, value, 1, 255, n))
            d.channelMask = n;
    } else if (key == QLatin1String("battery")) {
        if (r.integer(key, value, 0, 15, n))
            d.battery = n;
    } else if (key == QLatin1String("wake") || key == QLatin1String("first_wake") ||
               key == QLatin1String("announce")) {
        const int64_t s = parseDuration(value);
        if (s < 0 || s > 7 * 86400) {
            r.error(QStringLiteral(
                        "%1 must be a duration of at most 7 days (90, 90s, 15m, 2h), not \"%2\"")
                        .arg(key, value));
            return;
        }
        (key == QLatin1String("wake")       ? d.wakeSeconds
         : key == QLatin1String("announce") ? d.announceSeconds
                                            : d.firstWakeSeconds) = int(s);
    } else if (key == QLatin1String("relay")) {
        r.serial(key, value, d.relay);
    } else if (key == QLatin1String("rssi")) {
        if (value.trimmed() == QLatin1String("none"))
            d.rssi = -1;
        else if (r.integer(key, value, 0, 254, n))
            d.rssi = n;
    } else if (key == QLatin1String("relay_rssi")) {
        if (r.integer(key, value, 0, 254, n))
            d.relayRssi = n;
    } else if (key == QLatin1String("span")) {
        const int64_t s = parseDuration(value);
        if (s < 0)
            r.error(QStringLiteral("span must be a duration (90, 90s, 15m, 2h, 3d), not \"%1\"")
                        .arg(value));
        else
            d.spanSeconds = s;
    } else if (key == QLatin1String("pages")) {
        if (r.integer(key, value, 0, 1000000, n))
            d.pages = n;
    } else if (key == QLatin1String("seed")) {
        bool ok = false;
        const uint s = value.trimmed().toUInt(&ok);
        if (!ok)
            r.error(QStringLiteral("seed must be a positive number, not \"%1\"").arg(value));
        else
            d.seed = s;
    } else if (key == QLatin1String("error")) {
        if (r.integer(key, value, 0, 255, n))
            d.errorCode = n;
    } else if (key == QLatin1String("clock_offset")) {
        if (r.integer(key, value, -86400 * 365, 86400 * 365, n))
            d.clockOffsetSeconds = n;
    } else if (key == QLatin1String("mode")) {
        if (r.integer(key, value, 0, 1, n))
            d.mode = n;
    } else if (key == QLatin1String("loader")) {
        if (r.integer(key, value, 0, 1, n))
            d.startInLoader = n == 1;
    } else if (key == QLatin1String("function_byte")) {
        if (value.trimmed() == QLatin1String("varying"))
            d.functionByte = DeviceConfig::Varying;
        else if (r.integer(key, value, 0, 255, n))
            d.functionByte = n;
    } else if (key == QLatin1String("update_version")) {
        if (r.integer(key, value, 0, 255, n))
            d.updateVersion = n;
    } else if (key == QLatin1String("update_fails")) {
        if (r.integer(key, value, 0, 1, n))
            d.updateFails = n == 1;
    } else if (key == QLatin1String("radio_channel")) {
        if (r.integer(key, value, 11, 26, n))
            d.radioChannel = n;
    } else if (QString problem; applyPowerKey(d.power, key, value, problem)) {
        if (!problem.isEmpty())
            r.error(problem);
    } else if (key == QLatin1String("eeprom") || key == QLatin1String("ram")) {
        QString why;
        const std::optional<QVector<MemoryPreset>> presets = parsePresets(value, &why);
        if (!presets)
            r.error(QStringLiteral("%1: %2").arg(key, why));
        else
            (key == QLatin1String("eeprom") ? d.eepromPresets : d.ramPresets) += *presets;
    } else {
        r.error(QStringLiteral("unknown key \"%1\" in a device section").arg(key));
    }
}

void applyDongleKey(const Reader &r, DongleConfig &d, const QString &key, const QString &value)
{
    int n = 0;
    if (key == QLatin1String("kind")) {
        const QString kind = value.trimmed();
        if (kind == QLatin1String("802.15.4") || kind == QLatin1String("lora"))
            d.kind = kind;
        else
            r.error(QStringLiteral("kind \"%1\" is not simulated (802.15.4 or lora)").arg(value));
    } else if (key == QLatin1String("channel")) {
        if (r.integer(key, value, 11, 26, n))
            d.channel = n;
    } else if (key == QLatin1String("version")) {
        if (r.integer(key, value, 0, 255, n))
            d.version = n;
    } else if (key == QLatin1String("frame_gap_ms")) {
        if (r.integer(key, value, 0, 1000, n))
            d.frameGapMs = n;
    } else if (key == QLatin1String("back_to_back")) {
        if (r.integer(key, value, 0, 1, n))
            d.backToBack = n == 1;
    } else if (key == QLatin1String("late_answers")) {
        if (r.integer(key, value, 0, 1000, n))
            d.lateAnswers = n;
    } else if (key == QLatin1String("page_latency_ms")) {
        if (r.integer(key, value, 0, 1000, n))
            d.pageLatencyMs = n;
    } else if (key == QLatin1String("listen_ms")) {
        if (r.integer(key, value, 0, 600000, n))
            d.listenMs = n;
    } else if (key == QLatin1String("awake_ms")) {
        if (r.integer(key, value, 0, 600000, n))
            d.awakeMs = n;
    } else if (key == QLatin1String("air_scale")) {
        bool ok = false;
        const double scale = value.trimmed().toDouble(&ok);
        if (!ok || !(scale >= 0) || scale > 10)
            r.error(
                QStringLiteral("air_scale must be a number from 0 to 10, not \"%1\"").arg(value));
        else
            d.airScale = scale;
    } else if (key == QLatin1String("wake_preamble")) {
        if (r.integer(key, value, 1, 255, n))
            d.wakePreamble = n;
    } else {
        r.error(QStringLiteral("unknown key \"%1\" in [dongle]").arg(key));
    }
}

} // namespace

ScenarioResult parseScenario(const QByteArray &text, const QString &name)
{
    ScenarioResult result;
    Reader r{name, &result.errors};
    enum Section { None, Simulator, Dongle, Device } section = None;
    DeviceConfig *device = nullptr;
    QSet<uint16_t> seen;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        r.line = i + 1;
        const QString line = QString::fromUtf8(lines[i]).trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']')) {
                r.error(QStringLiteral("a section header must end with ]"));
                section = None;
                continue;
            }
            const QString header = line.mid(1, line.size() - 2).trimmed();
            device = nullptr;
            if (header == QLatin1String("simulator")) {
                section = Simulator;
            } else if (header == QLatin1String("dongle")) {
                section = Dongle;
            } else if (header.startsWith(QLatin1String("device "))) {
                uint16_t sn = 0;
                section = None;
                if (!r.serial(QStringLiteral("the device section"), header.mid(7), sn))
                    continue;
                if (seen.contains(sn)) {
                    r.error(QStringLiteral("device %1 appears twice").arg(snText(sn)));
                    continue;
                }
                if (result.scenario.devices.size() >= 255) {
                    r.error(QStringLiteral("more than 255 devices"));
                    continue;
                }
                seen.insert(sn);
                section = Device;
                result.scenario.devices.append(DeviceConfig());
                device = &result.scenario.devices.last();
                device->serialNumber = sn;
                device->line = r.line;
            } else {
                r.error(QStringLiteral("unknown section [%1]").arg(header));
                section = None;
            }
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq <= 0) {
            r.error(QStringLiteral("expected key = value"));
            continue;
        }
        const QString key = line.left(eq).trimmed().toLower();
        QString value = line.mid(eq + 1).trimmed();
        const int comment = value.indexOf(QLatin1String(" ;"));
        if (comment >= 0)
            value = value.left(comment).trimmed();
        switch (section) {
        case None:
            r.error(QStringLiteral("key \"%1\" outside a section").arg(key));
            break;
        case Simulator:
            if (key == QLatin1String("speed")) {
                bool ok = false;
                const double s = value.toDouble(&ok);
                if (!ok || s <= 0 || s > 100000)
                    r.error(QStringLiteral(
                                "speed must be a number above 0 and at most 100000, not \"%1\"")
                                .arg(value));
                else
                    result.scenario.speed = s;
            } else if (key == QLatin1String("seed")) {
                bool ok = false;
                const uint s = value.toUInt(&ok);
                if (!ok)
                    r.error(
                        QStringLiteral("seed must be a positive number, not \"%1\"").arg(value));
                else
                    result.scenario.seed = s;
            } else {
                r.error(QStringLiteral("unknown key \"%1\" in [simulator]").arg(key));
            }
            break;
        case Dongle:
            applyDongleKey(r, result.scenario.dongle, key, value);
            break;
        case Device:
            applyDeviceKey(r, *device, key, value);
            break;
        }
    }
    // Cross-checks once every device is known.
    for (const DeviceConfig &d : result.scenario.devices) {
        r.line = d.line;
        if (d.relay) {
            const DeviceConfig *relay = result.scenario.find(d.relay);
            if (!relay || relay->serialNumber < 0x8000 || relay->serialNumber > 0x8FFF)
                r.error(QStringLiteral(
                            "device %1: relay %2 is not a relay of the scenario (0x8000 to 0x8FFF)")
                            .arg(snText(d.serialNumber))
                            .arg(snText(d.relay)));
            else if (relay->relay)
                r.error(QStringLiteral("device %1: relay %2 is itself behind a relay")
                            .arg(snText(d.serialNumber))
                            .arg(snText(d.relay)));
        }
        if (!d.relay && d.rssi < 0)
            r.error(QStringLiteral("device %1 is heard by nobody (rssi none and no relay)")
                        .arg(snText(d.serialNumber)));
        if (d.channelMask > 0 && (d.channelMask & ~typeTraits(d.type).availableMask))
            r.error(QStringLiteral("device %1: channels 0x%2 are not all channels of type %3")
                        .arg(snText(d.serialNumber))
                        .arg(d.channelMask, 2, 16, QChar('0'))
                        .arg(d.type));
    }
    return result;
}

ScenarioResult loadScenario(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ScenarioResult result;
        result.errors << QStringLiteral("%1: cannot be read: %2").arg(path, file.errorString());
        return result;
    }
    // A scenario is a few kilobytes; anything huge is not one.
    if (file.size() > 1024 * 1024) {
        ScenarioResult result;
        result.errors << QStringLiteral("%1: larger than 1 MiB, not a scenario").arg(path);
        return result;
    }
    return parseScenario(file.readAll(), path);
}

} // namespace sim
