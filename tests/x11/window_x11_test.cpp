// The Qt window on a real X server (run under xvfb-run): what the window system
// sees of it, and how it answers while a run holds the program. Keys are typed
// through XTEST (xdotool) and window manager messages are sent by a second X
// client, so they travel the toolkit's own event queue as a user's would;
// events a test hands to a widget directly would bypass what is checked here.
#include <poll.h>
#include <xcb/xcb.h>

#include <QAction>
#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "ui/qt/main_window_view.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string output(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buf[256];
    while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
    pclose(pipe);
  }
  return out;
}

// The window's title as the window manager reads it.
std::string netWmName(WId window) {
  std::string line = output("xprop -id " + std::to_string(window) + " -notype _NET_WM_NAME");
  while (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// Answers the question a run asks when the user wants it to stop, as the
// user would, and keeps its text.
class StopQuestion {
 public:
  explicit StopQuestion(bool yes) {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this, yes] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      asked.push_back(box->text().toStdString());
      box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    timer_.start();
  }
  std::vector<std::string> asked;

 private:
  QTimer timer_;
};

// A second X client that plays the window manager's part: it sends
// _NET_WM_PING and WM_DELETE_WINDOW, and sees the pings answered on the root.
class WindowManager {
 public:
  WindowManager() : c_(xcb_connect(nullptr, nullptr)) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
    // The toolkit answers to the root with one of these masks or the other,
    // by version; a window manager selects both.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c_, root_, XCB_CW_EVENT_MASK, &mask);
    protocols_ = atom("WM_PROTOCOLS");
    ping_ = atom("_NET_WM_PING");
    delete_ = atom("WM_DELETE_WINDOW");
  }
  ~WindowManager() { xcb_disconnect(c_); }
  WindowManager(const WindowManager&) = delete;
  WindowManager& operator=(const WindowManager&) = delete;

  bool connected() const { return xcb_connection_has_error(c_) == 0; }

  void sendPing(xcb_window_t window, std::uint32_t serial) { send(window, ping_, serial); }
  void sendClose(xcb_window_t window) { send(window, delete_, 0); }

  // Waits for the answer to ping serial; false when none came in time.
  bool awaitPong(xcb_window_t window, std::uint32_t serial, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(c_)) {
        bool pong = false;
        if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
          auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
          pong = message->type == protocols_ && message->data.data32[0] == ping_ &&
                 message->data.data32[1] == serial && message->data.data32[2] == window;
        }
        std::free(event);
        if (pong) return true;
      }
      pollfd fd{xcb_get_file_descriptor(c_), POLLIN, 0};
      poll(&fd, 1, 20);
    }
    return false;
  }

 private:
  xcb_atom_t atom(const char* name) {
    auto cookie = xcb_intern_atom(c_, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(c_, cookie, nullptr);
    const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return value;
  }

  void send(xcb_window_t window, xcb_atom_t protocol, std::uint32_t serial) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = protocols_;
    event.data.data32[0] = protocol;
    event.data.data32[1] = serial;
    event.data.data32[2] = window;
    xcb_send_event(c_, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
    xcb_flush(c_);
  }

  xcb_connection_t* c_;
  xcb_window_t root_ = 0;
  xcb_atom_t protocols_ = 0, ping_ = 0, delete_ = 0;
};

class X11Window : public ::testing::Test {
 protected:
  testsupport::WindowRig rig;
  std::unique_ptr<ui::qt::MainWindowView> view;

  ui::qt::MainWindowView& open() {
    rig.office.serve(rig.servers, "word.Application");
    ui::Form1& form = rig.build();
    view = std::make_unique<ui::qt::MainWindowView>(form);
    form.Form_Load();
    view->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    return *view;
  }
  // Five documents holding "旧", listed for a document run from 旧 to 新.
  std::filesystem::path openFiveDocuments(ui::qt::MainWindowView& window) {
    const auto folder = rig.work.path() / "slow";
    for (const char* name : {"1.doc", "2.doc", "3.doc", "4.doc", "5.doc"}) {
      rig.work.write(std::string("slow/") + name, "x");
      rig.office.documents[(folder / name).string()] = "旧";
    }
    rig.form->clickOption(1);
    rig.form->openFolder(folder.string());
    rig.form->Text1.text = "旧";
    rig.form->Text2.text = "新";
    window.refresh();
    return folder;
  }
  ~X11Window() override { view.reset(); }
};

