#include "rowrefresh.h"

#include "commandset.h"
#include "fleetmodel.h"
#include "page.h"
#include "periods.h"
#include "sensoranswer.h"
#include "sensortext.h"

#include <QDebug>
#include <QLocale>
#include <cstdlib>

namespace rowrefresh
{
namespace
{
using FM = FleetModel;
const QString ClockFormat = QStringLiteral("dd/MM/yyyy hh:mm:ss");
constexpr int ClockTolerance = 60; // seconds a sensor clock may be off and still show as offset
constexpr int TimeSetTolerance = 4;
constexpr uint8_t Type13 = 13;
constexpr double Type13Offset = 100000.0;
constexpr uint8_t TypeWithoutPointer = 4; // its error byte means something else

int16_t signed16(const uint8_t *a, int offset)
{
    return int16_t(answer::read16(a, offset));
}

// The raw last value of channel k (0 to 3) and whether it is a 32-bit counter.
double rawValue(const SensorType &type, int k, const uint8_t *a, bool *counter)
{
    *counter = false;
    switch (k) {
    case 0:
        return signed16(a, answer::LastValue0);
    case 1:
        return signed16(a, answer::LastValue1);
    default: {
        const int at = k == 2 ? answer::LastValue2 : answer::LastValue3;
        if (type.sizes[size_t(k)] == 0)
            return signed16(a, at + 2);
        *counter = true;
        return answer::read32(a, at);
    }
    }
}
} // namespace

QString clockText(const QDateTime &sensorClock, int offset)
{
    if (std::abs(offset) > ClockTolerance)
        return sensorClock.toString(ClockFormat);
    return QStringLiteral("Offset :") + QString::number(offset) + QStringLiteral(" s");
}

QString lastValuesText(const SensorType &type, int sensorType, uint8_t channelMask,
                       const QByteArray &answerBytes)
{
    if (answerBytes.size() < answer::CheckedLength)
        return QString();
    const auto *a = reinterpret_cast<const uint8_t *>(answerBytes.constData());
    // The C locale leaves out group separators unless told otherwise; counters read better
    // grouped by thousands.
    QLocale grouped(QLocale::C);
    grouped.setNumberOptions(QLocale::DefaultNumberOptions);
    QString text;
    for (int k = 0; k < 4; ++k) {
        if (!(channelMask & (1u << k)))
            continue;
        bool counter = false;
        double value = rawValue(type, k, a, &counter) * double(type.coefficients[size_t(k)]);
        if (k == 0 && sensorType == Type13)
            value += Type13Offset;
        const int decimals = type.decimals[size_t(k)];
        if (counter)
            text += grouped.toString(value, 'f', decimals)
                        .replace(grouped.groupSeparator(), QLatin1Char(' '));
        else
            text += QString::number(value, 'f', decimals);
        text += type.units[size_t(k)] + QStringLiteral("; ");
    }
    return text;
}

namespace
{
// The checks of what an action exchange asked for; false when one failed. Each failure writes
// its text, so the last failing check is what the Status cell keeps.
bool outcomeChecks(FleetModel &model, int row, const uint8_t *a, const Context &c)
{
    qDebug() << QStringLiteral("set_change");
    const actionblock::Choice &choice = model.choice();
    FM::Sensor &s = model.edit(row);
    bool ok = true;
    const auto fail = [&](const QString &text) {
        model.set_status(row, text, FM::Tone::Bad);
        ok = false;
    };

    if (s.clear_pending) {
        s.clear_pending = false;
        if (a[answer::FirstPage] != answer::ClearedMark) {
            fail(ClearFailed);
            model.setMark(row, FM::Field::Start, FM::Mark::Failed);
        } else {
            // The count in this answer may predate the clear; an emptied memory holds nothing,
            // and the old count would promise pages that are gone.
            FM::Report report = s.report;
            report.pageCount = 0;
            model.setReport(row, report);
        }
    } else {
        model.setMark(row, FM::Field::Start, FM::Mark::Refreshed);
    }

    if (s.set_time_pending) {
        s.set_time_pending = false;
        bool set;
        // A clock that is ahead is as wrong as one that is behind.
        const bool clockRight = std::abs(s.clock_offset) <= TimeSetTolerance;
        if (c.lora) {
            // The sensor's flag alone is its word: the clock it answers with is the outcome.
            set = a[answer::TimeSet] != 0 && clockRight;
            if (!set)
                qDebug() << QStringLiteral("set_time") << a[answer::TimeSet] << s.clock_offset;
        } else {
            set = clockRight;
        }
        if (set) {
            model.setMark(row, FM::Field::Clock, FM::Mark::Done);
        } else {
            fail(TimeFailed);
            model.setMark(row, FM::Field::Clock, FM::Mark::Failed);
        }
    } else {
        model.setMark(row, FM::Field::Clock, FM::Mark::Refreshed);
    }

    const uint8_t reportedMask = s.record.channel_mask;
    if (choice.selectChannels) {
        qDebug() << QStringLiteral("datarec sent :") << c.selectedChannelMask
                 << QStringLiteral("   datarec received :") << reportedMask;
        if (c.selectedChannelMask == reportedMask) {
            model.setMark(row, FM::Field::Channels, FM::Mark::Done);
        } else {
            fail(ChannelFailed);
            model.setMark(row, FM::Field::Channels, FM::Mark::Failed);
        }
    }
    if (choice.changePeriod) {
        if (c.selectedPeriodCode == model.sensor(row).record.period_index) {
            model.setMark(row, FM::Field::Period, FM::Mark::Done);
        } else {
            fail(PeriodFailed);
            model.setMark(row, FM::Field::Period, FM::Mark::Failed);
        }
    } else {
        model.setMark(row, FM::Field::Period, FM::Mark::Refreshed);
    }

    FM::Sensor &after = model.edit(row);
    const bool changed = after.change_pending;
    after.change_pending = false;
    model.setMark(row, FM::Field::Serial, changed ? FM::Mark::Done : FM::Mark::Refreshed);
    model.setMark(row, FM::Field::Info, FM::Mark::Refreshed);
    return ok;
}

void radioPath(FleetModel &model, int row, const uint8_t *a, const Context &c)
{
    static const radiopaths::RadioPaths noRelays;
    const radiopaths::RadioPaths &paths = c.paths ? *c.paths : noRelays;
    const QVector<QByteArray> bodies =
        paths.path_from_answer(model.edit(row), a[answer::Extra], uint8_t(c.frameRssi), c.lora);
    if (c.bodies)
        *c.bodies += bodies;
}
} // namespace

bool refresh_row_from_answer(FleetModel &model, uint32_t serialNumber, int mode,
                             const QByteArray &answerBytes, const Context &c)
{
    const int row = model.find_row(serialNumber);
    if (row < 0 || answerBytes.size() < answer::CheckedLength)
        return false;
    const auto *a = reinterpret_cast<const uint8_t *>(answerBytes.constData());
    const QDateTime now = c.now.isValid() ? c.now : QDateTime::currentDateTime();
    const actionblock::Choice &choice = model.choice();

    {
        FM::Sensor &s = model.edit(row);
        s.record.answer = answerBytes;
        s.record.sensor_clock = command::bcdDateTime(a + answer::Clock);
        s.record.record_start = command::bcdDateTime(a + answer::RecordingStart);
        s.clock_offset =
            s.record.sensor_clock.isValid() ? int(s.record.sensor_clock.secsTo(now)) : int(0xFFFF);
        s.record.sensor_type = a[answer::SensorType];
    }
    // The type's description is read again, so an edited catalogue shows at the next answer.
    model.fill_channel_selector(row, false);

    const uint8_t periodCode = a[answer::PeriodCode];
    const uint8_t mask = a[answer::ChannelMask];
    {
        SensorRecord &rec = model.edit(row).record;
        rec.period_index = periodCode;
        rec.channel_mask = mask;
    }
    const FM::Sensor &s = model.sensor(row);
    FM::Report report = s.report;
    report.version = a[answer::Version];
    report.clocks = true;
    QStringList recorded;
    for (int k = 0; k < SensorType::Channels; ++k)
        if (mask & (1u << k))
            recorded << s.type.channelTitle(k);
    model.setCheckedChannels(row, recorded);
    const int item = periods::itemOfCode(periodCode);
    model.edit(row).sensor_channel_mask = mask;
    model.edit(row).sensor_period_item = uint8_t(item < 0 ? 255 : item);
    if (item >= 0)
        model.fill_period_selector(row, item);

    if (!choice.clearData) {
        report.pageCount = answer::read16(a, answer::PageCount);
        report.battery = a[answer::Battery] & 0x0F;
        model.setMark(row, FM::Field::Battery,
                      page::lowBattery(report.battery) ? FM::Mark::Warning
                                                             : FM::Mark::Refreshed);
        model.setModeFlag(row, a[answer::Mode] != 0);
    }
    model.setReport(row, report);

    bool ok = true;
    if (mode == AfterAction)
        ok = outcomeChecks(model, row, a, c);

    if (a[answer::ErrorFlag] != 0 && a[answer::SensorType] != TypeWithoutPointer) {
        model.set_status(row, PointerError, FM::Tone::Bad);
    } else if (!c.downloadRunning && !choice.anyDownload()) {
        if (c.detection)
            model.set_status(row, Detected, FM::Tone::Good);
        else if (ok)
            model.set_status(row, mode == AfterAction ? ActionDone : ReadingDone, FM::Tone::Good);
    }

    radioPath(model, row, a, c);
    emit model.answerShown(row, c.detection);
    return ok;
}

} // namespace rowrefresh
