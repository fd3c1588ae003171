#include "MemoryDisplay.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

void TMemoryDisplay::GetClientSize(int& width, int& height) {
  width = width_;
  height = height_;
}

void TMemoryDisplay::ShowPicture(const TDisplayPicture& picture, const TDisplayRect& rect) {
  const int64_t now = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  std::lock_guard<std::mutex> g(lock_);
  lastWidth_ = picture.Width;
  lastHeight_ = picture.Height;
  for (int p = 0; p < 3; ++p) {
    const int w = p ? picture.Width / 2 : picture.Width;
    const int h = p ? picture.Height / 2 : picture.Height;
    planes_[p].resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      std::memcpy(planes_[p].data() + static_cast<size_t>(y) * w,
                  picture.Data[p] + static_cast<ptrdiff_t>(y) * picture.Linesize[p], w);
  }
  shows_.push_back({picture.PtsUs, now, rect, picture.Width, picture.Height});
}

void TMemoryDisplay::FillBackground(const TDisplayRect&) {
  std::lock_guard<std::mutex> g(lock_);
  ++fills_;
}

std::vector<TMemoryDisplay::TShow> TMemoryDisplay::Shows() const {
  std::lock_guard<std::mutex> g(lock_);
  return shows_;
}

int TMemoryDisplay::ShowCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return static_cast<int>(shows_.size());
}

int TMemoryDisplay::FillCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return fills_;
}

bool TMemoryDisplay::LastShow(TShow& show) const {
  std::lock_guard<std::mutex> g(lock_);
  if (shows_.empty()) return false;
  show = shows_.back();
  return true;
}

int TMemoryDisplay::LastLuma(int x, int y) const {
  std::lock_guard<std::mutex> g(lock_);
  if (x < 0 || y < 0 || x >= lastWidth_ || y >= lastHeight_) return -1;
  return planes_[0][static_cast<size_t>(y) * lastWidth_ + x];
}

bool TMemoryDisplay::LastColour(int x, int y, uint8_t& b, uint8_t& g, uint8_t& r) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (x < 0 || y < 0 || x >= lastWidth_ || y >= lastHeight_) return false;
  const double Y = planes_[0][static_cast<size_t>(y) * lastWidth_ + x];
  const size_t c = static_cast<size_t>(y / 2) * (lastWidth_ / 2) + x / 2;
  const double U = planes_[1][c] - 128.0, V = planes_[2][c] - 128.0;
  const double L = (Y - 16) * 255.0 / 219.0;
  auto clip = [](double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
  r = clip(L + 1.402 * 255.0 / 224.0 * V);
  g = clip(L - 0.344136 * 255.0 / 224.0 * U - 0.714136 * 255.0 / 224.0 * V);
  b = clip(L + 1.772 * 255.0 / 224.0 * U);
  return true;
}

void TMemoryDisplay::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  shows_.clear();
  fills_ = 0;
}
