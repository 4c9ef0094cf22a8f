// InputFence: lets the worker wait, before a header rewrite, until the
// window's thread has taken in every input the display server held for it.
//
// A click on Stop, Enter or a close that the display server holds reaches
// the window's thread only when that thread reads and dispatches it; a busy
// window (a slice of report lines, a paint) is late to do so, and the worker
// would go on changing files meanwhile. On X11 the fence is an event the
// window sends to itself: the server puts it behind every event it queued
// for the program before, and the window's thread answers once it has
// dispatched it and the input that came before it. Elsewhere (the offscreen
// platform of the tests) the window's thread answers when it reaches the
// request, behind the events posted before it.
//
// A gesture comes in more than one event: while the Stop button is held
// down (a click is given at the release) or Alt is (Alt+F4 goes to the
// window manager, which sends the close after it), the answer waits.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class QWidget;
struct xcb_connection_t;

namespace velkscan {

class InputFence final : public QObject, public QAbstractNativeEventFilter {
 public:
  // Long enough for a busy window, short enough that a window in a loop of
  // its own (a held scroll bar) never holds the worker up for long.
  static constexpr std::chrono::milliseconds kWaitLimit{500};

  // Made on the window's thread. pressed: a button of the window is held
  // down that acts on its release.
  InputFence(QWidget& window, std::function<bool()> pressed);
  ~InputFence() override;

  // Any thread but the window's: returns once the window's thread has
  // dispatched every input held for it when this was called, when `going`
  // turns false (a Stop or close is under way) or after kWaitLimit; returns
  // going().
  bool Wait(const std::function<bool()>& going);

  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override;

 private:
  // The window's thread.
  void Send(uint64_t ticket);
  // The input before the fence has been dispatched: answers unless a
  // gesture is under way, else once it has ended.
  void Reached(uint64_t ticket);
  bool GestureUnderway() const;
  void Answer(uint64_t ticket);

  QWidget& window_;
  std::function<bool()> pressed_;
  QTimer gesture_;                          // looks again while a gesture is under way
  uint64_t heldTicket_ = 0;                 // the latest fence reached during it
  bool keyDown_ = false;                    // the last key event of the window was a press
  xcb_connection_t* connection_ = nullptr;  // null: not on X11
  uint32_t fenceAtom_ = 0;                  // the fence event's type
  std::mutex mutex_;
  std::condition_variable answer_;
  uint64_t asked_ = 0;     // guarded by mutex_: fences asked for
  uint64_t answered_ = 0;  // guarded by mutex_: the latest fence answered
};

}  // namespace velkscan
