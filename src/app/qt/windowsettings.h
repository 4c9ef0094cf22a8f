// The window's settings: $XDG_CONFIG_HOME/velkscan/velkscan.conf, one file
// for every choice the window keeps between runs.
#pragma once

#include <QSettings>

namespace velkscan {

inline QSettings WindowSettings() {
  return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("velkscan"),
                   QStringLiteral("velkscan"));
}

}  // namespace velkscan
