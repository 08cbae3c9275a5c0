#include "apiframe.h"
#include "clockfields.h"
#include "crc16.h"
#include "framebuffer.h"
#include "hextext.h"
#include "loraframe.h"
#include "messagecapture.h"
#include "page.h"
#include "testkit.h"

#include <QRandomGenerator>
#include <QtTest>

namespace
{
QByteArray bytesOf(const FrameBuffer &f)
{
    return f.toByteArray();
}

// A 53-byte answer as the radio delivers it (stuffed), built from a 49-byte payload.
QByteArray wireAnswer(char fill)
{
    FrameBuffer f;
    f.buildSensorFrame(QByteArray(49, fill));
    return f.toByteArray();
}
} // namespace

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void crcMatchesTheX25CheckValue()
    {
        QCOMPARE(computeCrc16(reinterpret_cast<const uint8_t *>("123456789"), 9), uint16_t(0x906E));
        QCOMPARE(computeCrc16(nullptr, 5), uint16_t(0x0000));
    }

    void sensorFramesAreBuiltStuffedWithTheCrcLowByteFirst_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("plain") << hex("00 00 12 34 07") << hex("C0 00 00 12 34 07 27 5A C1");
        QTest::newRow("specials in payload")
            << hex("C0 7D 01") << hex("C0 7D E0 7D 5D 01 63 9D C1");
        QTest::newRow("crc low byte is an end byte") << hex("01 4A") << hex("C0 01 4A 7D E1 FB C1");
        // the CRC of nothing is 0x0000 once the final XOR is applied
        QTest::newRow("empty payload") << QByteArray() << hex("C0 00 00 C1");
    }
    void sensorFramesAreBuiltStuffedWithTheCrcLowByteFirst()
    {
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, frame);
        FrameBuffer f;
        QVERIFY(f.buildSensorFrame(payload));
        QCOMPARE(bytesOf(f), frame);
        QCOMPARE(f.data()[f.length()], uint8_t(0)); // terminator outside the length
    }

    void buildingRefusesWhatCannotFit()
    {
        FrameBuffer f;
        QVERIFY(f.buildSensorFrame(QByteArray(640, 0x11)));
        // every byte doubles when stuffed: 2*700 does not fit in 1300
        QVERIFY(!f.buildSensorFrame(QByteArray(700, char(0xC0))));
        QCOMPARE(f.length(), 0);
        QVERIFY(!f.buildSensorFrame(QByteArray(FrameBuffer::Capacity, 0x11)));
        QVERIFY(!f.setData(QByteArray(FrameBuffer::Capacity + 1, 0x11)));
        QCOMPARE(f.length(), 0);
        QVERIFY(!f.setData(nullptr, -5));
        QVERIFY(f.setData(QByteArray(FrameBuffer::Capacity, 0x11)));
    }

    void unstuffingRestoresTheFrameAndRefusesBareDelimiters()
    {
        FrameBuffer f;
        f.setData(hex("C0 7D E0 7D 5D 01 63 9D C1"));
        QVERIFY(f.unescapeFrame(1, f.length()));
        QCOMPARE(bytesOf(f), hex("C0 C0 7D 01 63 9D C1"));
        QVERIFY(f.checkCrc());

        const QByteArray bare = hex("C0 01 C1 02 03 04 C1");
        f.setData(bare);
        QVERIFY(!f.unescapeFrame(1, f.length()));
        QCOMPARE(bytesOf(f), bare);

        const QByteArray dangling = hex("C0 01 02 7D C1");
        f.setData(dangling);
        QVERIFY(!f.unescapeFrame(1, f.length()));
        QCOMPARE(bytesOf(f), dangling);
    }

    void answerCheckKeepsTheRadiosExtraByte_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("lastByte");
        QTest::addColumn<QStringList>("said"); // diagnostics, besides the one of its result
        const QByteArray answer = wireAnswer(0x21);
        QTest::newRow("extra byte") << answer + char(0x37) << 0 << 0x37 << QStringList();
        QTest::newRow("no extra byte") << answer << 0 << 0xFF << QStringList();
        QTest::newRow("extra byte 0xFF") << answer + char(0xFF) << 0 << 0xFE << QStringList();
        QTest::newRow("extra byte 0xC1") << answer + char(0xC1) << 3 << 0xFF << QStringList();
        QTest::newRow("stuffed content")
            << wireAnswer(char(0xC0)) + char(0x10) << 0 << 0x10 << QStringList();
        QByteArray badCrc = answer;
        badCrc[10] = char(badCrc[10] ^ 1);
        QTest::newRow("crc error") << badCrc + char(0x37) << 2 << 0x37 << QStringList();
        QByteArray badStart = answer;
        badStart[0] = 0x00;
        QTest::newRow("bad start") << badStart + char(0x37) << 1 << 0x37 << QStringList();
        FrameBuffer shortFrame;
        shortFrame.buildSensorFrame(QByteArray(16, 0x21)); // 20 bytes unstuffed
        QTest::newRow("20-byte frame") << shortFrame.toByteArray() << 3 << 0xFF << QStringList();
        // a short frame reports its length and the CRC too
        QTest::newRow("6-byte frame")
            << hex("C0 01 02 03 04 C1") << 3 << 0xFF << QStringList{"(length<6)", "CRC error"};
        QTest::newRow("empty") << QByteArray() << 3 << 0xFF << QStringList();
        QTest::newRow("one byte") << hex("C1") << 3 << 0xFF << QStringList();
        QTest::newRow("full buffer")
            << QByteArray(FrameBuffer::Capacity, char(0xC1)) << 3 << 0xC1 << QStringList();
    }
    void answerCheckKeepsTheRadiosExtraByte()
    {
        QFETCH(QByteArray, received);
        QFETCH(int, result);
        QFETCH(int, lastByte);
        QFETCH(QStringList, said);
        MessageCapture capture;
        FrameBuffer f;
        f.setData(received);
        QCOMPARE(f.checkSensorFrame(), result);
        QVERIFY(f.length() <= FrameBuffer::Capacity);
        if (f.length() > 0)
            QCOMPARE(int(f.data()[f.length() - 1]), lastByte);
        if (result == 0)
            QCOMPARE(f.length(), FrameBuffer::AnswerLength);
        if (result == 2)
            QVERIFY(capture.contains("CRC error"));
        if (result == 3)
            QVERIFY(capture.contains("frame ("));
        for (const QString &line : said)
            QVERIFY2(capture.contains(line), qPrintable(line));
    }

    void aBareEndByteInsideKeepsTheFrameAndFailsTheCrc()
    {
        FrameBuffer good;
        good.buildSensorFrame(QByteArray(49, 0x21));
        QByteArray wire = good.toByteArray();
        wire[20] = char(0xC1);
        MessageCapture capture;
        FrameBuffer f;
        f.setData(wire);
        QCOMPARE(f.checkSensorFrame(), 2);
        QCOMPARE(f.length(), wire.size() + 1);
        QCOMPARE(f.toByteArray().left(wire.size()), wire);
    }

    void apiFramesCarryLengthAndChecksum()
    {
        QCOMPARE(api::buildFrame(hex("37")), hex("7E 00 01 37 C8"));
        QCOMPARE(api::buildFrame(QByteArray()), hex("7E 00 00 FF"));
        const QByteArray big(300, 0x01);
        const QByteArray frame = api::buildFrame(big);
        QCOMPARE(frame.left(3), hex("7E 01 2C"));
        QCOMPARE(uint8_t(frame.back()), uint8_t(0xFF - (300 & 0xFF)));
        QVERIFY(api::buildFrame(QByteArray(api::MaxBody + 1, 0)).isEmpty());

        const command::Block data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
        const QByteArray payload = api::sensorCommandPayload(0x00011234, 0x0F, data);
        QCOMPARE(payload.left(6), hex("00 01 12 34 0F 00"));
        QCOMPARE(payload.size(), 23);
        QCOMPARE(api::txDirectBody(0x1234, hex("C0 C1")), hex("01 00 12 34 01 C0 C1"));
        QCOMPARE(api::txRelayBody(0x1234, 0x8001, hex("C0 C1")), hex("51 12 34 80 01 C0 C1"));
    }

    void receiveFramesAreAssembledWhateverTheChunking_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<qulonglong>("filter");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("rssi");
        const QByteArray rx = hex("7E 00 07 81 12 34 28 00 37 0F CA");
        QTest::newRow("16-bit source") << rx << qulonglong(0xFFFF) << hex("37 0F") << 0x1234 << 40;
        QTest::newRow("matching filter")
            << rx << qulonglong(0x1234) << hex("37 0F") << 0x1234 << 40;
        QTest::newRow("wrong source") << rx << qulonglong(0x0001) << QByteArray() << -1 << 0;
        QTest::newRow("noise first")
            << hex("00 11 13") + rx << qulonglong(0xFFFF) << hex("37 0F") << 0x1234 << 40;
        QByteArray bad = rx;
        bad[10] = 0x00;
        QTest::newRow("bad checksum then good")
            << bad + rx << qulonglong(0xFFFF) << hex("37 0F") << 0x1234 << 40;
        QTest::newRow("wrong identifier then good")
            << hex("7E 00 02 55 01 A9") + rx << qulonglong(0xFFFF) << hex("37 0F") << 0x1234 << 40;
        // an abandoned frame whose identifier byte is itself a start byte
        QTest::newRow("start byte as identifier")
            << hex("7E 00 07") + rx << qulonglong(0xFFFF) << hex("37 0F") << 0x1234 << 40;
        QByteArray rx64 = hex("90 00 13 A2 00 40 00 12 34 FF FE 01 41 42");
        QTest::newRow("64-bit source")
            << api::buildFrame(rx64) << qulonglong(0x1234) << hex("41 42") << -1 << 0;
        // the abandoned frame's sender is not the 64-bit frame's
        QTest::newRow("abandoned 16-bit frame then 64-bit")
            << bad + api::buildFrame(rx64) << qulonglong(0xFFFF) << hex("41 42") << -1 << 0;
        QTest::newRow("length larger than any buffer")
            << hex("7E FF FF 81 12 34") << qulonglong(0xFFFF) << QByteArray() << -1 << 0;
    }
    void receiveFramesAreAssembledWhateverTheChunking()
    {
        QFETCH(QByteArray, stream);
        QFETCH(qulonglong, filter);
        QFETCH(QByteArray, data);
        QFETCH(int, source);
        QFETCH(int, rssi);
        // in one read, then byte by byte: the same result
        for (int chunk : {stream.size(), 1, 3}) {
            MessageCapture capture;
            api::ReceiveAssembler a(filter);
            for (int i = 0; i < stream.size() && !a.complete(); i += chunk)
                a.feed(stream.mid(i, chunk));
            QCOMPARE(a.complete(), !data.isEmpty());
            QCOMPARE(a.data(), data);
            QCOMPARE(a.hasSource() ? int(a.source()) : -1, source);
            if (rssi)
                QCOMPARE(a.rssi(), rssi);
            if (QByteArray(QTest::currentDataTag()) == "wrong source")
                QVERIFY(capture.contains("error address, read adress : "));
        }
    }

    void bytesAfterACompleteFrameAreLeftUnread()
    {
        const QByteArray rx = hex("7E 00 07 81 12 34 28 00 37 0F CA");
        api::ReceiveAssembler a(0xFFFF);
        QCOMPARE(a.feed(rx + rx), rx.size());
        QVERIFY(a.complete());
    }

    void pageFramesAreJudgedWhole()
    {
        QByteArray body(api::OnePageLength, 0x00);
        body[0] = char(api::Rx16);
        body[1] = 0x12;
        body[2] = 0x34;
        body[3] = char(0xD8); // -40
        const QByteArray frame = api::buildFrame(body);
        api::PageFrame ok = api::parsePageFrame(frame, 0x1234);
        QCOMPARE(ok.status, api::PageFrame::Accepted);
        QCOMPARE(ok.data.size(), api::OnePageLength - 5);
        QCOMPARE(ok.rssi, -40);
        QCOMPARE(ok.source, uint16_t(0x1234));
        QCOMPARE(api::parsePageFrame(frame, 0x0001).status, api::PageFrame::Rejected);
        QByteArray broken = frame;
        broken[100] = char(broken[100] ^ 0x40);
        QCOMPARE(api::parsePageFrame(broken, 0x1234).status, api::PageFrame::BadChecksum);
        QByteArray wrongId = body;
        wrongId[0] = 0x55;
        QCOMPARE(api::parsePageFrame(api::buildFrame(wrongId), 0xFFFF).status,
                 api::PageFrame::WrongCommand);
        QCOMPARE(api::parsePageFrame(frame.left(10), 0xFFFF).status, api::PageFrame::Rejected);
    }

    void loraFramesAreExtractedOneAtATime()
    {
        QByteArray buffer = hex("7E 00 02 11 22 CC");
        lora::Extracted out = lora::extractLoraFrame(buffer);
        QCOMPARE(out.payload, hex("11 22"));
        QVERIFY(out.error.isEmpty());
        QVERIFY(buffer.isEmpty());

        buffer = hex("55 7E 00 02 11 22 CC 7E 00 01 06 F9 7E 00");
        QVERIFY(lora::holdsWork(buffer));
        QCOMPARE(lora::extractLoraFrame(buffer).payload, hex("11 22"));
        QVERIFY(lora::holdsWork(buffer));
        QCOMPARE(lora::extractLoraFrame(buffer).payload, hex("06"));
        QVERIFY(!lora::holdsWork(buffer));
        QVERIFY(lora::extractLoraFrame(buffer).payload.isEmpty());
        QCOMPARE(buffer, hex("7E 00")); // the beginning of the next frame waits for the rest
    }

    void loraFramingErrorsAreReportedOnceAndResynchronised_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("length 66")
            << hex("7E 00 42 01 02") << "Error : frame size > 65 or 0;pos7e:0" << QByteArray();
        QTest::newRow("length 0 then good")
            << hex("7E 00 00 7E 00 02 11 22 CC") << "Error : frame size > 65 or 0;pos7e:0"
            << hex("11 22");
        QTest::newRow("bad checksum then good") << hex("7E 00 02 11 22 00 7E 00 02 11 22 CC")
                                                << "bad checksum, pos7e:0" << hex("11 22");
        QTest::newRow("noise only") << hex("01 02 03 04 05") << QString() << QByteArray();
    }
    void loraFramingErrorsAreReportedOnceAndResynchronised()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QString, error);
        QFETCH(QByteArray, payload);
        QByteArray buffer = stream;
        const lora::Extracted out = lora::extractLoraFrame(buffer);
        QVERIFY2(out.error.startsWith(error), qPrintable(out.error));
        QCOMPARE(out.payload, payload);
        // nothing already judged is judged again
        const lora::Extracted again = lora::extractLoraFrame(buffer);
        QVERIFY(again.error.isEmpty());
        QVERIFY(again.payload.isEmpty());
    }

    void randomBytesNeverBreakTheParsers()
    {
        QRandomGenerator rng(1234);
        MessageCapture capture(MessageCapture::Silent); // 2000 garbage frames say a lot
        for (int round = 0; round < 2000; ++round) {
            QByteArray noise(int(rng.bounded(1, 400)), 0);
            for (char &c : noise)
                c = char(rng.bounded(256));
            if (round % 3 == 0)
                noise.prepend(hex("7E 00"));
            api::ReceiveAssembler a(rng.bounded(2) ? 0xFFFF : 0x1234);
            a.feed(noise);
            QVERIFY(a.data().size() <= api::MaxBody);
            QByteArray buffer = noise;
            for (int i = 0; i < 50 && !buffer.isEmpty(); ++i) {
                const int before = buffer.size();
                const lora::Extracted out = lora::extractLoraFrame(buffer);
                QVERIFY(out.payload.size() <= lora::MaxPayload);
                if (buffer.size() == before)
                    break; // waiting for more
            }
            FrameBuffer f;
            f.setData(noise);
            f.checkSensorFrame();
            QVERIFY(f.length() <= FrameBuffer::Capacity);
            api::parsePageFrame(noise, 0xFFFF);
        }
    }

    void pageHeadersReadAsWritten()
    {
        uint8_t p[page::Size];
        memset(p, 0xFF, sizeof p);
        QVERIFY(!page::readHeader(p).time().isValid()); // an erased page has no date
        const QByteArray header = hex("00 00 26 12 06 23 59 D8 3B 0D 04 00 01 FF FF 00");
        memcpy(p, header.constData(), 16);
        const page::Header h = page::readHeader(p);
        // bit 7 of the seconds is not part of them
        QCOMPARE(h.time(), QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58), Qt::UTC));
        QCOMPARE(h.periodIndex, 11);
        QCOMPARE(h.batteryIndex, 3);
        QCOMPARE(int(h.channelMask), 0x0D);
        QCOMPARE(page::channelCount(h.channelMask), 3);
        QCOMPARE(h.sampleCount, 4);
        QCOMPARE(h.high2, uint16_t(1));
        QCOMPARE(h.high3, uint16_t(0xFFFF));
        QCOMPARE(page::fromBcd(0x1A), 0);
        QCOMPARE(page::toBcd(2026), uint8_t(0x26));

        uint8_t q[page::Size] = {};
        page::writeHeader(q, h);
        QCOMPARE(QByteArray(reinterpret_cast<char *>(q) + 2, 14),
                 header.mid(2, 14).replace(5, 1, "\x58"));
    }

    void samplesStayInsideThePage()
    {
        uint8_t p[page::Size] = {};
        QVERIFY(page::setSampleWord(p, 0, 0xA005));
        QCOMPARE(p[16], uint8_t(0x05));
        QCOMPARE(p[17], uint8_t(0xA0));
        QVERIFY(page::setSampleWord(p, page::SampleWords - 1, 0x1234));
        QVERIFY(!page::setSampleWord(p, page::SampleWords, 0x1234));
        QCOMPARE(page::sampleWord(p, page::SampleWords), uint16_t(0));
        QCOMPARE(page::samplesThatFit(3), 85);

        // X 0x123 (+291), Y 0xFFF (-1), Z 0x800 (-2048)
        const QByteArray rec = hex("23 FF 00 1F 08");
        memcpy(p + 16 + 5, rec.constData(), 5);
        const page::Accel a = page::accelRecord(p, 1);
        QCOMPARE(a.x, 291);
        QCOMPARE(a.y, -1);
        QCOMPARE(a.z, -2048);
        uint8_t q[page::Size] = {};
        QVERIFY(page::setAccelRecord(q, 1, a));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(q) + 21, 5), rec);
        QVERIFY(!page::setAccelRecord(q, page::AccelRecords, a));
    }

    void loraRequestsAndClockFields()
    {
        command::Block block = {0x01, 0x02, 0, 0, 0, 0, 0, 0, 0x55, 9, 10, 11, 12, 13, 14, 15, 16};
        const QByteArray body = lora::requestBody(0x00011234, 34, block);
        QCOMPARE(body.size(), 30);
        QCOMPARE(body.left(8), hex("01 22 00 01 12 34 0F 01"));
        QCOMPARE(body.mid(21, 2), hex("0E 0F")); // byte 16 of the block is not sent
        QCOMPARE(lora::acknowledgementWindowMs(8), 300);
        QCOMPARE(lora::acknowledgementWindowMs(34), 7236);
        QCOMPARE(lora::airTimeMs(32), 160);
        QCOMPARE(lora::airTimeMs(33), 1100);

        clockfields::write(block, QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58, 500)));
        QCOMPARE(QByteArray(reinterpret_cast<char *>(block.data()) + 2, 7),
                 hex("26 12 06 23 59 58 00"));
        QCOMPARE(block[16], uint8_t(64)); // 500 ms = 32 x 15.625
    }

    void hexTextHasTwoDigitsAndABlankPerByte()
    {
        QCOMPARE(hexText(hex("7E 00 0a FF")), QStringLiteral("7E 00 0A FF "));
        QCOMPARE(hexText(QByteArray()), QString());
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
