#include "framedecoder.h"

#include <QtTest>

using framedecode::Direction;
using framedecode::FrameCutter;
using framedecode::Line;
using framedecode::Piece;

Q_DECLARE_METATYPE(Direction)
Q_DECLARE_METATYPE(Line)
Q_DECLARE_METATYPE(Piece)

namespace
{
QByteArray bytes(const char *hexText)
{
    return QByteArray::fromHex(QByteArray(hexText).replace(' ', ""));
}

// A receive frame of two pages from 4002 (pages 120 and 121); the first page's header says
// 2024-05-01 12:30:00, period index 3, channels 0x07, 80 samples. The checksum is summed here.
QByteArray twoPageFrame()
{
    QByteArray body = bytes("81 40 02 28 00  24 00 78 00 02");
    QByteArray page = bytes("00 00 24 05 01 12 30 00 03 07 50");
    page.append(QByteArray(528 - page.size(), '\0'));
    body.append(page).append(QByteArray(528, '\0'));
    unsigned sum = 0;
    for (char c : body)
        sum += uint8_t(c);
    return bytes("7E 04 2A") + body + char(0xFF - (sum & 0xFF));
}
} // namespace

class TestFrameDecoder : public QObject
{
    Q_OBJECT
private slots:
    void everyKindOfFrameIsExplained_data()
    {
        QTest::addColumn<Direction>("direction");
        QTest::addColumn<Line>("line");
        QTest::addColumn<Piece>("piece");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("reason"); // empty: taken

        const auto in = Direction::In;
        const auto out = Direction::Out;
        const auto api = Line::Api;
        const auto lora = Line::Lora;
        const auto frame = Piece::Frame;

        QTest::newRow("read channel")
            << out << api << frame << bytes("7E 00 01 37 C8") << "read radio channel"
            << "";
        QTest::newRow("channel answer")
            << in << api << frame << bytes("7E 00 07 81 12 34 28 00 37 0F CA")
            << "from 1234 (-40 dBm): radio channel 15"
            << "";
        QTest::newRow("download command")
            << out << api << frame
            << bytes("7E 00 20 01 00 10 01 01 C0 00 00 10 01 0F 00 10 00 00 00 00 00 00 00 00 00 "
                     "00 00 00 00 00 00 00 18 76 C1 AD")
            << "to 1001: download all"
            << "";
        QTest::newRow("page request")
            << out << api << frame << bytes("7E 00 07 24 40 02 00 78 00 02 1F")
            << "page request to 4002: 2 pages from 120"
            << "";
        QTest::newRow("sensor answer")
            << in << api << frame
            << bytes("7E 00 3A 81 10 01 28 00 C0 00 00 10 01 0F 24 05 01 12 00 00 24 04 30 08 00 "
                     "00 03 00 C8 00 00 01 00 00 0A 00 D1 03 07 00 00 68 00 00 00 00 00 00 00 00 "
                     "05 00 00 00 00 00 00 00 2F 42 C1 79")
            << "from 1001 (-40 dBm): answer of 1001 (fn 0F): type 3, pages 10 to 209, clock "
               "2024-05-01 12:00:00"
            << "";
        QTest::newRow("sensor answer, CRC wrong")
            << in << api << frame
            << bytes("7E 00 3A 81 10 01 28 00 C0 00 00 10 01 0F 24 05 01 12 00 00 24 04 30 08 00 "
                     "00 03 00 C8 00 00 01 00 00 0A 00 D1 03 06 00 00 68 00 00 00 00 00 00 00 00 "
                     "05 00 00 00 00 00 00 00 2F 42 C1 7A")
            << "from 1001 (-40 dBm): sensor frame"
            << "sensor frame: CRC error";
        QTest::newRow("RSSI list")
            << in << api << frame << bytes("7E 00 0A 81 80 01 30 00 31 10 01 2D 02 5C")
            << "from 8001 (-48 dBm): RSSI list, 1 entry"
            << "";
        QTest::newRow("two pages")
            << in << api << frame << twoPageFrame() << "from 4002 (-40 dBm): pages 120 and 121"
            << "";
        QTest::newRow("bad checksum")
            << in << api << frame << bytes("7E 00 07 81 12 34 28 00 37 0F CB")
            << "from 1234 (-40 dBm): radio channel 15"
            << "bad checksum (received CB, computed CA)";
        QTest::newRow("unknown type")
            << in << api << frame << bytes("7E 00 02 8A 00 75") << "frame type 8A, 2 bytes"
            << "unknown frame type 8A (the dongle sends 81 and 90)";
        QTest::newRow("cut short")
            << in << api << frame << bytes("7E 00 07 81 12 34") << "frame of 11 bytes"
            << "cut short: 6 of 11 bytes";
        QTest::newRow("length no frame has")
            << in << api << frame << bytes("7E 12 34") << "frame header"
            << "length 4660: more than the 1296 a frame may carry";
        QTest::newRow("stray bytes")
            << in << api << Piece::Stray << bytes("41 42 43") << "3 bytes outside any frame"
            << "no start byte 7E";
        QTest::newRow("version byte")
            << in << api << Piece::Raw << bytes("68") << "unframed byte 68 (dongle version 'h')"
            << "";

        QTest::newRow("LoRa request")
            << out << lora << frame
            << bytes("7E 00 1E 01 08 00 00 04 30 0F 00 13 00 78 64 00 00 00 00 00 00 00 00 00 00 "
                     "00 00 00 00 00 00 00 00 C4")
            << "request to 0430, preamble 8: write EEPROM at 0x0078 = 0x64, no restart"
            << "";
        QTest::newRow("LoRa page request")
            << out << lora << frame
            << bytes("7E 00 1E 01 22 00 00 40 02 0F 80 00 00 7B 00 00 00 00 00 00 00 00 00 00 00 "
                     "00 00 00 00 00 00 00 00 90")
            << "request to 4002, preamble 34 (wake-up): page request, page 123"
            << "";
        QTest::newRow("LoRa acknowledgement")
            << in << lora << frame << bytes("7E 00 02 06 01 F8") << "acknowledgement: request taken"
            << "";
        QTest::newRow("LoRa answer")
            << in << lora << frame
            << bytes("7E 00 31 02 50 24 05 01 12 00 00 24 04 30 08 00 00 03 00 C8 00 00 01 00 00 "
                     "0A 00 D1 03 07 00 00 68 00 00 00 00 00 00 00 00 05 00 00 00 00 00 00 00 2F "
                     "42 C1 C1")
            << "answer (-57 dBm): type 3, pages 10 to 209, clock 2024-05-01 12:00:00"
            << "";
        QByteArray fragment = bytes("7E 00 3A 02 50 03 00 7B") + QByteArray(53, '\0');
        fragment.append(char(0xFF - ((0x02 + 0x50 + 0x03 + 0x7B) & 0xFF)));
        QTest::newRow("LoRa fragment")
            << in << lora << frame << fragment << "page 123, fragment 3 of 0-9 (-57 dBm)"
            << "";
        QTest::newRow("LoRa radio report") << in << lora << frame << bytes("7E 00 03 11 50 0A 94")
                                           << "radio report: RSSI -57 dBm, status a"
                                           << "";
        QTest::newRow("LoRa length 66")
            << in << lora << frame << bytes("7E 00 42") << "frame header"
            << "length 66: a LoRa frame carries 1 to 65 bytes";
        QTest::newRow("LoRa bad checksum")
            << in << lora << frame << bytes("7E 00 02 06 01 F7") << "acknowledgement: request taken"
            << "bad checksum (received F7, computed F8)";
    }

