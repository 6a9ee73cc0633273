// SPDX-License-Identifier: MIT
// Start-up of the Vela Developer Tool: checks that a display can be reached, creates the
// application object with its title and the main window, chooses the machine the SMC
// manager reaches, opens a card image given on the command line, and runs the event loop
// until the main window closes.
#include "app/main_window.h"
#include "app/start_arguments.h"

#include <devicelink/usb_hotplug.h>
#include <smcmanager/tree_model.h>
#include <smcmanager_ui/card_icons.h>

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kStartUsage, stdout);
            return 0;
        }
    }
    // Without a display Qt would abort; say what to use instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs("vela-devtool: no display is available (DISPLAY and WAYLAND_DISPLAY are not "
                   "set).\nThe card jobs of the SMC manager can be done on a terminal with "
                   "vela-smc.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    const StartArguments arguments = ParseStartArguments(QApplication::arguments().mid(1));
    auto usageProblem = [](const QString& problem) {
        std::fprintf(stderr, "vela-devtool: %s (see vela-devtool --help)\n",
                     problem.toLocal8Bit().constData());
        return 2;
    };
    if (!arguments.problem.isEmpty()) return usageProblem(arguments.problem);

    QApplication::setApplicationName("Vela Development Tool for Windows2000");
    // The installed desktop entry and icon name the windows on the desktop; without them
    // the built-in program icon serves.
    QGuiApplication::setDesktopFileName("org.vela_devtool.DevTool");
    QApplication::setWindowIcon(QIcon::fromTheme("vela-devtool", CardIcon(kImageProgram, 32)));
    MainWindow main;
    std::string failure;
    if (!arguments.machine.isEmpty() && !main.setMachine(arguments.machine.toStdString(), failure))
        return usageProblem(QString::fromStdString(failure));
    main.show();
    // Where the platform reports plug events, an open SMC manager offers a machine plugged in.
    (void)main.setHotplugWatcher(makeUsbHotplugWatcher(UsbOptions{}));
    if (!arguments.card.isEmpty()) (void)OpenCardImage(main, arguments.card);
    return app.exec();
}
