// The hook's 4:2:0 <-> 24-bit BGR conversions: every instruction-set path
// gives the scalar bytes (odd sizes, padded rows), the results stay within a
// step of the exact formulas, and the matrix and range follow the picture.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "ColorConvert.h"

namespace {

struct Planes {
  int w, h;
  std::vector<uint8_t> y, u, v;
  uint8_t* data[4];
  int linesize[4];
  // Rows padded past the picture, as decoders lay them out.
  Planes(int width, int height) : w(width), h(height) {
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    linesize[0] = w + 5, linesize[1] = linesize[2] = cw + 3, linesize[3] = 0;
    y.assign(static_cast<size_t>(linesize[0]) * h, 0);
    u.assign(static_cast<size_t>(linesize[1]) * ch, 0);
    v.assign(static_cast<size_t>(linesize[2]) * ch, 0);
    data[0] = y.data(), data[1] = u.data(), data[2] = v.data(), data[3] = nullptr;
  }
};

struct Bgr {
  int stride;
  std::vector<uint8_t> bytes;
  Bgr(int w, int h) : stride(w * 3 + 7), bytes(static_cast<size_t>(stride) * h, 0) {}
  uint8_t* at(int x, int y) { return bytes.data() + static_cast<size_t>(y) * stride + 3 * x; }
};

void Fill(std::vector<uint8_t>& v, std::mt19937& rng, int lo, int hi) {
  std::uniform_int_distribution<int> d(lo, hi);
  for (auto& b : v) b = static_cast<uint8_t>(d(rng));
}

// Picture bytes only: padding may differ.
bool SamePicture(const Planes& a, const Planes& b) {
  for (int p = 0; p < 3; ++p) {
    const int w = p ? (a.w + 1) / 2 : a.w, h = p ? (a.h + 1) / 2 : a.h;
    for (int r = 0; r < h; ++r)
      for (int x = 0; x < w; ++x)
        if (a.data[p][r * a.linesize[p] + x] != b.data[p][r * b.linesize[p] + x]) return false;
  }
  return true;
}

class ColorConvertTest : public ::testing::Test {
 protected:
  void TearDown() override { LimitColorConvertSimd(TColorSimd::Avx512); }
};

// Each instruction set this processor has, against the scalar code.
TEST_F(ColorConvertTest, EverySimdPathMatchesTheScalarCode) {
  const TColorSimd best = ColorConvertSimd();
  std::mt19937 rng(11);
  for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {15, 3}, {17, 4}, {33, 5}, {47, 2}, {64, 7}, {113, 6}}) {
    for (const TYuvColorimetry colorimetry :
         {TYuvColorimetry{false, false}, {false, true}, {true, false}, {true, true}}) {
      Planes src(w, h);
      Fill(src.y, rng, 0, 255), Fill(src.u, rng, 0, 255), Fill(src.v, rng, 0, 255);
      Bgr in(w, h);
      Fill(in.bytes, rng, 0, 255);
      LimitColorConvertSimd(TColorSimd::None);
      Bgr slowBgr(w, h);
      Planes slowYuv(w, h);
      Yuv420ToBgr24(src.data, src.linesize, w, h, slowBgr.bytes.data(), slowBgr.stride, colorimetry);
      Bgr24ToYuv420(in.bytes.data(), in.stride, w, h, slowYuv.data, slowYuv.linesize, colorimetry);
      for (TColorSimd level : {TColorSimd::Ssse3, TColorSimd::Avx2, TColorSimd::Avx512}) {
        if (level > best) break;
        SCOPED_TRACE(testing::Message() << w << "x" << h << " simd " << static_cast<int>(level) << " 709="
                                        << colorimetry.Bt709 << " full=" << colorimetry.FullRange);
        LimitColorConvertSimd(level);
        Bgr fastBgr(w, h);
        Planes fastYuv(w, h);
        Yuv420ToBgr24(src.data, src.linesize, w, h, fastBgr.bytes.data(), fastBgr.stride, colorimetry);
        Bgr24ToYuv420(in.bytes.data(), in.stride, w, h, fastYuv.data, fastYuv.linesize, colorimetry);
        ASSERT_EQ(fastBgr.bytes, slowBgr.bytes);
        ASSERT_TRUE(SamePicture(fastYuv, slowYuv));
      }
    }
  }
}

