// The start-up arguments: which command lines name a card image, and a card image given at
// start opening in the SMC manager (or the manager's own message when it cannot be opened).
#include "fakes/temp_dir.h"
#include "scripted_dialogs.h"

#include <app/form_main.h>
#include <app/start_arguments.h>
#include <common/image_file.h>
#include <devicelink/device_link.h>
#include <smcmanager/card_tables.h>
#include <smcmanager_ui/form_prog.h>
#include <smcmanager_ui/form_smc.h>
#include <smfs/smfs.h>

#include <QFile>
#include <QMdiArea>
#include <QTest>

#include <cstdio>
#include <filesystem>

class StartArgumentsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        main = new TFormMain;
        main->setProgressWindow(new TFormProg(main));
        main->setSmcFactory([this](TFormMain& m) {
            return new TFormSMC(*m.progressWindow(), m.SmallSysImages, m.LargeSysImages, nullptr,
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
        QTest::addColumn<bool>("good");
        QTest::newRow("none") << QStringList{} << QString() << true;
        QTest::newRow("card") << QStringList{"/tmp/a card.smc"} << "/tmp/a card.smc" << true;
        QTest::newRow("dash card after --") << QStringList{"--", "-a.smc"} << "-a.smc" << true;
        QTest::newRow("unknown option") << QStringList{"--bogus"} << QString() << false;
        QTest::newRow("two cards") << QStringList{"a.smc", "b.smc"} << "a.smc" << false;
        QTest::newRow("empty name") << QStringList{""} << QString() << false;
    }
    void commandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, card);
        QFETCH(bool, good);
        const StartArguments parsed = ParseStartArguments(arguments);
        QCOMPARE(parsed.problem.isEmpty(), good);
        if (good) QCOMPARE(parsed.card, card);
    }

    void cardOpensInManager() {
        TempDir dir;
        // A name a file manager may well hand over: a space and a letter beyond ASCII.
        const QString path = QString::fromStdString(dir.path().string()) +
                             QString::fromUtf8("/k\xc3\xa4se card.smc");
        const std::filesystem::path native(QFile::encodeName(path).toStdString());
        QCOMPARE(CreateVirtualImage(native, 0, 0), ImageCreateResult::Ok);
        bool made = false;
        {
            ImageFile image;
            QVERIFY(image.open(native, ImageFile::Access::Write) == ImageFile::Status::Ok);
            SmfsCard card(image);
            std::uint32_t bad = 0;
            made = card.format("vx:", 0, &bad) == SmfsResult::Ok &&
                   card.mkdir("vx:\\game", 0) == SmfsResult::Ok;
        }
        QVERIFY(made);

        main->SMCmanager1Click(); // a tool already open is replaced
        QVERIFY(OpenCardImage(*main, path));
        auto* form = qobject_cast<TFormSMC*>(main->CurrentTool->widget());
        QVERIFY(form);
        QCOMPARE(form->manager().storageKind(), kStorageVirtual);
        QCOMPARE(QString::fromStdString(form->manager().imageName()),
                 QString::fromUtf8("k\xc3\xa4se card.smc"));
        QCOMPARE(form->manager().SmcItems().size(), std::size_t(1));
        QVERIFY(script.messages.empty());
        QCOMPARE(main->mdiArea()->subWindowList().size(), 1);
    }

    void missingCardGetsManagerMessage() {
        TempDir dir;
        const QString path = QString::fromStdString((dir / "gone.smc").string());
        QVERIFY(!OpenCardImage(*main, path));
        QVERIFY(main->CurrentTool);
        auto* form = qobject_cast<TFormSMC*>(main->CurrentTool->widget());
        QVERIFY(form);
        QCOMPARE(form->manager().storageKind(), kStorageNone);
        QCOMPARE(script.takeMessages(),
                 std::vector<std::string>{"Failed to open virtual SMC file."});
    }

private:
    TFormMain* main = nullptr;
    DialogScript script;
};

QTEST_MAIN(StartArgumentsTest)
#include "start_arguments_test.moc"
