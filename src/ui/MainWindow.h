#pragma once

#include <QMainWindow>

class QPlainTextEdit;

class TfrmMain : public QMainWindow {
  Q_OBJECT
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  void AppendLog(const QString& line);

 private:
  void LoadPlayerLibraries();

  QPlainTextEdit* mmoLog = nullptr;
};
