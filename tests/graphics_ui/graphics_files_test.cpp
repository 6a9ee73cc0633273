// The window's file actions on the core: palette import and export, the image text export
// and the binary save honouring the check boxes, and the failures the user is told about.
#include <QDir>

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

    void paletteImportFailures() {
        WindowFixture f;
        QVERIFY(WriteBytes(f.path("long.act"), std::vector<std::uint8_t>(769, 1)));
        f.dialogs.openAnswers = {
            {f.path("long.act")}, {f.path("notes.txt")}, {f.path("missing.act")}};
        f.trigger("openPaletteAction");
        QCOMPARE(f.dialogs.messages.value(0), QStringLiteral("invalid palete file size"));
        f.trigger("openPaletteAction"); // another extension: ignored without a message
        QCOMPARE(f.dialogs.messages.size(), 1);
        f.trigger("openPaletteAction");
        QCOMPARE(f.dialogs.messages.value(1), QStringLiteral("failed to open palette file"));
        QCOMPARE(f.window->paletteTable()[0], (PaletteEntry{}));
    }

    void imageSavesSkipUncheckedRows() {
        WindowFixture f;
        QVERIFY(WriteBmp8(f.path("first.bmp"), 3, 5, TestPalette(8), [](int x, int) { return x; }));
        QVERIFY(
            WriteBmp8(f.path("second.bmp"), 3, 5, TestPalette(8), [](int, int y) { return y; }));
        QVERIFY(WriteBmp24(f.path("third.bmp"), 2, 5, Rgb{255, 0, 0}));
        f.load({f.path("first.bmp"), f.path("second.bmp"), f.path("third.bmp")});
        ImageListModel* model = f.window->imageModel();
        model->setData(model->index(1, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        QDir(f.dir.path()).mkdir("out");
        const QString out = f.path("out");

        f.dialogs.folderAnswers = {out, out};
        f.trigger("saveImagesVxgAction");
        QCOMPARE(QDir(out).entryList(QDir::Files), (QStringList{"first.vxg", "third.vxg"}));
        QCOMPARE(ReadAll(out + "/first.vxg").size(), 56);

        f.trigger("saveImagesTextAction");
        QVERIFY(QFile::exists(out + "/first.txt"));
        QVERIFY(!QFile::exists(out + "/second.txt"));
        const QByteArray text = ReadAll(out + "/first.txt");
        QVERIFY(text.startsWith("/*\r\n 2026/03/04 05:06\r\n original file name : first.bmp\r\n"));
        QVERIFY(text.contains("const unsigned int first[3][2] = \r\n"));
        // The 24-bit row has no palette indices to write, and the user is told.
        QCOMPARE(f.dialogs.messages.size(), 1);
        QVERIFY(f.dialogs.messages[0].contains(QStringLiteral("third.bmp")));

        // A cancelled folder writes nothing.
        f.trigger("saveImagesTextAction");
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 3);
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

    void dialogFiltersKeepTheirDescriptions() {
        // The real dialogs show the description as written and match the patterns after it.
        QCOMPARE(QtNameFilters(QStringLiteral("all available image files (*.bmp, *.jpg)"
                                              "|*.bmp;*.jpg|text file (*.txt)|*.txt")),
                 (QStringList{QStringLiteral("all available image files (*.bmp, *.jpg) "
                                             "(*.bmp *.jpg)"),
                              QStringLiteral("text file (*.txt) (*.txt)")}));
        QCOMPARE(QtNameFilters(QStringLiteral("odd|")), (QStringList{"odd ()"}));
        QVERIFY(QtNameFilters(QStringLiteral("lonely")).isEmpty());
    }
};

QTEST_MAIN(GraphicsFilesTest)
#include "graphics_files_test.moc"
