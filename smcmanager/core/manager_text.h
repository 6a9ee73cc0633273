// SPDX-License-Identifier: MIT
// Small text helpers of the manager core: the card side's lower-case mapping, card and PC
// path joining, the date column, and the check that keeps names from a card or a machine
// from placing a PC file anywhere but inside the chosen folder.
#pragma once

#include "smcmanager/card_storage.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The name in lower case (ASCII letters only; other bytes are kept).
std::string LowerName(std::string text);
// Whether a stored card name is one the card itself writes: an 8.3 name in capitals. Other
// names (from other systems or damage) cannot be named back to the card as they stand.
bool PlainCardName(const std::string& stored);
// How the card side shows a stored name: in lower case when it is plain, else exactly as
// stored, so that it still names its entry.
std::string CardCaption(const std::string& stored);
// Equal without regard to ASCII letter case.
bool SameNameNoCase(const std::string& a, const std::string& b);
// folder + name on the card: "vx:\" + name at the root, else folder + "\" + name.
std::string JoinCardPath(const std::string& folder, const std::string& name);
// The text after the last backslash (the whole text when it has none).
std::string LastCardComponent(const std::string& path);
// folder + "/" + name on the PC (no doubled "/" after a root).
std::string JoinPcPath(const std::string& folder, const std::string& name);
// The text after the last "/" (the whole text when it has none).
std::string LastPcComponent(const std::string& path);
// Year, month, day, hour and minute as "2002-07-31 09:05".
std::string FormatDate(int year, int month, int day, int hour, int minute);
// Whether a name from a card or a machine may become one PC file or folder name: not
// empty, not "." or "..", no "/", "\" or control bytes (NUL included).
bool SafePcName(const std::string& name);
// Card image index for a file name by its extension.
int CardFileImage(const std::string& name);
// A card folder path with one trailing backslash, as the machine's listings take it.
std::string WithBackslash(const std::string& folder);
// Why a name that does not fit cannot be stored on the card.
const char* CardNameProblem(CardNameFit fit);
