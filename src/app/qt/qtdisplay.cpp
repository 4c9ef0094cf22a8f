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

template <typename Change>
void QtDisplay::Post(Change&& change) {
  // Queued even on the window's own thread: see the header. Changes still
  // queued when the window goes away are dropped with it.
  QMetaObject::invokeMethod(&dialog_, std::forward<Change>(change), Qt::QueuedConnection);
}

void QtDisplay::ShowReport(TextView report) {
  // The view is valid only during this call: copy now, on the caller's thread.
  Post([dialog = &dialog_, text = ToQString(report)] { dialog->ApplyReport(text); });
}

void QtDisplay::ShowMessage(TextView text) {
  Post([dialog = &dialog_, message = ToQString(text)] { dialog->ApplyMessage(message); });
}

void QtDisplay::SetProgress(uint32_t position) {
  Post([dialog = &dialog_, position] { dialog->ApplyProgress(static_cast<int>(position)); });
}

void QtDisplay::SetButtonText(TextView text) {
  Post([dialog = &dialog_, caption = ToQString(text)] { dialog->ApplyButtonText(caption); });
}

void QtDisplay::EnableButton(bool enabled) {
  Post([dialog = &dialog_, enabled] { dialog->ApplyButtonEnabled(enabled); });
}

void QtDisplay::FocusButton() {
  Post([dialog = &dialog_] { dialog->ApplyButtonFocus(); });
}

void QtDisplay::AcceptDrops(bool accept) {
  Post([dialog = &dialog_, accept] { dialog->ApplyAcceptDrops(accept); });
}

}  // namespace velkscan
