// TFormProg, the shared progress window: a borderless window with an animation (Avi), a
// step text (Msg1), a per-item gauge (Prog1), an overall gauge (Prog2) and a Cancel button.
// It decides nothing; the manager core sets every text, gauge and animation through the
// ProgressUi interface. One instance is created at start and lives for the whole run.
//
// Card operations run on the window thread without returning to the event loop, so every
// change made through ProgressUi also processes pending events (at most every 40 ms): the
// window repaints, the animation moves and the Cancel button can be pressed. While it is
// shown the window is application-modal, so no other window takes input meanwhile.
//
// Cancel: a press is remembered and handed to the core when it asks (cancelRequested), which
// it does between files, pieces and packets; the core then stops the copy itself. Only
// copies can be cancelled (both gauges visible); deleting, creating folders and formatting
// run to their end, with the button greyed out. KeepAlive serves the device link's idle
// hook, so the window also stays live while the machine is waited for.
#pragma once

#include <smcmanager/manager_ui.h>

#include <QElapsedTimer>
#include <QWidget>

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

class TFormProg : public QWidget, public ProgressUi {
    Q_OBJECT
public:
    // A hidden progress window kept above owner (may be nullptr).
    explicit TFormProg(QWidget* owner = nullptr);

    void setStepText(const std::string& text) override;
    void setAnimation(Animation animation) override;
    void startAnimation() override;
    void stopAnimation() override;
    void setItemMaximum(std::int64_t maximum) override;
    void setItemProgress(std::int64_t position) override;
    void setTotalMaximum(std::int64_t maximum) override;
    void setTotalProgress(std::int64_t position) override;
    void setPartVisible(Part control, bool visible) override;
    void showProgress() override;
    void hideProgress() override;
    void Repaint();
    // Processes pending events (so a press reaches the button), then whether a copy was
    // cancelled since the window was last shown.
    bool cancelRequested() override;

    // Whether Cancel was pressed since the window was last shown, without processing events.
    bool CancelPressed() const { return cancelRequested_; }
    // Repaints and processes pending events while shown, at most every 40 ms; for waits
    // that run outside the core's calls (the device link's idle hook).
    void KeepAlive();
    // Whether the running operation can be cancelled (a copy: both gauges visible).
    bool Cancellable() const;
    // Presses Cancel (as the button does).
    void RequestCancel();

    CopyAnimation* Avi;
    QLabel* Msg1;
    QProgressBar* Prog1;
    QProgressBar* Prog2;
    QPushButton* CancelButton;

private:
    // Processes pending events so the window stays live; force ignores the 40 ms pacing.
    void pump(bool force);
    void updateCancelButton();

    bool cancelRequested_ = false;
    QElapsedTimer lastPump_;
};
