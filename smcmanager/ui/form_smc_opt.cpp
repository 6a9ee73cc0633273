// The vendor and size dialog laid out as a small form: a label panel above each list, the
// OK and Cancel buttons at the bottom.
#include "smcmanager_ui/form_smc_opt.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>

namespace {

QLabel* labelPanel(const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setFrameStyle(QFrame::Panel | QFrame::Raised);
    label->setAlignment(Qt::AlignCenter);
    label->setMargin(3);
    label->setMinimumWidth(64);
    return label;
}

} // namespace

TFormSmcOpt::TFormSmcOpt(const std::vector<std::string>& vendors,
                         const std::vector<std::string>& sizes, CardChoice preselected,
                         QWidget* parent)
    : QDialog(parent), ListVendor(new QComboBox), ListSize(new QComboBox) {
    setWindowTitle("FormSmcOpt");
    setObjectName("FormSmcOpt");
    ListVendor->setObjectName("ListVendor");
    ListSize->setObjectName("ListSize");
    for (const std::string& vendor : vendors)
        ListVendor->addItem(QString::fromStdString(vendor));
    for (const std::string& size : sizes)
        ListSize->addItem(QString::fromStdString(size));
    ListVendor->setCurrentIndex(preselected.vendor);
    ListSize->setCurrentIndex(preselected.size);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* grid = new QGridLayout(this);
    grid->addWidget(labelPanel("vendor", "Panel1"), 0, 0);
    grid->addWidget(ListVendor, 0, 1);
    grid->addWidget(labelPanel("size", "Panel2"), 1, 0);
    grid->addWidget(ListSize, 1, 1);
    grid->addWidget(buttons, 2, 0, 1, 2);
    grid->setColumnStretch(1, 1);
    resize(QSize(232, 151).expandedTo(sizeHint()));
}

CardChoice TFormSmcOpt::choice() const {
    return CardChoice{ListVendor->currentIndex(), ListSize->currentIndex()};
}
