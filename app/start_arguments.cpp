// SPDX-License-Identifier: MIT
// The start-up arguments: a card image to open in the SMC manager and the machine to reach.
#include "app/start_arguments.h"
#include "app/main_window.h"

#include <smcmanager_ui/smc_manager_window.h>

#include <QFile>

StartArguments ParseStartArguments(const QStringList& arguments) {
    StartArguments parsed;
    bool onlyCards = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!onlyCards && argument == "--") {
            onlyCards = true;
            continue;
        }
        if (!onlyCards && (argument == "--machine" || argument.startsWith("--machine="))) {
            const bool joined = argument.startsWith("--machine=");
            if (!joined && i + 1 == arguments.size()) {
                parsed.problem = "--machine needs a machine";
                return parsed;
            }
            parsed.machine = joined ? argument.mid(10) : arguments[++i];
            if (parsed.machine.isEmpty()) {
                parsed.problem = "--machine needs a machine";
                return parsed;
            }
            continue;
        }
        if (!onlyCards && argument.size() > 1 && argument.startsWith('-')) {
            parsed.problem = QString("unknown option '%1'").arg(argument);
            return parsed;
        }
        if (argument.isEmpty()) {
            parsed.problem = "the card image name is empty";
            return parsed;
        }
        if (!parsed.card.isEmpty()) {
            parsed.problem = "only one card image can be opened";
            return parsed;
        }
        parsed.card = argument;
    }
    return parsed;
}

bool OpenCardImage(MainWindow& main, const QString& path) {
    main.openSmcManager();
    auto* manager =
        main.currentTool ? qobject_cast<SmcManagerWindow*>(main.currentTool->widget()) : nullptr;
    if (!manager) return false;
    // The file name's bytes as the file system knows them, whatever the locale makes of them.
    manager->openCardImage(QFile::encodeName(path).toStdString());
    return true;
}