    void everyKindOfFrameIsExplained()
    {
        QFETCH(Direction, direction);
        QFETCH(Line, line);
        QFETCH(Piece, piece);
        QFETCH(QByteArray, frame);
        QFETCH(QString, summary);
        QFETCH(QString, reason);
        const framedecode::Decoded d = framedecode::decode(direction, line, piece, frame);
        QCOMPARE(d.summary, summary);
        QCOMPARE(d.refused, !reason.isEmpty());
        QCOMPARE(d.reason, reason);
    }

    void aPageHeaderIsInTheFields()
    {
        const framedecode::Decoded d =
            framedecode::decode(Direction::In, Line::Api, Piece::Frame, twoPageFrame());
        QStringList fields;
        for (const framedecode::Field &f : d.fields)
            fields << f.name + ": " + f.value;
        QVERIFY2(fields.contains("page time: 2024-05-01 12:30:00"), qPrintable(fields.join(", ")));
        QVERIFY(fields.contains("channels: 0x07"));
        QVERIFY(fields.contains("samples: 80"));
    }

    // The pieces are the same however the bytes arrive: in one read or a byte at a time.
    void theCutterCutsAsTheLinkReads_data()
    {
        QTest::addColumn<Line>("line");
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QStringList>("pieces"); // "F:<hex>" frame, "S:<hex>" stray

        QTest::newRow("802.15.4") << Line::Api
                                  << bytes("41 42 7E 00 01 37 C8 7E 12 34 7E 00 02 8A 00 75 7E 00")
                                  << QStringList{"S:4142", "F:7e000137c8", "F:7e1234",
                                                 "F:7e00028a0075"};
        // The LoRa reader looks for the next start byte right after one it refused, so a start
        // byte inside a refused header begins the next frame.
        QTest::newRow("LoRa") << Line::Lora << bytes("7E 00 42 01 7E 7E 00 02 06 01 F8 55")
                              << QStringList{"F:7e0042", "S:01", "F:7e", "F:7e00020601f8", "S:55"};
    }

