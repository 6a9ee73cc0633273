// SPDX-License-Identifier: MIT
// The graphics window's wiring on the offscreen platform: each action reaches the core, what
// comes back is shown, and the window's own state (selection, names, zoom, number base,
// transparency) follows the user. What the core decides is tested with the core.
#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <deque>

#include "graphics/bmp_builder.h"
#include "graphics/view_maths.h"
#include "graphics_ui/graphics_window.h"
#include "graphics_ui/image_list_model.h"
#include "graphics_ui/palette_grid.h"
#include "graphics_ui/picture_view.h"

namespace {

// Dialog answers in order (an empty queue answers "cancel"); every filter, question and
// message is recorded.
struct ScriptedDialogs {
    std::deque<QStringList> openAnswers;
    std::deque<QString> saveAnswers, folderAnswers;
    std::deque<bool> confirmAnswers;
    QStringList filters, folderTitles, questions, messages;

    GraphicsChoosers choosers() {
        GraphicsChoosers c;
        c.openFiles = [this](QWidget*, const QString& filter, bool) {
            return filters << filter, take(openAnswers, QStringList{});
        };
        c.saveFile = [this](QWidget*, const QString& filter, const QString&) {
            return filters << filter, take(saveAnswers, QString{});
        };
        c.browseForFolder = [this](QWidget*, const QString& title, const QString& start) {
            return folderTitles << title + "|" + start, take(folderAnswers, QString{});
        };
        c.confirm = [this](QWidget*, const QString& text) {
            return questions << text, take(confirmAnswers, false);
        };
        c.message = [this](QWidget*, const QString& text) { messages << text; };
        c.now = [] { return LocalTime{2026, 3, 4, 5, 6}; };
        return c;
    }
    template <typename T> static T take(std::deque<T>& queue, T cancelled) {
        if (queue.empty()) return cancelled;
        T answer = queue.front();
        queue.pop_front();
        return answer;
    }
};

bool WriteBytes(const QString& path, const std::vector<std::uint8_t>& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size())) ==
               qint64(bytes.size());
}

