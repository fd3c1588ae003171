#pragma once

#include <QImage>
#include <QPoint>
#include <QWidget>

#include "Previewer.h"

// The small stay-on-top window that shows a task's encoded pictures; dragged
// by its picture, closed by the user.
class TPreviewWindow : public QWidget, public IPreviewWindow {
 public:
  TPreviewWindow();
  void Paint(const TBitmap& picture, const std::string& caption) override;
  bool IsClosed() const override { return closed_; }

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  QImage picture_;
  QPoint dragOffset_;
  bool closed_ = false;
  bool shown_ = false;
};
