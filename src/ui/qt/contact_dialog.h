// Form3, the contact window: a label and a picture, shown modally.
#pragma once

#include <QDialog>

#include "ui/main_window.h"

namespace ui::qt {

class ContactDialog : public QDialog {
 public:
  ContactDialog(const Form3& form, QWidget* parent);
};

}  // namespace ui::qt
