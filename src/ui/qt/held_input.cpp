#include "ui/qt/held_input.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWidget>

namespace ui::qt {

HeldInput::HeldInput(QWindow* window, std::function<void(bool closing)> stopAsked)
    : window_(window), stopAsked_(std::move(stopAsked)) {
  QCoreApplication::instance()->installEventFilter(this);
}

HeldInput::~HeldInput() {
  QCoreApplication::instance()->removeEventFilter(this);
}

void HeldInput::release() {
  QCoreApplication::instance()->removeEventFilter(this);
  for (Held& held : held_) {
    if (held.receiver != nullptr) QCoreApplication::postEvent(held.receiver, held.event.release());
  }
  held_.clear();
}

bool HeldInput::inWindow(QObject* object) const {
  if (object == window_) return true;
  const auto* widget = qobject_cast<const QWidget*>(object);
  return widget != nullptr && window_ != nullptr && widget->window()->windowHandle() == window_;
}

// Keys, clicks and the close request reach the window itself before the
// toolkit turns them into the widgets' events, so they are held there; what
// an input method commits, and drags, go to a widget directly.
bool HeldInput::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::InputMethod:
      if (!inWindow(watched)) return false;
      held_.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
      return true;
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      if (!inWindow(watched)) return false;
      event->ignore();
      return true;
    default:
      break;
  }
  if (watched != window_) return false;
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      if (!key->isAutoRepeat()) stopAsked_(false);
      return true;
    }
  }
  const bool close = event->type() == QEvent::Close;
  if (!close && dynamic_cast<QInputEvent*>(event) == nullptr) return false;
  held_.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
  if (close) stopAsked_(true);
  return true;
}

}  // namespace ui::qt
