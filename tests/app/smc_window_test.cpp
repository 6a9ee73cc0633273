// SPDX-License-Identifier: MIT
// The wiring of the SMC manager window, on the offscreen platform, against a real card
// image in a temporary folder: a menu action reaches the core on
// its thread, a question is answered through the blocking path, progress and Cancel cross
// the threads, the models show the core's snapshots and the PC's files, and keys, drops
// and the popup menu reach their commands. What the core does with a command is tested
// with the core; here only that the command arrives and what comes back is shown.
#include "fakes/temp_dir.h"
#include "scripted_dialogs.h"

#include <app/main_window.h>
#include <devicelink/device_link.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/card_models.h>
#include <smcmanager_ui/pane_views.h>
#include <smcmanager_ui/pc_models.h>
#include <smcmanager_ui/progress_dialog.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QAbstractItemModelTester>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A generous bound; it only keeps a broken test from hanging.
constexpr int kPatienceMs = 30000;

void writePc(const fs::path& path, std::size_t bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'v');
}

QStringList column(const QAbstractItemModel* model, const QModelIndex& parent = {}, int col = 0) {
    QStringList texts;
    for (int row = 0; row < model->rowCount(parent); ++row)
        texts << model->index(row, col, parent).data().toString();
    return texts;
}

QModelIndex rowNamed(const QAbstractItemModel* model, const QString& name,
                     const QModelIndex& parent = {}) {
    for (int row = 0; row < model->rowCount(parent); ++row)
        if (model->index(row, 0, parent).data().toString() == name)
            return model->index(row, 0, parent);
    return {};
}

