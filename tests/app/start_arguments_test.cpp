// The start-up arguments: which command lines name a card image and a machine, and a card
// image given at start opening in the SMC manager (or the manager's own message when it
// cannot be opened).
#include "fakes/temp_dir.h"
#include "scripted_dialogs.h"

#include <app/main_window.h>
#include <app/start_arguments.h>
#include <devicelink/device_link.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/card_models.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QFile>
#include <QMdiArea>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>

class StartArgumentsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        main = new MainWindow;
        main->setSmcFactory([this](MainWindow& m) {
            return new SmcManagerWindow(m.icons(), nullptr,
                                        std::make_unique<ScriptedDialogs>(script));
        });
    }
    void cleanup() {
        QCOMPARE(script.unplanned, 0);
        delete main;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        script = DialogScript();
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

    // A card image named at start opens in the manager (a tool already open is replaced);
    // one that cannot be opened gets the manager's own message.
    void cardOpensInManager_data() {
        QTest::addColumn<bool>("exists");
        QTest::newRow("name with a space and a letter beyond ASCII") << true;
        QTest::newRow("missing") << false;
    }
    void cardOpensInManager() {
        QFETCH(bool, exists);
        TempDir dir;
        const QString name = QString::fromUtf8("k\xc3\xa4se card.smc");
        const QString path = QString::fromStdString(dir.path().string()) + "/" + name;
        const std::filesystem::path native(QFile::encodeName(path).toStdString());
        if (exists) {
            QCOMPARE(createVirtualImage(native, 0, 0), ImageCreateResult::Ok);
            script.answers.push_back(true); // format the blank image
        }
        main->openSmcManager();
        QVERIFY(OpenCardImage(*main, path));
        QCOMPARE(main->mdiArea()->subWindowList().size(), 1);
        auto* window = qobject_cast<SmcManagerWindow*>(main->currentTool->widget());
        QVERIFY(window);
        QSignalSpy idle(window, &SmcManagerWindow::idle);
        QVERIFY(!window->busy() || idle.wait(30000));
        if (exists) {
            QCOMPARE(window->cardTreeModel()->index(0, 0).data().toString(),
                     "Virtual SMC '" + name + "'");
            QCOMPARE(script.messages.size(), std::size_t(1)); // formatted successfully
        } else {
            QCOMPARE(window->cardTreeModel()->rowCount(), 0);
            QCOMPARE(script.takeMessages(),
                     std::vector<std::string>{"Failed to open virtual SMC file."});
        }
    }

private:
    MainWindow* main = nullptr;
    DialogScript script;
};

QTEST_MAIN(StartArgumentsTest)
#include "start_arguments_test.moc"
