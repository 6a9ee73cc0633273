// Takes the pictures of the user guide: starts the desktop application's windows with a
// prepared virtual card and a small home folder, and saves PNGs of the main window with the
// SMC manager, of the progress window over it during a copy, and of the vendor and size
// dialog. Run it under a display (tools/screenshots-manager.sh uses Xvfb); the folder to
// write into is its only argument.
#include "app/form_main.h"

#include <common/image_file.h>
#include <smcmanager/card_tables.h>
#include <smcmanager/tree_model.h>
#include <smcmanager_ui/card_icons.h>
#include <smcmanager_ui/form_prog.h>
#include <smcmanager_ui/form_smc.h>
#include <smcmanager_ui/form_smc_opt.h>
#include <smfs/smfs.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QScreen>
#include <QTreeWidget>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void settle(int ms = 300) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool cardFile(SmfsCard& card, const char* path, std::size_t bytes) {
    std::vector<char> data(bytes, 'v');
    SmfsHandle handle = 0;
    if (card.create(path, 1, &handle) != SmfsResult::Ok) return false;
    const bool written = card.write(handle, data.data(), std::uint32_t(bytes)) == SmfsResult::Ok;
    return card.close(handle) == SmfsResult::Ok && written;
}

// An 8 MB card with the machine's usual folders and a few files.
bool makeCard(const QString& path) {
    if (CreateVirtualImage(path.toStdString(), 0, 3) != ImageCreateResult::Ok) return false;
    ImageFile image;
    if (image.open(path.toStdString(), ImageFile::Access::Write) != ImageFile::Status::Ok)
        return false;
    SmfsCard card(image);
    std::uint32_t bad = 0;
    bool ok = card.format("vx:", 0, &bad) == SmfsResult::Ok;
    for (const char* folder : {"vx:\\game", "vx:\\game\\save", "vx:\\mp3", "vx:\\vxsys"})
        ok = ok && card.mkdir(folder, 0) == SmfsResult::Ok;
    ok = ok && cardFile(card, "vx:\\game\\RACER.QXE", 184320) &&
         cardFile(card, "vx:\\game\\PUZZLE.QXC", 65536);
    ok = ok && cardFile(card, "vx:\\mp3\\TUNE.MP3", 1048576) &&
         cardFile(card, "vx:\\README.TXT", 2048);
    ok = ok && cardFile(card, "vx:\\INTRO.MP3", 524288);
    return ok;
}

void pcFile(const QString& path, int bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray(bytes, 'p'));
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
    // The PC side shows "/" and the home folder; a small home of our own looks tidy. A
    // fixed folder keeps the path in the pictures the same from run to run.
    QDir work(QDir::tempPath() + "/vela-screenshots");
    work.removeRecursively();
    if (!work.mkpath(".")) return 1;
    const QString home = work.filePath("home");
    pcFile(home + "/music/album/track01.mp3", 350000);
    pcFile(home + "/music/album/track02.mp3", 410000);
    pcFile(home + "/games/demo.qxe", 90000);
    pcFile(home + "/notes.txt", 1200);
    pcFile(home + "/title.png", 5400);
    qputenv("HOME", home.toLocal8Bit());

    QApplication app(argc, argv);
    QApplication::setApplicationName("Vela Development Tool for Windows2000");
    QApplication::setWindowIcon(CardIcon(kImageProgram, 32));
    const QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    const QString card = work.filePath("demo.smc");
    if (!makeCard(card)) {
        std::fputs("could not prepare the card image\n", stderr);
        return 1;
    }

    TFormMain main;
    auto* progress = new TFormProg(&main);
    main.setProgressWindow(progress);
    main.move(0, 0);
    main.show();
    main.SMCmanager1Click();
    auto* form = qobject_cast<TFormSMC*>(main.CurrentTool->widget());
    SmcManager& manager = form->manager();
    if (!manager.OpenVirtualSmc(card.toStdString())) return 1;
    // Show the home folder below and the game folder above.
    manager.setPcPath(home.toStdString());
    manager.RefreshPc();
    manager.setSmcPath("vx:\\game");
    manager.RefreshSmc();
    settle();
    bool ok = save(main.grab(), out + "/manager.png");

    // The progress window over the manager, as it stands in the middle of a copy.
    manager.setSmcPath("vx:\\");
    manager.RefreshSmc();
    progress->Show();
    progress->SetMsg1("now copying file 'track02.mp3' (size : 410000 bytes)");
    progress->SetAnimation(ProgressUi::Animation::CopyFile);
    progress->StartAnimation();
    progress->SetProg1Max(410000);
    progress->SetProg1Pos(164000);
    progress->SetProg2Max(760000);
    progress->SetProg2Pos(514000);
    settle(500);
    ok = save(QGuiApplication::primaryScreen()->grabWindow(0, main.x(), main.y(), main.width(),
                                                           main.height()),
              out + "/progress.png") &&
         ok;
    progress->StopAnimation();
    progress->Hide();

    std::vector<std::string> sizes;
    for (int mb : kOfferedSizesMb)
        sizes.push_back(std::to_string(mb) + " MB");
    TFormSmcOpt dialog({"Samsung", "Toshiba"}, sizes, CardChoice{0, 4}, &main);
    dialog.show();
    settle();
    ok = save(dialog.grab(), out + "/card-dialog.png") && ok;
    dialog.hide();
    main.close();
    work.removeRecursively();
    return ok ? 0 : 1;
}
