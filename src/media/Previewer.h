// The preview window of a task: shows the pictures a task encodes, at most
// ten a second, in a small window the application provides.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "Bitmap.h"

// A window that shows pictures; made, painted and destroyed in the main thread.
class IPreviewWindow {
 public:
  virtual ~IPreviewWindow() = default;
  // Draws the picture (the window takes the first picture's size) and sets
  // the caption.
  virtual void Paint(const TBitmap& picture, const std::string& caption) = 0;
  // True once the user closed the window.
  virtual bool IsClosed() const = 0;
};

using TPreviewWindowFactory = std::function<std::unique_ptr<IPreviewWindow>()>;

// Installed by a program with windows; without one, preview windows show
// nothing and cost nothing.
void SetPreviewWindowFactory(TPreviewWindowFactory factory);
bool HasPreviewWindowFactory();

class TPreviewer {
 public:
  TPreviewer() = default;
  ~TPreviewer();  // closes the window (in the main thread)
  TPreviewer(const TPreviewer&) = delete;
  TPreviewer& operator=(const TPreviewer&) = delete;

  // Worker thread: hands the picture to the main thread and waits for it to
  // be painted. False once the user closed the window.
  bool ShowPicture(const TBitmap* bitmap, int frameNumber, int64_t pts);
  bool Closed() const { return closed_; }

 private:
  void PaintPicture();  // main thread

  std::unique_ptr<IPreviewWindow> window_;  // main thread only
  bool closed_ = false;
  const TBitmap* bitmap_ = nullptr;
  int frameNumber_ = 0;
  int64_t pts_ = 0;
};