void selectRows(PaneView* view, const QStringList& names) {
    view->clearSelection();
    for (const QString& name : names) {
        const QModelIndex index = rowNamed(view->model(), name, view->rootIndex());
        QVERIFY2(index.isValid(), qPrintable(name));
        view->selectionModel()->select(index,
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
}

} // namespace

class SmcWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir = std::make_unique<TempDir>();
        script = DialogScript();
        main = new MainWindow;
        main->setSmcFactory([this](MainWindow& m) {
            window =
                new SmcManagerWindow(m.icons(), nullptr, std::make_unique<ScriptedDialogs>(script));
            return window.data();
        });
        main->show();
        QVERIFY(QTest::qWaitForWindowActive(main));
        main->smcManagerAction->trigger();
        QVERIFY(window);
        QVERIFY(settle());
    }

    void cleanup() {
        QCOMPARE(script.unplanned, 0);
        QCOMPARE(script.offThread, 0);
        delete main;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        dir.reset();
    }

    // Open > Virtual SMC reaches the core on its thread; its file chooser, the format
    // question and the input box are answered on the window's thread; the models then show
    // the snapshot.
    void menuActionQuestionsAndSnapshot() {
        openNewCard();
        QCOMPARE(column(window->cardTreeModel()), QStringList{"Virtual SMC 'card.smc'"});
        QVERIFY(window->sizeLabel->text().startsWith("total size:"));
        QCOMPARE(window->cardPath->text(), QString("vx:\\"));

        script.texts = {"game"};
        window->createFolderAction->trigger();
        QVERIFY(settle());
        QCOMPARE(script.inputs, std::vector<std::string>{"folder name|please type folder name"});
        QCOMPARE(column(window->cardListModel()), QStringList{"game"});
        QCOMPARE(window->cardListModel()->index(0, CardListModel::Type).data().toString(),
                 QString("folder"));
        const QModelIndex root = window->cardTreeModel()->index(0, 0);
        QCOMPARE(column(window->cardTreeModel(), root), QStringList{"game"});
        QVERIFY(window->cardTree->isExpanded(root));
        QCOMPARE(window->cardTree->currentIndex(), root);
        QAbstractItemModelTester tester(window->cardTreeModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    // Close empties the card side: the models follow the core's cleared snapshot.
    void panesClearAtClose() {
        openNewCard();
        window->closeAction->trigger();
        QVERIFY(settle());
        QCOMPARE(window->cardTreeModel()->rowCount(), 0);
        QCOMPARE(window->cardListModel()->rowCount(), 0);
        QVERIFY(window->cardPath->text().isEmpty());
        QVERIFY(window->sizeLabel->text().isEmpty());
    }

    // A copy's gauges reach the progress window; Esc there stops the copy between files,
    // and the window never leaves until the core hides it.
    void progressAndCancelCrossThreads() {
        openNewCard();
        writePc(dir->path() / "pc" / "docs" / "a.txt", 3000);
        writePc(dir->path() / "pc" / "docs" / "b.txt", 3000);
        pasteOnCard({(dir->path() / "pc" / "docs").string() + "/"});
        QCOMPARE(column(window->cardListModel()), QStringList{"docs"});

        // The PC already holds a folder where a.txt would go: its failure message is shown
        // while the copy waits, and Esc is pressed meanwhile.
        fs::create_directories(dir->path() / "out" / "docs" / "a.txt");
        ProgressDialog* progress = window->progressDialog();
        QSignalSpy updates(progress, &ProgressDialog::updated);
        bool shownModal = false;
        script.whileShown = [&] {
            shownModal = progress->isVisible() && progress->windowModality() == Qt::WindowModal;
            QTest::keyClick(progress, Qt::Key_Escape);
            script.whileShown = nullptr;
        };
        selectRows(window->cardList, {"docs"});
        window->showPcFolder(QString::fromStdString((dir->path() / "out").string()));
        window->pcList->setFocus();
        window->listCopyAction->trigger();
        window->pasteAction->trigger();
        QVERIFY(settle());
        QVERIFY(shownModal);
        QVERIFY(!updates.isEmpty());
        QCOMPARE(script.takeMessages(),
                 (std::vector<std::string>{"failed to create file in PC.", "operation canceled."}));
        QVERIFY(!fs::exists(dir->path() / "out" / "docs" / "b.txt"));
        while (progress->isVisible())
            QVERIFY(updates.wait(kPatienceMs));
    }

    // Drops of PC files on a card folder node, of card items on a PC folder.
    void dropsAndPasteReachTheirCommands() {
        openNewCard();
        script.texts = {"game"};
        window->createFolderAction->trigger();
        writePc(dir->path() / "pc" / "tune.mp3", 1500);

        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(
            QString::fromStdString((dir->path() / "pc" / "tune.mp3").string()))});
        QVERIFY(settle());
        const QModelIndex game =
            rowNamed(window->cardTreeModel(), "game", window->cardTreeModel()->index(0, 0));
        QVERIFY(window->cardTree->acceptsDrop(&files, game));
        window->cardTree->dropped(&files, game);
        QVERIFY(settle());

        // game's file goes to a PC folder node by a drag from the card list.
        window->cardList->doubleClicked(rowNamed(window->cardListModel(), "game"));
        QVERIFY(settle());
        QCOMPARE(column(window->cardListModel()), QStringList{"tune.mp3"});
        selectRows(window->cardList, {"tune.mp3"});
        fs::create_directories(dir->path() / "pc" / "back");
        std::unique_ptr<QMimeData> drag(window->cardList->makeDragData());
        QVERIFY(!window->cardList->acceptsDrop(drag.get(), {}));
        const auto* folders = qobject_cast<QFileSystemModel*>(window->pcTree->model());
        const QModelIndex back =
            folders->index(QString::fromStdString((dir->path() / "pc" / "back").string()));
        QVERIFY(window->pcTree->acceptsDrop(drag.get(), back));
        window->pcTree->dropped(drag.get(), back);
        QVERIFY(settle());
        QCOMPARE(fs::file_size(dir->path() / "pc" / "back" / "tune.mp3"), std::uintmax_t(1500));
    }

    // F5, Backspace and Enter on both sides.
    void keys() {
        openNewCard();
        script.texts = {"game"};
        window->createFolderAction->trigger();
        QVERIFY(settle());
        window->cardList->setCurrentIndex(rowNamed(window->cardListModel(), "game"));
        QTest::keyClick(window->cardList, Qt::Key_Return);
        QVERIFY(settle());
        QCOMPARE(window->cardPath->text(), QString("vx:\\game"));
        QTest::keyClick(window->cardList, Qt::Key_Backspace);
        QVERIFY(settle());
        QCOMPARE(window->cardPath->text(), QString("vx:\\"));
        window->post([](SmcManager& core) { (void)core.makeCardFolder("vx:\\mp3"); });
        QTest::keyClick(window->cardList, Qt::Key_F5);
        QVERIFY(settle());
        QCOMPARE(column(window->cardListModel()), (QStringList{"game", "mp3"}));

        const QString pc = QString::fromStdString((dir->path() / "pc").string());
        fs::create_directories(dir->path() / "pc" / "sub");
        window->pcPath->setText(pc);
        QTest::keyClick(window->pcPath, Qt::Key_Return);
        QCOMPARE(window->pcFolder(), pc);
        QVERIFY(waitPcListed());
        window->pcList->setCurrentIndex(
            rowNamed(window->pcListModel(), "sub", window->pcList->rootIndex()));
        QTest::keyClick(window->pcList, Qt::Key_Return);
        QCOMPARE(window->pcFolder(), pc + "/sub");
        QTest::keyClick(window->pcList, Qt::Key_Backspace);
        QCOMPARE(window->pcFolder(), pc);
        window->pcPath->setText(pc + "/missing");
        QTest::keyClick(window->pcPath, Qt::Key_Return);
        QCOMPARE(window->pcFolder(), pc);
    }

    // Both lists sort like a file manager: folders first in either direction, names without
    // regard to case and numbers in number order, sizes by value.
    void listsSortLikeAFileManager() {
        const std::vector<std::pair<std::string, int>> pcEntries = {
            {"b.txt", 1}, {"A.txt", 3}, {"10.txt", 2}, {"9.txt", 0}};
        for (const auto& [name, kb] : pcEntries)
            writePc(dir->path() / "pc" / name, std::size_t(kb) * 1024);
        fs::create_directories(dir->path() / "pc" / "Zdir");
        fs::create_directories(dir->path() / "pc" / "adir");
        window->showPcFolder(QString::fromStdString((dir->path() / "pc").string()));
        QVERIFY(waitPcListed());
        PcListModel* pc = window->pcListModel();
        struct Case {
            int column;
            Qt::SortOrder order;
            QStringList names;
        };
        const Case pcCases[] = {
            {0, Qt::AscendingOrder, {"adir", "Zdir", "9.txt", "10.txt", "A.txt", "b.txt"}},
            {1, Qt::AscendingOrder, {"adir", "Zdir", "9.txt", "b.txt", "10.txt", "A.txt"}},
        };
        for (const Case& c : pcCases) {
            window->pcList->sortByColumn(c.column, c.order);
            QCOMPARE(column(pc, window->pcList->rootIndex()), c.names);
        }
        QCOMPARE(
            rowNamed(pc, "A.txt", window->pcList->rootIndex()).siblingAtColumn(1).data().toString(),
            QString("3KB"));
        QCOMPARE(pc->headerData(3, Qt::Horizontal).toString(), QString("Modified"));

        CardListModel card;
        card.setItems({{"tune.mp3", "12KB", "file", "", kImageMusic, kItemFile},
                       {"Save", "", "folder", "", kImageFolder, kItemFolder},
                       {"a.qxe", "9KB", "file", "", kImageProgram, kItemFile},
                       {"game", "", "folder", "", kImageFolder, kItemFolder}});
        QCOMPARE(column(&card), (QStringList{"tune.mp3", "Save", "a.qxe", "game"}));
        const Case cardCases[] = {
            {CardListModel::Name, Qt::AscendingOrder, {"game", "Save", "a.qxe", "tune.mp3"}},
            {CardListModel::Size, Qt::DescendingOrder, {"Save", "game", "tune.mp3", "a.qxe"}},
        };
        for (const Case& c : cardCases) {
            card.sort(c.column, c.order);
            QCOMPARE(column(&card), c.names);
        }
    }

