// SPDX-License-Identifier: MIT
// The vendor and size dialog laid out as a small form: a label panel beside each list, the
// OK and Cancel buttons at the bottom. It has a fixed size and no maximise button.
#include "smcmanager_ui/card_options_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>

namespace {

QLabel* labelPanel(const QString& text) {
    auto* label = new QLabel(text);
    label->setFrameStyle(QFrame::Panel | QFrame::Raised);
    label->setAlignment(Qt::AlignCenter);
    label->setMargin(3);
    label->setMinimumWidth(64);
    return label;
}

} // namespace

CardOptionsDialog::CardOptionsDialog(const std::vector<std::string>& vendors,
                                     const std::vector<std::string>& sizes, CardChoice preselected,
                                     QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      vendorList(new QComboBox), sizeList(new QComboBox) {
    setWindowTitle("FormSmcOpt");
    setObjectName("cardOptionsDialog");
    vendorList->setObjectName("vendorList");
    sizeList->setObjectName("sizeList");
    for (const std::string& vendor : vendors)
        vendorList->addItem(QString::fromStdString(vendor));
    for (const std::string& size : sizes)
        sizeList->addItem(QString::fromStdString(size));
    vendorList->setCurrentIndex(preselected.vendor);
    sizeList->setCurrentIndex(preselected.size);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* grid = new QGridLayout(this);
    grid->addWidget(labelPanel("vendor"), 0, 0);
    grid->addWidget(vendorList, 0, 1);
    grid->addWidget(labelPanel("size"), 1, 0);
    grid->addWidget(sizeList, 1, 1);
    grid->addWidget(buttons, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    setFixedSize(QSize(232, 151).expandedTo(sizeHint()));
}

CardChoice CardOptionsDialog::choice() const {
    return CardChoice{vendorList->currentIndex(), sizeList->currentIndex()};
}
