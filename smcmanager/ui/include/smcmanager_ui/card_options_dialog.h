// SPDX-License-Identifier: MIT
// The vendor and size dialog of "Create Virtual SMC": two drop-down lists ("vendor",
// "size") and OK and Cancel. It only shows what the core offers and returns the indexes
// chosen.
#pragma once

#include <smcmanager/manager_ui.h>

#include <QDialog>

#include <string>
#include <vector>

class QComboBox;

class CardOptionsDialog : public QDialog {
    Q_OBJECT
public:
    // A dialog offering vendors and sizes with preselected chosen.
    CardOptionsDialog(const std::vector<std::string>& vendors,
                      const std::vector<std::string>& sizes, CardChoice preselected,
                      QWidget* parent = nullptr);

    // The vendor and size indexes currently chosen.
    CardChoice choice() const;

    QComboBox* vendorList;
    QComboBox* sizeList;
};
