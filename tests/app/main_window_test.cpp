// The main window and the common helpers: the tools menu, the one-tool rule of
// CurrentTool, closing order, and the case-blind child lookup.
#include "scripted_dialogs.h"

#include <app/form_main.h>
#include <app/global.h>
#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <devicelink/usb_hotplug.h>
#include <graphics_ui/graphics_window.h>
#include <smcmanager_ui/form_prog.h>
#include <smcmanager_ui/form_smc.h>
#include <smcmanager_ui/manager_dialogs.h>

#include <QDialogButtonBox>
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
#include <QTreeWidgetItem>

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
        main = new TFormMain;
        main->setProgressWindow(new TFormProg(main));
        made.clear();
        main->setSmcFactory([this](TFormMain& m) {
            auto* form = new TFormSMC(*m.progressWindow(), m.SmallSysImages, m.LargeSysImages,
                                      nullptr, std::make_unique<ScriptedDialogs>(script));
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
        QCOMPARE(main->size(), QSize(870, 640));
        const QList<QAction*> top = main->menuBar()->actions();
        QCOMPARE(top.size(), 1);
        QCOMPARE(top[0]->text(), QString("Utilities"));
        QCOMPARE(main->SMCmanager1->text(), QString("SMC manager"));
        QCOMPARE(main->Imagemanager1->text(), QString("Graphics tool"));
        QVERIFY(main->SMCmanager1->isEnabled());
        QVERIFY(main->Imagemanager1->isEnabled());
        QVERIFY(main->CurrentTool.isNull());
        QVERIFY(main->progressWindow()->isHidden());
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
        QCoreApplication::processEvents();
        QVERIFY(script.questions.empty()); // no manager open: nothing to offer it to

        main->SMCmanager1->trigger();
        script.answers.push_back(false);
        plugFromAnotherThread();
        QVERIFY(script.questions.empty());
        QCoreApplication::processEvents();
        QCOMPARE(script.questions.size(), std::size_t(1));
        QVERIFY(QString::fromStdString(script.questions[0]).endsWith("open SMC in Vela?"));
        QVERIFY(script.messages.empty()); // declined: nothing more
    }

    void managerTwiceLeavesOne() {
        main->SMCmanager1->trigger();
        QPointer<ToolWindow> first = main->CurrentTool;
        QVERIFY(first);
        QCOMPARE(first->widget()->windowTitle(), QString("SMC Manager"));
        QVERIFY(first->isMaximized());
        main->SMCmanager1->trigger();
        flushDeletes();
        QVERIFY(first.isNull());
        QCOMPARE(main->mdiArea()->subWindowList().size(), 1);
        QCOMPARE(main->CurrentTool->widget(), made.last().data());
        QVERIFY(made.first().isNull());
    }

    void closingManagerClearsReference() {
        main->SMCmanager1->trigger();
        QSignalSpy closed(made.last().data(), &TFormSMC::closed);
        main->CurrentTool->close();
        QCOMPARE(closed.size(), 1);
        QVERIFY(main->CurrentTool.isNull());
        flushDeletes();
        QVERIFY(main->mdiArea()->subWindowList().isEmpty());
        // Nothing is referred to, so the next choice closes nothing and opens one manager.
        main->SMCmanager1->trigger();
        QCOMPARE(main->mdiArea()->subWindowList().size(), 1);
    }

    void exitItemClosesManager() {
        main->SMCmanager1->trigger();
        made.last()->Exit1->trigger();
        QVERIFY(main->CurrentTool.isNull());
    }

    void closingMainWindowClosesToolFirst() {
        main->show();
        main->SMCmanager1->trigger();
        QSignalSpy closed(made.last().data(), &TFormSMC::closed);
        QVERIFY(main->close());
        QCOMPARE(closed.size(), 1);
        QVERIFY(main->CurrentTool.isNull());
    }

    void graphicsToolReplacesManager() {
        main->SMCmanager1->trigger();
        QPointer<TFormSMC> manager = made.last();
        main->Imagemanager1->trigger();
        flushDeletes();
        QVERIFY(manager.isNull());
        QVERIFY(qobject_cast<GraphicsWindow*>(main->CurrentTool->widget()));
        QCOMPARE(main->CurrentTool->windowTitle(), QString("Graphics manager"));

        main->setGraphicsFactory({});
        QVERIFY(!main->Imagemanager1->isEnabled());
        main->setGraphicsFactory([](TFormMain&) {
            auto* tool = new QWidget;
            tool->setWindowTitle("Graphics");
            return tool;
        });
        QVERIFY(main->Imagemanager1->isEnabled());
        main->Imagemanager1->trigger();
        flushDeletes();
        QVERIFY(manager.isNull());
        QCOMPARE(main->CurrentTool->widget()->windowTitle(), QString("Graphics"));
    }

    void findTreeNodeFirstCaseVariantNeverGrandchild() {
        QTreeWidgetItem root(QStringList{"vx:"});
        auto* game = new QTreeWidgetItem(&root, QStringList{"Game"});
        auto* gameLower = new QTreeWidgetItem(&root, QStringList{"game"});
        auto* music = new QTreeWidgetItem(&root, QStringList{"mp3"});
        new QTreeWidgetItem(music, QStringList{"save"});
        QCOMPARE(FindTreeNode(&root, "GAME"), game);
        QCOMPARE(FindTreeNode(&root, "game"), game);
        QVERIFY(gameLower != game);
        QCOMPARE(FindTreeNode(&root, "MP3"), music);
        QCOMPARE(FindTreeNode(&root, "save"), nullptr);
        QCOMPARE(FindTreeNode(game, "game"), nullptr);
        QCOMPARE(FindTreeNode(static_cast<QTreeWidgetItem*>(nullptr), "game"), nullptr);
    }

    void confirmBoxOkOnly() {
        whenModal<QMessageBox>([](QMessageBox* box) {
            QCOMPARE(box->text(), QString("do you really want to format smc?"));
            box->button(QMessageBox::Ok)->click();
        });
        QVERIFY(ConfirmBox("do you really want to format smc?"));
        whenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Cancel)->click(); });
        QVERIFY(!ConfirmBox("again?"));
        whenModal<QMessageBox>([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
        QVERIFY(!ConfirmBox("and again?"));
    }

    void browseForFolderStartsAtInitialOrHome() {
        QTemporaryDir dir;
        QString folder = "untouched";
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->windowTitle(), QString("export folder"));
            QCOMPARE(dialog->directory().absolutePath(), QDir(dir.path()).absolutePath());
            dialog->reject();
        });
        QVERIFY(!BrowseForFolder(nullptr, "export folder", dir.path(), folder));
        QCOMPARE(folder, QString("untouched"));

        // A folder that does not exist opens at the home folder and still works.
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
        QFile(dir.filePath("old.smc")).open(QIODevice::WriteOnly);
        QtManagerDialogs dialogs;
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->nameFilters(), QStringList{"Vela Virtual SMC File (*.smc)"});
            QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
            dialog->setDirectory(dir.path());
            dialog->selectFile(dir.filePath("old.smc"));
            static_cast<QDialog*>(dialog)->accept();
        });
        const auto opened = dialogs.openFile(nullptr, kSmcFilter, kSmcExtension);
        QVERIFY(opened);
        QCOMPARE(QString::fromStdString(opened->string()), dir.filePath("old.smc"));

        // The save chooser adds the card extension to a name typed without one.
        whenModal<QFileDialog>([&](QFileDialog* dialog) {
            QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(dialog->defaultSuffix(), QString("smc"));
            dialog->setDirectory(dir.path());
            dialog->selectFile("new");
            static_cast<QDialog*>(dialog)->accept();
        });
        const auto saved = dialogs.saveFile(nullptr, kSmcFilter, kSmcExtension);
        QVERIFY(saved);
        QCOMPARE(QString::fromStdString(saved->filename().string()), QString("new.smc"));

        whenModal<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
        QVERIFY(!dialogs.saveFile(nullptr, kSmcFilter, kSmcExtension));
    }

private:
    TFormMain* main = nullptr;
    DialogScript script;
    QList<QPointer<TFormSMC>> made;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
