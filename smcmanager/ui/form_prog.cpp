// The progress window's controls, its animation and the event pumping that keeps it live
// while a card operation holds the window thread.
#include "smcmanager_ui/form_prog.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

constexpr int kFrames = 26;
constexpr int kFrameMs = 60;
constexpr int kPumpMs = 40;

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

TFormProg::TFormProg(QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint), Avi(new CopyAnimation), Msg1(new QLabel),
      Prog1(new QProgressBar), Prog2(new QProgressBar),
      CancelButton(new QPushButton(tr("Cancel"))) {
    setObjectName("FormProg");
    // Showing it must not take the keyboard focus from the manager's panes.
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* panel = new QFrame;
    panel->setObjectName("Panel1");
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(2);
    outer->addWidget(panel);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(16, 16, 16, 12);
    column->setSpacing(7);
    Avi->setObjectName("Avi");
    Avi->setFixedHeight(60);
    Msg1->setObjectName("Msg1");
    Msg1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Msg1->setFixedHeight(25);
    Msg1->setTextFormat(Qt::PlainText);
    Msg1->setMinimumWidth(377);
    for (QProgressBar* bar : {Prog1, Prog2}) {
        bar->setFixedHeight(17);
        bar->setTextVisible(true);
        bar->setFormat("%p%");
        bar->setAlignment(Qt::AlignCenter);
        bar->setRange(0, 0);
        bar->setRange(0, 1);
        bar->setValue(0);
    }
    Prog1->setObjectName("Prog1");
    Prog2->setObjectName("Prog2");
    CancelButton->setObjectName("CancelButton");
    column->addWidget(Avi);
    column->addWidget(Msg1);
    column->addWidget(Prog1);
    column->addWidget(Prog2);
    column->addWidget(CancelButton, 0, Qt::AlignRight);
    connect(CancelButton, &QPushButton::clicked, this, &TFormProg::RequestCancel);
    setFixedSize(sizeHint().expandedTo(QSize(407, 183)));
    updateCancelButton();
}

void TFormProg::pump(bool force) {
    if (!isVisible()) return;
    if (!force && lastPump_.isValid() && lastPump_.elapsed() < kPumpMs) return;
    lastPump_.start();
    repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void TFormProg::setStepText(const std::string& text) {
    Msg1->setText(QString::fromStdString(text));
    pump(false);
}

void TFormProg::setAnimation(Animation animation) {
    Avi->setKind(animation);
}

void TFormProg::startAnimation() {
    Avi->start();
    pump(false);
}

void TFormProg::stopAnimation() {
    Avi->stop();
}

void TFormProg::setItemMaximum(std::int64_t maximum) {
    Prog1->setMaximum(std::max(1, gaugeValue(maximum)));
}

void TFormProg::setItemProgress(std::int64_t position) {
    Prog1->setValue(std::min(gaugeValue(position), Prog1->maximum()));
    pump(false);
}

void TFormProg::setTotalMaximum(std::int64_t maximum) {
    Prog2->setMaximum(std::max(1, gaugeValue(maximum)));
}

void TFormProg::setTotalProgress(std::int64_t position) {
    Prog2->setValue(std::min(gaugeValue(position), Prog2->maximum()));
    pump(false);
}

void TFormProg::setPartVisible(Part control, bool visible) {
    switch (control) {
    case Part::Animation:
        Avi->setVisible(visible);
        break;
    case Part::StepText:
        Msg1->setVisible(visible);
        break;
    case Part::ItemGauge:
        Prog1->setVisible(visible);
        break;
    case Part::TotalGauge:
        Prog2->setVisible(visible);
        break;
    }
    updateCancelButton();
}

bool TFormProg::Cancellable() const {
    return !Prog1->isHidden() && !Prog2->isHidden();
}

void TFormProg::updateCancelButton() {
    CancelButton->setEnabled(Cancellable() && !cancelRequested_);
}

void TFormProg::RequestCancel() {
    if (!Cancellable()) return;
    cancelRequested_ = true;
    Msg1->setText(tr("canceling..."));
    updateCancelButton();
}

void TFormProg::showProgress() {
    cancelRequested_ = false;
    updateCancelButton();
    if (QWidget* owner = parentWidget()) {
        const QRect frame = owner->window()->geometry();
        move(frame.center() - rect().center());
    }
    // Modal while shown, so the events pumped during an operation reach no other window.
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    pump(true);
}

void TFormProg::hideProgress() {
    hide();
    setWindowModality(Qt::NonModal);
    cancelRequested_ = false;
    updateCancelButton();
}

void TFormProg::Repaint() {
    pump(true);
}

bool TFormProg::cancelRequested() {
    pump(false);
    return cancelRequested_ && Cancellable();
}

void TFormProg::KeepAlive() {
    pump(false);
}
