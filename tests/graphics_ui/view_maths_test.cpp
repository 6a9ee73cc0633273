// The picture view's arithmetic (zoomed sizes, fit, centring, pointer to pixel) and the
// device preview with the palette reduction.
#include <QTest>
#include <cmath>
#include <limits>

#include "graphics/device_preview.h"
#include "graphics/view_maths.h"

class ViewMathsTest : public QObject {
    Q_OBJECT
private slots:
    void zoomedLengthTruncatesAndClamps() {
        QCOMPARE(ZoomedLength(100, 0.0625f), 6);
        QCOMPARE(ZoomedLength(99, 0.5f), 49);
        QCOMPARE(ZoomedLength(3, 0.33f), 0);
        // An unbounded factor ends at the longest view, never wraps.
        QCOMPARE(ZoomedLength(1000, 1e30f), kMaxViewLength);
        QCOMPARE(ZoomedLength(1000, std::numeric_limits<float>::infinity()), kMaxViewLength);
        QCOMPARE(ZoomedLength(1000, std::nanf("")), 0);
        QCOMPARE(ZoomedLength(0, 8.0f), 0);
    }

    void fitTakesTheSmallerRatio() {
        QCOMPARE(FitFactor(400, 300, 800, 300), 0.5f);
        QCOMPARE(FitFactor(400, 300, 100, 600), 0.5f);
        QCOMPARE(FitFactor(400, 300, 100, 100), 3.0f);
        QCOMPARE(FitFactor(400, 300, 0, 0), 1.0f);
    }

    void centringTruncatesTowardZero() {
        QCOMPARE(CentredOffset(400, 300), 50);
        QCOMPARE(CentredOffset(401, 300), 50);
        QCOMPARE(CentredOffset(100, 103), -1);
        QCOMPARE(CentredOffset(100, 100), 0);
    }

    void pointerMapsToPicturePixels() {
        int x = -1, y = -1;
        QVERIFY(ViewToPicturePixel(5, 7, 2.0f, 10, 10, x, y));
        QCOMPARE(x, 2);
        QCOMPARE(y, 3);
        QVERIFY(ViewToPicturePixel(5, 3, 0.0625f, 100, 100, x, y));
        QCOMPARE(x, 80);
        QCOMPARE(y, 48);
        x = y = -1;
        QVERIFY(!ViewToPicturePixel(20, 0, 2.0f, 10, 10, x, y));
        QVERIFY(!ViewToPicturePixel(0, -1, 2.0f, 10, 10, x, y));
        QVERIFY(!ViewToPicturePixel(0, 0, 0.0f, 10, 10, x, y));
        QCOMPARE(x, -1);
    }

    void previewOfAPalettisedPicture() {
        Picture p;
        p.width = 2;
        p.height = 2;
        p.format = PixelFormat::Bits8;
        p.palette = {Rgb{1, 2, 3}, Rgb{4, 5, 6}};
        p.indices = {0, 1, 1, 2};
        PaletteTable table{};
        table[0] = {9, 16, 24, 0};
        table[1] = {255, 255, 255, 0};
        table[2] = {7, 7, 7, 0};
        // Colours come from the table (the palette the game gets), reduced to 5 bits.
        PreviewImage off = DevicePreview(p, table, false, 1);
        QCOMPARE(off.colors[0], (Rgb{8, 16, 24}));
        QCOMPARE(off.colors[1], (Rgb{255, 255, 255}));
        QCOMPARE(off.colors[3], (Rgb{0, 0, 0}));
        QCOMPARE(off.transparent, (std::vector<std::uint8_t>{0, 0, 0, 0}));
        PreviewImage on = DevicePreview(p, table, true, 1);
        QCOMPARE(on.transparent, (std::vector<std::uint8_t>{0, 1, 1, 0}));
    }

    void previewOfADirectColourPicture() {
        Picture p;
        p.width = 2;
        p.height = 1;
        p.format = PixelFormat::Bits24;
        p.colors = {Rgb{255, 0, 7}, Rgb{0x84, 0x42, 0x21}};
        const PreviewImage out = DevicePreview(p, PaletteTable{}, true, 0);
        QCOMPARE(out.colors[0], (Rgb{255, 0, 0}));
        QCOMPARE(out.colors[1], (Rgb{0x84, 0x42, 0x21}));
        QCOMPARE(out.transparent, (std::vector<std::uint8_t>{0, 0}));
    }

    void previewOfABrokenPictureReadsNothingOutside() {
        Picture p;
        p.width = 4;
        p.height = 4;
        p.format = PixelFormat::Bits8;
        p.indices = {1, 2};
        const PreviewImage out = DevicePreview(p, PaletteTable{}, true, 1);
        QCOMPARE(out.colors.size(), std::size_t{16});
        QCOMPARE(out.transparent, std::vector<std::uint8_t>(16, 0));
    }

    void paletteReductionClearsTheLowBits() {
        PaletteTable table{};
        for (std::size_t i = 0; i < table.size(); ++i)
            table[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                        static_cast<std::uint8_t>(i * 3), 5};
        ReduceToDevicePalette(table);
        QCOMPARE(table[9], (PaletteEntry{8, 240, 24, 5}));
        for (const PaletteEntry& e : table)
            QVERIFY(!LosesPrecision(e));
    }
};

QTEST_APPLESS_MAIN(ViewMathsTest)
#include "view_maths_test.moc"
