#include "ui/qt/held_input.h"

#include <QCoreApplication>
#include <QKeyEvent>

namespace ui::qt {

HeldInput::HeldInput(QWindow* window, std::function<void()> stopAsked)
    : window_(window), stopAsked_(std::move(stopAsked)) {
  QCoreApplication::instance()->installEventFilter(this);
}

HeldInput::~HeldInput() {
  QCoreApplication::instance()->removeEventFilter(this);
}

void HeldInput::release() {
  QCoreApplication::instance()->removeEventFilter(this);
  for (std::unique_ptr<QEvent>& event : held_) {
    if (window_ != nullptr) QCoreApplication::postEvent(window_, event.release());
  }
  held_.clear();
}

// What the window system hands the window itself: the toolkit turns it into
// the widgets' events only after this, so holding it here holds all of it.
bool HeldInput::eventFilter(QObject* watched, QEvent* event) {
  if (watched != window_) return false;
  if (event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    stopAsked_();
    return true;
  }
  const bool close = event->type() == QEvent::Close;
  if (!close && dynamic_cast<QInputEvent*>(event) == nullptr) return false;
  held_.emplace_back(event->clone());
  if (close) stopAsked_();
  return true;
}

}  // namespace ui::qt
