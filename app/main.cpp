// Start-up of the Vela Developer Tool: checks that a display can be reached, creates the
// application object with its title, the main window and the hidden progress window, and
// runs the event loop until the main window closes.
#include "app/form_main.h"

#include <smcmanager/tree_model.h>
#include <smcmanager_ui/card_icons.h>
#include <smcmanager_ui/form_prog.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

} // namespace

int main(int argc, char** argv) {
    // Without a display Qt would abort; say what to use instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fputs("vela-devtool: no display is available (DISPLAY and WAYLAND_DISPLAY are not "
                   "set).\nThe card jobs of the SMC manager can be done on a terminal with "
                   "vela-smc.\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Vela Development Tool for Windows2000");
    QApplication::setWindowIcon(CardIcon(kImageProgram, 32));
    TFormMain main;
    // Owned by the main window, kept above it, hidden until a card operation shows it.
    main.setProgressWindow(new TFormProg(&main));
    main.show();
    return app.exec();
}
