// The start-up arguments: a card image to open in the SMC manager.
#include "app/start_arguments.h"
#include "app/form_main.h"

#include <smcmanager_ui/form_smc.h>

#include <QFile>

#include <filesystem>

StartArguments ParseStartArguments(const QStringList& arguments) {
    StartArguments parsed;
    bool onlyCards = false;
    for (const QString& argument : arguments) {
        if (!onlyCards && argument == "--") {
            onlyCards = true;
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

bool OpenCardImage(TFormMain& main, const QString& path) {
    main.SMCmanager1Click();
    auto* form = main.CurrentTool ? qobject_cast<TFormSMC*>(main.CurrentTool->widget()) : nullptr;
    if (!form) return false;
    // The file name's bytes as the file system knows them, whatever the locale makes of them.
    return form->manager().openImage(std::filesystem::path(QFile::encodeName(path).toStdString()));
}
