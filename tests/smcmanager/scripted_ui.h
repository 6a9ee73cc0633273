// SPDX-License-Identifier: MIT
// The user at the edge of the manager core in tests: records every message, question and
// progress-window call, and answers from a script; an unplanned question fails the test.
#pragma once

#include <smcmanager/manager_ui.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class RecordingProgress : public ProgressUi {
public:
    void setStepText(const std::string& text) override { stepTexts.push_back(text); }
    void setAnimation(Animation chosen) override { animation = chosen; }
    void startAnimation() override { playing = true; }
    void stopAnimation() override { playing = false; }
    void setItemMaximum(std::int64_t maximum) override { itemMaxima.push_back(maximum); }
    void setItemProgress(std::int64_t position) override { itemPositions.push_back(position); }
    void setTotalMaximum(std::int64_t maximum) override { totalMaxima.push_back(maximum); }
    void setTotalProgress(std::int64_t position) override { totalPositions.push_back(position); }
    void setPartVisible(Part control, bool on) override {
        visible[control] = on;
        if (shown && !on) hiddenWhileShown.insert(control);
    }
    void showProgress() override {
        for (const auto& [control, on] : visible)
            if (!on) hiddenWhileShown.insert(control);
        shown = true;
        ++shows;
    }
    void hideProgress() override { shown = false; }
    // The user presses Cancel once cancelWhen holds for what was recorded so far.
    bool cancelRequested() override { return cancelWhen && cancelWhen(*this); }

    bool isVisible(Part control) const {
        const auto it = visible.find(control);
        return it == visible.end() || it->second;
    }

    std::vector<std::string> stepTexts;
    std::vector<std::int64_t> itemMaxima, itemPositions, totalMaxima, totalPositions;
    std::map<Part, bool> visible;
    std::set<Part> hiddenWhileShown; // the parts the user saw hidden at some time
    Animation animation = Animation::CopyFile;
    bool playing = false;
    bool shown = false;
    int shows = 0;
    std::function<bool(const RecordingProgress&)> cancelWhen;
};

class ScriptedUi : public ManagerUi {
public:
    struct Question {
        std::string text;
        QuestionKind kind;
    };

    void showMessage(const std::string& text) override { messages.push_back(text); }
    bool askOkCancel(const std::string& text, QuestionKind kind) override {
        questions.push_back({text, kind});
        return next(answers, "question");
    }
    ReplaceAnswer askReplace(const std::string& text) override {
        replaceQuestions.push_back(text);
        return next(replaceAnswers, "replace question");
    }
    std::string askText(const std::string& caption, const std::string& prompt,
                        const std::string& initial) override {
        textQuestions.push_back(caption + "|" + prompt + "|" + initial);
        return next(texts, "text question");
    }
    std::optional<std::filesystem::path> chooseOpenFile(const std::string& filter,
                                                        const std::string&) override {
        filters.push_back(filter);
        return next(openFiles, "open file");
    }
    std::optional<std::filesystem::path> chooseSaveFile(const std::string& filter,
                                                        const std::string&) override {
        filters.push_back(filter);
        return next(saveFiles, "save file");
    }
    std::optional<CardChoice> chooseCardType(const std::vector<std::string>& vendorTexts,
                                             const std::vector<std::string>& sizeTexts,
                                             CardChoice preselected) override {
        vendors = vendorTexts;
        sizes = sizeTexts;
        offered = preselected;
        return next(cards, "card choice");
    }
    ProgressUi& progress() override { return recorder; }
    void statusTextChanged(const std::string& text) override { status = text; }

    // Messages shown since the last call, which forgets them.
    std::vector<std::string> takeMessages() {
        std::vector<std::string> taken;
        taken.swap(messages);
        return taken;
    }

    std::vector<std::string> messages;
    std::vector<Question> questions;
    std::vector<std::string> textQuestions;
    std::vector<std::string> filters;
    std::deque<bool> answers;
    std::vector<std::string> replaceQuestions;
    std::deque<ReplaceAnswer> replaceAnswers;
    std::deque<std::string> texts;
    std::deque<std::optional<std::filesystem::path>> openFiles, saveFiles;
    std::deque<std::optional<CardChoice>> cards;
    std::vector<std::string> vendors, sizes;
    CardChoice offered;
    std::string status;
    RecordingProgress recorder;

private:
    template <typename T> T next(std::deque<T>& script, const char* what) {
        if (script.empty()) {
            ADD_FAILURE() << "unplanned " << what;
            return T{};
        }
        T answer = script.front();
        script.pop_front();
        return answer;
    }
};
