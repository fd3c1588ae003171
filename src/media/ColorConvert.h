#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

// Conversions between 8-bit 4:2:0 pictures and 24-bit BGR rows, the hook's
// two conversions of every picture. Fixed-point with SIMD where the processor
// has it; the scalar code gives the same bytes (it is the reference, and
// takes the last few pixels of a row), so results never depend on the SIMD
// width.

struct TYuvColorimetry {
  bool Bt709 = false;      // else BT.601
  bool FullRange = false;  // 0..255 luma, else 16..235
};

// The matrix and range a picture is tagged with (BT.601 and limited range
// when untagged, "J" formats full range), or false when the fast path does
// not take the format.
bool YuvColorimetryOf(const AVFrame* frame, TYuvColorimetry* colorimetry);
bool YuvColorimetryOf(AVPixelFormat format, AVColorSpace space, AVColorRange range, TYuvColorimetry* colorimetry);

void Yuv420ToBgr24(const uint8_t* const data[4], const int linesize[4], int width, int height, uint8_t* bgr,
                   int stride, const TYuvColorimetry& colorimetry);
// Chroma is the mean of each 2x2 block (edges repeat the last row or column).
void Bgr24ToYuv420(const uint8_t* bgr, int stride, int width, int height, uint8_t* const data[4],
                   const int linesize[4], const TYuvColorimetry& colorimetry);

// The instruction sets the conversions can use, narrowest first.
enum class TColorSimd { None, Ssse3, Avx2, Avx512 };
// The widest one this processor has (and the limit allows) ...
TColorSimd ColorConvertSimd();
// ... after limiting it, for tests and benchmarks (None: scalar code only).
void LimitColorConvertSimd(TColorSimd most);
