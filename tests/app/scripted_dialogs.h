// SPDX-License-Identifier: MIT
// The dialogs of the manager window in tests: every message and question is recorded, and
// questions, names, file choices and card choices are answered from a script the test
// fills beforehand. A question the script did not plan for is answered with Cancel and
// counted, so a test can fail on it. Each dialog notes whether it ran on the window's
// thread, and can run a hook of the test while it is "on screen".
#pragma once

#include <smcmanager_ui/manager_dialogs.h>

#include <QCoreApplication>
#include <QThread>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct DialogScript {
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    std::vector<std::string> inputs; // caption|prompt of each input box
    std::deque<bool> answers;
    std::deque<std::string> texts;
    std::deque<std::optional<std::filesystem::path>> openFiles;
    std::deque<ManagerUi::ReplaceAnswer> replaceAnswers;
    std::function<void()> whileShown; // runs inside every dialog
    int unplanned = 0;
    int offThread = 0; // dialogs that ran on another thread than the window's

    std::vector<std::string> takeMessages() {
        std::vector<std::string> taken;
        taken.swap(messages);
        return taken;
    }
};

class ScriptedDialogs : public ManagerDialogs {
public:
    explicit ScriptedDialogs(DialogScript& script) : s_(script) {}

    void message(QWidget*, const std::string& text) override {
        shown();
        s_.messages.push_back(text);
    }
    bool okCancel(QWidget*, const std::string& text, ManagerUi::QuestionKind) override {
        shown();
        s_.questions.push_back(text);
        return next(s_.answers, false);
    }
    std::string inputText(QWidget*, const std::string& caption, const std::string& prompt,
                          const std::string&) override {
        shown();
        s_.inputs.push_back(caption + "|" + prompt);
        return next(s_.texts, std::string());
    }
    std::optional<std::filesystem::path> openFile(QWidget*, const std::string&,
                                                  const std::string&) override {
        shown();
        return next(s_.openFiles, std::optional<std::filesystem::path>());
    }
    // No test creates card images through the window: these two are never planned.
    std::optional<std::filesystem::path> saveFile(QWidget*, const std::string&,
                                                  const std::string&) override {
        ++s_.unplanned;
        return {};
    }
    std::optional<CardChoice> card(QWidget*, const std::vector<std::string>&,
                                   const std::vector<std::string>&, CardChoice) override {
        ++s_.unplanned;
        return {};
    }

    ManagerUi::ReplaceAnswer replace(QWidget*, const std::string& text) override {
        shown();
        s_.questions.push_back(text);
        return next(s_.replaceAnswers, ManagerUi::ReplaceAnswer::Cancel);
    }
    bool mergeFolder(QWidget* owner, const std::string& text) override {
        return okCancel(owner, text, ManagerUi::QuestionKind::Confirmation);
    }
    void skippedNames(QWidget* owner, const std::string& text) override { message(owner, text); }
    bool openCreatedImage(QWidget* owner, const std::string& text) override {
        return okCancel(owner, text, ManagerUi::QuestionKind::Information);
    }

private:
    void shown() {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++s_.offThread;
        if (s_.whileShown) s_.whileShown();
    }
    template <typename T> T next(std::deque<T>& queue, T cancel) {
        if (queue.empty()) {
            ++s_.unplanned;
            return cancel;
        }
        T answer = queue.front();
        queue.pop_front();
        return answer;
    }

    DialogScript& s_;
};