private:
    bool settle() {
        if (!window->busy()) return true;
        QSignalSpy idle(window.data(), &SmcManagerWindow::idle);
        return idle.wait(kPatienceMs);
    }

    bool waitPcListed() {
        QSignalSpy loaded(window->pcListModel()->files(), &QFileSystemModel::directoryLoaded);
        while (window->pcListModel()->rowCount(window->pcList->rootIndex()) == 0)
            if (!loaded.wait(kPatienceMs)) return false;
        return true;
    }

    // Opens a new, unformatted 8 MB card image, formatting it when the core offers.
    void openNewCard() {
        const fs::path card = dir->path() / "card.smc";
        QCOMPARE(createVirtualImage(card, 0, 3), ImageCreateResult::Ok);
        script.openFiles.push_back(card);
        script.answers.push_back(true);
        window->openVirtualAction->trigger();
        QVERIFY(settle());
        QCOMPARE(script.questions.size(), std::size_t(1));
        QCOMPARE(script.takeMessages(),
                 std::vector<std::string>{"formatted successfully.\nbad block(s) : 0"});
    }

    void pasteOnCard(const std::vector<std::string>& paths) {
        window->post([paths](SmcManager& core) {
            (void)core.copyToCard(core.cardPath(), paths);
            core.refreshCard();
        });
        QVERIFY(settle());
    }

    std::unique_ptr<TempDir> dir;
    DialogScript script;
    MainWindow* main = nullptr;
    QPointer<SmcManagerWindow> window;
};

QTEST_MAIN(SmcWindowTest)
#include "smc_window_test.moc"
