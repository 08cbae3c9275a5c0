#include "firmwareimage.h"

#include <QtTest>

using firmware::Target;
Q_DECLARE_METATYPE(Target)

namespace
{
// Image bytes that are never the filler, so the filler at a frame's end can be counted.
QByteArray patternImage(int size)
{
    QByteArray image(size, 0);
    for (int i = 0; i < size; ++i)
        image[i] = char(i % 200);
    return image;
}
} // namespace

class TestFirmwareImage : public QObject
{
    Q_OBJECT
private slots:
    void relaysAreTheEightThousandRange_data()
    {
        QTest::addColumn<int>("serial");
        QTest::addColumn<Target>("target");
        QTest::newRow("sensor below") << 0x7FFF << Target::Sensor;
        QTest::newRow("first relay") << 0x8000 << Target::Relay;
        QTest::newRow("last relay") << 0x8FFF << Target::Relay;
        QTest::newRow("always listening") << 0x9000 << Target::Sensor;
    }
    void relaysAreTheEightThousandRange()
    {
        QFETCH(int, serial);
        QFETCH(Target, target);
        QCOMPARE(firmware::targetFor(uint16_t(serial)), target);
    }

    void linesBecomeBytesInFileOrder()
    {
        // The last line has no line end: the loaders get the same bytes either way.
        const QByteArray text("S00600004844521B\nS1050000AA55FB\nS9030000FC");
        const QByteArray expected = QByteArray::fromHex("5330"
                                                        "060000484452"
                                                        "1B"
                                                        "5331"
                                                        "050000AA55FB"
                                                        "5339"
                                                        "030000FC");
        QCOMPARE(firmware::imageFromText(text), expected);
    }

    // frame: the frame looked at; first: the image index of its first byte; carried: image
    // bytes in it; counter: the relay's counter bytes (low, high).
    void pagesAreCutIntoFramesAndPadded_data()
    {
        QTest::addColumn<Target>("target");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("frame");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("carried");
        QTest::addColumn<QByteArray>("counter");
        QTest::newRow("relay one page: ninth frame ends with 5 filler")
            << Target::Relay << 256 << 9 << 8 << 232 << 24 << QByteArray::fromHex("0800");
        QTest::newRow("relay one byte more starts a new page")
            << Target::Relay << 257 << 10 << 9 << 256 << 1 << QByteArray::fromHex("0900");
        QTest::newRow("relay single byte")
            << Target::Relay << 1 << 1 << 0 << 0 << 1 << QByteArray::fromHex("0000");
        QTest::newRow("relay counter high byte")
            << Target::Relay << 76800 << 2700 << 2699 << 76776 << 24 << QByteArray::fromHex("8B0A");
        QTest::newRow("sensor page: fifth frame ends with 7 filler")
            << Target::Sensor << 529 << 6 << 4 << 428 << 100 << QByteArray();
        QTest::newRow("sensor last byte alone with 106 filler")
            << Target::Sensor << 529 << 6 << 5 << 528 << 1 << QByteArray();
        QTest::newRow("sensor exactly one frame")
            << Target::Sensor << 107 << 1 << 0 << 0 << 107 << QByteArray();
        QTest::newRow("sensor one byte over a frame")
            << Target::Sensor << 108 << 2 << 1 << 107 << 1 << QByteArray();
    }
    void pagesAreCutIntoFramesAndPadded()
    {
        QFETCH(Target, target);
        QFETCH(int, size);
        QFETCH(int, frames);
        QFETCH(int, frame);
        QFETCH(int, first);
        QFETCH(int, carried);
        QFETCH(QByteArray, counter);
        const int slotCount = target == Target::Relay ? 29 : 107;
        const QByteArray image = patternImage(size);
        const QVector<firmware::Frame> cut = firmware::pageFrames(image, target);
        QCOMPARE(cut.size(), frames);
        const QByteArray data = cut[frame].data;
        QCOMPARE(data.size(), counter.size() + slotCount);
        QCOMPARE(data.left(counter.size()), counter);
        const QByteArray slotBytes = data.mid(counter.size());
        QCOMPARE(slotBytes.left(carried), image.mid(first, carried));
        QCOMPARE(slotBytes.mid(carried), QByteArray(slotCount - carried, char(0xFF)));
        QCOMPARE(cut[frame].imageEnd, first + carried);
        QCOMPARE(cut.last().imageEnd, size);

        // Nothing lost or repeated: the image bytes of all frames in order are the image.
        QByteArray joined;
        for (const firmware::Frame &f : cut) {
            const QByteArray s = f.data.mid(counter.size());
            joined += s.left(f.imageEnd - joined.size());
        }
        QCOMPARE(joined, image);
    }

    void bodiesAddressTheDevice_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("relay end of a 256-byte image")
            << firmware::endOfImageBody(Target::Relay, 0x8001, 256)
            << QByteArray::fromHex("0100800101"
                                   "7AA800000100");
        QTest::newRow("sensor end, size most significant first")
            << firmware::endOfImageBody(Target::Sensor, 0x1234, 0x01020304)
            << QByteArray::fromHex("0101123401"
                                   "7AA801020304");
        QTest::newRow("presence probe")
            << firmware::probeBody(0x0A0B) << QByteArray::fromHex("01010A0B01FF");
        QTest::newRow("relay page frame")
            << firmware::frameBody(Target::Relay, 0x8F00, QByteArray::fromHex("0300AB"))
            << QByteArray::fromHex("01008F00010300AB");
    }
    void bodiesAddressTheDevice()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, expected);
        QCOMPARE(body.toHex(), expected.toHex());
    }
};

QTEST_GUILESS_MAIN(TestFirmwareImage)
#include "tst_firmwareimage.moc"
