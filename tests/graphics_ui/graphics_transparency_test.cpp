// SPDX-License-Identifier: MIT
// Choosing the transparent colour: sampling the picture under the pointer, accepting with
// the left button (stored into the row and written into its Vela image file), going back
// with the right button, and the guard that the picture ignores clicks without "use tr.".
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "graphics_ui/picture_view.h"
#include "window_fixture.h"

namespace {

std::uint32_t Le32(const QByteArray& bytes, int at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return v;
}

// A 4 × 4 picture whose right half is index 7 and left half index x + 4y.
std::uint32_t Tiles(int x, int y) {
    return x >= 2 ? 7 : static_cast<std::uint32_t>(x + 4 * y);
}

} // namespace

class GraphicsTransparencyTest : public QObject {
    Q_OBJECT
private slots:
    void pickedColourIsSavedInTheVxgHeader() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("tiles.bmp"), 4, 4, TestPalette(16), Tiles));
        f.load({f.path("tiles.bmp")});
        auto* view = f.window->findChild<PictureView*>("pictureView");
        f.child<QPushButton>("zoomInButton")->click(); // 2 view pixels a picture pixel
        f.child<QCheckBox>("useTransparentCheck")->setChecked(true);
        QCOMPARE(f.text(0, kColUseTr), QStringLiteral("yes"));
        QVERIFY(f.child<QPushButton>("pickTransparentButton")->isEnabled());
        QVERIFY(f.child<QLineEdit>("transIndexEdit")->isEnabled());

        // Moving without picking samples nothing.
        SendMouse(view, QEvent::MouseMove, QPoint(7, 1));
        QCOMPARE(f.window->transIndex(), 0);

        f.child<QPushButton>("pickTransparentButton")->click();
        QVERIFY(f.window->pickingTransparent());
        QVERIFY(!f.child<QPushButton>("pickTransparentButton")->isEnabled());
        SendMouse(view, QEvent::MouseMove, QPoint(3, 5)); // picture pixel (1, 2): index 9
        QCOMPARE(f.window->transIndex(), 9);
        QCOMPARE(f.child<QLineEdit>("transIndexEdit")->text(), QStringLiteral("9"));
        const Rgb nine = TestPalette(16)[9];
        QCOMPARE(f.child<QFrame>("transparentSwatch")->palette().color(QPalette::Window),
                 QColor(nine.red, nine.green, nine.blue));
        SendMouse(view, QEvent::MouseMove, QPoint(7, 1)); // pixel (3, 0): index 7
        QCOMPARE(f.window->transIndex(), 7);
        SendMouse(view, QEvent::MouseMove, QPoint(500, 1)); // outside: no change
        QCOMPARE(f.window->transIndex(), 7);

        SendMouse(view, QEvent::MouseButtonPress, QPoint(7, 1), Qt::LeftButton);
        QVERIFY(!f.window->pickingTransparent());
        QVERIFY(f.child<QPushButton>("pickTransparentButton")->isEnabled());
        QCOMPARE(f.window->acceptedTransIndex(), 7);
        QCOMPARE(f.text(0, kColTransIndex), QStringLiteral("7"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("7"));
        // The picture is drawn without its index-7 pixels.
        QCOMPARE(view->drawnImage().pixelColor(3, 0).alpha(), 0);
        QCOMPARE(view->drawnImage().pixelColor(0, 0).alpha(), 255);

        f.dialogs.folderAnswers = {f.dir.path()};
        f.trigger("saveImagesVxgAction");
        QCOMPARE(f.dialogs.folderTitles.value(0),
                 QStringLiteral("Choose folder where to save file(s)"));
        QCOMPARE(f.dialogs.folderStarts.value(0), QDir::homePath());
        QFile file(f.path("tiles.vxg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.left(4), QByteArray("vxg2"));
        QCOMPARE(Le32(bytes, 12), std::uint32_t{7}); // 8-bit indices (6) and transparency (1)
        QCOMPARE(Le32(bytes, 16), std::uint32_t{4});
        QCOMPARE(Le32(bytes, 24), std::uint32_t{7});
        QVERIFY(f.dialogs.messages.isEmpty());
    }
};

QTEST_MAIN(GraphicsTransparencyTest)
#include "graphics_transparency_test.moc"
