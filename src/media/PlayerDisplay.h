// Where the player's pictures go. The player owns no window: its host hands
// it an object of this interface (the Qt video panel, or the in-memory
// display of tests and benchmarks) and the player's play thread draws through it.
#pragma once

#include <cstdint>

struct TDisplayRect {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  bool operator==(const TDisplayRect&) const = default;
};

// A finished picture: planar YUV 4:2:0 (plane 0 luma, 1 Cb, 2 Cr), even
// width and height. The planes belong to the player and stay valid only
// during the call that hands them over.
struct TDisplayPicture {
  const uint8_t* Data[3] = {};
  int Linesize[3] = {};
  int Width = 0, Height = 0;
  // The picture's time from the start of the file; -1 for the waveform.
  int64_t PtsUs = -1;
};

// Contract for implementers:
//   - GetClientSize is called on the thread that calls TMediaPlayer::Open
//     (the main thread), only while ScreenWidth or ScreenHeight is 0.
//   - ShowPicture and FillBackground are called on the player's play thread,
//     one at a time, never concurrently with each other. They must return
//     without waiting for the main thread in any way other than
//     CallInMainThread (the main thread serves that queue while it waits
//     for the player; a blocking Qt queued connection would dead-lock).
//   - Nothing is called after TMediaPlayer::Stop(true) has returned.
class TPlayerDisplay {
 public:
  virtual ~TPlayerDisplay() = default;
  // The host area's size in pixels.
  virtual void GetClientSize(int& width, int& height) = 0;
  // Scale picture into rect (inside the display area of ScreenWidth x
  // ScreenHeight, whose top-left corner is 0,0) and show it.
  virtual void ShowPicture(const TDisplayPicture& picture, const TDisplayRect& rect) = 0;
  // Paint rect with the background colour (black): the whole area when it is
  // (re)made or when the picture's rectangle changed, so no stale borders stay.
  virtual void FillBackground(const TDisplayRect& rect) = 0;
};

// The rectangle a picture of width x height (sample aspect sarNum/sarDen)
// takes in an area of areaWidth x areaHeight at areaLeft, areaTop.
// aspectSetting > 0 forces that display aspect, < 0 fills the area, 0 keeps
// the picture's own shape (a sample aspect that is not positive counts as 1).
TDisplayRect ComputeDisplayRect(float aspectSetting, int width, int height, int sarNum, int sarDen,
                                int areaWidth, int areaHeight, int areaLeft = 0, int areaTop = 0);
