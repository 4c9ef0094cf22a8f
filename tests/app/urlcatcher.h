// A file's URL the window asks the desktop to open
// (QDesktopServices::setUrlHandler(scheme, this, "open")): its own header, so
// that only the tests that use it pay for its meta-object code.
#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

namespace velkscan::apptest {

struct UrlCatcher : QObject {
  Q_OBJECT
 public slots:
  void open(const QUrl& url) { urls << url; }

 public:
  QList<QUrl> urls;
};

}  // namespace velkscan::apptest
