#include "MainWindow.h"

#include <QCoreApplication>
#include <QPlainTextEdit>

#include "FFmpegLoader.h"
#include "FFmpegLogger.h"

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle("Tolvane Video Converter");
  mmoLog = new QPlainTextEdit(this);
  mmoLog->setReadOnly(true);
  mmoLog->setMaximumBlockCount(5000);
  setCentralWidget(mmoLog);
  resize(800, 500);

  // The logger hands its lines to the main thread, so this runs there.
  FFLogger().SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& line) {
    AppendLog(QString::fromStdString(line));
  });
  LoadPlayerLibraries();
}

TfrmMain::~TfrmMain() { FFLogger().SetOnLog(nullptr); }

void TfrmMain::AppendLog(const QString& line) { mmoLog->appendPlainText(line); }

void TfrmMain::LoadPlayerLibraries() {
  SetLibraryPath((QCoreApplication::applicationDirPath() + "/LibAV").toStdString());
  if (!LoadLibrarySet(PlayerLibraries)) {
    AppendLog(QString::fromStdString(GetLastErrMsg()));
    return;
  }
  AppendLog(tr("Media libraries loaded."));
}
