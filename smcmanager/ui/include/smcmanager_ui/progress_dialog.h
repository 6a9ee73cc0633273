// SPDX-License-Identifier: MIT
// The manager's progress window: an animation, a step text, a per-item gauge, an overall
// gauge and a Cancel button. It decides nothing; the core sets every text, gauge and
// animation through ProgressUi.
//
// The core runs on the manager's worker thread and calls ProgressUi there. Those calls
// only change a state record under a lock and, unless an update is already on its way, post
// one to the window's thread; so a copy that moves the gauges a million times costs as many
// repaints as the screen can show, and the core never waits for the window. Everything
// else (the controls, showing and hiding) happens on the window's thread.
//
// Cancel: the button, the close button and Esc set an atomic flag the core reads through
// cancelRequested between files, pieces and packets; the core then stops the copy itself.
// Only copies can be cancelled (both gauges visible); deleting, creating folders and
// formatting run to their end. While shown, the window is modal to the manager's window.
#pragma once

#include <smcmanager/manager_ui.h>

#include <QDialog>
#include <QElapsedTimer>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The copy and delete animation of our own: a sheet flying from a folder to a folder or to
// a bin. Frames follow the time since start, so a late repaint never looks stuck.
class CopyAnimation : public QWidget {
    Q_OBJECT
public:
    explicit CopyAnimation(QWidget* parent = nullptr);

    void setKind(ProgressUi::Animation kind);
    ProgressUi::Animation kind() const { return kind_; }
    void start();
    void stop();
    bool playing() const { return playing_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ProgressUi::Animation kind_ = ProgressUi::Animation::CopyFile;
    bool playing_ = false;
    QElapsedTimer clock_;
    QTimer* tick_;
};

class ProgressDialog : public QDialog, public ProgressUi {
    Q_OBJECT
public:
    // A hidden progress window, modal to owner's window while shown.
    explicit ProgressDialog(QWidget* owner);

    // ---- ProgressUi (any thread) ----
    void setStepText(const std::string& text) override;
    void setAnimation(Animation animation) override;
    void startAnimation() override;
    void stopAnimation() override;
    void setItemMaximum(std::int64_t maximum) override;
    void setItemProgress(std::int64_t position) override;
    void setTotalMaximum(std::int64_t maximum) override;
    void setTotalProgress(std::int64_t position) override;
    void setPartVisible(Part part, bool visible) override;
    // Shows the window and forgets an earlier Cancel.
    void showProgress() override;
    void hideProgress() override;
    bool cancelRequested() override;

    // ---- The window's thread ----
    // Presses Cancel (as the button, the close button and Esc do); nothing when the running
    // operation cannot be cancelled.
    void requestCancel();
    // Whether the running operation can be cancelled (a copy: both gauges visible).
    bool cancellable() const;

    CopyAnimation* animation;
    QLabel* stepLabel;
    QProgressBar* itemProgress;
    QProgressBar* totalProgress;
    QPushButton* cancelButton;

signals:
    // The window shows the latest state (for tests and the picture taker).
    void updated();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct State {
        std::string step;
        Animation animation = Animation::CopyFile;
        bool playing = false;
        std::int64_t itemMax = 1, itemPos = 0, totalMax = 1, totalPos = 0;
        bool visible[4] = {true, true, true, true}; // by Part
        bool shown = false;
    };
    // Changes the state under the lock and posts one update unless one is on its way.
    template <typename Change> void change(Change&& apply);
    // Shows the state on the controls (window's thread).
    void showState();
    void updateCancelButton();

    mutable std::mutex mutex_;
    State state_;
    bool posted_ = false;
    std::atomic<bool> cancelled_{false};
};
