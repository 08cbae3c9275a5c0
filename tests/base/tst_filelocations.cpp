#include "filelocations.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestFileLocations : public QObject
{
    Q_OBJECT

    // Lays out `what` in `folder`: c config.ini, s sensor.ini, i icon/.
    static void lay(const QString &folder, const QString &what)
    {
        QVERIFY(QDir().mkpath(folder));
        const auto touch = [&](const char *name) {
            QFile f(QDir(folder).filePath(QLatin1String(name)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        };
        if (what.contains(QLatin1Char('c')))
            touch("config.ini");
        if (what.contains(QLatin1Char('s')))
            touch("sensor.ini");
        if (what.contains(QLatin1Char('i')))
            QVERIFY(QDir(folder).mkpath(QStringLiteral("icon")));
    }

private slots:
    // What each file comes from, as W (working folder), S (the user's settings folder), D (the
    // installed data) or O (the user's output folder): config.ini, sensor.ini, icon/, the
    // default output folder. A file found nowhere keeps the working folder's name.
    void theWorkingFolderWinsElseTheDefaultsAndTheUsersFolder_data()
    {
        QTest::addColumn<QString>("working");
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QString>("data");
        QTest::addColumn<QString>("expected");
        QTest::newRow("set up by hand") << "csi"
                                        << "s"
                                        << "si"
                                        << "W W W W";
        QTest::newRow("config.ini alone") << "c"
                                          << ""
                                          << "si"
                                          << "W D D W";
        QTest::newRow("sensor.ini alone") << "s"
                                          << ""
                                          << "si"
                                          << "W W D W";
        QTest::newRow("icons alone") << "i"
                                     << ""
                                     << "si"
                                     << "S D W O";
        QTest::newRow("empty folder") << ""
                                      << ""
                                      << "si"
                                      << "S D D O";
        QTest::newRow("the user's catalogue") << ""
                                              << "s"
                                              << "si"
                                              << "S S D O";
        QTest::newRow("nothing installed") << ""
                                           << ""
                                           << ""
                                           << "S W W O";
    }
    void theWorkingFolderWinsElseTheDefaultsAndTheUsersFolder()
    {
        QFETCH(QString, working);
        QFETCH(QString, settings);
        QFETCH(QString, data);
        QFETCH(QString, expected);
        QTemporaryDir root;
        FileLocations::Folders f{root.filePath("work"), root.filePath("share/tessaran"),
                                 root.filePath("config/tessaran"), root.filePath("data/tessaran")};
        lay(f.working, working);
        lay(f.settings, settings);
        lay(f.data, data);
        const FileLocations l = FileLocations::resolve(f);
        const auto from = [&](const QString &path) {
            const QString folder = QFileInfo(path).absolutePath();
            const QString self = QFileInfo(path).absoluteFilePath();
            const std::pair<const char *, QString> places[] = {
                {"W", f.working}, {"S", f.settings}, {"D", f.data}, {"O", f.output}};
            for (const auto &[code, place] : places)
                if (folder == place || self == place)
                    return QString::fromLatin1(code);
            return path;
        };
        const QString got = QStringList{from(l.config()), from(l.catalogue()), from(l.iconFolder()),
                                        from(l.outputFolder())}
                                .join(QLatin1Char(' '));
        QCOMPARE(got, expected);
        // The list snapshot lives with the settings.
        QCOMPARE(QFileInfo(l.snapshot()).absolutePath(), QFileInfo(l.config()).absolutePath());
        QCOMPARE(l.icon("exit.png"), QDir(l.iconFolder()).filePath("exit.png"));
        QCOMPARE(l.inWorkingFolder(), expected.startsWith(QLatin1Char('W')));
    }

    // The settings folder is made at start; one that cannot be, and a catalogue found nowhere,
    // are told in a line each (and in the About box) instead of failing later in silence.
    void missingAndUnwritableFoldersAreTold()
    {
        QTemporaryDir root;
        FileLocations::Folders f{root.filePath("work"), root.filePath("share/tessaran"),
                                 root.filePath("config/tessaran"), root.filePath("data/tessaran")};
        lay(f.working, "");
        FileLocations made = FileLocations::resolve(f);
        made.prepare();
        QVERIFY(QFileInfo(f.settings).isDir());
        QCOMPARE(made.problems().size(), 1);
        QVERIFY2(
            made.problems()[0].contains(QFileInfo(f.working + "/sensor.ini").absoluteFilePath()),
            qPrintable(made.problems()[0]));
        QVERIFY(made.describe().join('\n').contains(QStringLiteral("sensor.ini (not there)")));

        // A file where the folder's parent should be: mkpath cannot succeed, even as root.
        QFile blocker(root.filePath("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        f.settings = root.filePath("blocked/tessaran");
        lay(f.data, "s");
        FileLocations blocked = FileLocations::resolve(f);
        blocked.prepare();
        QCOMPARE(blocked.problems(),
                 QStringList{QStringLiteral("The folder %1 can't be created: the settings and the "
                                            "sensor list will not be saved.")
                                 .arg(f.settings)});
    }
};

QTEST_GUILESS_MAIN(TestFileLocations)
#include "tst_filelocations.moc"