TEST_F(X11Window, TheWindowSystemShowsEachCaptionExactlyAsDesigned) {
  auto& window = open();
  EXPECT_EQ(netWmName(window.winId()), "_NET_WM_NAME = \"Ravelsk\"");
  std::string contactTitle;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    EXPECT_TRUE(QTest::qWaitForWindowExposed(modal));
    contactTitle = netWmName(modal->winId());
    modal->close();
  });
  window.menuBar()->actions().at(1)->trigger();
  EXPECT_EQ(contactTitle, "_NET_WM_NAME = \"联系程序员\"");
}

// Five documents that each hold the office half a second. Meanwhile the window
// manager pings the window, the user types into Text1 and asks to close the
// window: the ping is answered during the run; the close request asks whether
// to stop (No: the run goes on); the key and the close request wait for its
// end and are then handled in the order they came.
TEST_F(X11Window, DuringARunTheWindowAnswersTheWindowManagerAndHoldsTheUsersInput) {
  WindowManager wm;
  ASSERT_TRUE(wm.connected());
  auto& window = open();
  const auto folder = openFiveDocuments(window);

  auto* text1 = qobject_cast<QPlainTextEdit*>(window.control("Text1"));
  const xcb_window_t id = static_cast<xcb_window_t>(window.winId());
  output("xdotool windowfocus --sync " + std::to_string(id));
  window.activateWindow();
  text1->setFocus();
  text1->moveCursor(QTextCursor::End);
  ASSERT_TRUE(QTest::qWaitFor([&] { return text1->hasFocus() && window.isActiveWindow(); }));

  // Idle, the window answers at once.
  {
    bool idleAnswer = false;
    std::thread idle([&] {
      wm.sendPing(id, 1);
      idleAnswer = wm.awaitPong(id, 1, 2000ms);
    });
    QTest::qWait(300);
    idle.join();
    ASSERT_TRUE(idleAnswer) << "the window does not answer pings even when idle";
  }

  std::atomic<bool> running{false};
  std::vector<std::string> text1DuringRun;
  rig.office.onCall = [&](const std::string& call) {
    if (call.find("Documents.Open") == std::string::npos) return;
    running = true;
    text1DuringRun.push_back(rig.form->Text1.text + "|" + text1->toPlainText().toStdString());
    std::this_thread::sleep_for(500ms);
  };
  // The textbox's text when the close request reaches the window.
  std::string text1AtClose = "(no close)";
  struct CloseWatch : QObject {
    std::function<void()> seen;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Close) seen();
      return false;
    }
  } watch;
  watch.seen = [&] { text1AtClose = rig.form->Text1.text; };
  window.installEventFilter(&watch);

  bool answered = false;
  Clock::time_point answeredAt{};
  std::thread user([&] {
    while (!running) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(200ms);
    output("xdotool type x");
    wm.sendPing(id, 4711);
    answered = wm.awaitPong(id, 4711, 4000ms);
    answeredAt = Clock::now();
    wm.sendClose(id);
  });
  StopQuestion question(false);
  qobject_cast<QPushButton*>(window.control("Command1"))->click();
  const Clock::time_point runEnded = Clock::now();
  user.join();
  EXPECT_EQ(question.asked,
            std::vector<std::string>{"窗口将在替换结束后关闭。要在当前文件处理完后停止吗？"});

  EXPECT_TRUE(answered) << "the ping was never answered";
  EXPECT_LT(answeredAt, runEnded)
      << "the ping was answered "
      << std::chrono::duration_cast<std::chrono::milliseconds>(answeredAt - runEnded).count()
      << " ms after the run";
  EXPECT_EQ(text1DuringRun, std::vector<std::string>(5, "旧|旧"));
  for (const std::string& find : rig.office.callsContaining("Find.Execute")) {
    EXPECT_NE(find.find("\"旧\""), std::string::npos) << find;
  }
  EXPECT_TRUE(window.isVisible()) << "the close request was handled during the run";

  // After the run: the key first, then the close request.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 5000));
  EXPECT_EQ(rig.form->Text1.text, "旧x");
  EXPECT_EQ(text1AtClose, "旧x");
  window.removeEventFilter(&watch);
}

