#include "ui/qt/contact_dialog.h"

#include <QLabel>
#include <QPixmap>

#include "ui/layout.h"

namespace ui::qt {

namespace {
int px(int twips) {
  return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
}  // namespace

ContactDialog::ContactDialog(const Form3& form, QWidget* parent) : QDialog(parent) {
  const WindowGeometry& window = contactWindowGeometry();
  setObjectName("Form3");
  setWindowTitle(QString::fromStdString(form.caption));
  setWindowIcon(QIcon());
  setModal(true);
  setFixedSize(px(window.clientWidth), px(window.clientHeight));
  for (const ControlGeometry& control : window.controls) {
    QLabel* label = new QLabel(this);
    label->setObjectName(
        QString::fromUtf8(control.name.data(), static_cast<int>(control.name.size())));
    label->setGeometry(px(control.left), px(control.top), px(control.width), px(control.height));
    if (control.kind == ControlKind::Image) {
      label->setPixmap(QPixmap(":/ravelsk/contact.png")
                           .scaled(label->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    } else {
      label->setText(QString::fromStdString(form.label1));
    }
  }
}

}  // namespace ui::qt
