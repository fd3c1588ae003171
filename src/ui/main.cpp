#include <QApplication>

#include "MainThread.h"
#include "MainWindow.h"
#include "PreviewWindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Tolvane Video Converter");
  SetMainThread();
  // Workers queue calls for the main thread; run them from the event loop.
  SetMainThreadWakeup([] {
    QMetaObject::invokeMethod(qApp, [] { ProcessPendingMessages(); }, Qt::QueuedConnection);
  });
  SetPreviewWindowFactory([] { return std::make_unique<TPreviewWindow>(); });
  TfrmMain window;
  window.show();
  int rc = QApplication::exec();
  SetMainThreadWakeup(nullptr);
  SetPreviewWindowFactory(nullptr);
  return rc;
}
