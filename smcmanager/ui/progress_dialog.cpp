// SPDX-License-Identifier: MIT
// The progress window's controls, its animation, and the hand-over of the core's progress
// from the worker thread to the window's thread.
#include "smcmanager_ui/progress_dialog.h"

#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kFrames = 26;
constexpr int kFrameMs = 60;

// Gauges hold int; a byte count beyond that is scaled down for both maximum and position.
int gaugeValue(std::int64_t value) {
    return int(std::clamp<std::int64_t>(value >> 8, 0, INT_MAX));
}

void drawFolder(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(150, 110, 20), 1.5));
    p.setBrush(QColor(240, 195, 80));
    p.drawRect(r.adjusted(0, r.height() * 0.15, 0, 0));
    p.drawRect(QRectF(r.left(), r.top(), r.width() * 0.4, r.height() * 0.15));
}

void drawBin(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(70, 70, 70), 1.5));
    p.setBrush(QColor(170, 185, 200));
    p.drawPolygon(QPolygonF({r.topLeft() + QPointF(2, 6), r.topRight() + QPointF(-2, 6),
                             r.bottomRight() + QPointF(-6, 0), r.bottomLeft() + QPointF(6, 0)}));
    p.drawRect(QRectF(r.left(), r.top(), r.width(), 5));
    for (int i = 1; i < 4; ++i) {
        const double x = r.left() + r.width() * i / 4.0;
        p.drawLine(QPointF(x, r.top() + 10), QPointF(x, r.bottom() - 4));
    }
}

void drawSheet(QPainter& p, const QPointF& centre) {
    p.setPen(QPen(QColor(80, 80, 80), 1));
    p.setBrush(Qt::white);
    const QRectF sheet(centre.x() - 7, centre.y() - 9, 14, 18);
    p.drawRect(sheet);
    for (int i = 0; i < 3; ++i)
        p.drawLine(QPointF(sheet.left() + 3, sheet.top() + 5 + i * 4),
                   QPointF(sheet.right() - 3, sheet.top() + 5 + i * 4));
}

} // namespace