// Within one step of the exact BT.601 limited-range formulas, both ways.
TEST_F(ColorConvertTest, StaysWithinAStepOfTheFormulas) {
  std::mt19937 rng(5);
  const int w = 64, h = 4;
  Planes src(w, h);
  Fill(src.y, rng, 16, 235), Fill(src.u, rng, 16, 240), Fill(src.v, rng, 16, 240);
  Bgr out(w, h);
  Yuv420ToBgr24(src.data, src.linesize, w, h, out.bytes.data(), out.stride, {});
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      const double y = 1.164383 * (src.y[r * src.linesize[0] + x] - 16);
      const double u = src.u[(r / 2) * src.linesize[1] + x / 2] - 128.0;
      const double v = src.v[(r / 2) * src.linesize[2] + x / 2] - 128.0;
      const double want[3] = {y + 2.017232 * u, y - 0.391762 * u - 0.812968 * v, y + 1.596027 * v};
      for (int k = 0; k < 3; ++k)
        ASSERT_LE(std::abs(out.at(x, r)[k] - std::clamp(std::lround(want[k]), 0L, 255L)), 1) << x << "," << r;
    }

  Bgr in(w, h);
  Fill(in.bytes, rng, 0, 255);
  Planes back(w, h);
  Bgr24ToYuv420(in.bytes.data(), in.stride, w, h, back.data, back.linesize, {});
  for (int r = 0; r < h; ++r)
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = in.at(x, r);
      const double y = 16 + 0.256788 * p[2] + 0.504129 * p[1] + 0.097906 * p[0];
      ASSERT_LE(std::abs(back.y[r * back.linesize[0] + x] - std::lround(y)), 1);
      if (r % 2 || x % 2) continue;
      double s[3] = {};
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx)
          for (int k = 0; k < 3; ++k) s[k] += in.at(x + dx, r + dy)[k] / 4.0;
      const double u = 128 - 0.148223 * s[2] - 0.290993 * s[1] + 0.439216 * s[0];
      const double v = 128 + 0.439216 * s[2] - 0.367788 * s[1] - 0.071427 * s[0];
      ASSERT_LE(std::abs(back.u[(r / 2) * back.linesize[1] + x / 2] - std::lround(u)), 1);
      ASSERT_LE(std::abs(back.v[(r / 2) * back.linesize[2] + x / 2] - std::lround(v)), 1);
    }
}

TEST_F(ColorConvertTest, MatrixAndRangeFollowThePicture) {
  struct Case {
    AVPixelFormat format;
    AVColorSpace space;
    AVColorRange range;
    int y, u, v;  // pure red
  };
  const Case cases[] = {
      {AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 81, 90, 240},
      {AV_PIX_FMT_YUV420P, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, 81, 90, 240},
      {AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 63, 102, 240},
      {AV_PIX_FMT_YUVJ420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 76, 85, 255},
      {AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, 54, 99, 255},
  };
  for (const Case& c : cases) {
    TYuvColorimetry colorimetry;
    ASSERT_TRUE(YuvColorimetryOf(c.format, c.space, c.range, &colorimetry));
    Bgr red(2, 2);
    for (int r = 0; r < 2; ++r)
      for (int x = 0; x < 2; ++x) red.at(x, r)[2] = 255;
    Planes p(2, 2);
    Bgr24ToYuv420(red.bytes.data(), red.stride, 2, 2, p.data, p.linesize, colorimetry);
    EXPECT_NEAR(p.y[0], c.y, 1) << c.space << "/" << c.range;
    EXPECT_NEAR(p.u[0], c.u, 1) << c.space << "/" << c.range;
    EXPECT_NEAR(p.v[0], c.v, 1) << c.space << "/" << c.range;
    Bgr back(2, 2);
    Yuv420ToBgr24(p.data, p.linesize, 2, 2, back.bytes.data(), back.stride, colorimetry);
    EXPECT_NEAR(back.at(1, 1)[2], 255, 2);
    EXPECT_NEAR(back.at(1, 1)[1], 0, 2);
    EXPECT_NEAR(back.at(1, 1)[0], 0, 2);
  }
  TYuvColorimetry colorimetry;
  EXPECT_FALSE(YuvColorimetryOf(AV_PIX_FMT_YUV422P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, &colorimetry));
  EXPECT_FALSE(YuvColorimetryOf(AV_PIX_FMT_NV12, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, &colorimetry));
}

}  // namespace
