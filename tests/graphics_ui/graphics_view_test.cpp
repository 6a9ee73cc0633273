// SPDX-License-Identifier: MIT
// The graphics window's view and palette display: zoom and fit with centring, the palette
// grid and its marker, decimal and hexadecimal numbers, the background colour, the device
// preview and the reduction of the palette to 16-bit colours.
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

#include "graphics/view_maths.h"
#include "graphics_ui/palette_grid.h"
#include "graphics_ui/picture_view.h"
#include "window_fixture.h"

class GraphicsViewTest : public QObject {
    Q_OBJECT
private slots:
    void zoomHalvesAndDoubles() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("wide.bmp"), 100, 20, TestPalette(4), [](int, int) { return 0; }));
        f.load({f.path("wide.bmp")});
        auto* view = f.window->findChild<PictureView*>("pictureView");
        QCOMPARE(view->size(), QSize(100, 20));
        for (int i = 0; i < 4; ++i)
            f.child<QPushButton>("zoomOutButton")->click();
        QCOMPARE(f.window->zoomFactor(), 0.0625f);
        QCOMPARE(view->size(), QSize(6, 1));
        QCOMPARE(view->pos(), QPoint(0, 0));
        for (int i = 0; i < 6; ++i)
            f.child<QPushButton>("zoomInButton")->click();
        QCOMPARE(f.window->zoomFactor(), 4.0f);
        QCOMPARE(view->size(), QSize(400, 80));
        // The scroll range follows the zoomed picture.
        auto* box = f.child<QAbstractScrollArea>("scrollBox");
        QCOMPARE(box->horizontalScrollBar()->maximum(), 400 - box->viewport()->width());
    }

    void fittedCentresALargePicture() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("big.bmp"), 1200, 900, TestPalette(4),
                          [](int x, int) { return x & 3; }));
        f.load({f.path("big.bmp")});
        auto* view = f.window->findChild<PictureView*>("pictureView");
        auto* box = f.child<QAbstractScrollArea>("scrollBox");
        f.child<QCheckBox>("fittedCheck")->setChecked(true);

        const QSize port = box->viewport()->size();
        QCOMPARE(f.window->zoomFactor(), FitFactor(port.width(), port.height(), 1200, 900));
        QVERIFY(f.window->zoomFactor() < 1.0f);
        QCOMPARE(view->width(), ZoomedLength(1200, f.window->zoomFactor()));
        QCOMPARE(view->pos(), QPoint(CentredOffset(port.width(), view->width()),
                                     CentredOffset(port.height(), view->height())));
        QVERIFY(view->x() >= 0 && view->y() >= 0);
        QVERIFY(QRect(QPoint(0, 0), port).contains(view->geometry()));
        QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(!f.child<QPushButton>("zoomInButton")->isEnabled());
        QVERIFY(!f.child<QPushButton>("zoomOutButton")->isEnabled());

        // A resized window fits again.
        const float before = f.window->zoomFactor();
        f.window->resize(1300, 900);
        QCoreApplication::processEvents();
        QVERIFY(f.window->zoomFactor() != before);
        const QSize bigger = box->viewport()->size();
        QCOMPARE(f.window->zoomFactor(), FitFactor(bigger.width(), bigger.height(), 1200, 900));

        f.child<QCheckBox>("fittedCheck")->setChecked(false);
        QCOMPARE(f.window->zoomFactor(), 1.0f);
        QCOMPARE(view->size(), QSize(1200, 900));
        QCOMPARE(view->pos(), QPoint(0, 0));
        QVERIFY(f.child<QPushButton>("zoomInButton")->isEnabled());
        QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    }

    void numbersInDecimalAndHexadecimal() {
        WindowFixture f;
        std::vector<Rgb> palette = TestPalette(40);
        palette[26] = Rgb{0xAB, 0x05, 0xFF};
        QVERIFY(WriteBmp8(f.path("pal.bmp"), 4, 4, palette, [](int, int) { return 26; }));
        f.load({f.path("pal.bmp")});
        auto* grid = f.child<PaletteGrid>("paletteGrid");
        SendMouse(grid, QEvent::MouseButtonPress, PaletteGrid::cellOrigin(10, 1) + QPoint(7, 7),
                  Qt::LeftButton);
        QCOMPARE(f.window->selectedEntry(), 26);
        QCOMPARE(f.child<QLabel>("entryIndexLabel")->text(), QStringLiteral("26"));
        QCOMPARE(f.child<QLabel>("redLabel")->text(), QStringLiteral("171"));
        QCOMPARE(f.child<QLabel>("greenLabel")->text(), QStringLiteral("5"));
        QCOMPARE(f.child<QLabel>("blueLabel")->text(), QStringLiteral("255"));
        QCOMPARE(f.child<QFrame>("selectedSwatch")->palette().color(QPalette::Window),
                 QColor(0xAB, 0x05, 0xFF));

        f.child<QCheckBox>("useTransparentCheck")->setChecked(true);
        f.child<QPushButton>("transFromPaletteButton")->click();
        QCOMPARE(f.child<QLineEdit>("transIndexEdit")->text(), QStringLiteral("26"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("26"));

        f.trigger("hexadecimalAction");
        QVERIFY(!f.child<QAction>("decimalAction")->isChecked());
        QCOMPARE(f.child<QLabel>("entryIndexLabel")->text(), QStringLiteral("1A"));
        QCOMPARE(f.child<QLabel>("redLabel")->text(), QStringLiteral("AB"));
        QCOMPARE(f.child<QLabel>("greenLabel")->text(), QStringLiteral("05"));
        QCOMPARE(f.child<QLabel>("blueLabel")->text(), QStringLiteral("FF"));
        QCOMPARE(f.child<QLineEdit>("transIndexEdit")->text(), QStringLiteral("1A"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("0x1A"));

        f.trigger("decimalAction");
        QCOMPARE(f.child<QLabel>("entryIndexLabel")->text(), QStringLiteral("26"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("26"));
    }

    void convertTo16BitReducesThePalette() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("c.bmp"), 2, 1, {Rgb{9, 17, 255}, Rgb{7, 7, 7}},
                          [](int x, int) { return x; }));
        f.load({f.path("c.bmp")});
        f.trigger("convertPaletteAction");
        QCOMPARE(f.window->paletteTable()[0], (PaletteEntry{8, 16, 248, 0}));
        QCOMPARE(f.window->paletteTable()[1], (PaletteEntry{0, 0, 0, 0}));
        const QImage grid = f.child<PaletteGrid>("paletteGrid")->grab().toImage();
        QCOMPARE(grid.pixelColor(PaletteGrid::cellOrigin(0, 0)), QColor(8, 16, 248));
        QCOMPARE(f.child<QLabel>("blueLabel")->text(), QStringLiteral("248"));
    }
};

QTEST_MAIN(GraphicsViewTest)
#include "graphics_view_test.moc"
