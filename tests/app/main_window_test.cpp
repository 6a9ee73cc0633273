// SPDX-License-Identifier: MIT
// The main window and the common helpers: the tools menu, the one-tool rule of
// currentTool, closing order, and the case-blind child lookup.
#include "fakes/temp_dir.h"
#include "scripted_dialogs.h"

#include <app/global.h>
#include <app/main_window.h>
#include <app/start_arguments.h>
#include <devicelink/device_link.h>
#include <devicelink/usb_hotplug.h>
#include <graphics_ui/graphics_window.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/card_models.h>
#include <smcmanager_ui/manager_dialogs.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QFile>
#include <QFileDialog>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <future>
#include <thread>

namespace {

// Once the next modal dialog is up, hands it to answer (which must close it).
template <typename Dialog, typename Answer> void whenModal(Answer answer) {
    QTimer::singleShot(0, [answer] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        answer(dialog);
    });
}

// Runs the deferred deletions of closed windows.
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        main = new MainWindow;
        made.clear();
        script = DialogScript();
        main->setSmcFactory([this](MainWindow& m) {
            auto* form =
                new SmcManagerWindow(m.icons(), nullptr, std::make_unique<ScriptedDialogs>(script));
            made.append(form);
            return form;
        });
    }
    void cleanup() {
        delete main;
        flushDeletes();
    }

    void captionsAndMenu() {
        QCOMPARE(main->windowTitle(), QString("Vela Developer Tool"));
        QCOMPARE(main->menuBar()->actions()[0]->text(), QString("Utilities"));
        QCOMPARE(main->smcManagerAction->text(), QString("SMC manager"));
        QCOMPARE(main->graphicsToolAction->text(), QString("Graphics tool"));
    }

    void pluggedInMachineIsOfferedToTheOpenManager() {
        auto owned = std::make_unique<FakeHotplugWatcher>();
        FakeHotplugWatcher* watcher = owned.get();
        QVERIFY(main->setHotplugWatcher(std::move(owned)));
        // The watcher's own thread: the event reaches the manager on the window's thread.
        auto plugFromAnotherThread = [watcher] {
            std::thread([watcher] { watcher->plug(); }).join();
        };
        plugFromAnotherThread();
        QCoreApplication::sendPostedEvents(main, QEvent::MetaCall);
        QVERIFY(script.questions.empty()); // no manager open: nothing to offer it to

        main->smcManagerAction->trigger();
        script.answers.push_back(false);
        plugFromAnotherThread();
        QVERIFY(script.questions.empty());
        QSignalSpy idle(made.last().data(), &SmcManagerWindow::idle);
        QVERIFY(idle.wait(30000));
        QCOMPARE(script.questions.size(), std::size_t(1));
        QVERIFY(QString::fromStdString(script.questions[0]).endsWith("open SMC in Vela?"));
        QVERIFY(script.messages.empty()); // declined: nothing more
    }

    // Every way a manager goes clears currentTool and leaves no frame behind; a new
    // manager replaces the one still referred to.
    void managerLifecycle_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("chosen again") << 0;
        QTest::newRow("its frame closed") << 1;
        QTest::newRow("its Exit item") << 2;
        QTest::newRow("main window closed") << 3;
    }
    void managerLifecycle() {
        QFETCH(int, way);
        main->show();
        main->smcManagerAction->trigger();
        QPointer<ToolWindow> first = main->currentTool;
        QCOMPARE(first->widget()->windowTitle(), QString("SMC Manager"));
        QVERIFY(first->isMaximized());
        QSignalSpy closed(made.last().data(), &SmcManagerWindow::closed);
        if (way == 0) main->smcManagerAction->trigger();
        if (way == 1) first->close();
        if (way == 2) made.last()->exitAction->trigger();
        if (way == 3) QVERIFY(main->close());
        QCOMPARE(closed.size(), 1);
        flushDeletes();
        QVERIFY(first.isNull());
        QCOMPARE(main->mdiArea()->subWindowList().size(), way == 0 ? 1 : 0);
        QCOMPARE(main->currentTool.isNull(), way != 0);
    }

    // Closing the main window while the manager works asks first; with OK the running
    // operation is cancelled and both windows close once it has ended.
    void closingDuringAnOperationAsksThenWaits() {
        main->show();
        main->smcManagerAction->trigger();
        QPointer<SmcManagerWindow> manager = made.last();
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        manager->post([released](SmcManager&) { released.wait(); });
        script.answers = {false, true};
        QVERIFY(!main->close()); // declined: both stay
        QVERIFY(!main->close()); // accepted: both close once the operation has ended
        QCOMPARE(script.questions, (std::vector<std::string>(2, kCancelAndCloseQuestion)));
        QVERIFY(main->isVisible() && manager);
        QSignalSpy gone(manager.data(), &QObject::destroyed);
        release.set_value();
        QVERIFY(gone.wait(30000));
        QCoreApplication::sendPostedEvents(main, QEvent::MetaCall); // the main window's close
        QVERIFY(!main->isVisible());
    }

    // A machine named at start is what Open > SMC in Vela reaches, with the real dialogs.
    void namedMachineIsOpened() {
        TempDir dir;
        std::filesystem::create_directories(dir / "GAME");
        std::string failure;
        QVERIFY(!main->setMachine("bogus", failure));
        QCOMPARE(failure, std::string("'bogus' names no machine"));
        QVERIFY(main->setMachine("sim:" + dir.path().string(), failure));
        main->setSmcFactory(&MainWindow::MakeSmcManager);
        main->smcManagerAction->trigger();
        auto* window = qobject_cast<SmcManagerWindow*>(main->currentTool->widget());
        QTimer dismiss; // the prompt to ready the machine
        dismiss.callOnTimeout([] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->accept();
        });
        dismiss.start(10);
        window->openMachineAction->trigger();
        QSignalSpy idle(window, &SmcManagerWindow::idle);
        QVERIFY(idle.wait(30000));
        QCOMPARE(window->cardTreeModel()->index(0, 0).data().toString(), QString("SMC in Vela"));
        QCOMPARE(window->cardListModel()->index(0, 0).data().toString(), QString("game"));
    }

    void graphicsToolReplacesManager() {
        main->smcManagerAction->trigger();
        QPointer<SmcManagerWindow> manager = made.last();
        main->graphicsToolAction->trigger();
        flushDeletes();
        QVERIFY(manager.isNull());
        QVERIFY(qobject_cast<GraphicsWindow*>(main->currentTool->widget()));
        QCOMPARE(main->currentTool->windowTitle(), QString("Graphics manager"));

        main->setGraphicsFactory({});
        QVERIFY(!main->graphicsToolAction->isEnabled());
    }

    void commandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("card");
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("good");
        QTest::newRow("none") << QStringList{} << QString() << QString() << true;
        QTest::newRow("card") << QStringList{"/tmp/a card.smc"} << "/tmp/a card.smc" << QString()
                              << true;
        QTest::newRow("dash card after --")
            << QStringList{"--", "-a.smc"} << "-a.smc" << QString() << true;
        QTest::newRow("machine and card")
            << QStringList{"--machine", "sim:/tmp/m", "a.smc"} << "a.smc"
            << "sim:/tmp/m" << true;
        QTest::newRow("machine joined")
            << QStringList{"--machine=unix:/run/vela"} << QString() << "unix:/run/vela" << true;
        QTest::newRow("machine missing")
            << QStringList{"--machine"} << QString() << QString() << false;
        QTest::newRow("machine empty")
            << QStringList{"--machine="} << QString() << QString() << false;
        QTest::newRow("unknown option")
            << QStringList{"--bogus"} << QString() << QString() << false;
        QTest::newRow("two cards")
            << QStringList{"a.smc", "b.smc"} << QString() << QString() << false;
        QTest::newRow("empty name") << QStringList{""} << QString() << QString() << false;
    }
    void commandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, card);
        QFETCH(QString, machine);
        QFETCH(bool, good);
        const StartArguments parsed = ParseStartArguments(arguments);
        QCOMPARE(parsed.problem.isEmpty(), good);
        if (!good) return;
        QCOMPARE(parsed.card, card);
        QCOMPARE(parsed.machine, machine);
    }

    // A card image named at start opens in the manager, whatever its name holds.
    void cardOpensInManager() {
        TempDir dir;
        const QString name = QString::fromUtf8("k\xc3\xa4se card.smc");
        const QString path = QString::fromStdString(dir.path().string()) + "/" + name;
        QCOMPARE(createVirtualImage(QFile::encodeName(path).toStdString(), 0, 0),
                 ImageCreateResult::Ok);
        script.answers.push_back(true); // format the blank image
        main->openSmcManager();
        QVERIFY(OpenCardImage(*main, path));
        QCOMPARE(main->mdiArea()->subWindowList().size(), 1);
        auto* window = qobject_cast<SmcManagerWindow*>(main->currentTool->widget());
        QVERIFY(window);
        QSignalSpy idle(window, &SmcManagerWindow::idle);
        QVERIFY(!window->busy() || idle.wait(30000));
        QCOMPARE(window->cardTreeModel()->index(0, 0).data().toString(),
                 "Virtual SMC '" + name + "'");
        QCOMPARE(script.messages.size(), std::size_t(1)); // formatted successfully
    }

    // A folder that does not exist opens the chooser at the home folder, and still works.
    void browseForFolderStartsAtHomeWithoutInitial() {
        QTemporaryDir dir;
        QString folder;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->directory().absolutePath(), QDir::home().absolutePath());
            dialog->setDirectory(dir.path());
            dialog->selectFile(dir.path());
            static_cast<QDialog*>(dialog)->accept(); // as the Choose button does
        });
        QVERIFY(BrowseForFolder(nullptr, "export folder", dir.filePath("missing"), folder));
        QCOMPARE(QDir(folder).absolutePath(), QDir(dir.path()).absolutePath());
    }

    void realFileChoosersUseTheCardFilter() {
        QTemporaryDir dir;
        QtManagerDialogs dialogs;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->nameFilters(), QStringList{"Vela Virtual SMC File (*.smc)"});
            QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
            dialog->reject();
        });
        QVERIFY(!dialogs.openFile(nullptr, kImageFilter, kImageExtension));

        // The save chooser adds the card extension to a name typed without one.
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(dialog->defaultSuffix(), QString("smc"));
            dialog->setDirectory(dir.path());
            dialog->selectFile("new");
            static_cast<QDialog*>(dialog)->accept();
        });
        const auto saved = dialogs.saveFile(nullptr, kImageFilter, kImageExtension);
        QVERIFY(saved);
        QCOMPARE(QString::fromStdString(saved->filename().string()), QString("new.smc"));

        whenModal<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
        QVERIFY(!dialogs.saveFile(nullptr, kImageFilter, kImageExtension));
    }

    // The replace question's buttons give their answers; Esc ends the copy and Enter keeps
    // the file.
    void replaceQuestionAnswers() {
        using Answer = ManagerUi::ReplaceAnswer;
        const struct {
            QMessageBox::StandardButton button; // NoButton: a key instead
            int key;
            Answer answer;
        } cases[] = {{QMessageBox::Yes, 0, Answer::Yes},
                     {QMessageBox::YesToAll, 0, Answer::YesToAll},
                     {QMessageBox::No, 0, Answer::No},
                     {QMessageBox::NoButton, Qt::Key_Escape, Answer::Cancel},
                     {QMessageBox::NoButton, Qt::Key_Return, Answer::No}};
        QtManagerDialogs dialogs;
        for (const auto& c : cases) {
            whenModal<QMessageBox>([&](QMessageBox* box) {
                if (c.button != QMessageBox::NoButton)
                    box->button(c.button)->click();
                else
                    QTest::keyClick(box, Qt::Key(c.key));
            });
            QCOMPARE(dialogs.replace(nullptr, "replace?"), c.answer);
        }
    }

    // A message box under the application's long name is wide enough for its caption.
    void messageCaptionFits() {
        QApplication::setApplicationDisplayName("Vela Development Tool for Windows2000");
        QtManagerDialogs dialogs;
        whenModal<QMessageBox>([](QMessageBox* box) {
            // Beside the caption the frame holds an icon and three buttons.
            QVERIFY(box->width() >= box->fontMetrics().horizontalAdvance(box->windowTitle()) + 100);
            box->accept();
        });
        dialogs.message(nullptr, "formatted successfully.");
    }

private:
    MainWindow* main = nullptr;
    DialogScript script;
    QList<QPointer<SmcManagerWindow>> made;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
