// The command line of vela-devtool: "vela-devtool [CARD.smc]". A card image given at start
// (as a file manager does when a ".smc" file is double-clicked) is opened in the SMC manager
// at once; the manager reports a file it cannot open in its own words.
#pragma once

#include <QString>
#include <QStringList>

class TFormMain;

inline constexpr const char* kStartUsage =
    "usage: vela-devtool [CARD.smc]\n"
    "  Starts the Vela Developer Tool; with a card image, opens it in the SMC manager.\n"
    "  The card jobs can be done on a terminal with vela-smc.\n";

struct StartArguments {
    QString card;    // the card image to open; empty: none
    QString problem; // a usage problem; empty when the arguments are good
};

// Reads the arguments after the program name (Qt's own options already taken out).
StartArguments ParseStartArguments(const QStringList& arguments);

// Opens main's SMC manager (closing the current tool) on the card image at path; false when
// the manager could not open it (the manager has said why).
bool OpenCardImage(TFormMain& main, const QString& path);
