#include "PreviewWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

TPreviewWindow::TPreviewWindow() : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPreviewWindow::Paint(const TBitmap& picture, const std::string& caption) {
  picture_ = QImage(picture.Bits(), picture.Width(), picture.Height(), picture.Stride(), QImage::Format_BGR888).copy();
  setWindowTitle(QString::fromStdString(caption));
  if (!shown_) {
    // Sized once, from the first picture, and centred on the screen.
    setFixedSize(picture.Width(), picture.Height());
    if (QScreen* screen = QGuiApplication::primaryScreen())
      move(screen->availableGeometry().center() - rect().center());
    show();
    shown_ = true;
  }
  update();
}

void TPreviewWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawImage(0, 0, picture_);
}

void TPreviewWindow::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) dragOffset_ = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void TPreviewWindow::mouseMoveEvent(QMouseEvent* e) {
  if (e->buttons() & Qt::LeftButton) move(e->globalPosition().toPoint() - dragOffset_);
}

void TPreviewWindow::closeEvent(QCloseEvent* e) {
  closed_ = true;
  e->accept();
}
