#include "JobsInfo.h"

#include <QDir>

QString ConfigFolder() {
  const QByteArray overrideDir = qgetenv("TOLVANE_CONFIG_DIR");
  if (!overrideDir.isEmpty()) return QString::fromUtf8(overrideDir);
  QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
  const QString base = xdg.isEmpty() ? QDir::homePath() + "/.config" : QString::fromUtf8(xdg);
  return base + "/tolvane";
}