void SendMouse(QWidget* widget, QEvent::Type type, QPoint at,
               Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent event(type, QPointF(at), widget->mapToGlobal(QPointF(at)), button,
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButtons(button),
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A shown window with scripted dialogs.
struct Fixture {
    ScriptedDialogs dialogs;
    GraphicsWindow window{nullptr, dialogs.choosers()};
    QTemporaryDir dir;

    Fixture() {
        window.resize(1000, 700);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    template <typename T = QWidget> T* child(const char* name) const {
        return window.findChild<T*>(QString::fromLatin1(name));
    }
    QString label(const char* name) const { return child<QLabel>(name)->text(); }
    void trigger(const char* action) { child<QAction>(action)->trigger(); }
    void click(const char* button) { child<QPushButton>(button)->click(); }
    // Loads `names` through File > Open > Image(s); a name not yet written is written as an
    // 8-bit sample bitmap of width × height first.
    void load(const QStringList& names, int width = 2, int height = 2) {
        QStringList paths;
        for (const QString& name : names) {
            paths << path(name);
            if (!QFile::exists(paths.back()))
                QVERIFY(WriteBytes(paths.back(), SampleBmp(8, width, height)));
        }
        dialogs.openAnswers.push_back(paths);
        trigger("openImagesAction");
    }
    QString text(int row, ImageColumn column) const {
        return QString::fromStdString(window.imageModel()->item(row).text[column]);
    }
    ImageListModel* model() const { return window.imageModel(); }
    PictureView* view() const { return child<PictureView>("pictureView"); }
};

} // namespace

class GraphicsWindowTest : public QObject {
    Q_OBJECT
private slots:
    // Loading reports a damaged file and goes on; the last row loaded is selected and shown,
    // and selecting another row shows its picture, palette and names.
    void loadingAndSelectingRows() {
        Fixture f;
        QVERIFY(WriteBytes(f.path("abcdefghijklmnopq.bmp"), SampleBmp(8, 3, 5)));
        QVERIFY(WriteBytes(f.path("broken.bmp"), {'B', 'M', 1, 2, 3}));
        QVERIFY(WriteBytes(f.path("sky.two.jpg.bmp"), SampleBmp(24, 7, 2)));
        f.load({"abcdefghijklmnopq.bmp", "broken.bmp", "sky.two.jpg.bmp"});
        QCOMPARE(f.dialogs.filters.value(0),
                 "all available image files (*.bmp, *.jpg, *.png)|*.bmp;*.jpg;*.png"
                 "|windows bitmap file (*.bmp)|*.bmp|jpeg image file (*.jpg)|*.jpg"
                 "|png image file (*.png)|*.png|Vela image file (*.vxg)|*.vxg");
        QCOMPARE(f.dialogs.messages, QStringList{"'broken.bmp' is damaged or not a picture of "
                                                 "its type"});
        QCOMPARE(f.model()->rowCount(), 2);
        std::string first; // every text of the first row, its device name not yet chained
        for (const std::string& text : f.model()->item(0).text)
            first += text + "|";
        QCOMPARE(QString::fromStdString(first),
                 "|abcdefghijklmnopq.bmp|abcdefgh|abcdefghijklmnopq|3|5|8|0|no|0|" +
                     f.path("abcdefghijklmnopq.bmp") + "|");
        QCOMPARE(f.model()->data(f.model()->index(0, kColCheck), Qt::CheckStateRole).toInt(),
                 int(Qt::Checked));
        QCOMPARE(f.window.selectedRow(), 1);
        QCOMPARE(f.label("pictureCaption"), "'sky.two.jpg.bmp' (7 * 2)");
        QVERIFY(!f.child("paletteGrid")->isVisible() && f.child("noPaletteLabel")->isVisible());
        auto* list = f.child<QTreeView>("imageList");
        QVERIFY(list->isColumnHidden(kColTransIndex) && list->isColumnHidden(kColFullPath));

        f.window.selectRow(0);
        QCOMPARE(f.label("pictureCaption"), "'abcdefghijklmnopq.bmp' (3 * 5)");
        QVERIFY(f.child("paletteGrid")->isVisible() && !f.child("noPaletteLabel")->isVisible());
        QCOMPARE(f.window.paletteTable()[15], (PaletteEntry{106, 240, 200, 0}));
        QCOMPARE(f.child<QLineEdit>("varNameEdit")->text() + "|" +
                     f.child<QLineEdit>("vxNameEdit")->text(),
                 "abcdefghijklmnopq|abcdefgh");
        QCOMPARE(f.view()->size(), QSize(3, 5));
    }

    // The name boxes update the row and each other; a name that is no C identifier is refused.
    void typingNamesUpdatesTheRow() {
        Fixture f;
        f.load({"pic.bmp"});
        auto* var = f.child<QLineEdit>("varNameEdit");
        auto* vx = f.child<QLineEdit>("vxNameEdit");
        var->selectAll();
        QTest::keyClicks(var, "hero_sprite");
        QCOMPARE(f.text(0, kColVarName) + "|" + f.text(0, kColFileNameVx) + "|" + vx->text(),
                 "hero_sprite|hero_spr|hero_spr");
        QTest::keyClick(vx, Qt::Key_Backspace);
        QTest::keyClicks(vx, "xyz"); // no more than 8 characters are typed
        QCOMPARE(vx->text() + "|" + f.text(0, kColFileNameVx), "hero_spx|hero_spx");
        QTest::keyClicks(var, "-2");
        QCOMPARE(f.text(0, kColVarName) + "|" + f.text(0, kColFileNameVx), "hero_sprite|hero_spx");
        QVERIFY(f.window.statusBar()->currentMessage().contains("'hero_sprite-2'"));
        QTest::keyClick(var, Qt::Key_Return);
        QCOMPARE(f.dialogs.messages, QStringList{"'hero_sprite-2' is not a C variable name: use "
                                                 "letters, digits and _, not starting with a "
                                                 "digit"});
        QCOMPARE(var->text(), "hero_sprite");
    }

    // Select all checks every row; delete and reset ask first and act only on OK.
    void listButtons() {
        Fixture f;
        f.load({"one.bmp", "two.bmp", "three.bmp"});
        ImageListModel* model = f.model();
        model->setData(model->index(0, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        model->setData(model->index(2, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        f.click("selectAllButton");
        QVERIFY(model->item(0).checked && model->item(2).checked);
        f.window.selectRow(1);
        const struct {
            const char* button;
            QString question;
            QString rowsAfter;
        } cases[] = {
            {"deleteButton", "do you really want to delete this item from list?", "one,three"},
            {"resetButton", "do you really want to clear all the items in image list?", ""}};
        for (const auto& c : cases) {
            f.dialogs.confirmAnswers = {false, true};
            const int before = model->rowCount();
            f.click(c.button);
            QCOMPARE(f.dialogs.questions.last() + "|" + QString::number(model->rowCount()),
                     c.question + "|" + QString::number(before));
            f.click(c.button);
            QStringList names;
            for (int row = 0; row < model->rowCount(); ++row)
                names << f.text(row, kColVarName);
            QCOMPARE(names.join(","), c.rowsAfter);
        }
        QCOMPARE(f.dialogs.questions.size(), 4);
        // A reset clears the view and the name boxes.
        QCOMPARE(f.view()->size(), QSize(0, 0));
        QCOMPARE(f.label("pictureCaption"), "no image");
        QVERIFY(f.child<QLineEdit>("varNameEdit")->text().isEmpty() &&
                f.child<QLineEdit>("vxNameEdit")->text().isEmpty());
    }

    void exitClosesTheWindowOrItsFrame() {
        Fixture f;
        QSignalSpy closed(&f.window, &GraphicsWindow::windowClosed);
        f.trigger("exitAction");
        QVERIFY(closed.size() == 1 && !f.window.isVisible());
        QMdiArea area; // inside the main window the frame closes with it
        QPointer<QMdiSubWindow> frame =
            area.addSubWindow(new GraphicsWindow(nullptr, f.dialogs.choosers()));
        area.show();
        frame->show();
        frame->widget()->findChild<QAction*>("exitAction")->trigger();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(frame.isNull());
    }

    // Zoom buttons halve and double; fitted centres the picture, follows the window's size
    // and locks the buttons until it is unchecked.
    void zoomAndFit() {
        Fixture f;
        f.load({"big.bmp"}, 1200, 900);
        auto* box = f.child<QAbstractScrollArea>("scrollBox");
        f.click("zoomOutButton");
        QCOMPARE(f.view()->size(), QSize(600, 450));
        f.click("zoomInButton"); // the scroll range follows the zoomed picture
        QCOMPARE(box->horizontalScrollBar()->maximum(), 1200 - box->viewport()->width());

        f.child<QCheckBox>("fittedCheck")->setChecked(true);
        const QSize port = box->viewport()->size();
        QCOMPARE(f.window.zoomFactor(), FitFactor(port.width(), port.height(), 1200, 900));
        QCOMPARE(f.view()->pos(), QPoint(CentredOffset(port.width(), f.view()->width()),
                                         CentredOffset(port.height(), f.view()->height())));
        QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(!f.child("zoomInButton")->isEnabled() && !f.child("zoomOutButton")->isEnabled());
        f.window.resize(1300, 900);
        QCoreApplication::processEvents();
        const QSize bigger = box->viewport()->size();
        QCOMPARE(f.window.zoomFactor(), FitFactor(bigger.width(), bigger.height(), 1200, 900));

        f.child<QCheckBox>("fittedCheck")->setChecked(false);
        QCOMPARE(f.view()->geometry(), QRect(0, 0, 1200, 900));
        QVERIFY(f.child("zoomInButton")->isEnabled() && f.child("zoomOutButton")->isEnabled());
        QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
    }

    // A palette cell shows its entry; the number base switches every number shown, and the
    // reduction to 16-bit colours shows the reduced entry.
    void paletteNumbersAndReduction() {
        Fixture f;
        f.load({"pal.bmp"}, 1, 1);
        SendMouse(f.child("paletteGrid"), QEvent::MouseButtonPress,
                  PaletteGrid::cellOrigin(4, 1) + QPoint(7, 7), Qt::LeftButton); // entry 20
        const auto shown = [&f] {
            QStringList texts;
            for (const char* name : {"entryIndexLabel", "redLabel", "greenLabel", "blueLabel"})
                texts << f.label(name);
            return texts.join(",") + "|" + f.child<QLineEdit>("transIndexEdit")->text() + "|" +
                   f.text(0, kColTrColor);
        };
        QCOMPARE(f.child<QFrame>("selectedSwatch")->palette().color(QPalette::Window),
                 QColor(141, 235, 9));
        f.child<QCheckBox>("useTransparentCheck")->setChecked(true);
        f.click("transFromPaletteButton");
        QCOMPARE(shown(), "20,141,235,9|20|20");
        f.trigger("hexadecimalAction");
        QCOMPARE(shown(), "14,8D,EB,09|14|0x14");
        f.trigger("convertPaletteAction");
        QCOMPARE(shown(), "14,88,E8,08|14|0x14");
        QCOMPARE(f.child("paletteGrid")->grab().toImage().pixelColor(PaletteGrid::cellOrigin(4, 1)),
                 QColor(136, 232, 8));
        f.trigger("decimalAction");
        QCOMPARE(shown(), "20,136,232,8|20|20");
    }

    // Picking samples the picture under the pointer; the left button accepts into the row,
    // which the Vela image save then carries; the reloaded file has it.
    void pickedTransparentColourIsSavedAndReloaded() {
        Fixture f;
        f.load({"tiles.bmp"}, 4, 4); // pixel (x, y) has index x + 2y
        f.click("zoomInButton");     // 2 view pixels a picture pixel
        auto* use = f.child<QCheckBox>("useTransparentCheck");
        use->setChecked(true);
        QCOMPARE(f.text(0, kColUseTr), "yes");
        QVERIFY(f.child("pickTransparentButton")->isEnabled() &&
                f.child("transIndexEdit")->isEnabled());
        SendMouse(f.view(), QEvent::MouseMove, QPoint(7, 1)); // not picking: nothing sampled
        QCOMPARE(f.window.transIndex(), 0);
        f.click("pickTransparentButton");
        QVERIFY(f.window.pickingTransparent() && !f.child("pickTransparentButton")->isEnabled());
        SendMouse(f.view(), QEvent::MouseMove, QPoint(3, 5)); // pixel (1, 2): index 5
        QCOMPARE(f.child<QLineEdit>("transIndexEdit")->text(), "5");
        QCOMPARE(f.child<QFrame>("transparentSwatch")->palette().color(QPalette::Window),
                 QColor(36, 250, 70));                          // entry 5
        SendMouse(f.view(), QEvent::MouseMove, QPoint(7, 1));   // pixel (3, 0): index 3
        SendMouse(f.view(), QEvent::MouseMove, QPoint(500, 1)); // outside: no change
        QCOMPARE(f.window.transIndex(), 3);
        SendMouse(f.view(), QEvent::MouseButtonPress, QPoint(7, 1), Qt::LeftButton);
        QVERIFY(!f.window.pickingTransparent() && f.child("pickTransparentButton")->isEnabled());
        QCOMPARE(f.text(0, kColTransIndex) + "|" + f.text(0, kColTrColor), "3|3");
        QCOMPARE(f.view()->drawnImage().pixelColor(3, 0).alpha(), 0);
        QCOMPARE(f.view()->drawnImage().pixelColor(0, 0).alpha(), 255);

        f.dialogs.folderAnswers = {f.dir.path()};
        f.trigger("saveImagesVxgAction");
        QCOMPARE(f.dialogs.folderTitles,
                 QStringList{"Choose folder where to save file(s)|" + QDir::homePath()});
        use->setChecked(false);
        f.load({"tiles.vxg"});
        QCOMPARE(f.text(1, kColUseTr) + "|" + f.text(1, kColTransIndex), "yes|3");
        QVERIFY(use->isChecked());
    }

    // A palette file imported is shown and exported. The image saves skip unchecked rows and
    // rows that would overwrite each other, say what they did not write, and write nothing
    // when the folder is cancelled.
    void fileActions() {
        Fixture f;
        std::vector<std::uint8_t> act(768, 8);
        act[3] = 1;
        QVERIFY(WriteBytes(f.path("game.ACT"), act));
        f.dialogs.openAnswers = {{f.path("game.ACT")}};
        f.trigger("openPaletteAction");
        QCOMPARE(f.window.paletteTable()[1], (PaletteEntry{1, 8, 8, 0}));
        QVERIFY(f.child("paletteGrid")->isVisible());
        f.dialogs.saveAnswers = {f.path("level.one.txt"), f.path("no/such/pal.txt")};
        f.trigger("savePaletteTextAction");
        f.trigger("savePaletteTextAction");
        QCOMPARE(f.dialogs.filters,
                 (QStringList{"all available palette files (*.act, *.pal)|*.act;*.pal"
                              "|ACT palette file (*.act)|*.act",
                              "text file (*.txt)|*.txt", "text file (*.txt)|*.txt"}));
        QVERIFY(ReadAll(f.path("level.one.txt")).contains("VX_PALETTEENTRY level[256]"));
        QCOMPARE(f.dialogs.messages, QStringList{"failed to create file 'pal.txt'"});
        f.dialogs.messages.clear();
        QVERIFY(WriteBytes(f.path("third.bmp"), SampleBmp(24, 2, 5)));
        f.load({"first.bmp", "second.bmp", "first.v2.bmp", "third.bmp"}, 3, 5);
        f.model()->setData(f.model()->index(1, kColCheck), Qt::Unchecked, Qt::CheckStateRole);
        QDir(f.dir.path()).mkdir("out");
        const QString out = f.path("out");
        const QString clash = "'first.bmp' and 'first.v2.bmp' would both be saved as '%1'\n"
                              "these are not saved until they are renamed";
        f.dialogs.folderAnswers = {out, out, out};
        f.trigger("saveImagesVxgAction");
        f.trigger("saveImagesTextAction");
        QCOMPARE(f.dialogs.messages, (QStringList{clash.arg("first.vxg"), clash.arg("first.txt"),
                                                  "'third.bmp' has no palette, no text file "
                                                  "written"}));
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"third.vxg"});
        f.window.selectRow(2);
        f.child<QLineEdit>("varNameEdit")->setText("first_again");
        f.trigger("saveImagesTextAction");
        QCOMPARE(QDir(out).entryList(QDir::Files),
                 (QStringList{"first.txt", "first_again.txt", "third.vxg"}));
        QVERIFY(ReadAll(out + "/first.txt").startsWith("/*\r\n 2026/03/04 05:06\r\n"));
        f.trigger("saveImagesTextAction"); // cancelled
        QCOMPARE(f.dialogs.messages.size(), 4);

        const QString nowhere = f.path("no/such/folder");
        f.dialogs.folderAnswers = {nowhere, nowhere};
        f.model()->removeItem(0);
        f.model()->removeItem(0);
        f.trigger("saveImagesTextAction");
        f.trigger("saveImagesVxgAction");
        QCOMPARE(f.dialogs.messages.mid(4),
                 (QStringList{"failed to create file 'first_again'",
                              "'third.bmp' has no palette, no text file written",
                              "failed to write file 'first_ag.vxg'",
                              "failed to write file 'third.vxg'"}));
    }
};

QTEST_MAIN(GraphicsWindowTest)
#include "graphics_window_test.moc"
