// A display that keeps what it is shown in memory: the last picture, every
// show with its time, and the background fills. For tests and benchmarks.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "PlayerDisplay.h"

class TMemoryDisplay : public TPlayerDisplay {
 public:
  struct TShow {
    int64_t PtsUs;
    int64_t WallUs;  // monotonic clock when it was shown
    TDisplayRect Rect;
    int Width, Height;
  };

  TMemoryDisplay(int width, int height) : width_(width), height_(height) {}

  void GetClientSize(int& width, int& height) override;
  void ShowPicture(const TDisplayPicture& picture, const TDisplayRect& rect) override;
  void FillBackground(const TDisplayRect& rect) override;

  // Snapshots, safe from any thread.
  std::vector<TShow> Shows() const;
  int ShowCount() const;
  int FillCount() const;
  bool LastShow(TShow& show) const;
  // Luma of the last picture at x, y (-1 when there is none or out of range).
  int LastLuma(int x, int y) const;
  // Blue, green, red of the last picture at x, y; false when there is none.
  bool LastColour(int x, int y, uint8_t& b, uint8_t& g, uint8_t& r) const;
  void Clear();

 private:
  int width_, height_;
  mutable std::mutex lock_;
  // -- guarded by lock_:
  std::vector<TShow> shows_;
  int fills_ = 0;
  int lastWidth_ = 0, lastHeight_ = 0;
  // The last picture's planes, copied as a real display would.
  std::vector<uint8_t> planes_[3];
};
