// SPDX-License-Identifier: MIT
// The wiring of the application's windows on the offscreen platform, against real card
// images: what the user does reaches the core on its thread, questions are answered on the
// window's thread, and what comes back is shown. What the core does is tested with the core.
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

#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <fstream>
#include <future>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Every message and question is logged, and answered from the script. A dialog the script
// did not plan for is answered with Cancel and counted, as is one shown off the window's
// thread. whileShown runs inside every dialog, as if the user acted while it is up.
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

// Once the next modal dialog is up, hands it to answer (which must close it).
template <typename Dialog, typename Answer> void whenModal(Answer answer) {
    QTimer::singleShot(0, [answer] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        answer(dialog);
    });
}

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void writePc(const fs::path& path, std::size_t bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << std::string(bytes, 'v');
}

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
        QCOMPARE(script.unplanned, 0);
        QCOMPARE(script.offThread, 0);
        delete main;
        flushDeletes();
        dir.reset();
    }

    // ---- The main window ----

    // The menu's texts, and every way a manager goes: it closes, currentTool is cleared or
    // names its successor, and no frame is left behind.
    void managerLifecycle_data() {
        QTest::addColumn<int>("way");
        int way = 0;
        for (const char* name : {"chosen again", "its frame closed", "its Exit item",
                                 "main window closed", "graphics tool chosen"})
            QTest::newRow(name) << way++;
    }
    void managerLifecycle() {
        QFETCH(int, way);
        QCOMPARE(main->windowTitle(), QString("Vela Developer Tool"));
        QCOMPARE(main->menuBar()->actions()[0]->text(), QString("Utilities"));
        QCOMPARE(main->smcManagerAction->text(), QString("SMC manager"));
        QCOMPARE(main->graphicsToolAction->text(), QString("Graphics tool"));
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
        QCOMPARE(closed.size(), 1);
        flushDeletes();
        QVERIFY(first.isNull());
        QCOMPARE(main->mdiArea()->subWindowList().size(), way == 0 || way == 4 ? 1 : 0);
        const QString successor = way == 0 ? "SMC Manager" : way == 4 ? "Graphics manager" : "";
        QCOMPARE(main->currentTool ? main->currentTool->windowTitle() : QString(), successor);
    }

    // Closing the main window while the manager works asks first; with OK the running
    // operation is cancelled and both windows close once it has ended.
    void closingDuringAnOperationAsksThenWaits() {
        main->smcManagerAction->trigger();
        QPointer<SmcManagerWindow> manager = window;
        std::promise<void> release;
        manager->post([released = release.get_future().share()](SmcManager&) { released.wait(); });
        script.answers = {false, true};
        QVERIFY(!main->close()); // declined: both stay
        QVERIFY(!main->close()); // accepted: both close once the operation has ended
        QCOMPARE(script.log, (std::vector<std::string>(2, kCancelAndCloseQuestion)));
        QVERIFY(main->isVisible() && manager);
        QSignalSpy gone(manager.data(), &QObject::destroyed);
        release.set_value();
        QVERIFY(gone.wait(kPatienceMs));
        QCoreApplication::sendPostedEvents(main, QEvent::MetaCall); // the main window's close
        QVERIFY(!main->isVisible());
    }

    // A plug event from the watcher's own thread reaches the open manager on the window's,
    // and none is kept for a manager opened later.
    void pluggedInMachineIsOfferedToTheOpenManager() {
        auto owned = std::make_unique<FakeHotplugWatcher>();
        FakeHotplugWatcher* watcher = owned.get();
        QVERIFY(main->setHotplugWatcher(std::move(owned)));
        for (int plugged = 0; plugged < 2; ++plugged) {
            if (plugged == 1) main->smcManagerAction->trigger();
            std::thread([watcher] { watcher->plug(); }).join();
            QCoreApplication::sendPostedEvents(main, QEvent::MetaCall);
        }
        script.answers.push_back(false);
        QVERIFY(settle());
        QCOMPARE(script.log.size(), std::size_t(1)); // declined: nothing more
        QVERIFY(QString::fromStdString(script.log[0]).endsWith("open SMC in Vela?"));
    }

    // A machine named at start is what Open > SMC in Vela reaches, with the real dialogs.
    void namedMachineIsOpened() {
        fs::create_directories(dir->path() / "GAME");
        std::string failure;
        QVERIFY(main->setMachine("sim:" + dir->path().string(), failure));
        main->setSmcFactory(&MainWindow::MakeSmcManager);
        main->smcManagerAction->trigger();
        auto* manager = qobject_cast<SmcManagerWindow*>(main->currentTool->widget());
        QTimer dismiss; // the prompt to ready the machine
        dismiss.callOnTimeout([] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        dismiss.start(10);
        manager->openMachineAction->trigger();
        QSignalSpy idle(manager, &SmcManagerWindow::idle);
        QVERIFY(idle.wait(kPatienceMs));
        QCOMPARE(column(manager->cardTreeModel()), QStringList{"SMC in Vela"});
        QCOMPARE(column(manager->cardListModel()), QStringList{"game"});
    }

    // The real replace question's buttons give their answers; Esc ends the copy and Enter
    // keeps the file.
    void replaceQuestionAnswers() {
        QtManagerDialogs dialogs;
        using Answer = ManagerUi::ReplaceAnswer;
        const std::pair<int, Answer> replies[] = {{QMessageBox::Yes, Answer::Yes},
                                                  {QMessageBox::YesToAll, Answer::YesToAll},
                                                  {QMessageBox::No, Answer::No},
                                                  {Qt::Key_Escape, Answer::Cancel},
                                                  {Qt::Key_Return, Answer::No}};
        for (const auto& [reply, answer] : replies) {
            whenModal<QMessageBox>([reply](QMessageBox* box) {
                if (auto* button = box->button(QMessageBox::StandardButton(reply)))
                    button->click();
                else
                    QTest::keyClick(box, Qt::Key(reply));
            });
            QCOMPARE(dialogs.replace(nullptr, "replace?"), answer);
        }
    }

    // ---- The SMC manager window ----

    // Menu items, keys, double clicks and drops reach the core on its thread; the input
    // box is answered on the window's thread; the models, the path and the space line show
    // what comes back. A PC file dropped on a card folder node goes there; a card item
    // dragged from the list to a PC folder node goes there, and never back onto the list.
    void commandsReachTheCore() {
        openNewCard();
        QVERIFY(window->sizeLabel->text().startsWith("total size:"));
        script.texts = {"game"};
        window->createFolderAction->trigger();
        QVERIFY(settle());
        QCOMPARE(script.log, std::vector<std::string>{"please type folder name"});
        const QModelIndex root = window->cardTreeModel()->index(0, 0);
        QCOMPARE(column(window->cardTreeModel(), root), QStringList{"game"});
        QVERIFY(window->cardTree->isExpanded(root));

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

        // A drop on the shown folder's node lists it anew after the paste.
        window->cardList->doubleClicked(rowNamed(window->cardListModel(), "game"));
        writePc(dir->path() / "pc" / "tune.mp3", 1500);
        QMimeData files;
        files.setUrls({QUrl::fromLocalFile(
            QString::fromStdString((dir->path() / "pc" / "tune.mp3").string()))});
        QVERIFY(settle());
        QVERIFY(window->cardTree->acceptsDrop(&files, window->cardTree->currentIndex()));
        window->cardTree->dropped(&files, window->cardTree->currentIndex());
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
    void panesClearWhenNoCardIsOpen_data() {
        QTest::addColumn<bool>("cancelledOpen");
        QTest::newRow("Close") << false;
        QTest::newRow("open cancelled") << true;
    }
    void panesClearWhenNoCardIsOpen() {
        QFETCH(bool, cancelledOpen);
        openNewCard();
        if (cancelledOpen) script.files.push_back(std::nullopt);
        (cancelledOpen ? window->openVirtualAction : window->closeAction)->trigger();
        QVERIFY(settle());
        QCOMPARE(window->cardTreeModel()->rowCount() + window->cardListModel()->rowCount(), 0);
        QVERIFY(window->cardPath->text().isEmpty() && window->sizeLabel->text().isEmpty());
    }

    // In a card named at start, the popup menu's Copy and Ctrl+V on the PC list copy a
    // card folder to the PC. Its gauges reach the modal progress window; Esc there stops the
    // copy between files, and the window never leaves until the core hides it.
    void copyPasteProgressAndCancel() {
        openNewCard(true);
        writePc(dir->path() / "pc" / "docs" / "a.txt", 3000);
        writePc(dir->path() / "pc" / "docs" / "b.txt", 3000);
        window->post([docs = (dir->path() / "pc" / "docs").string() + "/"](SmcManager& core) {
            (void)core.copyToCard(kCardRoot, {docs});
            core.refreshCard();
        });
        // The PC already holds a folder where a.txt would go: its failure message is shown
        // while the copy waits, and Esc is pressed meanwhile.
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

private:
    static constexpr int kPatienceMs = 30000; // only keeps a broken test from hanging

    bool settle() {
        if (!window->busy()) return true;
        QSignalSpy idle(window.data(), &SmcManagerWindow::idle);
        return idle.wait(kPatienceMs);
    }

    // Opens a new, unformatted 8 MB card image in the manager, through Open > Virtual SMC or
    // as named at start, formatted on the core's offer; the models show the card.
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
