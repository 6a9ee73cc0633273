// The SMC manager window driven as a user drives it, inside the main window on the
// offscreen platform: menus, selections, double-clicks, keys and drops go through the real
// controls; only the dialogs answer from a script. Cards are real images in a temporary
// folder; the machine is the simulated one, reached through the in-process cable.
#include "fakes/temp_dir.h"
#include "scripted_dialogs.h"

#include <app/form_main.h>
#include <common/image_file.h>
#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/form_prog.h>
#include <smcmanager_ui/form_smc.h>
#include <smcmanager_ui/form_smc_opt.h>
#include <smfs/smfs.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace {

SmfsDateTime fixedClock() {
    return SmfsDateTime{2002, 7, 31, 9, 5, 0};
}

std::vector<char> bytes(std::size_t count, char seed) {
    std::vector<char> data(count);
    for (std::size_t i = 0; i < count; ++i)
        data[i] = char(seed + i * 7);
    return data;
}

void writePc(const fs::path& path, const std::vector<char>& data) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size()));
}

std::vector<char> readPc(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The card the helpers below reach: the one a test is building, else the window's.
SmfsCard* gBuilding = nullptr;
SmcManager* gManager = nullptr;
SmfsCard& card() {
    return gBuilding ? *gBuilding : *gManager->card();
}

void cardWrite(const std::string& path, const std::vector<char>& data) {
    SmfsHandle handle = 0;
    QCOMPARE(card().create(path.c_str(), 1, &handle), SmfsResult::Ok);
    QCOMPARE(card().write(handle, data.data(), std::uint32_t(data.size())), SmfsResult::Ok);
    QCOMPARE(card().close(handle), SmfsResult::Ok);
}

std::vector<char> cardRead(const std::string& path) {
    std::uint32_t size = 0;
    if (card().fileSize(path.c_str(), &size) != SmfsResult::Ok) return {};
    SmfsHandle handle = 0;
    if (card().open(path.c_str(), kSmfsRead, &handle) != SmfsResult::Ok) return {};
    std::vector<char> data(size);
    std::uint32_t count = 0;
    (void)card().read(handle, data.data(), size, &count);
    (void)card().close(handle);
    data.resize(count);
    return data;
}

bool cardHas(const std::string& path) {
    SmfsEntryInfo info{};
    return card().info(path.c_str(), &info) == SmfsResult::Ok;
}

QStringList column(QTreeWidget* view, int col = 0) {
    QStringList out;
    for (int i = 0; i < view->topLevelItemCount(); ++i)
        out << view->topLevelItem(i)->text(col);
    return out;
}

QTreeWidgetItem* row(QTreeWidget* view, const QString& name) {
    for (int i = 0; i < view->topLevelItemCount(); ++i) {
        if (view->topLevelItem(i)->text(0) == name) return view->topLevelItem(i);
    }
    return nullptr;
}

QStringList childTexts(QTreeWidgetItem* item) {
    QStringList out;
    for (int i = 0; item && i < item->childCount(); ++i)
        out << item->child(i)->text(0);
    return out;
}

QTreeWidgetItem* child(QTreeWidgetItem* item, const QString& name) {
    for (int i = 0; item && i < item->childCount(); ++i) {
        if (item->child(i)->text(0) == name) return item->child(i);
    }
    return nullptr;
}

// Selects the rows named, as a user's clicks with Ctrl would.
void select(QTreeWidget* list, const QStringList& names) {
    list->clearSelection();
    for (const QString& name : names) {
        QTreeWidgetItem* item = row(list, name);
        QVERIFY2(item, qPrintable(name));
        item->setSelected(true);
    }
}

// Double-clicks item as a user does (the first click makes it the pressed item).
void doubleClick(PaneView* view, QTreeWidgetItem* item) {
    QVERIFY(item);
    const QPoint at = view->visualItemRect(item).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, at);
}

// Whether view accepts a drag of data over item (nullptr: empty space). Qt delivers drag
// events only during a real drag, so the test calls what the view's drag handlers call.
bool dragOver(PaneView* view, const QMimeData* data, QTreeWidgetItem* item = nullptr) {
    return view->acceptsDrop && view->acceptsDrop(data, item);
}

