// SPDX-License-Identifier: MIT
// The window's file actions on the core: palette import and export, the image saves honouring
// the check boxes and refusing rows that would overwrite each other, and the failures the
// user is told about.
#include <QDir>
#include <QLineEdit>

#include "graphics_ui/palette_grid.h"
#include "window_fixture.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class GraphicsFilesTest : public QObject {
    Q_OBJECT
private slots:
    void importedPaletteIsExported() {
        WindowFixture f;
        std::vector<std::uint8_t> act(768);
        for (int i = 0; i < 256; ++i) {
            act[3 * i] = static_cast<std::uint8_t>(i);
            act[3 * i + 1] = static_cast<std::uint8_t>(255 - i);
            act[3 * i + 2] = 8;
        }
        QVERIFY(WriteBytes(f.path("game.ACT"), act));
        f.dialogs.openAnswers = {{f.path("game.ACT")}};
        f.trigger("openPaletteAction");
        QCOMPARE(f.dialogs.filters.value(0),
                 QStringLiteral("all available palette files (*.act, *.pal)|*.act;*.pal"
                                "|ACT palette file (*.act)|*.act"));
        QCOMPARE(f.window->paletteTable()[1], (PaletteEntry{1, 254, 8, 0}));
        QVERIFY(f.child<PaletteGrid>("paletteGrid")->isVisible());

        f.dialogs.saveAnswers = {f.path("level.one.txt")};
        f.trigger("savePaletteTextAction");
        QCOMPARE(f.dialogs.filters.value(1), QStringLiteral("text file (*.txt)|*.txt"));
        const QByteArray text = ReadAll(f.path("level.one.txt"));
        QVERIFY(text.startsWith("/* palette file */\r\nVX_PALETTEENTRY level[256] =\r\n{\r\n\t"));
        // Entry 0 (0, 255, 8): 0x07c2; entry 255 (255, 0, 8): 0xf802.
        QVERIFY(text.contains("\t0x07c2,0x07c2,"));
        QVERIFY(text.endsWith(",0xf802\r\n};\r\n"));
        QVERIFY(f.dialogs.messages.isEmpty());
    }

    void imageSavesSkipUncheckedAndClashingRows() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("first.bmp"), 3, 5, TestPalette(8), [](int x, int) { return x; }));
        QVERIFY(
            WriteBmp8(f.path("second.bmp"), 3, 5, TestPalette(8), [](int, int y) { return y; }));
        QVERIFY(WriteBmp24(f.path("third.bmp"), 2, 5, Rgb{255, 0, 0}));
        QVERIFY(
            WriteBmp8(f.path("first.v2.bmp"), 3, 5, TestPalette(8), [](int, int) { return 1; }));
        f.load({f.path("first.bmp"), f.path("second.bmp"), f.path("third.bmp"),
                f.path("first.v2.bmp")});
        ImageListModel* model = f.window->imageModel();
        model->setData(model->index(1, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        QDir(f.dir.path()).mkdir("out");
        const QString out = f.path("out");
        const QString clash =
            QStringLiteral("'first.bmp' and 'first.v2.bmp' would both be saved as '%1'\n"
                           "these are not saved until they are renamed");

        f.dialogs.folderAnswers = {out, out, out};
        f.trigger("saveImagesVxgAction");
        QCOMPARE(f.dialogs.messages, QStringList{clash.arg("first.vxg")});
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"third.vxg"});

        f.trigger("saveImagesTextAction");
        // The 24-bit row has no palette indices to write, and the user is told.
        QCOMPARE(f.dialogs.messages.mid(1),
                 (QStringList{clash.arg("first.txt"),
                              "'third.bmp' has no palette, no text file written"}));
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"third.vxg"});

        f.window->selectRow(3);
        f.child<QLineEdit>("varNameEdit")->setText(QStringLiteral("first_again"));
        f.trigger("saveImagesTextAction");
        QCOMPARE(QDir(out).entryList(QDir::Files),
                 (QStringList{"first.txt", "first_again.txt", "third.vxg"}));
        const QByteArray text = ReadAll(out + "/first.txt");
        QVERIFY(text.startsWith("/*\r\n 2026/03/04 05:06\r\n original file name : first.bmp\r\n"));
        QVERIFY(text.contains("const unsigned int first[3][2] = \r\n"));
        f.trigger("saveImagesTextAction"); // a cancelled folder writes nothing
        QCOMPARE(f.dialogs.messages.size(), 4);
    }

    void failedWritesAreReported() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("pic.bmp"), 2, 2, TestPalette(4), [](int, int) { return 0; }));
        f.load({f.path("pic.bmp")});
        const QString nowhere = f.path("no/such/folder");
        f.dialogs.folderAnswers = {nowhere, nowhere};
        f.trigger("saveImagesTextAction");
        QCOMPARE(f.dialogs.messages.value(0), QStringLiteral("failed to create file 'pic'"));
        f.trigger("saveImagesVxgAction");
        QCOMPARE(f.dialogs.messages.value(1), QStringLiteral("failed to write file 'pic.vxg'"));
        f.dialogs.saveAnswers = {nowhere + "/pal.txt"};
        f.trigger("savePaletteTextAction");
        QCOMPARE(f.dialogs.messages.value(2), QStringLiteral("failed to create file 'pal.txt'"));
    }
};

QTEST_MAIN(GraphicsFilesTest)
#include "graphics_files_test.moc"
