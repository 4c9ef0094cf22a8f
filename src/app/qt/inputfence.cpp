#include "qt/inputfence.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>
#include <utility>

#if defined(VELKSCAN_HAVE_XCB) && !QT_CONFIG(xcb)
#undef VELKSCAN_HAVE_XCB
#endif
#ifdef VELKSCAN_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace velkscan {

InputFence::InputFence(QWidget& window, std::function<bool()> pressed)
    : window_(window), pressed_(std::move(pressed)) {
  gesture_.setInterval(1);
  QObject::connect(&gesture_, &QTimer::timeout, this, [this] {
    if (GestureUnderway()) return;
    gesture_.stop();
    Answer(std::exchange(heldTicket_, 0));
  });
#ifdef VELKSCAN_HAVE_XCB
  const auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  if (x11 == nullptr || x11->connection() == nullptr) return;
  static constexpr char kName[] = "_VELKSCAN_INPUT_FENCE";
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      x11->connection(), xcb_intern_atom(x11->connection(), 0, sizeof kName - 1, kName), nullptr);
  if (atom == nullptr) return;
  fenceAtom_ = atom->atom;
  std::free(atom);
  connection_ = x11->connection();
  QCoreApplication::instance()->installNativeEventFilter(this);
#endif
}

InputFence::~InputFence() {
  if (connection_ != nullptr) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool InputFence::Wait(const std::function<bool()>& going) {
  std::unique_lock<std::mutex> lock(mutex_);
  const uint64_t ticket = ++asked_;
  lock.unlock();
  if (!QMetaObject::invokeMethod(
          this, [this, ticket] { Send(ticket); }, Qt::QueuedConnection))
    return going();
  lock.lock();
  // Polled as well: a Stop or close on the window's thread waits for the
  // worker and does not answer.
  const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
  while (answered_ < ticket && going() && std::chrono::steady_clock::now() < deadline)
    answer_.wait_for(lock, std::chrono::milliseconds(2));
  return going();
}

void InputFence::Send(uint64_t ticket) {
#ifdef VELKSCAN_HAVE_XCB
  // Not made yet: nothing can be on its way to the window.
  if (connection_ != nullptr && window_.internalWinId() != 0) {
    xcb_client_message_event_t fence;
    std::memset(&fence, 0, sizeof fence);
    fence.response_type = XCB_CLIENT_MESSAGE;
    fence.format = 32;
    fence.window = static_cast<xcb_window_t>(window_.internalWinId());
    fence.type = fenceAtom_;
    fence.data.data32[0] = static_cast<uint32_t>(ticket);
    fence.data.data32[1] = static_cast<uint32_t>(ticket >> 32);
    // No event mask: the server sends it to the window's own program.
    xcb_send_event(connection_, 0, fence.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&fence));
    xcb_flush(connection_);
    return;
  }
#endif
  Reached(ticket);
}

bool InputFence::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
#ifdef VELKSCAN_HAVE_XCB
  if (type != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  const uint8_t kind = event->response_type & 0x7F;
  if (kind == XCB_KEY_PRESS || kind == XCB_KEY_RELEASE) keyDown_ = kind == XCB_KEY_PRESS;
  if (kind != XCB_CLIENT_MESSAGE) return false;
  const auto* fence = static_cast<const xcb_client_message_event_t*>(message);
  if (fence->type != fenceAtom_) return false;
  const uint64_t ticket = fence->data.data32[0] | static_cast<uint64_t>(fence->data.data32[1]) << 32;
  // The input read before the fence is delivered to the widgets after this
  // filter, in the same turn of the event loop; a posted call comes after.
  QMetaObject::invokeMethod(
      this, [this, ticket] { Reached(ticket); }, Qt::QueuedConnection);
  return true;
#else
  (void)type;
  (void)message;
  return false;
#endif
}

void InputFence::Reached(uint64_t ticket) {
  if (!GestureUnderway()) {
    Answer(ticket);
    return;
  }
  heldTicket_ = ticket;
  gesture_.start();
}

bool InputFence::GestureUnderway() const {
  if (pressed_ && pressed_()) return true;
  // The press of Alt itself does not show in the modifiers known from the
  // events, and they may be stale (Alt released in another window): the
  // display server is asked, but only while a key may be down.
  return (keyDown_ || (QGuiApplication::keyboardModifiers() & Qt::AltModifier)) &&
         (QGuiApplication::queryKeyboardModifiers() & Qt::AltModifier);
}

void InputFence::Answer(uint64_t ticket) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ticket > answered_) answered_ = ticket;
  }
  answer_.notify_all();
}

}  // namespace velkscan