// Drops data on item of view (nullptr: empty space), as the view's drop handler does, and
// lets the window do the copy it starts once the drag is over.
void drop(PaneView* view, QMimeData* data, QTreeWidgetItem* item = nullptr) {
    {
        std::unique_ptr<QMimeData> owned(data);
        if (dragOver(view, data, item) && view->dropped) view->dropped(data, item);
    }
    QCoreApplication::processEvents();
}

} // namespace

class SmcWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir = std::make_unique<TempDir>();
        sim = std::make_unique<SimMachine>(dir->path() / "machine");
        script = DialogScript();
        main = new TFormMain;
        progress = new TFormProg(main);
        main->setProgressWindow(progress);
        main->setSmcFactory([this](TFormMain& m) {
            form = new TFormSMC(*m.progressWindow(), m.SmallSysImages, m.LargeSysImages,
                                std::make_unique<DeviceLink>(makeSimTransport(*sim)),
                                std::make_unique<ScriptedDialogs>(script));
            return form.data();
        });
        main->show();
        QVERIFY(QTest::qWaitForWindowExposed(main));
        main->SMCmanager1->trigger();
        QVERIFY(form);
        gManager = &form->manager();
        gManager->setCardClock(fixedClock);
        fs::create_directories(dir->path() / "pc");
    }

    void cleanup() {
        QCOMPARE(script.unplanned, 0);
        delete main;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        sim.reset();
        dir.reset();
        gManager = nullptr;
    }

    void openVirtualCardShowsTreeListAndSize() {
        QCOMPARE(form->windowTitle(), QString("SMC Manager"));
        QCOMPARE(form->TreeSMC->topLevelItemCount(), 0);
        // The PC side starts at the computer, listing its roots as "logical driver".
        QCOMPARE(form->TreePC->topLevelItemCount(), 1);
        QVERIFY(!form->ListPC->topLevelItem(0)->text(0).isEmpty());
        QCOMPARE(form->ListPC->topLevelItem(0)->text(2), QString("logical driver"));

        openCard(makeCard(true));
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QCOMPARE(form->manager().storageKind(), kStorageVirtual);
        QTreeWidgetItem* root = smcRootItem();
        QCOMPARE(root->text(0), QString("Virtual SMC 'card.smc'"));
        QVERIFY(root->isExpanded());
        QCOMPARE(childTexts(root), QStringList{"game"});
        QCOMPARE(root->child(0)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
        QCOMPARE(form->TreeSMC->currentItem(), root);
        QCOMPARE(form->PathSMC->text(), QString("vx:\\"));

        QCOMPARE(smcRows(), (QStringList{"game", "tune.mp3", "readme"}));
        QCOMPARE(column(form->ListSMC, 1), (QStringList{"", "1KB", "0KB"}));
        QCOMPARE(column(form->ListSMC, 2), (QStringList{"folder", "file", "file"}));
        QCOMPARE(column(form->ListSMC, 3), QStringList(3, "2002-07-31 09:05"));
        QCOMPARE(form->ListSMC->headerItem()->text(1), QString("Size"));

        const SmcManager& m = form->manager();
        QVERIFY(m.usedSize() > 0);
        QCOMPARE(form->SzSMC->text(), QString("total size:%1KB used size:%2KB free size:%3KB")
                                          .arg(m.totalSize() >> 10)
                                          .arg(m.usedSize() >> 10)
                                          .arg(m.freeSize() >> 10));

        // Closing empties the card side and keeps the status line.
        const QString size = form->SzSMC->text();
        form->Close1->trigger();
        QCOMPARE(form->manager().storageKind(), kStorageNone);
        QCOMPARE(form->TreeSMC->topLevelItemCount(), 0);
        QVERIFY(smcRows().isEmpty());
        QVERIFY(form->PathSMC->text().isEmpty());
        QCOMPARE(form->SzSMC->text(), size);
    }

    void navigateByDoubleClickAndTree() {
        openCard(makeCard(true));
        doubleClick(form->ListSMC, row(form->ListSMC, "game"));
        QCOMPARE(form->PathSMC->text(), QString("vx:\\game"));
        QCOMPARE(smcRows(), (QStringList{"save", "game.qxe"}));
        QCOMPARE(form->TreeSMC->currentItem()->text(0), QString("game"));
        QCOMPARE(childTexts(form->TreeSMC->currentItem()), QStringList{"save"});

        // Double-clicking a file does nothing.
        doubleClick(form->ListSMC, row(form->ListSMC, "game.qxe"));
        QCOMPARE(form->PathSMC->text(), QString("vx:\\game"));

        // Choosing the root node in the tree lists the root again.
        form->TreeSMC->setCurrentItem(smcRootItem());
        QCOMPARE(form->PathSMC->text(), QString("vx:\\"));
        QCOMPARE(smcRows().size(), 3);

        // Collapsing and expanding rebuilds the children from the card.
        QTreeWidgetItem* gameNode = child(smcRootItem(), "game");
        (void)card().mkdir("vx:\\game\\level2", 0);
        gameNode->setExpanded(false);
        gameNode->setExpanded(true);
        gameNode = child(smcRootItem(), "game");
        QCOMPARE(childTexts(gameNode), (QStringList{"save", "level2"}));

        // The PC side: a folder double-clicked in the list becomes the current PC folder.
        fs::create_directories(dir->path() / "pc" / "music" / "live");
        showPcFolder(dir->path() / "pc");
        doubleClick(form->ListPC, row(form->ListPC, "music"));
        QCOMPARE(form->PathPC->text(),
                 QString::fromStdString((dir->path() / "pc" / "music").string()));
        QCOMPARE(pcRows(), QStringList{"live"});
        QCOMPARE(form->TreePC->currentItem()->text(0), QString("music"));
    }

    void dragRulesOfBothSides() {
        openCard(makeCard(true));
        std::unique_ptr<QMimeData> fromPcList(form->DragData(DragSource::PcList));
        std::unique_ptr<QMimeData> fromSmcList(form->DragData(DragSource::SmcList));
        // With the computer itself shown, a drag from the PC list is refused.
        QVERIFY(!dragOver(form->ListSMC, fromPcList.get()));
        showPcFolder(dir->path() / "pc");
        QVERIFY(dragOver(form->ListSMC, fromPcList.get()));
        QVERIFY(dragOver(form->TreeSMC, fromPcList.get(), smcRootItem()));
        QVERIFY(!dragOver(form->ListSMC, fromSmcList.get()));
        QVERIFY(dragOver(form->ListPC, fromSmcList.get()));
        QVERIFY(dragOver(form->TreePC, fromSmcList.get(), form->TreePC->topLevelItem(0)));
        QVERIFY(!dragOver(form->ListPC, fromPcList.get()));
        // A drag shows the large picture of its item.
        QCOMPARE(form->ListSMC->dragPixmap(row(form->ListSMC, "tune.mp3")).size(), QSize(32, 32));

        // A drag made by another manager window is not taken for one of ours.
        TFormSMC other(*progress, main->SmallSysImages, main->LargeSysImages, nullptr,
                       std::make_unique<ScriptedDialogs>(script));
        std::unique_ptr<QMimeData> foreign(other.DragData(DragSource::PcList));
        QCOMPARE(form->DragSourceOf(foreign.get()), DragSource::None);
        QVERIFY(!dragOver(form->ListSMC, foreign.get()));
    }

    void copyPcFolderOntoCardByDrop() {
        openCard(makeCard(true));
        const fs::path pc = dir->path() / "pc";
        writePc(pc / "album" / "a.mp3", bytes(2000, 4));
        writePc(pc / "album" / "cd2" / "b.mp3", bytes(70000, 5));
        showPcFolder(pc);
        select(form->ListPC, {"album"});

        // The progress window is up while the copy runs, and down afterwards.
        bool shownDuringCopy = false;
        const auto watch = connect(progress->Prog1, &QProgressBar::valueChanged, this,
                                   [&] { shownDuringCopy = progress->isVisible(); });
        // The copy starts once the drop has returned, so the drag's source is not kept waiting.
        std::unique_ptr<QMimeData> data(form->DragData(DragSource::PcList));
        form->ListSMC->dropped(data.get(), nullptr);
        data.reset();
        QVERIFY(!cardHas("vx:\\album"));
        QCoreApplication::processEvents();
        disconnect(watch);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(shownDuringCopy);
        QVERIFY(progress->isHidden());
        QCOMPARE(progress->Prog2->value(), progress->Prog2->maximum());

        QCOMPARE(smcRows(), (QStringList{"game", "tune.mp3", "readme", "album"}));
        QVERIFY(cardRead("vx:\\album\\a.mp3") == bytes(2000, 4));
        QVERIFY(cardRead("vx:\\album\\cd2\\b.mp3") == bytes(70000, 5));
        QCOMPARE(childTexts(smcRootItem()), (QStringList{"game", "album"}));
        QVERIFY(form->SzSMC->text().contains(
            QString("used size:%1KB").arg(form->manager().usedSize() >> 10)));

        // The same drop again meets the existing folder: the failure message, nothing replaced.
        select(form->ListPC, {"album"});
        drop(form->ListSMC, form->DragData(DragSource::PcList));
        QCOMPARE(
            script.takeMessages(),
            std::vector<std::string>{"an error occurred while creating folder in virtual SMC."});
        QVERIFY(progress->isHidden());
    }

    void copyFileOntoTreeNodeAndPcDropOnNode() {
        openCard(makeCard(true));
        const fs::path pc = dir->path() / "pc";
        writePc(pc / "x.txt", bytes(100, 6));
        fs::create_directories(pc / "out");
        showPcFolder(pc);
        select(form->ListPC, {"x.txt"});
        QTreeWidgetItem* game = child(smcRootItem(), "game");
        drop(form->TreeSMC, form->DragData(DragSource::PcList), game);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(cardRead("vx:\\game\\x.txt") == bytes(100, 6));
        // The card view shows the folder it showed before.
        QCOMPARE(form->PathSMC->text(), QString("vx:\\"));

        // Card items dropped on a PC folder node land in that folder.
        select(form->ListSMC, {"tune.mp3"});
        QTreeWidgetItem* pcRoot = form->TreePC->topLevelItem(0)->child(0);
        pcRoot->setExpanded(true);
        QTreeWidgetItem* out = child(pcRoot, "out");
        QVERIFY(out);
        drop(form->TreePC, form->DragData(DragSource::SmcList), out);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(readPc(pc / "out" / "tune.mp3") == bytes(1500, 2));
        // A drop on the computer node does nothing.
        drop(form->TreePC, form->DragData(DragSource::SmcList), form->TreePC->topLevelItem(0));
        QVERIFY(!fs::exists(pc / "tune.mp3"));
    }

    void copyCardItemsToPcByDrop() {
        openCard(makeCard(true));
        const fs::path pc = dir->path() / "pc";
        showPcFolder(pc);
        select(form->ListSMC, {"game", "tune.mp3"});
        drop(form->ListPC, form->DragData(DragSource::SmcList));
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(progress->isHidden());
        QVERIFY(readPc(pc / "tune.mp3") == bytes(1500, 2));
        QVERIFY(readPc(pc / "game" / "game.qxe") == bytes(3000, 1));
        QVERIFY(fs::is_directory(pc / "game" / "save"));
        QCOMPARE(pcRows(), (QStringList{"game", "tune.mp3"}));
        // The PC list shows the platform's type names, not the core's placeholders.
        QVERIFY(!row(form->ListPC, "game")->text(2).isEmpty());
        QCOMPARE(row(form->ListPC, "tune.mp3")->text(1), QString("1KB"));
    }

    void copyAndPasteWithKeys() {
        openCard(makeCard(true));
        const fs::path pc = dir->path() / "pc";
        writePc(pc / "y.bin", bytes(5000, 7));
        showPcFolder(pc);
        QApplication::setActiveWindow(main);
        select(form->ListPC, {"y.bin"});
        form->ListPC->setFocus();
        QTest::keyClick(form->ListPC, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(form->manager().copyList(), std::vector<std::string>{(pc / "y.bin").string()});
        // Paste with the card list focused copies the items put aside.
        form->ListSMC->setFocus();
        QTest::keyClick(form->ListSMC, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(cardRead("vx:\\y.bin") == bytes(5000, 7));

        // Card items copied, then pasted with the PC list focused, land in the PC folder.
        form->manager().RefreshSmc();
        select(form->ListSMC, {"readme"});
        QApplication::setActiveWindow(main);
        form->ListSMC->setFocus();
        form->Copy1->trigger();
        form->ListPC->setFocus();
        form->Paste1->trigger();
        QVERIFY(readPc(pc / "readme") == bytes(10, 3));
    }

    void desktopFilesDroppedOnCard() {
        const fs::path pc = dir->path() / "desk";
        writePc(pc / "notes.txt", bytes(300, 8));
        writePc(pc / "pics" / "p1.bin", bytes(4000, 9));
        auto urls = [&] {
            auto* data = new QMimeData;
            data->setUrls({QUrl::fromLocalFile(QString::fromStdString((pc / "notes.txt").string())),
                           QUrl::fromLocalFile(QString::fromStdString((pc / "pics").string()))});
            return data;
        };
        // No card open: the drop is refused.
        std::unique_ptr<QMimeData> probe(urls());
        QVERIFY(!dragOver(form->ListSMC, probe.get()));

        openCard(makeCard(true));
        QVERIFY(dragOver(form->ListSMC, probe.get()));
        // A link to somewhere else than a local file is refused.
        QMimeData remote;
        remote.setUrls({QUrl("https://example.invalid/a.txt")});
        QVERIFY(!dragOver(form->ListSMC, &remote));

        drop(form->TreeSMC, urls(), child(smcRootItem(), "game"));
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(cardRead("vx:\\game\\notes.txt") == bytes(300, 8));
        QVERIFY(cardRead("vx:\\game\\pics\\p1.bin") == bytes(4000, 9));
        QVERIFY(progress->isHidden());
    }

    void deleteWithConfirmation() {
        openCard(makeCard(true));
        // The popup menu: its items in order, Del on the list's delete.
        QStringList popup;
        for (QAction* action : form->MenuListSMC->actions())
            popup << action->text();
        QCOMPARE(popup, (QStringList{"&Copy", "&Paste", "Create &Folder", "&Delete"}));

        select(form->ListSMC, {"readme"});
        script.answers = {false};
        form->Delete2->trigger();
        QCOMPARE(script.questions, std::vector<std::string>{"do you really want to delete?"});
        QVERIFY(smcRows().contains("readme"));

        script.answers = {true};
        select(form->ListSMC, {"readme", "game"});
        form->ListSMC->setFocus();
        QApplication::setActiveWindow(main);
        QTest::keyClick(form->ListSMC, Qt::Key_Delete);
        QCOMPARE(script.questions.size(), std::size_t(2));
        QCOMPARE(smcRows(), QStringList{"tune.mp3"});
        QVERIFY(!cardHas("vx:\\game\\GAME.QXE"));
        QVERIFY(progress->isHidden());
        QVERIFY(!progress->Prog1->isHidden());

        // The main menu's delete asks even with nothing selected.
        script.answers = {true};
        form->ListSMC->clearSelection();
        form->Delete1->trigger();
        QCOMPARE(script.questions.size(), std::size_t(3));
        QCOMPARE(smcRows(), QStringList{"tune.mp3"});
    }

    void deleteKeyOnTreeShowsParent() {
        openCard(makeCard(true));
        QTreeWidgetItem* game = child(smcRootItem(), "game");
        game->setExpanded(true);
        form->TreeSMC->setCurrentItem(child(game, "save"));
        QCOMPARE(form->PathSMC->text(), QString("vx:\\game\\save"));
        QApplication::setActiveWindow(main);
        form->TreeSMC->setFocus();
        script.answers = {true};
        QTest::keyClick(form->TreeSMC, Qt::Key_Delete);
        QVERIFY(!cardHas("vx:\\game\\save"));
        QCOMPARE(form->PathSMC->text(), QString("vx:\\game"));
        QCOMPARE(smcRows(), QStringList{"game.qxe"});
        QCOMPARE(form->TreeSMC->currentItem()->text(0), QString("game"));

        // On the card's own node the key is refused without a question.
        form->TreeSMC->setCurrentItem(smcRootItem());
        QTest::keyClick(form->TreeSMC, Qt::Key_Delete);
        QCOMPARE(script.questions.size(), std::size_t(1));
        QVERIFY(cardHas("vx:\\game"));
    }

    void createFolderThroughInputBox() {
        openCard(makeCard(true));
        script.texts = {"new1"};
        form->CreateFolder1->trigger();
        QCOMPARE(script.inputs, std::vector<std::string>{"folder name|please type folder name"});
        QVERIFY(cardHas("vx:\\new1"));
        QCOMPARE(smcRows().last(), QString("new1"));
        QVERIFY(childTexts(smcRootItem()).contains("new1"));
        // Cancelling the box does nothing.
        script.texts = {""};
        form->CreateFolder1->trigger();
        QCOMPARE(smcRows().size(), 4);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
    }

    void formatUnformattedCardFromOpenQuestion() {
        // Declined: the storage stays open, the card side stays empty.
        script.answers = {false};
        openCard(makeCard(false));
        QCOMPARE(script.questions,
                 std::vector<std::string>{"unformatted SMC\ndo you want to format it?"});
        QCOMPARE(form->manager().storageKind(), kStorageVirtual);
        QCOMPARE(form->TreeSMC->topLevelItemCount(), 0);

        script.answers = {true};
        openCard(dir->path() / "card.smc");
        QCOMPARE(script.takeMessages(),
                 std::vector<std::string>{"formatted successfully.\nbad block(s) : 0"});
        QCOMPARE(smcRootItem()->text(0), QString("Virtual SMC 'card.smc'"));
        QVERIFY(smcRows().isEmpty());
        QVERIFY(form->SzSMC->text().startsWith("total size:"));
        QVERIFY(form->SzSMC->text().contains("used size:0KB"));
        // The progress window is down, with its animation and gauges ready for the next copy.
        QVERIFY(progress->isHidden());
        QVERIFY(!progress->Avi->isHidden());
        QVERIFY(!progress->Prog1->isHidden());
        QVERIFY(!progress->Prog2->isHidden());
        QCOMPARE(progress->Msg1->text(), QString("now formatting..."));

        // Format from the menu, declined and accepted.
        cardWrite("vx:\\A.TXT", bytes(20, 1));
        form->manager().RefreshSmc();
        script.answers = {false};
        form->Format1->trigger();
        QCOMPARE(smcRows(), QStringList{"a.txt"});
        script.answers = {true};
        form->Format1->trigger();
        QVERIFY(smcRows().isEmpty());
        QCOMPARE(script.questions.back(), std::string("do you really want to format smc?"));
    }

    void cancelStopsCopyBetweenFiles() {
        openCard(makeCard(true));
        const fs::path pc = dir->path() / "pc";
        for (const char* name : {"a.bin", "b.bin", "c.bin"})
            writePc(pc / "set" / name, bytes(4096, name[0]));
        showPcFolder(pc);
        select(form->ListPC, {"set"});
        // The user presses Cancel once the first file is written.
        bool enabledDuringCopy = false;
        const auto press =
            connect(progress->Prog1, &QProgressBar::valueChanged, this, [&](int value) {
                if (value == progress->Prog1->maximum() && !progress->CancelPressed()) {
                    enabledDuringCopy = progress->CancelButton->isEnabled();
                    QTest::mouseClick(progress->CancelButton, Qt::LeftButton);
                }
            });
        drop(form->ListSMC, form->DragData(DragSource::PcList));
        disconnect(press);
        QVERIFY(enabledDuringCopy);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{"operation canceled."});
        QVERIFY(cardRead("vx:\\set\\a.bin") == bytes(4096, 'a'));
        QVERIFY(!cardHas("vx:\\set\\b.bin"));
        QVERIFY(!cardHas("vx:\\set\\c.bin"));
        QVERIFY(progress->isHidden());
        QVERIFY(smcRows().contains("set"));

        // The next copy is not cancelled by the earlier press.
        select(form->ListPC, {"set"});
        form->manager().setSmcPath("vx:\\game");
        drop(form->ListSMC, form->DragData(DragSource::PcList));
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(cardHas("vx:\\game\\set\\c.bin"));

        // Deleting cannot be cancelled: its gauges are hidden, so is the button's use.
        progress->Show();
        progress->SetVisible(ProgressUi::Control::Prog1, false);
        QVERIFY(!progress->CancelButton->isEnabled());
        progress->RequestCancel();
        QVERIFY(!progress->CancelRequested());
        progress->SetVisible(ProgressUi::Control::Prog1, true);
        progress->Hide();
    }

    void createVirtualSmcWithDialogChoice() {
        openCard(makeCard(true));
        const fs::path made = dir->path() / "new.smc";
        script.cards = {CardChoice{1, 4}};
        script.saveFiles = {made};
        form->CreateVirtualSMC1->trigger();
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        // The chosen vendor and size reached the core (the rest of the bytes are its tests').
        QCOMPARE(fs::file_size(made), std::uintmax_t(17409024));
        QCOMPARE(std::uint8_t(readPc(made)[0]), std::uint8_t(0x98));
        // The card panes are emptied and no storage is open afterwards.
        QCOMPARE(form->TreeSMC->topLevelItemCount(), 0);
        QCOMPARE(form->manager().storageKind(), kStorageNone);
    }

    void vendorAndSizeDialog() {
        std::vector<std::string> sizes;
        for (int mb : kOfferedSizesMb)
            sizes.push_back(std::to_string(mb) + " MB");
        TFormSmcOpt dialog({"Samsung", "Toshiba"}, sizes, CardChoice{0, 4});
        QCOMPARE(dialog.windowTitle(), QString("FormSmcOpt"));
        QCOMPARE(dialog.ListVendor->count(), 2);
        QCOMPARE(dialog.ListVendor->itemText(1), QString("Toshiba"));
        QCOMPARE(dialog.ListSize->count(), 8);
        QCOMPARE(dialog.ListSize->itemText(0), QString("1 MB"));
        QCOMPARE(dialog.ListSize->itemText(7), QString("128 MB"));
        QCOMPARE(dialog.choice().size, 4);
        dialog.ListVendor->setCurrentIndex(1);
        dialog.ListSize->setCurrentIndex(7);
        QCOMPARE(dialog.choice().vendor, 1);
        QCOMPARE(dialog.choice().size, 7);
        QVERIFY(dialog.findChild<QLabel*>("Panel1"));
        QCOMPARE(dialog.findChild<QLabel*>("Panel2")->text(), QString("size"));
    }

    void machineBrowseCopyDeleteFormat() {
        fs::create_directories(sim->cardFolder() / "GAME");
        writePc(sim->cardFolder() / "TUNE.MP3", bytes(1500, 2));
        form->ThroughUSBPort1->trigger();
        QCOMPARE(
            script.takeMessages(),
            std::vector<std::string>{"connect with Vela machine via USB cable\nand set the mode "
                                     "to 'PC-Link' mode.\nif ready, press button"});
        QCOMPARE(form->manager().storageKind(), kStorageMachine);
        QCOMPARE(smcRootItem()->text(0), QString("SMC in Vela"));
        QCOMPARE(smcRows(), (QStringList{"game", "tune.mp3"}));
        QCOMPARE(column(form->ListSMC, 1), (QStringList{"0", "1500"}));
        QVERIFY(form->SzSMC->text().isEmpty());

        // A PC folder dropped on the card list goes to the machine.
        const fs::path pc = dir->path() / "pc";
        writePc(pc / "album" / "a.mp3", bytes(2000, 4));
        showPcFolder(pc);
        select(form->ListPC, {"album"});
        drop(form->ListSMC, form->DragData(DragSource::PcList));
        QCOMPARE(script.takeMessages(), std::vector<std::string>{});
        QVERIFY(readPc(sim->cardFolder() / "ALBUM" / "A.MP3") == bytes(2000, 4));
        QVERIFY(smcRows().contains("album"));

        // Cancel pressed as a file's last packet goes out on the machine keeps that file and
        // stops before the next one.
        for (const char* name : {"a.bin", "b.bin"})
            writePc(pc / "pair" / name, bytes(4096, name[0]));
        showPcFolder(pc);
        select(form->ListPC, {"pair"});
        const auto press =
            connect(progress->Prog1, &QProgressBar::valueChanged, this, [&](int value) {
                if (value == progress->Prog1->maximum() && !progress->CancelPressed())
                    progress->RequestCancel();
            });
        drop(form->ListSMC, form->DragData(DragSource::PcList));
        disconnect(press);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{"operation canceled."});
        QVERIFY(readPc(sim->cardFolder() / "PAIR" / "A.BIN") == bytes(4096, 'a'));
        QVERIFY(!fs::exists(sim->cardFolder() / "PAIR" / "B.BIN"));

        // A file from the machine dropped on the PC list.
        select(form->ListSMC, {"tune.mp3"});
        drop(form->ListPC, form->DragData(DragSource::SmcList));
        QVERIFY(readPc(pc / "tune.mp3") == bytes(1500, 2));

        // Delete with the question answered.
        select(form->ListSMC, {"tune.mp3"});
        script.answers = {true};
        form->Delete2->trigger();
        QVERIFY(!fs::exists(sim->cardFolder() / "TUNE.MP3"));
        QVERIFY(!smcRows().contains("tune.mp3"));

        // Format lays down the default folders.
        script.answers = {true};
        form->Format1->trigger();
        QCOMPARE(script.takeMessages(), std::vector<std::string>{"formatted successfully."});
        QCOMPARE(smcRows(), (QStringList{"game", "mp3", "vxetc", "vxmm", "vxsys"}));
        for (const char* name : {"GAME", "MP3", "VXSYS", "VXMM", "VXETC"})
            QVERIFY(fs::is_directory(sim->cardFolder() / name));
    }

    void machineWaitKeepsTheWindowLive() {
        // A window of its own whose link counts a second as 50 ms, so a broken hook fails fast.
        LinkOptions options;
        options.secondLength = std::chrono::milliseconds(50);
        TFormSMC window(*progress, main->SmallSysImages, main->LargeSysImages,
                        std::make_unique<DeviceLink>(makeSimTransport(*sim), options),
                        std::make_unique<ScriptedDialogs>(script));
        window.ThroughUSBPort1->trigger();
        (void)script.takeMessages();
        QCOMPARE(window.manager().storageKind(), kStorageMachine);

        // The machine keeps the format's final answer back until the event loop has run while
        // the link waits: only the idle hook runs it then.
        sim->planFault(1, SimFault::hold());
        bool released = false;
        QTimer poll;
        poll.setInterval(1);
        connect(&poll, &QTimer::timeout, this, [&] {
            if (sim->releaseHeld() > 0) {
                released = true;
                poll.stop();
            }
        });
        poll.start();
        script.answers = {true};
        window.Format1->trigger();
        poll.stop();
        QVERIFY(released);
        QCOMPARE(script.takeMessages(), std::vector<std::string>{"formatted successfully."});
        QVERIFY(fs::is_directory(sim->cardFolder() / "VXSYS"));
        QVERIFY(progress->isHidden());
    }

private:
    // A 1 MB card: formatted with game\save, game\GAME.QXE, TUNE.MP3 and README, or blank.
    fs::path makeCard(bool formatted) {
        const fs::path path = dir->path() / "card.smc";
        if (CreateVirtualImage(path, 0, 0) != ImageCreateResult::Ok) return {};
        if (!formatted) return path;
        ImageFile image;
        if (image.open(path, ImageFile::Access::Write) != ImageFile::Status::Ok) return {};
        SmfsCard building(image, fixedClock);
        gBuilding = &building;
        std::uint32_t bad = 0;
        if (card().format("vx:", 0, &bad) == SmfsResult::Ok) {
            (void)card().mkdir("vx:\\game", 0);
            (void)card().mkdir("vx:\\game\\save", 0);
            cardWrite("vx:\\game\\GAME.QXE", bytes(3000, 1));
            cardWrite("vx:\\TUNE.MP3", bytes(1500, 2));
            cardWrite("vx:\\README", bytes(10, 3));
        }
        gBuilding = nullptr;
        return path;
    }

    void openCard(const fs::path& image) {
        script.openFiles.push_back(image);
        form->VirtualSMC1->trigger();
    }

    void showPcFolder(const fs::path& folder) {
        form->manager().setPcRoots({folder.string()});
        QTreeWidgetItem* computer = form->TreePC->topLevelItem(0);
        QVERIFY(computer);
        QCOMPARE(computer->childCount(), 1);
        form->TreePC->setCurrentItem(computer->child(0));
        QCOMPARE(form->PathPC->text(), QString::fromStdString(folder.string()));
    }

    QTreeWidgetItem* smcRootItem() { return form->TreeSMC->topLevelItem(0); }
    QStringList smcRows() { return column(form->ListSMC); }
    QStringList pcRows() { return column(form->ListPC); }

    std::unique_ptr<TempDir> dir;
    std::unique_ptr<SimMachine> sim;
    TFormMain* main = nullptr;
    TFormProg* progress = nullptr;
    DialogScript script;
    QPointer<TFormSMC> form;
};

QTEST_MAIN(SmcWindowTest)
#include "smc_window_test.moc"
