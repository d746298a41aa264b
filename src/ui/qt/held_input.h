// The user's input to the window while a run holds it: kept, in order, and
// handed back when the run ends, so that no handler runs during a run and
// nothing the run reads can change. Esc asks the run to stop; so does a
// close request, which is kept too (the window closes when the run ends).
// What an input method commits goes to the focused widget directly and is
// kept for it; a drag dropped on the window during a run is refused.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWindow>
#include <functional>
#include <memory>
#include <vector>

namespace ui::qt {

class HeldInput : public QObject {
 public:
  // Holds what reaches window from now on; stopAsked runs on Esc, and with
  // true on a close request.
  HeldInput(QWindow* window, std::function<void(bool closing)> stopAsked);
  ~HeldInput() override;
  HeldInput(const HeldInput&) = delete;
  HeldInput& operator=(const HeldInput&) = delete;

  // Hands the held input back to the window, in the order it came; the
  // event loop delivers it.
  void release();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Held {
    QPointer<QObject> receiver;
    std::unique_ptr<QEvent> event;
  };
  bool inWindow(QObject* object) const;

  QPointer<QWindow> window_;
  std::function<void(bool closing)> stopAsked_;
  std::vector<Held> held_;
};

}  // namespace ui::qt
