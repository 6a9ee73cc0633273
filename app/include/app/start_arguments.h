// SPDX-License-Identifier: MIT
// The command line of vela-devtool: "vela-devtool [--machine MACHINE] [CARD.smc]". A card
// image given at start (as a file manager does when a ".smc" file is double-clicked) is
// opened in the SMC manager at once; the manager reports a file it cannot open in its own
// words. --machine chooses what Open > SMC in Vela reaches instead of the USB cable.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

class MainWindow;

inline constexpr const char* kStartUsage =
    "usage: vela-devtool [CARD.smc]\n"
    "       vela-devtool --machine MACHINE [CARD.smc]\n"
    "  Starts the Vela Developer Tool; with a card image, opens it in the SMC manager.\n"
    "  --machine MACHINE  what Open > SMC in Vela reaches: 'usb' (the default),\n"
    "                     'usb:VVVV:PPPP', 'sim:FOLDER' (the simulated machine serving\n"
    "                     FOLDER as its card) or 'unix:PATH' (a machine listening there)\n"
    "  The card jobs can be done on a terminal with vela-smc.\n";

struct StartArguments {
    QString card;    // the card image to open; empty: none
    QString machine; // the machine's choice; empty: the USB cable
    QString problem; // a usage problem; empty when the arguments are good
};

// Reads the arguments after the program name (Qt's own options already taken out).
StartArguments ParseStartArguments(const QStringList& arguments);

// Opens main's SMC manager (closing the current tool) and has it open the card image at
// path; false when no manager could be opened (the manager reports a card it cannot open).
bool OpenCardImage(MainWindow& main, const QString& path);
