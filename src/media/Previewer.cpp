#include "Previewer.h"

#include "FFUtils.h"
#include "MainThread.h"

namespace {
std::mutex gFactoryLock;
TPreviewWindowFactory gFactory;  // guarded by gFactoryLock
}  // namespace

void SetPreviewWindowFactory(TPreviewWindowFactory factory) {
  std::lock_guard<std::mutex> g(gFactoryLock);
  gFactory = std::move(factory);
}

bool HasPreviewWindowFactory() {
  std::lock_guard<std::mutex> g(gFactoryLock);
  return static_cast<bool>(gFactory);
}

TPreviewer::~TPreviewer() {
  if (window_) CallInMainThread([this] { window_.reset(); });
}

bool TPreviewer::ShowPicture(const TBitmap* bitmap, int frameNumber, int64_t pts) {
  if (closed_) return false;
  bitmap_ = bitmap;
  frameNumber_ = frameNumber;
  pts_ = pts;
  CallInMainThread([this] { PaintPicture(); });
  return !closed_;
}

void TPreviewer::PaintPicture() {
  if (closed_) return;
  if (!window_) {
    TPreviewWindowFactory factory;
    {
      std::lock_guard<std::mutex> g(gFactoryLock);
      factory = gFactory;
    }
    if (factory) window_ = factory();
    if (!window_) {
      closed_ = true;  // nowhere to show pictures
      return;
    }
  }
  window_->Paint(*bitmap_, TimeToText(pts_));
  closed_ = window_->IsClosed();
}
