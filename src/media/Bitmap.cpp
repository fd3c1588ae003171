#include "Bitmap.h"

void TBitmap::SetSize(int width, int height) {
  if (width < 0) width = 0;
  if (height < 0) height = 0;
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  stride_ = RowBytes(width);
  pixels_.assign(static_cast<size_t>(stride_) * height_, 0);
}

void TBitmap::Fill(uint8_t b, uint8_t g, uint8_t r) {
  for (int y = 0; y < height_; ++y) {
    uint8_t* p = ScanLine(y);
    for (int x = 0; x < width_; ++x, p += 3) {
      p[0] = b;
      p[1] = g;
      p[2] = r;
    }
  }
}
