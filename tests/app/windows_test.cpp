// SPDX-License-Identifier: MIT
// The windows' wiring on the offscreen platform, against real card images: what the user
// does reaches the core on its thread, questions are answered on the window's thread, and
// what comes back is shown. What the core does is tested with the core.
#include "fakes/temp_dir.h"

#include <app/main_window.h>
#include <app/start_arguments.h>
#include <devicelink/device_link.h>
#include <devicelink/usb_hotplug.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/card_models.h>
#include <smcmanager_ui/manager_dialogs.h>
#include <smcmanager_ui/pane_views.h>
#include <smcmanager_ui/progress_dialog.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QtTest>
#include <QtWidgets>

#include <deque>
#include <fstream>
#include <future>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Logs every message and question and answers from the script; counts a dialog not planned
// for (answered with Cancel) or shown off the window's thread. whileShown runs in each one.
struct DialogScript {
    std::vector<std::string> log;
    std::deque<bool> answers;
    std::deque<std::string> texts;
    std::deque<std::optional<fs::path>> files;
    std::function<void()> whileShown;
    int unplanned = 0, offThread = 0;
};

class ScriptedDialogs : public ManagerDialogs {
public:
    explicit ScriptedDialogs(DialogScript& script) : s_(script) {}
    void message(QWidget*, const std::string& text) override { shown(text); }
    bool okCancel(QWidget*, const std::string& text, ManagerUi::QuestionKind) override {
        return shown(text), next(s_.answers, false);
    }
    std::string inputText(QWidget*, const std::string&, const std::string& prompt,
                          const std::string&) override {
        return shown(prompt), next(s_.texts, std::string());
    }
    std::optional<fs::path> openFile(QWidget*, const std::string&, const std::string&) override {
        return next(s_.files, std::optional<fs::path>());
    }
    std::optional<fs::path> saveFile(QWidget*, const std::string&, const std::string&) override {
        return next(s_.files, std::optional<fs::path>());
    }
    std::optional<CardChoice> card(QWidget*, const std::vector<std::string>&,
                                   const std::vector<std::string>&, CardChoice) override {
        return ++s_.unplanned, std::nullopt;
    }
    ManagerUi::ReplaceAnswer replace(QWidget*, const std::string& text) override {
        return shown(text), ++s_.unplanned, ManagerUi::ReplaceAnswer::Cancel;
    }
    bool mergeFolder(QWidget* owner, const std::string& text) override {
        return okCancel(owner, text, {});
    }
    void skippedNames(QWidget* owner, const std::string& text) override { message(owner, text); }
    bool openCreatedImage(QWidget* owner, const std::string& text) override {
        return okCancel(owner, text, {});
    }

private:
    void shown(const std::string& text) {
        if (QThread::currentThread() != qApp->thread()) ++s_.offThread;
        s_.log.push_back(text);
        if (s_.whileShown) s_.whileShown();
    }
    template <typename T> T next(std::deque<T>& queue, T cancel) {
        if (queue.empty()) return ++s_.unplanned, cancel;
        T answer = queue.front();
        queue.pop_front();
        return answer;
    }
    DialogScript& s_;
};

QStringList column(const QAbstractItemModel* model, const QModelIndex& parent = {}) {
    QStringList texts;
    for (int row = 0; row < model->rowCount(parent); ++row)
        texts << model->index(row, 0, parent).data().toString();
    return texts;
}

QModelIndex rowNamed(const QAbstractItemModel* model, const QString& name,
                     const QModelIndex& parent = {}) {
    return model->match(model->index(0, 0, parent), Qt::DisplayRole, name).value(0);
}

} // namespace

