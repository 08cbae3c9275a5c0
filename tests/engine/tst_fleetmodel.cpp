#include "fleetmodel.h"
#include "fleetrows.h"
#include "listenphases.h"
#include "rowrefresh.h"
#include "sensoranswer.h"
#include "sensorlistfile.h"
#include "sensortext.h"

#include "messagecapture.h"
#include "page.h"
#include "pageframes.h"
#include "testkit.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
using FM = FleetModel;
const QString Waiting = QStringLiteral("Waiting for action");
} // namespace

class TestFleetModel : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<FleetModel> m;

    int answered(uint16_t sn, int type, int item) { return answeredSensor(*m, sn, type, item); }
    QStringList serials() const
    {
        QStringList s;
        for (int r = 0; r < m->size(); ++r)
            s << sensortext::serialNumber(m->sensor(r));
        return s;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::copy(QStringLiteral(TESSARAN_CATALOGUE), QStringLiteral("sensor.ini")));
    }
    void init() { m = std::make_unique<FleetModel>(); }

    void sensorsAreKeptInOrderOnceEach()
    {
        QSignalSpy inserted(m.get(), &FleetModel::sensorInserted);
        QSignalSpy removed(m.get(), &FleetModel::sensorRemoved);
        for (uint16_t sn : {0x0300, 0x0100, 0x9001, 0x0200})
            QVERIFY(m->insert_sensor(sn) >= 0);
        QCOMPARE(m->insert_sensor(0x0100), -1);
        QCOMPARE(m->insert_sensor(0), -1);
        QCOMPARE(serials(), (QStringList{"0100", "0200", "0300", "9001"}));
        QCOMPARE(inserted.count(), 4);
        QCOMPARE(inserted.at(3).at(0).toInt(), 1); // 0200 went between
        QCOMPARE(m->find_row(0x0300), 2);
        QCOMPARE(m->find_row(0x0400), -1);

        // An entered number: a relay is known as one before it answers; all channels checked.
        const FM::Sensor &relay = m->sensor(3);
        QCOMPARE(int(relay.record.sensor_type), 6);
        QCOMPARE(relay.type.title, QStringLiteral("Plug Relay 16A"));
        QCOMPARE(relay.checkedChannels, relay.type.selectableChannels());
        QCOMPARE(relay.mark(FM::Field::Channels), FM::Mark::None); // nothing is chosen to send
        QVERIFY(!relay.periodsListed);
        const FM::Sensor &plain = m->sensor(0);
        QCOMPARE(int(plain.record.sensor_type), 0);
        QCOMPARE(plain.type.title, QStringLiteral("Unknown"));
        QCOMPARE(int(plain.record.rssi), 255);
        QCOMPARE(int(plain.record.path_age), 32700);

        m->remove_row(1);
        m->remove_row(4); // the entry row is not a sensor
        QCOMPARE(serials(), (QStringList{"0100", "0300", "9001"}));
        QCOMPARE(removed.count(), 1);

        for (int sn = 1; m->size() < FM::MaxSensors; ++sn)
            m->insert_sensor(uint16_t(sn));
        QCOMPARE(m->insert_sensor(0x0800), -1);
    }

    void sensorsAddedWhileActionsAreChosenWaitForThem_data()
    {
        QTest::addColumn<bool>("setTime");
        QTest::addColumn<bool>("clear");
        QTest::addColumn<bool>("download");
        QTest::newRow("set time") << true << false << false;
        QTest::newRow("clear") << false << true << false;
        QTest::newRow("download") << false << false << true;
        QTest::newRow("nothing") << false << false << false;
    }
    void sensorsAddedWhileActionsAreChosenWaitForThem()
    {
        QFETCH(bool, setTime);
        QFETCH(bool, clear);
        QFETCH(bool, download);
        actionblock::Choice c;
        c.setTime = setTime;
        c.clearData = clear;
        c.downloadAll = download;
        m->setChoice(c);
        const int r = m->insert_sensor(0x0100);
        const bool any = setTime || clear || download;
        QCOMPARE(m->sensor(r).status, any ? Waiting : QString());
        QCOMPARE(m->sensor(r).mark(FM::Field::Clock), setTime ? FM::Mark::Waiting : FM::Mark::None);
        QCOMPARE(m->sensor(r).mark(FM::Field::Start), clear ? FM::Mark::Waiting : FM::Mark::None);
    }

    void timeColumnsAreMarkedInEveryRowAndTheEntryRow()
    {
        m->insert_sensor(0x0100);
        QSignalSpy changed(m.get(), &FleetModel::changed);
        m->markWaiting(FM::Field::Clock, true);
        for (int r : {0, 1}) {
            QCOMPARE(m->marks(r)[size_t(FM::Field::Clock)], FM::Mark::Waiting);
            QCOMPARE(r == 0 ? m->sensor(r).status : m->entry().status, Waiting);
        }
        QCOMPARE(changed.count(), 4);
        m->markWaiting(FM::Field::Clock, false);
        QCOMPARE(m->entry().marks[size_t(FM::Field::Clock)], FM::Mark::None);
        QCOMPARE(m->entry().status, Waiting);

        // A battery warning goes with the reset, a confirmed battery stays.
        m->setMark(0, FM::Field::Battery, FM::Mark::Warning);
        m->setMark(0, FM::Field::Info, FM::Mark::Done);
        m->setMark(0, FM::Field::Period, FM::Mark::Failed);
        m->set_status(0, "x", FM::Tone::Bad);
        m->reset_marks();
        QCOMPARE(m->sensor(0).marks, FM::Marks{});
        QCOMPARE(m->sensor(0).tone, FM::Tone::Plain);
        QCOMPARE(m->sensor(0).status, QStringLiteral("x"));
        m->setMark(0, FM::Field::Battery, FM::Mark::Refreshed);
        m->reset_marks();
        QCOMPARE(m->sensor(0).mark(FM::Field::Battery), FM::Mark::Refreshed);
    }

    void selectorsDifferingFromTheSensorAreTracked()
    {
        const int known = answered(0x0100, 1, 4);
        const int never = m->insert_sensor(0x0200);
        QVERIFY(!m->track_period_changes());
        QCOMPARE(m->sensor(known).mark(FM::Field::Period), FM::Mark::Refreshed);
        m->setPeriodItem(known, 7);
        QVERIFY(m->track_period_changes());
        QCOMPARE(m->sensor(known).mark(FM::Field::Period), FM::Mark::Waiting);
        QCOMPARE(m->sensor(known).status, Waiting);

        m->setCheckedChannels(known, {"Humidity", "nonsense"});
        QCOMPARE(m->sensor(known).checkedChannels, QStringList{"Humidity"});
        QVERIFY(m->track_channel_changes());
        QCOMPARE(m->sensor(known).mark(FM::Field::Channels), FM::Mark::Waiting);
        m->setCheckedChannels(known, {"Temperature", "Humidity"});
        QVERIFY(!m->track_channel_changes());
        QCOMPARE(m->sensor(known).mark(FM::Field::Channels), FM::Mark::Refreshed);
        // A sensor that never answered is left alone.
        QCOMPARE(m->sensor(never).status, QString());
        QCOMPARE(m->sensor(never).mark(FM::Field::Channels), FM::Mark::None);
    }

    // The rules of the block are actionblock's and sensorlist's: here, that the row's
    // selectors, cells and record and the chosen boxes reach them.
    void parameterBlockAndPendingMarksComeFromTheRows()
    {
        MessageCapture log(MessageCapture::Silent);
        const int r = answered(0x0100, 1, 4);
        const int other = answered(0x0200, 13, 4);
        m->edit(r).record.period_index = 4;
        m->edit(r).record.channel_mask = 0x03;
        m->edit(r).record.relay_address = 0x9001;
        m->setPeriodItem(r, 10); // "10 mins"
        m->setCheckedChannels(r, {"Humidity"});
        actionblock::Choice c;
        c.setTime = c.clearData = c.changePeriod = c.selectChannels = true;
        m->setChoice(c);
        FM::Selection sel;
        m->compute_selection(0x0100, sel);
        command::Block payload;
        QCOMPARE(m->build_param_payload(0x0100, sel, payload), 0x9001);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(payload.data()), 17).toHex(' '),
                 QByteArray("47 08 00 00 00 00 00 00 00 00 00 00 00 00 02 01 00"));
        QVERIFY(log.contains(
            QStringLiteral("\"send param, sensor\" \"0100\" \" relais : \" \"9001\"")));
        QCOMPARE(m->build_param_payload(0x0999, sel, payload), -1);

        QCOMPARE(m->mark_pending_changes(), 0);
        QVERIFY(m->sensor(r).set_time_pending && m->sensor(r).change_pending);
        QCOMPARE(m->sensor(r).mark(FM::Field::Serial), FM::Mark::Waiting);
        m->clear_pending_marks();
        QVERIFY(!m->sensor(r).change_pending);
        m->setCheckedChannels(other, {});
        QCOMPARE(m->mark_pending_changes(), 2);
        QCOMPARE(m->pending_failure_row(), other);
    }

    void snapshotHoldsWhatTheRowsShow()
    {
        const QString path = m_dir.filePath("export.ini");
        {
            QSettings stale(path, QSettings::IniFormat);
            stale.setValue("0999/Vbat", "old");
        }
        FleetModel::clear_snapshot(path);
        m->write_snapshot(path);
        QStringList keys = QSettings(path, QSettings::IniFormat).allKeys();
        keys.sort();
        QCOMPARE(keys, (QStringList{"LIST_SENSOR", "NB_SENSOR"}));

        const int r = answered(0x0100, 13, 12);
        m->setCheckedChannels(r, {"Pressure", "Humidity"});
        FM::Report report;
        report.battery = 13; // "3.3V"
        m->setReport(r, report);
        m->set_status(r, "Action succesfull", FM::Tone::Good);
        QByteArray answerBytes(answer::CheckedLength, '\0');
        answerBytes[answer::ChannelMask] = 0x01;
        answerBytes[answer::LastValue0 + 1] = 0x25;
        m->edit(r).record.answer = answerBytes;
        const QString lastValues =
            rowrefresh::lastValuesText(m->sensor(r).type, 13, 0x01, answerBytes);
        QVERIFY(!lastValues.isEmpty());
        m->insert_sensor(0x9001);
        m->write_snapshot(path);
        QSettings snap(path, QSettings::IniFormat);
        snap.setIniCodec("UTF-8");
        QCOMPARE(snap.value("NB_SENSOR").toString(), QStringLiteral("2"));
        QCOMPARE(snap.childGroups(), (QStringList{"0100", "9001"}));
        QCOMPARE(snap.value("0100/Type_of_module").toString(), QStringLiteral("Baro Logger"));
        QCOMPARE(snap.value("0100/Recording_channels").toStringList(),
                 (QStringList{"Pressure", "Humidity"}));
        QCOMPARE(snap.value("0100/Periode").toString(), QStringLiteral("1 hour"));
        QCOMPARE(snap.value("0100/Vbat").toString(), QStringLiteral("3.3V"));
        QCOMPARE(snap.value("0100/Last_Status").toString(), QStringLiteral("Action succesfull"));
        QCOMPARE(snap.value("0100/Last_Values").toString(), lastValues);
        QCOMPARE(snap.value("9001/Type_of_module").toString(), QStringLiteral("Plug Relay 16A"));
        QCOMPARE(snap.value("9001/Periode").toString(), QString());
        QCOMPARE(snap.value("LIST_SENSOR").toString(), QStringLiteral("0100;9001;"));

        // The next start brings the list back from it: the type from the title it holds.
        FleetModel next;
        QCOMPARE(SensorListFile::read(path).apply(next), 2);
        QCOMPARE(next.sensor(0).record.sensor_type, 13);
        QCOMPARE(next.sensor(0).checkedChannels, (QStringList{"Pressure", "Humidity"}));
        QCOMPARE(next.sensor(1).record.sensor_type, 6);
    }

    // Saved and loaded again, a list gives every sensor its type, period and channels, the
    // channel mask included; a row already listed but absent from the file is reset.
    void aSavedListComesBackWhole()
    {
        const int r = answered(0x0100, 13, 12);
        m->setCheckedChannels(r, {"Humidity"});
        m->edit(r).record.period_index = 9;
        m->edit(r).record.channel_mask = 0x02;
        m->insert_sensor(0x9001);
        const QString path = m_dir.filePath("list.ini");
        QString error;
        QVERIFY(SensorListFile::write(*m, path, &error));
        QSettings ini(path, QSettings::IniFormat);
        QCOMPARE(ini.value("NB_SENSOR").toString(), QStringLiteral("2"));
        QCOMPARE(ini.value("0100/Type_of_module").toString(), QStringLiteral("13"));
        QCOMPARE(ini.value("0100/Type_of_module_title").toString(), QStringLiteral("Baro Logger"));
        QCOMPARE(ini.value("0100/Periode").toString(), QStringLiteral("1 hour"));
        QCOMPARE(ini.value("0100/Recording_channels_index").toInt(), 2);

        FleetModel other;
        const int kept = answeredSensor(other, 0x0555, 1, 3);
        QCOMPARE(SensorListFile::read(path).apply(other), 2);
        QCOMPARE(other.size(), 3);
        const FleetModel::Sensor &baro = other.sensor(0);
        QCOMPARE(baro.record.sensor_type, 13);
        QCOMPARE(baro.checkedChannels, QStringList{"Humidity"});
        QCOMPARE(baro.periodItem, 12); // period code 9 is the selector's "1 hour"
        QCOMPARE(baro.record.period_index, 9);
        QCOMPARE(baro.record.channel_mask, 0x02);
        QCOMPARE(other.find_row(0x0555), kept + 1);
        const FleetModel::Sensor &reset = other.sensor(kept + 1);
        QCOMPARE(reset.record.sensor_type, 0);
        QVERIFY(reset.checkedChannels.isEmpty());
        QCOMPARE(reset.periodItem, 0);

        QFile plain(m_dir.filePath("plain"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(!SensorListFile::write(*m, m_dir.filePath("plain/list.ini"), &error));
        QVERIFY(error.contains("could not be written"));
    }

    void aDownloadsPagesGoToItsFiles()
    {
        QTemporaryDir out;
        const int r = answered(0x1234, 1, 0);
        SensorRecord &rec = m->edit(r).record;
        rec.start_page = rec.current_page = 3966;
        rec.end_page = 1;
        rec.page_count = page::RingPages;
        const std::vector<uint8_t> frame = pageFrame(2, 0x03, 2000, 100);
        const auto create = [&] { return m->files().create(0x1234, out.path(), true, {}).ok; };
        const auto decode = [&](uint16_t sn, int count) {
            return m->decode_pages(sn, count, frame.data(), int(frame.size()), {}, create);
        };
        QCOMPARE(decode(0x1234, 2), FM::Decoded::Ok);
        rec.current_page = 3967; // the last page: only one of the two is decoded
        QCOMPARE(decode(0x1234, 2), FM::Decoded::Ok);
        QCOMPARE(rec.samples_written, 6u);
        const QDir dir(out.path());
        const QStringList tsv = dir.entryList({"1234_*.tsv"});
        const QStringList pdc = dir.entryList({"1234_*.pdc"});
        QCOMPARE(tsv.size(), 1);
        QCOMPARE(QFileInfo(dir.filePath(pdc.value(0))).size(), qint64(3 * 548));

        // A download resumed after its files were closed writes into new files, never into
        // nothing, and leaves the first ones whole.
        m->files().close(0x1234);
        rec.start_page = 3000;
        rec.current_page = 3966;
        QCOMPARE(decode(0x1234, 1), FM::Decoded::Ok);
        QCOMPARE(dir.entryList({"1234_*.tsv"}).size(), 2);
        QCOMPARE(rec.samples_written, 8u);
        QCOMPARE(decode(0x0999, 1), FM::Decoded::NotListed);
        m->remove_row(r); // closes the files
        QVERIFY(!m->files().isOpen(0x1234));
        m->insert_sensor(0x1234);
        QCOMPARE(
            m->decode_pages(0x1234, 1, frame.data(), int(frame.size()), {}, [] { return false; }),
            FM::Decoded::NotCreated);
    }

    // Every second of the pace, not only where a phase changes.
    void listenPhasesFollowTheRunsSeconds()
    {
        const QVector<int> phases{0, 0, 1, 1, 2, 2, 2, 2}; // then 3 for good
        ListenPhases listen;
        for (int second = 0; second <= 40; ++second, listen.tick())
            QCOMPARE(listen.phase, phases.value(second, 3));
    }

    void contactCountersAgeUpToTheCeiling_data()
    {
        QTest::addColumn<int>("path");
        QTest::addColumn<int>("direct");
        QTest::addColumn<int>("pathAfter");
        QTest::addColumn<int>("directAfter");
        // 8 seconds each.
        QTest::newRow("both count") << 5 << 10 << 13 << 18;
        QTest::newRow("direct stops at the ceiling") << 5 << 31999 << 13 << 32000;
        QTest::newRow("direct waits for the path") << 32000 << 10 << 32000 << 10;
        QTest::newRow("never heard stays so") << 32700 << 32700 << 32700 << 32700;
    }
    void contactCountersAgeUpToTheCeiling()
    {
        QFETCH(int, path);
        QFETCH(int, direct);
        QFETCH(int, pathAfter);
        QFETCH(int, directAfter);
        m->insert_sensor(0x0100);
        m->insert_sensor(0x0200);
        SensorRecord &rec = m->edit(0).record;
        SensorRecord &other = m->edit(1).record;
        rec.path_age = uint16_t(path);
        rec.direct_age = uint16_t(direct);
        other.path_age = other.direct_age = 0;
        for (int i = 0; i < 8; ++i)
            m->age_contacts();
        QCOMPARE(int(rec.path_age), pathAfter);
        QCOMPARE(int(rec.direct_age), directAfter);
        QCOMPARE(int(other.path_age), 8); // every row ages
    }
};

QTEST_GUILESS_MAIN(TestFleetModel)
#include "tst_fleetmodel.moc"