    void theCutterCutsAsTheLinkReads()
    {
        QFETCH(Line, line);
        QFETCH(QByteArray, stream);
        QFETCH(QStringList, pieces);
        const auto run = [&](bool byteByByte) {
            FrameCutter cutter;
            cutter.setLine(line);
            QVector<FrameCutter::Cut> cuts;
            if (byteByByte)
                for (char c : stream)
                    cutter.feed(QByteArray(1, c), cuts);
            else
                cutter.feed(stream, cuts);
            QStringList got;
            QByteArray stray;
            for (const FrameCutter::Cut &c : cuts) {
                // Byte by byte a stray run comes a byte a piece: joined, it is the same run.
                if (c.piece == Piece::Stray) {
                    stray += c.bytes;
                    continue;
                }
                if (!stray.isEmpty())
                    got << "S:" + stray.toHex();
                stray.clear();
                got << "F:" + c.bytes.toHex();
            }
            if (!stray.isEmpty())
                got << "S:" + stray.toHex();
            return std::make_pair(got, cutter.takeHeld());
        };
        const auto bulk = run(false);
        const auto single = run(true);
        QCOMPARE(bulk.first, pieces);
        QCOMPARE(single.first, pieces);
        QCOMPARE(single.second, bulk.second);
    }

    void aFrameCutShortIsHeldUntilTheLinkGivesUp()
    {
        FrameCutter cutter;
        QVector<FrameCutter::Cut> cuts;
        cutter.feed(bytes("7E 00 07 81 12"), cuts);
        QVERIFY(cuts.isEmpty());
        QCOMPARE(cutter.takeHeld(), bytes("7E 00 07 81 12"));
        cutter.feed(bytes("34 28"), cuts);
        QCOMPARE(cuts.size(), 1);
        QCOMPARE(cuts[0].piece, Piece::Stray);
    }
};

QTEST_GUILESS_MAIN(TestFrameDecoder)
#include "tst_framedecoder.moc"
