#include "qt/qtdisplay.h"

#include <QFile>
#include <QMetaObject>
#include <utility>

#include "qt/maindialog.h"

namespace velkscan {

QString ToQString(TextView text) {
  return QFile::decodeName(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

Text ToText(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  return Text(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QtDisplay::QtDisplay(MainDialog& dialog) : dialog_(dialog) {
  timer_.setSingleShot(true);
  QObject::connect(&timer_, &QTimer::timeout, &dialog_, [this] { Flush(); });
}

bool QtDisplay::RequestApply() {
  // A request still queued when the window goes away is dropped with it.
  return QMetaObject::invokeMethod(
      &dialog_, [this] { Schedule(); }, Qt::QueuedConnection);
}

void QtDisplay::Schedule() {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto due = lastFlush_ + kRepaintInterval;
  const milliseconds wait = urgentWaiting() || due <= now ? milliseconds(0) : ceil<milliseconds>(due - now);
  if (timer_.isActive() && milliseconds(timer_.remainingTime()) <= wait) return;
  timer_.start(wait);
}

void QtDisplay::Flush() {
  timer_.stop();
  lastFlush_ = std::chrono::steady_clock::now();
  Changes changes = TakeChanges();
  // What is left of a long text goes first; a new text replaces it.
  if (carry_.boxChanged && !(changes.boxChanged && changes.replaceBox)) {
    carry_.boxText += changes.boxText;
    if (changes.boxChanged) carry_.boxIsReport = changes.boxIsReport;
    changes.boxChanged = true;
    changes.replaceBox = false;
    changes.boxIsReport = carry_.boxIsReport;
    changes.boxText = std::move(carry_.boxText);
  }
  carry_ = Changes{};
  // A long text goes in slices cut at line ends, with input and painting
  // served in between: no update holds the window for long.
  if (changes.boxText.size() > kSliceBytes) {
    const std::size_t cut = changes.boxText.rfind('\n', kSliceBytes);
    if (cut != Text::npos) {
      carry_.boxChanged = true;
      carry_.boxIsReport = changes.boxIsReport;
      carry_.boxText.assign(changes.boxText, cut + 1);
      changes.boxText.resize(cut + 1);
      timer_.start(0);
    }
  }
  dialog_.Apply(changes);
}

}  // namespace velkscan
