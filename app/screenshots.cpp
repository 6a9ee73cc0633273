// SPDX-License-Identifier: MIT
// Takes the pictures of the user guide: starts the desktop application's windows with a
// prepared virtual card and a small home folder, and saves PNGs of the main window with the
// SMC manager, of the progress window over it during a copy, and of the vendor and size
// dialog. Run it under a display (tools/screenshots-manager.sh uses Xvfb); the folder to
// write into is its only argument.
#include "app/main_window.h"

#include <devicelink/device_link.h>
#include <smcmanager/card_tables.h>
#include <smcmanager/tree_model.h>
#include <smcmanager_ui/card_icons.h>
#include <smcmanager_ui/card_options_dialog.h>
#include <smcmanager_ui/manager_dialogs.h>
#include <smcmanager_ui/pane_views.h>
#include <smcmanager_ui/progress_dialog.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The real dialogs, except that questions are answered with OK and messages printed: the
// pictures are taken without anybody at the keyboard.
class UnattendedDialogs : public QtManagerDialogs {
public:
    void message(QWidget*, const std::string& text) override {
        std::printf("message: %s\n", text.c_str());
    }
    bool okCancel(QWidget*, const std::string&, ManagerUi::QuestionKind) override { return true; }
};

// Lets the windows paint for a while.
void pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Waits until the manager has run its tasks (at most a minute).
void waitIdle(SmcManagerWindow& window) {
    if (!window.busy()) return;
    QEventLoop loop;
    QObject::connect(&window, &SmcManagerWindow::idle, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
}

std::string pcFile(const QString& path, int bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray(bytes, 'p'));
    return QFile::encodeName(path).toStdString();
}

bool save(const QPixmap& picture, const QString& path) {
    const bool ok = picture.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: vela-devtool-screenshots OUTPUT-FOLDER\n", stderr);
        return 2;
    }
    // A small home of our own looks tidy; a fixed folder keeps the paths in the pictures
    // the same from run to run.
    QDir work(QDir::tempPath() + "/vela-screenshots");
    work.removeRecursively();
    if (!work.mkpath(".")) return 1;
    const QString home = work.filePath("home");
    pcFile(home + "/music/album/track01.mp3", 350000);
    pcFile(home + "/music/album/track02.mp3", 410000);
    pcFile(home + "/games/demo.qxe", 90000);
    pcFile(home + "/notes.txt", 1200);
    pcFile(home + "/title.png", 5400);
    const QString source = work.filePath("card");
    const std::vector<std::string> games = {pcFile(source + "/RACER.QXE", 184320),
                                            pcFile(source + "/PUZZLE.QXC", 65536)};
    const std::vector<std::string> music = {pcFile(source + "/TUNE.MP3", 1048576)};
    const std::vector<std::string> top = {pcFile(source + "/README.TXT", 2048),
                                          pcFile(source + "/INTRO.MP3", 524288)};
    qputenv("HOME", home.toLocal8Bit());

    QApplication app(argc, argv);
    QApplication::setApplicationName("Vela Development Tool for Windows2000");
    QApplication::setWindowIcon(CardIcon(kImageProgram, 32));
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const std::string card = QFile::encodeName(work.filePath("demo.smc")).toStdString();
    if (createVirtualImage(card, 0, 3) != ImageCreateResult::Ok) {
        std::fputs("could not write the card image\n", stderr);
        return 1;
    }

    MainWindow main;
    main.setSmcFactory([](MainWindow& m) -> QWidget* {
        return new SmcManagerWindow(m.icons(), nullptr, std::make_unique<UnattendedDialogs>());
    });
    main.move(0, 0);
    main.show();
    main.openSmcManager();
    auto* window = qobject_cast<SmcManagerWindow*>(main.currentTool->widget());
    // An 8 MB card with the machine's usual folders and a few files, shown at its game
    // folder; the home folder below.
    window->post([&](SmcManager& core) {
        if (!core.openImage(card)) return;
        for (const char* folder : {"vx:\\game", "vx:\\game\\save", "vx:\\mp3", "vx:\\vxsys"})
            (void)core.makeCardFolder(folder);
        (void)core.copyToCard("vx:\\game", games);
        (void)core.copyToCard("vx:\\mp3", music);
        (void)core.copyToCard("vx:\\", top);
        core.setCardPath("vx:\\game");
        core.refreshCard();
    });
    window->showPcFolder(home);
    waitIdle(*window);
    pause(500);
    // The home folder at the top of the PC tree, its folders open below it.
    window->pcTree->expand(window->pcTree->currentIndex());
    pause(300);
    window->pcTree->scrollTo(window->pcTree->currentIndex(), QAbstractItemView::PositionAtTop);
    pause(300);
    bool ok = save(main.grab(), out + "/manager.png");

    // The progress window over the manager, as it stands in the middle of a copy.
    window->post([](SmcManager& core) {
        core.setCardPath("vx:\\");
        core.refreshCard();
    });
    waitIdle(*window);
    ProgressUi& progress = *window->progressDialog();
    progress.showProgress();
    progress.setStepText("now copying file 'track02.mp3' (size : 410000 bytes)");
    progress.setAnimation(ProgressUi::Animation::CopyFile);
    progress.startAnimation();
    progress.setItemMaximum(410000);
    progress.setItemProgress(164000);
    progress.setTotalMaximum(760000);
    progress.setTotalProgress(514000);
    pause(600);
    ok = save(QGuiApplication::primaryScreen()->grabWindow(0, main.x(), main.y(), main.width(),
                                                           main.height()),
              out + "/progress.png") &&
         ok;
    progress.stopAnimation();
    progress.hideProgress();

    std::vector<std::string> sizes;
    for (int mb : kOfferedSizesMb)
        sizes.push_back(std::to_string(mb) + " MB");
    CardOptionsDialog dialog({"Samsung", "Toshiba"}, sizes, CardChoice{0, 4}, &main);
    dialog.show();
    pause(300);
    ok = save(dialog.grab(), out + "/card-dialog.png") && ok;
    dialog.hide();
    main.close();
    work.removeRecursively();
    return ok ? 0 : 1;
}