class WindowsTest : public QObject {
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
    }
    void cleanup() {
        QCOMPARE(std::pair(script.unplanned, script.offThread), std::pair(0, 0));
        delete main;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The menu's texts; every way a manager goes closes it and leaves no frame behind.
    void managerLifecycle_data() {
        QTest::addColumn<int>("way");
        int way = 0;
        for (const char* name : {"chosen again", "its frame closed", "its Exit item",
                                 "main window closed", "graphics tool chosen"})
            QTest::newRow(name) << way++;
    }
    void managerLifecycle() {
        QFETCH(int, way);
        const QMenu* utilities = main->menuBar()->actions()[0]->menu();
        QCOMPARE(main->windowTitle() + "|" + utilities->title(), "Vela Developer Tool|Utilities");
        QCOMPARE(utilities->actions(), (QList{main->smcManagerAction, main->graphicsToolAction}));
        QCOMPARE(main->smcManagerAction->text() + "|" + main->graphicsToolAction->text(),
                 "SMC manager|Graphics tool");
        main->smcManagerAction->trigger();
        QPointer<ToolWindow> first = main->currentTool;
        QCOMPARE(first->windowTitle(), QString("SMC Manager"));
        QVERIFY(first->isMaximized());
        QSignalSpy closed(window.data(), &SmcManagerWindow::closed);
        const std::function<void()> ways[] = {
            [&] { main->smcManagerAction->trigger(); }, [&] { first->close(); },
            [&] { window->exitAction->trigger(); }, [&] { QVERIFY(main->close()); },
            [&] { main->graphicsToolAction->trigger(); }};
        ways[way]();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(closed.size() == 1 && first.isNull());
        QCOMPARE(main->mdiArea()->subWindowList().size(), way == 0 || way == 4 ? 1 : 0);
        const QString successor = way == 0 ? "SMC Manager" : way == 4 ? "Graphics manager" : "";
        QCOMPARE(main->currentTool ? main->currentTool->windowTitle() : QString(), successor);
    }

    // Closing during an operation asks; with OK both windows close once it has ended.
    void closingDuringAnOperationAsksThenWaits() {
        main->smcManagerAction->trigger();
        std::promise<void> release;
        window->post([released = release.get_future().share()](SmcManager&) { released.wait(); });
        script.answers = {false, true};
        QVERIFY(!main->close()); // declined: both stay
        QVERIFY(!main->close()); // accepted: both close once the operation has ended
        QCOMPARE(script.log, (std::vector<std::string>(2, kCancelAndCloseQuestion)));
        QVERIFY(main->isVisible() && window);
        QSignalSpy gone(window.data(), &QObject::destroyed);
        release.set_value();
        QVERIFY(gone.wait(kPatienceMs));
        QCoreApplication::sendPostedEvents(main, QEvent::MetaCall); // the main window's close
        QVERIFY(!main->isVisible());
    }

    // A plug event from the watcher's own thread reaches the open manager on the window's.
    void pluggedInMachineIsOfferedToTheOpenManager() {
        auto owned = std::make_unique<FakeHotplugWatcher>();
        FakeHotplugWatcher* watcher = owned.get();
        QVERIFY(main->setHotplugWatcher(std::move(owned)));
        main->smcManagerAction->trigger();
        script.answers.push_back(false);
        std::thread([watcher] { watcher->plug(); }).join();
        QCoreApplication::sendPostedEvents(main, QEvent::MetaCall);
        QVERIFY(settle());
        QCOMPARE(script.log, std::vector<std::string>{"a Vela machine was connected by USB "
                                                      "cable.\nopen SMC in Vela?"}); // declined
    }

    // A machine named at start is what Open > SMC in Vela reaches, with the real dialogs.
    void namedMachineIsOpened() {
        fs::create_directories(dir->path() / "GAME");
        std::string failure;
        QVERIFY(main->setMachine("sim:" + dir->path().string(), failure));
        main->setSmcFactory(&MainWindow::MakeSmcManager);
        main->smcManagerAction->trigger();
        window = qobject_cast<SmcManagerWindow*>(main->currentTool->widget());
        QTimer dismiss; // the prompt to ready the machine
        dismiss.callOnTimeout([] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        dismiss.start(10);
        window->openMachineAction->trigger();
        QVERIFY(settle());
        QCOMPARE(column(window->cardTreeModel()), QStringList{"SMC in Vela"});
        QCOMPARE(column(window->cardListModel()), QStringList{"game"});
    }

    // Menu items, keys, a double click and drops both ways reach the core and come back.
    void commandsReachTheCore() {
        openNewCard();
        QVERIFY(window->sizeLabel->text().startsWith("total size:"));
        script.texts = {"game"};
        window->createFolderAction->trigger();
        QVERIFY(settle());
        QCOMPARE(script.log, std::vector<std::string>{"please type folder name"});
        const QModelIndex root = window->cardTreeModel()->index(0, 0);
        QVERIFY(window->cardTree->isExpanded(root) &&
                column(window->cardTreeModel(), root) == QStringList{"game"});

        window->cardList->setCurrentIndex(rowNamed(window->cardListModel(), "game"));
        const std::pair<Qt::Key, QString> keys[] = {{Qt::Key_Return, "vx:\\game"},
                                                    {Qt::Key_Backspace, "vx:\\"}};
        for (const auto& [key, path] : keys) {
            QTest::keyClick(window->cardList, key);
            QVERIFY(settle());
            QCOMPARE(window->cardPath->text(), path);
        }
        window->post([](SmcManager& core) { (void)core.makeCardFolder("vx:\\mp3"); });
        QTest::keyClick(window->cardList, Qt::Key_F5);
        QVERIFY(settle());
        QCOMPARE(column(window->cardListModel()), (QStringList{"game", "mp3"}));

        // A drop on a folder's node goes there; the space line is read anew after it.
        fs::create_directories(dir->path() / "pc");
        std::ofstream(dir->path() / "pc" / "tune.mp3") << std::string(1500, 'v');
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(
            QString::fromStdString((dir->path() / "pc" / "tune.mp3").string()))});
        const QModelIndex game =
            rowNamed(window->cardTreeModel(), "game", window->cardTreeModel()->index(0, 0));
        const QString space = window->sizeLabel->text();
        QVERIFY(window->cardTree->acceptsDrop(&files, game));
        window->cardTree->dropped(&files, game);
        QVERIFY(settle() && window->sizeLabel->text() != space);
        window->cardList->doubleClicked(rowNamed(window->cardListModel(), "game"));
        QVERIFY(settle());
        QCOMPARE(column(window->cardListModel()), QStringList{"tune.mp3"});
        window->cardList->setCurrentIndex(rowNamed(window->cardListModel(), "tune.mp3"));
        std::unique_ptr<QMimeData> drag(window->cardList->makeDragData());
        QVERIFY(!window->cardList->acceptsDrop(drag.get(), {}));
        const QModelIndex pc = qobject_cast<QFileSystemModel*>(window->pcTree->model())
                                   ->index(QString::fromStdString((dir->path() / "pc").string()));
        QVERIFY(window->pcTree->acceptsDrop(drag.get(), pc));
        fs::remove(dir->path() / "pc" / "tune.mp3");
        window->pcTree->dropped(drag.get(), pc);
        QVERIFY(settle());
        QCOMPARE(fs::file_size(dir->path() / "pc" / "tune.mp3"), std::uintmax_t(1500));
    }

    // Close, and an open cancelled in its chooser, leave no card open: the card side is empty.
    void panesClearWhenNoCardIsOpen() {
        for (const bool cancelledOpen : {false, true}) {
            openNewCard(); // a new manager each time
            window->post([](SmcManager& core) {
                (void)core.makeCardFolder("vx:\\x");
                core.refreshCard();
            });
            if (cancelledOpen) script.files.push_back(std::nullopt);
            (cancelledOpen ? window->openVirtualAction : window->closeAction)->trigger();
            QVERIFY(settle());
            QCOMPARE(window->cardTreeModel()->rowCount() + window->cardListModel()->rowCount(), 0);
            QVERIFY(window->cardPath->text().isEmpty() && window->sizeLabel->text().isEmpty());
        }
    }

    // Popup Copy and Ctrl+V copy a card folder to the PC; Esc in the modal progress stops it.
    void copyPasteProgressAndCancel() {
        openNewCard(true);
        fs::create_directories(dir->path() / "pc" / "docs");
        for (const char* name : {"a.txt", "b.txt"})
            std::ofstream(dir->path() / "pc" / "docs" / name) << std::string(3000, 'v');
        window->post([docs = (dir->path() / "pc" / "docs").string() + "/"](SmcManager& core) {
            (void)core.copyToCard(kCardRoot, {docs});
            core.refreshCard();
        });
        // A folder in a.txt's place: Esc is pressed while its failure is shown.
        fs::create_directories(dir->path() / "out" / "docs" / "a.txt");
        window->showPcFolder(QString::fromStdString((dir->path() / "out").string()));
        ProgressDialog* progress = window->progressDialog();
        QSignalSpy updates(progress, &ProgressDialog::updated);
        bool shownModal = false;
        script.whileShown = [&] {
            shownModal = progress->isVisible() && progress->windowModality() == Qt::WindowModal;
            QTest::keyClick(progress, Qt::Key_Escape);
            script.whileShown = nullptr;
        };
        QVERIFY(settle());
        window->cardList->setCurrentIndex(rowNamed(window->cardListModel(), "docs"));
        window->listCopyAction->trigger();
        QApplication::setActiveWindow(main); // the progress window was the active one last
        window->pcList->setFocus();
        QTest::keyClick(window->pcList, Qt::Key_V, Qt::ControlModifier);
        QVERIFY(settle());
        QVERIFY(shownModal && !updates.isEmpty());
        QCOMPARE(script.log,
                 (std::vector<std::string>{"failed to create file in PC.", "operation canceled."}));
        QVERIFY(!fs::exists(dir->path() / "out" / "docs" / "b.txt"));
        while (progress->isVisible())
            QVERIFY(updates.wait(kPatienceMs));
    }

    // The real replace question: each button gives its answer, Enter keeps the file, Esc stops.
    void replaceQuestionAnswers() {
        using Answer = ManagerUi::ReplaceAnswer;
        const std::pair<int, Answer> replies[] = {{QMessageBox::Yes, Answer::Yes},
                                                  {QMessageBox::YesToAll, Answer::YesToAll},
                                                  {QMessageBox::No, Answer::No},
                                                  {Qt::Key_Escape, Answer::Cancel},
                                                  {Qt::Key_Return, Answer::No}};
        for (const auto& [reply, answer] : replies) {
            QTimer::singleShot(10, [reply] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (auto* button = box ? box->button(QMessageBox::StandardButton(reply)) : nullptr)
                    button->click();
                else if (box)
                    QTest::keyClick(box, Qt::Key(reply));
            });
            QCOMPARE(QtManagerDialogs().replace(nullptr, "replace?"), answer);
        }
    }