CopyAnimation::CopyAnimation(QWidget* parent) : QWidget(parent), tick_(new QTimer(this)) {
    tick_->setInterval(kFrameMs);
    connect(tick_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void CopyAnimation::setKind(ProgressUi::Animation kind) {
    kind_ = kind;
    update();
}

void CopyAnimation::start() {
    if (!playing_) clock_.start();
    playing_ = true;
    tick_->start();
    update();
}

void CopyAnimation::stop() {
    playing_ = false;
    tick_->stop();
    update();
}

void CopyAnimation::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    const double h = std::min(area.height() - 8, 44.0);
    const QRectF from(area.left() + 40, area.center().y() - h / 2, h * 1.2, h);
    const QRectF to(area.right() - 40 - h * 1.2, area.center().y() - h / 2, h * 1.2, h);
    drawFolder(p, from);
    if (kind_ == ProgressUi::Animation::DeleteFile)
        drawBin(p, to);
    else
        drawFolder(p, to);
    if (!playing_) return;
    // The sheet rises out of the first picture and falls into the second along an arc.
    const int frame = int(clock_.elapsed() / kFrameMs) % kFrames;
    const double t = double(frame) / (kFrames - 1);
    const QPointF a = from.center(), b = to.center();
    const double x = a.x() + (b.x() - a.x()) * t;
    // The arc stays inside the control: its top is the sheet's half height below the edge.
    const double lift = std::max(0.0, a.y() - area.top() - 11);
    const double y = a.y() - std::sin(t * 3.14159265) * lift;
    drawSheet(p, QPointF(x, y));
}

ProgressDialog::ProgressDialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      animation(new CopyAnimation), stepLabel(new QLabel), itemProgress(new QProgressBar),
      totalProgress(new QProgressBar), cancelButton(new QPushButton(tr("Cancel"))) {
    setObjectName("progressDialog");
    setWindowTitle("SMC Manager");
    setWindowModality(Qt::WindowModal);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new QFrame;
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    outer->addWidget(panel);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(16, 16, 16, 12);
    column->setSpacing(7);
    animation->setObjectName("animation");
    animation->setFixedHeight(60);
    stepLabel->setObjectName("stepLabel");
    stepLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    stepLabel->setFixedHeight(25);
    stepLabel->setTextFormat(Qt::PlainText);
    stepLabel->setMinimumWidth(377);
    for (QProgressBar* bar : {itemProgress, totalProgress}) {
        bar->setFixedHeight(17);
        bar->setTextVisible(true);
        bar->setFormat("%p%");
        bar->setAlignment(Qt::AlignCenter);
        bar->setRange(0, 1);
        bar->setValue(0);
    }
    itemProgress->setObjectName("itemProgress");
    totalProgress->setObjectName("totalProgress");
    cancelButton->setObjectName("cancelButton");
    cancelButton->setAutoDefault(false);
    column->addWidget(animation);
    column->addWidget(stepLabel);
    column->addWidget(itemProgress);
    column->addWidget(totalProgress);
    column->addWidget(cancelButton, 0, Qt::AlignRight);
    connect(cancelButton, &QPushButton::clicked, this, &ProgressDialog::requestCancel);
    setFixedSize(sizeHint().expandedTo(QSize(407, 183)));
    updateCancelButton();
}

template <typename Change> void ProgressDialog::change(Change&& apply) {
    std::lock_guard lock(mutex_);
    apply(state_);
    if (posted_) return;
    posted_ = true;
    QMetaObject::invokeMethod(this, &ProgressDialog::showState, Qt::QueuedConnection);
}

void ProgressDialog::setStepText(const std::string& text) {
    change([&](State& s) { s.step = text; });
}

void ProgressDialog::setAnimation(Animation kind) {
    change([&](State& s) { s.animation = kind; });
}

void ProgressDialog::startAnimation() {
    change([](State& s) { s.playing = true; });
}

void ProgressDialog::stopAnimation() {
    change([](State& s) { s.playing = false; });
}

void ProgressDialog::setItemMaximum(std::int64_t maximum) {
    change([&](State& s) { s.itemMax = maximum; });
}

void ProgressDialog::setItemProgress(std::int64_t position) {
    change([&](State& s) { s.itemPos = position; });
}

void ProgressDialog::setTotalMaximum(std::int64_t maximum) {
    change([&](State& s) { s.totalMax = maximum; });
}

void ProgressDialog::setTotalProgress(std::int64_t position) {
    change([&](State& s) { s.totalPos = position; });
}

void ProgressDialog::setPartVisible(Part part, bool visible) {
    change([&](State& s) { s.visible[int(part)] = visible; });
}

void ProgressDialog::showProgress() {
    cancelled_ = false;
    change([](State& s) { s.shown = true; });
}

void ProgressDialog::hideProgress() {
    change([](State& s) { s.shown = false; });
}

bool ProgressDialog::cancelRequested() {
    return cancelled_;
}

bool ProgressDialog::cancellable() const {
    std::lock_guard lock(mutex_);
    return state_.shown && state_.visible[int(Part::ItemGauge)] &&
           state_.visible[int(Part::TotalGauge)];
}

void ProgressDialog::requestCancel() {
    if (!cancellable() || cancelled_) return;
    cancelled_ = true;
    stepLabel->setText(tr("canceling..."));
    updateCancelButton();
}

void ProgressDialog::updateCancelButton() {
    cancelButton->setEnabled(cancellable() && !cancelled_);
}

void ProgressDialog::reject() {
    requestCancel(); // Esc: the window goes when the core hides it
}

void ProgressDialog::closeEvent(QCloseEvent* event) {
    event->ignore();
    requestCancel();
}

void ProgressDialog::showState() {
    State s;
    {
        std::lock_guard lock(mutex_);
        s = state_;
        posted_ = false;
    }
    if (!cancelled_ || !s.shown) stepLabel->setText(QString::fromStdString(s.step));
    animation->setKind(s.animation);
    if (s.playing != animation->playing()) s.playing ? animation->start() : animation->stop();
    itemProgress->setMaximum(std::max(1, gaugeValue(s.itemMax)));
    itemProgress->setValue(std::min(gaugeValue(s.itemPos), itemProgress->maximum()));
    totalProgress->setMaximum(std::max(1, gaugeValue(s.totalMax)));
    totalProgress->setValue(std::min(gaugeValue(s.totalPos), totalProgress->maximum()));
    animation->setVisible(s.visible[int(Part::Animation)]);
    stepLabel->setVisible(s.visible[int(Part::StepText)]);
    itemProgress->setVisible(s.visible[int(Part::ItemGauge)]);
    totalProgress->setVisible(s.visible[int(Part::TotalGauge)]);
    if (s.shown && isHidden()) {
        if (QWidget* owner = parentWidget()) {
            const QRect frame = owner->window()->geometry();
            move(frame.center() - rect().center());
        }
        show();
        raise();
    } else if (!s.shown && !isHidden()) {
        hide();
    }
    updateCancelButton();
    emit updated();
}
