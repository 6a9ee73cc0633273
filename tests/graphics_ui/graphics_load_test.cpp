// SPDX-License-Identifier: MIT
// Loading pictures into the graphics window and working with the rows: the open dialog's
// filter, the rows' columns, what selecting a row shows, the name boxes and their chained
// updates, and delete, reset and select all with their questions.
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTreeView>

#include "graphics/vxg.h"
#include "graphics_ui/palette_grid.h"
#include "graphics_ui/picture_view.h"
#include "window_fixture.h"

class GraphicsLoadTest : public QObject {
    Q_OBJECT
private slots:
    void twoPicturesGiveTwoRowsAndTheLastIsShown() {
        WindowFixture f;
        const QString a = f.path("abcdefghijklmnopq.bmp"); // a 17-character title
        const QString b = f.path("sky.two.jpg.bmp");
        QVERIFY(WriteBmp8(a, 3, 5, TestPalette(16), [](int x, int y) { return x + y; }));
        QVERIFY(WriteBmp24(b, 7, 2, Rgb{10, 20, 30}));
        f.load({a, b});

        QCOMPARE(f.dialogs.filters.value(0),
                 QStringLiteral("all available image files (*.bmp, *.jpg, *.png)|*.bmp;*.jpg;*.png"
                                "|windows bitmap file (*.bmp)|*.bmp"
                                "|jpeg image file (*.jpg)|*.jpg"
                                "|png image file (*.png)|*.png"
                                "|Vela image file (*.vxg)|*.vxg"));
        ImageListModel* model = f.window->imageModel();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(f.text(0, kColFileNamePc), QStringLiteral("abcdefghijklmnopq.bmp"));
        QCOMPARE(f.text(0, kColVarName), QStringLiteral("abcdefghijklmnopq"));
        QCOMPARE(f.text(0, kColWidth), QStringLiteral("3"));
        QCOMPARE(f.text(0, kColHeight), QStringLiteral("5"));
        QCOMPARE(f.text(0, kColBpp), QStringLiteral("8"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("0"));
        QCOMPARE(f.text(0, kColUseTr), QStringLiteral("no"));
        QCOMPARE(f.text(0, kColTransIndex), QStringLiteral("0"));
        QCOMPARE(f.text(0, kColFullPath), a);
        QCOMPARE(model->data(model->index(0, kColCheck), Qt::CheckStateRole).toInt(),
                 int(Qt::Checked));
        // The row not yet selected keeps the first 8 characters of its title.
        QCOMPARE(f.text(0, kColFileNameVx), QStringLiteral("abcdefgh"));
        QCOMPARE(f.text(1, kColVarName), QStringLiteral("sky"));
        QCOMPARE(f.text(1, kColBpp), QStringLiteral("24"));

        // The last row appended is selected and shown; a 24-bit picture has no palette.
        QCOMPARE(f.window->selectedRow(), 1);
        QCOMPARE(f.child<QLabel>("pictureCaption")->text(),
                 QStringLiteral("'sky.two.jpg.bmp' (7 * 2)"));
        QVERIFY(!f.child<PaletteGrid>("paletteGrid")->isVisible());
        QVERIFY(f.child<QLabel>("noPaletteLabel")->isVisible());
        QVERIFY(f.child<QTreeView>("imageList")->isColumnHidden(kColTransIndex));
        QVERIFY(f.child<QTreeView>("imageList")->isColumnHidden(kColFullPath));

        // Selecting the first row shows its palette and names; its device name stays at the
        // first 8 characters of its variable name.
        f.window->selectRow(0);
        QCOMPARE(f.child<QLabel>("pictureCaption")->text(),
                 QStringLiteral("'abcdefghijklmnopq.bmp' (3 * 5)"));
        QVERIFY(f.child<PaletteGrid>("paletteGrid")->isVisible());
        const std::vector<Rgb> palette = TestPalette(16);
        for (std::size_t i = 0; i < palette.size(); ++i) {
            const PaletteEntry& e = f.window->paletteTable()[i];
            QCOMPARE((Rgb{e.red, e.green, e.blue}), palette[i]);
        }
        QCOMPARE(f.child<QLineEdit>("varNameEdit")->text(), QStringLiteral("abcdefghijklmnopq"));
        QCOMPARE(f.child<QLineEdit>("vxNameEdit")->text(), QStringLiteral("abcdefgh"));
        QCOMPARE(f.text(0, kColFileNameVx), QStringLiteral("abcdefgh"));
        QCOMPARE(f.window->findChild<PictureView*>("pictureView")->size(), QSize(3, 5));
    }

    void typingNamesUpdatesTheRow() {
        WindowFixture f;
        const QString a = f.path("pic.bmp");
        QVERIFY(WriteBmp8(a, 2, 2, TestPalette(4), [](int, int) { return 1; }));
        f.load({a});
        auto* var = f.child<QLineEdit>("varNameEdit");
        auto* vx = f.child<QLineEdit>("vxNameEdit");
        var->selectAll();
        QTest::keyClicks(var, "hero_sprite");
        QCOMPARE(f.text(0, kColVarName), QStringLiteral("hero_sprite"));
        QCOMPARE(f.text(0, kColFileNameVx), QStringLiteral("hero_spr"));
        QCOMPARE(vx->text(), QStringLiteral("hero_spr"));
        // The device name takes no more than 8 characters of typing.
        QTest::keyClick(vx, Qt::Key_Backspace);
        QTest::keyClicks(vx, "xyz");
        QCOMPARE(vx->text(), QStringLiteral("hero_spx"));
        QCOMPARE(f.text(0, kColFileNameVx), QStringLiteral("hero_spx"));
        // A name that is no C identifier is refused: the row keeps its last good name.
        QTest::keyClicks(var, "-2");
        QCOMPARE(f.text(0, kColVarName), QStringLiteral("hero_sprite"));
        QVERIFY(f.window->statusBar()->currentMessage().contains(QStringLiteral("'hero_sprite-2'")));
        QCOMPARE(f.text(0, kColFileNameVx), QStringLiteral("hero_spx"));
        QTest::keyClick(var, Qt::Key_Return);
        QCOMPARE(f.dialogs.messages, QStringList{QStringLiteral(
                                         "'hero_sprite-2' is not a C variable name: use letters, "
                                         "digits and _, not starting with a digit")});
        QCOMPARE(var->text(), QStringLiteral("hero_sprite"));
        // Reset clears the file-info boxes with the rows.
        f.dialogs.confirmAnswers = {true};
        f.child<QPushButton>("resetButton")->click();
        QCOMPARE(var->text(), QString());
        QCOMPARE(vx->text(), QString());
    }

    void badFilesAreReported() {
        WindowFixture f;
        const QString good = f.path("good.bmp");
        const QString broken = f.path("broken.bmp");
        const QString after = f.path("after.bmp");
        QVERIFY(WriteBmp8(good, 2, 2, TestPalette(4), [](int, int) { return 0; }));
        QVERIFY(WriteBytes(broken, {'B', 'M', 1, 2, 3}));
        QVERIFY(WriteBmp8(after, 2, 2, TestPalette(4), [](int, int) { return 0; }));
        // A file that cannot be decoded is reported; the others load.
        f.load({good, broken, after});
        QCOMPARE(f.window->imageModel()->rowCount(), 2);
        QCOMPARE(f.dialogs.messages, QStringList{QStringLiteral(
                                         "'broken.bmp' is damaged or not a picture of its type")});
        QCOMPARE(f.window->selectedRow(), 1);
        QCOMPARE(f.text(1, kColVarName), QStringLiteral("after"));
        // A cancelled dialog changes nothing.
        f.trigger("openImagesAction");
        QCOMPARE(f.window->imageModel()->rowCount(), 2);
    }

    void vxgFilesLoadWithTheirTransparency() {
        WindowFixture f;
        Picture p;
        p.width = 2;
        p.height = 3;
        p.format = PixelFormat::Bits8;
        p.indices = {1, 2, 3, 4, 5, 6};
        VxgImage image;
        QVERIFY(VxgFromPicture(p, true, 5, image) == VxgResult::Ok);
        const QString path = f.path("tiles.vxg");
        QVERIFY(VxgWrite(QFile::encodeName(path).toStdString(), image) == VxgResult::Ok);
        f.load({path});
        QCOMPARE(f.window->imageModel()->rowCount(), 1);
        QCOMPARE(f.text(0, kColUseTr), QStringLiteral("yes"));
        QCOMPARE(f.text(0, kColTransIndex), QStringLiteral("5"));
        QCOMPARE(f.text(0, kColTrColor), QStringLiteral("5"));
        QCOMPARE(f.window->imageModel()->item(0).picture.indices, p.indices);
        QVERIFY(f.child<QCheckBox>("useTransparentCheck")->isChecked());
    }

    void deleteResetAndSelectAll() {
        WindowFixture f;
        QStringList paths;
        for (const char* name : {"one.bmp", "two.bmp", "three.bmp"}) {
            paths << f.path(QString::fromLatin1(name));
            QVERIFY(WriteBmp8(paths.back(), 2, 2, TestPalette(4), [](int, int) { return 0; }));
        }
        f.load(paths);
        ImageListModel* model = f.window->imageModel();
        model->setData(model->index(0, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        model->setData(model->index(2, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        f.child<QPushButton>("selectAllButton")->click();
        for (int row = 0; row < 3; ++row)
            QVERIFY(model->item(row).checked);

        f.window->selectRow(1);
        f.dialogs.confirmAnswers = {false};
        f.child<QPushButton>("deleteButton")->click();
        QCOMPARE(f.dialogs.questions.value(0),
                 QStringLiteral("do you really want to delete this item from list?"));
        QCOMPARE(model->rowCount(), 3);
        f.dialogs.confirmAnswers = {true};
        f.child<QPushButton>("deleteButton")->click();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(f.text(0, kColVarName), QStringLiteral("one"));
        QCOMPARE(f.text(1, kColVarName), QStringLiteral("three"));

        f.dialogs.confirmAnswers = {false};
        f.child<QPushButton>("resetButton")->click();
        QCOMPARE(f.dialogs.questions.last(),
                 QStringLiteral("do you really want to clear all the items in image list?"));
        QCOMPARE(model->rowCount(), 2);
        f.dialogs.confirmAnswers = {true};
        f.child<QPushButton>("resetButton")->click();
        QCOMPARE(model->rowCount(), 0);
        // The view no longer shows a picture that left the list.
        QCOMPARE(f.window->findChild<PictureView*>("pictureView")->size(), QSize(0, 0));
        QCOMPARE(f.child<QLabel>("pictureCaption")->text(), QStringLiteral("no image"));
    }

    void exitClosesTheWindowOrItsFrame() {
        WindowFixture f;
        QSignalSpy closed(f.window.get(), &GraphicsWindow::windowClosed);
        f.trigger("exitAction");
        QCOMPARE(closed.size(), 1);
        QVERIFY(!f.window->isVisible());

        // Inside the main window's MDI area the frame closes with it.
        QMdiArea area;
        auto* tool = new GraphicsWindow(nullptr, f.dialogs.choosers());
        QMdiSubWindow* frame = area.addSubWindow(tool);
        area.show();
        frame->show();
        QPointer<QMdiSubWindow> watch(frame);
        tool->findChild<QAction*>(QStringLiteral("exitAction"))->trigger();
        QVERIFY(!frame->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(watch.isNull());
    }
};

QTEST_MAIN(GraphicsLoadTest)
#include "graphics_load_test.moc"