private:
    static constexpr int kPatienceMs = 30000; // only keeps a broken test from hanging

    bool settle() {
        if (!window->busy()) return true;
        QSignalSpy idle(window.data(), &SmcManagerWindow::idle);
        return idle.wait(kPatienceMs);
    }

    // Opens a new 8 MB card image by Open > Virtual SMC or as named at start, formatted.
    void openNewCard(bool namedAtStart = false) {
        const fs::path card = dir->path() / "card.smc";
        QCOMPARE(createVirtualImage(card, 0, 3), ImageCreateResult::Ok);
        script.answers.push_back(true);
        if (namedAtStart) {
            QVERIFY(OpenCardImage(*main, QString::fromStdString(card.string())));
        } else {
            main->smcManagerAction->trigger();
            script.files.push_back(card);
            window->openVirtualAction->trigger();
        }
        QVERIFY(settle());
        QCOMPARE(script.log, (std::vector<std::string>{
                                 kFormatOffer, "formatted successfully.\nbad block(s) : 0"}));
        QCOMPARE(column(window->cardTreeModel()), QStringList{"Virtual SMC 'card.smc'"});
        QCOMPARE(window->cardPath->text(), QString("vx:\\"));
        script.log.clear();
    }

    std::unique_ptr<TempDir> dir;
    DialogScript script;
    MainWindow* main = nullptr;
    QPointer<SmcManagerWindow> window;
};

QTEST_MAIN(WindowsTest)
#include "windows_test.moc"
