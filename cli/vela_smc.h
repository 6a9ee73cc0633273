// SPDX-License-Identifier: MIT
// Shared parts of vela-smc: the parsed command line, the terminal user the manager core
// talks to, card path conversion and the commands, split by what they drive (the manager
// core, or the card library's card-level tools).
#pragma once

#include <smcmanager/machine_names.h>
#include <smcmanager/manager_ui.h>

#include <cstdint>
#include <string>
#include <vector>

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Options {
    std::string command;
    std::vector<std::string> args; // positional arguments after the command
    bool recursive = false;        // -r (put, get, rm), -R (ls)
    bool longList = false;         // -l
    bool overwrite = false;
    bool skip = false;
    bool full = false;
    bool format = false;
    bool repair = false;     // --repair (check)
    bool foreground = false; // -f (mount)
    bool create = false;     // --create VENDOR SIZE (clone)
    std::string vendor;      // --vendor, or --create's first value
    std::string size;        // --size, or --create's second value
};

// "vela-smc: <problem>" and a hint, on standard error; returns kExitUsage.
int usageError(const std::string& problem);
// "vela-smc: <message>" on standard error.
void report(const std::string& message);

// Text from a card or a machine made safe for a terminal: control bytes become '?'.
std::string printable(std::string text);
// The text with ASCII letters in lower case (how card names are shown).
std::string lowerAscii(std::string text);

// A card path in the card's own form ("vx:\GAME\X.QXE" or "vx:\") from "vx:\game\x.qxe",
// "/game/x.qxe" or "game/x.qxe"; false for a path with "." or ".." or an empty component.
bool toCardPath(const std::string& text, std::string& cardPath);

// The progress window of the manager core as one line on a terminal (nothing elsewhere).
class TerminalProgress : public ProgressUi {
public:
    explicit TerminalProgress(bool enabled) : enabled_(enabled) {}
    void setStepText(const std::string& text) override;
    void setAnimation(Animation) override {}
    void startAnimation() override {}
    void stopAnimation() override {}
    void setItemMaximum(std::int64_t maximum) override { prog1Max_ = maximum; }
    void setItemProgress(std::int64_t position) override;
    void setTotalMaximum(std::int64_t maximum) override { prog2Max_ = maximum; }
    void setTotalProgress(std::int64_t position) override;
    void setPartVisible(Part, bool) override {}
    void showProgress() override { shown_ = true; }
    void hideProgress() override;

private:
    void draw(bool force);

    bool enabled_;
    bool shown_ = false;
    bool drawn_ = false;
    std::string msg_;
    std::int64_t prog1Max_ = 0, prog1Pos_ = 0, prog2Max_ = 0, prog2Pos_ = 0;
    int lastPermille_ = -1;
};

// The manager core's user on a terminal: messages are kept and printed when the command
// ends (standard output when it succeeded, standard error when it failed), questions are
// answered by the command line, and there are no file choosers.
class TerminalUi : public ManagerUi {
public:
    explicit TerminalUi(bool progressBar) : progress_(progressBar) {}

    // How the offer to format an unformatted card is answered (declined unless set).
    void setFormatOffer(bool accept) { acceptFormatOffer_ = accept; }
    // How a file that exists where a copy goes is answered (--overwrite: replaced; else
    // left as it is).
    void setReplace(bool replace) { replace_ = replace; }
    bool formatOffered() const { return formatOffered_; }
    std::size_t messageCount() const { return messages_.size(); }
    // Forgets the kept messages without printing them.
    void discard() { messages_.clear(); }
    // Prints the kept messages and forgets them.
    void flush(bool succeeded);

    void showMessage(const std::string& text) override { messages_.push_back(text); }
    bool askOkCancel(const std::string& text, QuestionKind kind) override;
    std::string askText(const std::string&, const std::string&, const std::string&) override {
        return "";
    }
    std::optional<std::filesystem::path> chooseOpenFile(const std::string&,
                                                        const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> chooseSaveFile(const std::string&,
                                                        const std::string&) override {
        return std::nullopt;
    }
    std::optional<CardChoice> chooseCardType(const std::vector<std::string>&,
                                             const std::vector<std::string>&, CardChoice) override {
        return std::nullopt;
    }
    ProgressUi& progress() override { return progress_; }
    ReplaceAnswer askReplace(const std::string&) override {
        return replace_ ? ReplaceAnswer::YesToAll : ReplaceAnswer::No;
    }

private:
    TerminalProgress progress_;
    std::vector<std::string> messages_;
    bool acceptFormatOffer_ = false;
    bool formatOffered_ = false;
    bool replace_ = false;
};

// Commands through the manager core (vela_smc_manager.cpp).
int runFormat(const Options& o);
int runList(const Options& o);
int runTree(const Options& o);
int runPut(const Options& o);
int runGet(const Options& o);
int runMkdir(const Options& o);
int runRemove(const Options& o);
int runSpace(const Options& o);
int runCreate(const Options& o);
int runClone(const Options& o);

// Card-level commands on an image (vela_smc_card.cpp).
int runInfo(const Options& o);
int runCheck(const Options& o);
int runExport(const Options& o);
int runImport(const Options& o);
// The failure text of an image that could not be opened; inUse when another program (or
// another open) holds it.
std::string imageOpenFailure(const std::string& image, bool inUse);

// The card image as a folder of the PC (vela_smc_mount.cpp).
int runMount(const Options& o);