// Esc during a run of five slow documents asks whether to stop; Yes stops
// it after the document being worked on: those after it are never opened,
// one line says how many were left, and the title shows the progress.
TEST_F(X11Window, EscDuringARunStopsItAfterTheCurrentDocument) {
  auto& window = open();
  const auto folder = openFiveDocuments(window);
  const xcb_window_t id = static_cast<xcb_window_t>(window.winId());
  output("xdotool windowfocus --sync " + std::to_string(id));
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.isActiveWindow(); }));

  std::atomic<int> opened{0};
  std::vector<std::string> titles;
  rig.office.onCall = [&](const std::string& call) {
    if (call.find("Documents.Open") == std::string::npos) return;
    ++opened;
    titles.push_back(window.windowTitle().toStdString());
    std::this_thread::sleep_for(500ms);
  };
  std::thread user([&] {
    while (opened == 0) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(200ms);
    output("xdotool key Escape");
  });
  StopQuestion question(true);
  qobject_cast<QPushButton*>(window.control("Command1"))->click();
  user.join();
  rig.office.onCall = nullptr;

  EXPECT_EQ(question.asked, std::vector<std::string>{"要在当前文件处理完后停止吗？"});
  const int done = opened;
  ASSERT_GE(done, 1);
  ASSERT_LT(done, 5) << "the run was not stopped";
  EXPECT_EQ(titles.front(), "Ravelsk — 1/5");
  EXPECT_EQ(titles.back(), "Ravelsk — " + std::to_string(done) + "/5");
  EXPECT_EQ(window.windowTitle(), "Ravelsk");
  EXPECT_NE(
      rig.form->Text3.text().find("已停止：还有 " + std::to_string(5 - done) + " 个文件未处理\r\n"),
      std::string::npos)
      << rig.form->Text3.text();
  for (int n = done + 1; n <= 5; ++n) {
    EXPECT_EQ(rig.office.documents[(folder / (std::to_string(n) + ".doc")).string()], "旧") << n;
  }
  EXPECT_EQ(rig.office.alive, 0);
}

// A box that still holds its prompt selects it all when clicked into, so
// that what is typed replaces it; a box with the user's text keeps it.
TEST_F(X11Window, AClickIntoABoxThatHoldsItsPromptSelectsItForWhatIsTyped) {
  auto& window = open();
  struct Case {
    const char* box;
    std::string before, after;
  };
  const Case cases[] = {{"Text1", "请输入要替换的内容", "x"},
                        {"Text2", "替换内容\r", "x"},
                        {"Text1", "请输入要替换原内容", "x"},
                        {"Text1", "旧", "旧x"}};
  const xcb_window_t id = static_cast<xcb_window_t>(window.winId());
  output("xdotool windowfocus --sync " + std::to_string(id));
  window.activateWindow();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.box) + " " + c.before);
    ui::TextBox& text = std::string(c.box) == "Text1" ? rig.form->Text1 : rig.form->Text2;
    text.text = c.before;
    window.refresh();
    window.control("Dir1")->setFocus();
    auto* box = qobject_cast<QPlainTextEdit*>(window.control(c.box));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box->hasFocus(); }));
    // Not a double click with the last row's.
    QTest::qWait(QApplication::doubleClickInterval() + 100);
    const QPoint at = box->mapTo(&window, box->rect().center());
    output("xdotool mousemove --window " + std::to_string(id) + " " + std::to_string(at.x()) + " " +
           std::to_string(at.y()) + " click 1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->hasFocus(); }));
    QTest::qWait(100);
    output("xdotool type x");
    EXPECT_TRUE(QTest::qWaitFor([&] { return text.text == c.after; }, 3000)) << text.text;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (qgetenv("DISPLAY").isEmpty()) {
    std::fputs("these tests need an X server: run them under xvfb-run\n", stderr);
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  ui::qt::configureApplication();
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
