// SPDX-License-Identifier: MIT
// The manager core's user on a terminal: the kept messages, the answers to its questions,
// the one-line progress bar, the stop signals, and the conversion of the paths people type
// into card paths.
#include "vela_smc.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 30;
constexpr std::size_t kMessageWidth = 40;

// Written by the signal handler, read by the copy (possibly on another thread).
std::atomic<int> caughtSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void onStopSignal(int signal) {
    // Only async-signal-safe work here: note the signal, or leave at once on the second.
    if (caughtSignal.exchange(signal) != 0) _exit(128 + signal);
}

} // namespace

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM}) {
        // A signal ignored from the start (a job a shell runs in the background) stays so.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

int stopSignal() {
    return caughtSignal.load();
}

std::string printable(std::string text) {
    // Names on a card are bytes anyone could have written, escape sequences included.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

std::string lowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return text;
}

bool toCardPath(const std::string& text, std::string& cardPath) {
    std::string rest = text;
    if (rest.size() >= 3 && (rest[0] == 'v' || rest[0] == 'V') &&
        (rest[1] == 'x' || rest[1] == 'X') && rest[2] == ':')
        rest = rest.substr(3);
    cardPath = "vx:\\";
    std::string component;
    bool first = true;
    auto take = [&]() {
        if (component.empty()) return true;
        if (component == "." || component == "..") return false;
        if (!first) cardPath += '\\';
        cardPath += component;
        component.clear();
        first = false;
        return true;
    };
    for (char c : rest) {
        if (c == '/' || c == '\\') {
            if (!take()) return false;
        } else {
            component += c;
        }
    }
    return take();
}

void TerminalProgress::setStepText(const std::string& text) {
    msg_ = text;
    draw(true);
}

void TerminalProgress::setItemProgress(std::int64_t position) {
    prog1Pos_ = position;
    draw(false);
}

void TerminalProgress::setTotalProgress(std::int64_t position) {
    prog2Pos_ = position;
    draw(false);
}

void TerminalProgress::hideProgress() {
    shown_ = false;
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    drawn_ = false;
    lastPermille_ = -1;
}

void TerminalProgress::draw(bool force) {
    if (!enabled_ || !shown_) return;
    // The overall gauge when there is one, else the current file's.
    const bool overall = prog2Max_ > 0;
    const std::int64_t max = overall ? prog2Max_ : prog1Max_;
    std::int64_t pos = overall ? prog2Pos_ : prog1Pos_;
    if (pos < 0) pos = 0;
    if (max > 0 && pos > max) pos = max;
    const int permille = max > 0 ? int(pos * 1000 / max) : 0;
    if (!force && permille == lastPermille_) return;
    lastPermille_ = permille;
    const int filled = permille * kBarWidth / 1000;
    std::string bar(std::size_t(filled), '#');
    bar.append(std::size_t(kBarWidth - filled), '.');
    std::string msg = msg_;
    if (msg.size() > kMessageWidth) msg = msg.substr(0, kMessageWidth - 3) + "...";
    std::fprintf(stderr, "\r\033[K[%s] %3d%% %s", bar.c_str(), permille / 10, msg.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

bool TerminalUi::askOkCancel(const std::string& text, QuestionKind) {
    // The command itself asked for the deletion or format; only the offer to format a card
    // that turns out to be unformatted depends on the command.
    if (text == kFormatOffer) {
        formatOffered_ = true;
        return acceptFormatOffer_;
    }
    return true;
}

void TerminalUi::flush(bool succeeded) {
    progress_.hideProgress();
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        const std::string& text = messages_[i];
        // The core reports one unreachable folder from each view it refreshes; once is enough.
        if (i > 0 && text == messages_[i - 1]) continue;
        std::string shown = text;
        for (char& c : shown)
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) c = '?';
        if (succeeded)
            std::printf("%s\n", shown.c_str());
        else
            report(shown);
    }
    std::fflush(stdout);
    messages_.clear();
}
