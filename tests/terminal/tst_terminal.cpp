#include "apiframe.h"
#include "lora_term.h"
#include "manageserialport.h"
#include "scripteddongle.h"
#include "settings.h"
#include "testkit.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>

class TestTerminal : public QObject
{
    Q_OBJECT
    WorkFolder m_dir;
    std::unique_ptr<ScriptedDongle> m_dongle;
    std::unique_ptr<ManageSerialPort> m_link;
    std::unique_ptr<lora_term> m_term;

    // The lines of the frames received, without the meaning under each and the frames sent.
    QStringList logLines() const
    {
        QStringList lines;
        for (const QString &l : m_term->log()->toPlainText().split('\n', Qt::SkipEmptyParts))
            if (!l.startsWith(QStringLiteral("\t= ")) && !l.contains(QStringLiteral("\tsent: ")))
                lines << l;
        return lines;
    }
    QStringList allLines() const
    {
        return m_term->log()->toPlainText().split('\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        m_dongle = std::make_unique<ScriptedDongle>(ScriptedDongle::Lora);
        m_link = std::make_unique<ManageSerialPort>();
        m_term = std::make_unique<lora_term>(m_link.get());
        QVERIFY(m_link->openPort(m_dongle->path()));
        QCOMPARE(m_link->linkMode(), 6);
        m_term->log()->clear();
    }
    void cleanupTestCase()
    {
        m_term.reset();
        m_link.reset();
        m_dongle.reset();
    }

    void radioReportsShowAndAreNotLogged()
    {
        m_term->log()->clear();
        m_dongle->peer().write(api::buildFrame(QByteArray::fromHex("11500A")));
        QTRY_COMPARE_WITH_TIMEOUT(m_term->rssiLabel()->text(), QStringLiteral("-57"), 1000);
        QCOMPARE(m_term->statusValueLabel()->text(), QStringLiteral("a"));
        QVERIFY(logLines().isEmpty());
        m_dongle->peer().write(api::buildFrame(QByteArray::fromHex("12500A")));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, 1000);
        QVERIFY(logLines()[0].endsWith(QStringLiteral("\t12 50 0a ")));
        QCOMPARE(allLines().value(1), QStringLiteral("\t= payload 12, 3 bytes"));
    }

    void aMarkerFrameRestartsTheTimeBase()
    {
        m_term->log()->clear();
        QTest::qWait(300);
        m_dongle->peer().write(api::buildFrame(QByteArray::fromHex("0201210000")));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, 1000);
        m_dongle->peer().write(api::buildFrame(QByteArray::fromHex("0201")));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 2, 1000);
        const double before = logLines()[0].section('\t', 0, 0).toDouble();
        const double after = logLines()[1].section('\t', 0, 0).toDouble();
        QVERIFY2(before >= 0.3, qPrintable(logLines()[0]));
        QVERIFY2(after < before, qPrintable(logLines().join(" | ")));
        QCOMPARE(terminal::logLine(1500, QByteArray::fromHex("02ff")),
                 QStringLiteral("1.5\t02 ff "));
        QCOMPARE(terminal::logLine(123456, QByteArray()), QStringLiteral("123.456\t"));
    }

    void linkErrorsAreLogged()
    {
        m_term->log()->clear();
        m_dongle->peer().write(QByteArray::fromHex("7E004201"));
        QTRY_COMPARE_WITH_TIMEOUT(logLines().size(), 1, 1000);
        QVERIFY(logLines()[0].startsWith(QStringLiteral("Error : frame size > 65 or 0;pos7e:")));
    }

    void eachFieldSendsItsOwnHexText()
    {
        QList<QByteArray> bodies;
        m_dongle->other = [&](const QByteArray &body) { bodies << body; };
        m_term->frameField(0)->setText(QStringLiteral("05 01 02"));
        m_term->frameField(2)->setText(QStringLiteral("0x AA:BB"));
        QTest::keyClick(m_term->frameField(0), Qt::Key_Return);
        QTest::keyClick(m_term->frameField(2), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(bodies.size(), 2, 1000);
        QCOMPARE(bodies[0], QByteArray::fromHex("050102"));
        QCOMPARE(bodies[1], QByteArray::fromHex("0AABB")); // fromHex skips what is not a digit
        m_dongle->other = nullptr;
    }

    void eachFieldIsNamedAndReachedWithAltAndItsNumber()
    {
        m_term->show();
        QApplication::setActiveWindow(m_term.get());
        QVERIFY(QTest::qWaitForWindowExposed(m_term.get()));
        for (int i = 0; i < 4; ++i) {
            QLabel *name = nullptr;
            for (QLabel *l : m_term->findChildren<QLabel *>())
                if (l->buddy() == m_term->frameField(i))
                    name = l;
            QVERIFY(name);
            QCOMPARE(name->text(), QStringLiteral("Frame &%1 (hex) :").arg(i + 1));
        }
        m_term->log()->setFocus();
        QTest::keyClick(m_term.get(), Qt::Key_3, Qt::AltModifier);
        QTRY_VERIFY_WITH_TIMEOUT(m_term->frameField(2)->hasFocus(), 1000);
        m_term->hide();
    }

    void reveilWritesTheWakeUpByteThroughTheLoraTransaction()
    {
        QByteArray request;
        bool enabledDuring = true;
        m_dongle->other = [&](const QByteArray &body) {
            if (body.size() != 30)
                return;
            request = body;
            enabledDuring = m_term->reveilButton()->isEnabled();
            m_dongle->peer().writeChunks({api::buildFrame(QByteArray::fromHex("0601")),
                                          api::buildFrame(QByteArray::fromHex("02300430"))},
                                         3);
        };
        QTest::mouseClick(m_term->reveilButton(), Qt::LeftButton);
        QCOMPARE(request.left(7), QByteArray::fromHex("0108000004300F"));
        QCOMPARE(request.mid(7, 16), QByteArray::fromHex("00130078640000000000000000000000"));
        QTRY_VERIFY_WITH_TIMEOUT(m_term->log()->toPlainText().contains("02 30 04 30"), 1000);
        // Each frame sent and received is explained under its bytes.
        const QStringList lines = allLines();
        const int sent =
            lines.indexOf(QRegularExpression("^[0-9.e+-]+\tsent: 01 08 00 00 04 30 0f .*"));
        QVERIFY2(sent >= 0, qPrintable(lines.join('|')));
        QCOMPARE(lines.value(sent + 1),
                 QStringLiteral("\t= request to 0430, preamble 8: write EEPROM at 0x0078 = 0x64, "
                                "no restart"));
        QVERIFY(lines.contains(QStringLiteral("\t= acknowledgement: request taken")));
        // no second transaction could be started while this one waited
        QVERIFY(!enabledDuring);
        QVERIFY(m_term->reveilButton()->isEnabled());
        m_dongle->other = nullptr;
    }
};

QTEST_MAIN(TestTerminal)
#include "tst_terminal.moc"
