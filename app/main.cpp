// Start-up of the Vela Developer Tool: checks that a display can be reached, creates the
// application object with its title and the main window, chooses the machine the SMC
// manager reaches, opens a card image given on the command line, and runs the event loop
// until the main window closes.
#include "app/main_window.h"
#include "app/start_arguments.h"

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <devicelink/transport.h>
#include <devicelink/usb_hotplug.h>
#include <smcmanager/tree_model.h>
#include <smcmanager_ui/card_icons.h>

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

    // The simulated machine lives as long as the windows that may reach it.
    std::unique_ptr<SimMachine> simulated;
    MainWindow::LinkFactory linkFactory;
    const std::string machine = arguments.machine.toStdString();
    if (machine.rfind("sim:", 0) == 0) {
        if (machine.size() == 4) return usageProblem("sim: needs a folder");
        simulated = std::make_unique<SimMachine>(machine.substr(4));
        linkFactory = [&simulated] {
            return std::make_unique<DeviceLink>(makeSimTransport(*simulated));
        };
    } else if (!machine.empty()) {
        if (!makeTransport(machine, false))
            return usageProblem(QString("'%1' names no machine").arg(arguments.machine));
        linkFactory = [machine] {
            return std::make_unique<DeviceLink>(makeTransport(machine, true));
        };
    }

    QApplication::setApplicationName("Vela Development Tool for Windows2000");
    // The installed desktop entry and icon name the windows on the desktop; without them
    // the built-in program icon serves.
    QGuiApplication::setDesktopFileName("vela-devtool");
    QApplication::setWindowIcon(QIcon::fromTheme("vela-devtool", CardIcon(kImageProgram, 32)));
    MainWindow main;
    if (linkFactory) main.setLinkFactory(std::move(linkFactory));
    main.show();
    // Where the platform reports plug events, an open SMC manager offers a machine plugged in.
    (void)main.setHotplugWatcher(makeUsbHotplugWatcher(UsbOptions{}));
    if (!arguments.card.isEmpty()) (void)OpenCardImage(main, arguments.card);
    return app.exec();
}
