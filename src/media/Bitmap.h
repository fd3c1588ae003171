#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

// A 24-bit picture: blue, green, red bytes; rows top-down, each row padded to
// a multiple of 4 bytes. The lock marks the canvas as in use while the picture
// is handed to a hook or painted.
class TBitmap {
 public:
  TBitmap() = default;
  TBitmap(int width, int height) { SetSize(width, height); }
  // Copies and moves take the pixels; each bitmap keeps a lock of its own.
  TBitmap(const TBitmap& o) : width_(o.width_), height_(o.height_), stride_(o.stride_), pixels_(o.pixels_) {}
  TBitmap(TBitmap&& o) noexcept
      : width_(o.width_), height_(o.height_), stride_(o.stride_), pixels_(std::move(o.pixels_)) {
    o.width_ = o.height_ = o.stride_ = 0;
  }
  TBitmap& operator=(const TBitmap& o) {
    if (this != &o) width_ = o.width_, height_ = o.height_, stride_ = o.stride_, pixels_ = o.pixels_;
    return *this;
  }
  TBitmap& operator=(TBitmap&& o) noexcept {
    width_ = o.width_, height_ = o.height_, stride_ = o.stride_, pixels_ = std::move(o.pixels_);
    o.width_ = o.height_ = o.stride_ = 0;
    return *this;
  }

  // Keeps the content of rows that survive only when the size is unchanged.
  void SetSize(int width, int height);
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Bytes from one row to the next.
  int Stride() const { return stride_; }
  bool Empty() const { return width_ <= 0 || height_ <= 0; }

  uint8_t* ScanLine(int row) { return pixels_.data() + static_cast<size_t>(row) * stride_; }
  const uint8_t* ScanLine(int row) const {
    return pixels_.data() + static_cast<size_t>(row) * stride_;
  }
  uint8_t* Bits() { return pixels_.data(); }
  const uint8_t* Bits() const { return pixels_.data(); }
  void Fill(uint8_t b, uint8_t g, uint8_t r);

  void Lock() { canvas_.lock(); }
  void Unlock() { canvas_.unlock(); }
  bool TryLock() { return canvas_.try_lock(); }

  static int RowBytes(int width) { return (width * 3 + 3) & ~3; }

 private:
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<uint8_t> pixels_;
  std::recursive_mutex canvas_;
};
