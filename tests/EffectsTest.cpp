// Picture effects and watermarks: the colour and exposure passes against
// worked values, blending and its clipping, the hook handler on single
// pictures, through a conversion, and through tolvane-convert.
#include <filesystem>
#include <mutex>
#include <random>

#include <QGuiApplication>
#include <QImage>

#include <gtest/gtest.h>

#include "Bitmap.h"
#include "ColorConvert.h"
#include "ConvertEngine.h"
#include "FFmpegLogger.h"
#include "FrameEffects.h"
#include "TestSupport.h"
#include "WatermarkRenderer.h"

namespace {

// One row of grey pixels, one per level.
TBitmap GreyRow(const std::vector<int>& levels) {
  TBitmap b(static_cast<int>(levels.size()), 1);
  for (size_t i = 0; i < levels.size(); ++i) std::memset(b.ScanLine(0) + i * 3, levels[i], 3);
  return b;
}

std::vector<int> Channel0(const TBitmap& b) {
  std::vector<int> out;
  for (int x = 0; x < b.Width(); ++x) {
    const uint8_t* p = b.ScanLine(0) + x * 3;
    EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << "pixel " << x << " is not grey";
    out.push_back(p[0]);
  }
  return out;
}

TBitmap Noise(int w, int h, unsigned seed) {
  TBitmap b(w, h);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x) b.ScanLine(y)[x] = static_cast<uint8_t>(rng());
  return b;
}

bool SamePixels(const TBitmap& a, const TBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), static_cast<size_t>(a.Width()) * 3) != 0) return false;
  return true;
}

std::array<int, 3> Pixel(const TBitmap& b, int x, int y) {
  const uint8_t* p = b.ScanLine(y) + x * 3;
  return {p[0], p[1], p[2]};
}

void SaveBmp(const std::string& file, int w, int h, QColor color) {
  QImage image(w, h, QImage::Format_RGB888);
  image.fill(color);
  ASSERT_TRUE(image.save(QString::fromStdString(file), "BMP"));
}

void EnsureGuiApplication() {
  if (CanDrawWatermarkText()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "tolvane_tests";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  (void)app;
}

TWmRec ImageItem(const std::string& file, int left, int top, int alpha = 255, int from = 0, int to = 1000) {
  TWmRec r;
  r.Kind = 1;
  r.ImageFile = QString::fromStdString(file);
  r.ImageLeft = left, r.ImageTop = top, r.ImageAlpha = alpha;
  r.StartSec = from, r.EndSec = to;
  return r;
}

TWmRec TextItem(const QString& text, int left, int top, int alpha, bool background) {
  TWmRec r;
  r.Kind = 0;
  r.Text = text;
  r.Font.Family = "Sans";
  r.Font.PointSize = 20;
  r.Font.Styles = TWmFont::Bold;
  r.Font.Color = QColor(255, 255, 0);
  r.BackColor = QColor(0, 0, 255);
  r.UseBackColor = background;
  const QSize extent = WatermarkTextExtent(text, r.Font);
  r.TextLeft = left, r.TextTop = top, r.TextWidth = extent.width(), r.TextHeight = extent.height();
  r.TextAlpha = alpha;
  r.EndSec = 1000;
  return r;
}

// Runs the handler on one picture as the engine would; returns Update.
bool Hook(TWatermarkRenderer& renderer, TBitmap& picture, int64_t ptsUs = 0) {
  THookInfo info;
  info.TaskIndex = 0;
  info.Bitmap = &picture;
  info.PTS = ptsUs;
  renderer.EngineCustomHook(nullptr, &info);
  EXPECT_FALSE(info.StopHook);
  return info.Update;
}

}  // namespace

TEST(EffectsTest, ColorPassMatchesWorkedValues) {
  struct Case {
    int b, c, s;
    std::vector<int> in, out;
  } cases[] = {
      {256, 50, 256, {0, 64, 128, 170, 200, 255}, {0, 20, 111, 170, 212, 255}},
      {256, -50, 256, {0, 64, 128, 170, 200, 255}, {50, 95, 140, 170, 191, 230}},
      {512, 0, 256, {0, 1, 64, 128}, {0, 1, 127, 255}},
      {0, 0, 256, {0, 1, 64, 128, 255}, {1, 1, 1, 1, 1}},
      // The stored neutral brightness steps level 200 down before contrast.
      {255, 10, 255, {200}, {199}},
      {256, 10, 256, {200}, {200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "b=" << c.b << " c=" << c.c << " s=" << c.s);
    TBitmap row = GreyRow(c.in);
    AdjustColors(row, c.b, c.c, c.s);
    EXPECT_EQ(Channel0(row), c.out);
  }

  struct Sat {
    int s;
    std::array<int, 3> out;
  } sats[] = {{0, {120, 120, 120}}, {512, {0, 80, 255}}, {256, {10, 100, 250}}};
  for (const Sat& s : sats) {
    TBitmap px(1, 1);
    px.Fill(10, 100, 250);
    AdjustColors(px, 256, 0, s.s);
    EXPECT_EQ(Pixel(px, 0, 0), s.out) << "s=" << s.s;
  }
}

TEST(EffectsTest, ColorPassLimits) {
  const TBitmap noise = Noise(37, 11, 1);
  TBitmap same = noise;
  AdjustColors(same, 256, 0, 256);
  EXPECT_TRUE(SamePixels(same, noise));

  // Contrast -100 flattens everything to 170, whatever the other two say.
  for (auto [b, s] : {std::pair{0, 0}, {255, 255}, {512, 512}, {300, 100}}) {
    TBitmap p = noise;
    AdjustColors(p, b, -100, s);
    for (int y = 0; y < p.Height(); ++y)
      for (int x = 0; x < p.Width() * 3; ++x) ASSERT_EQ(p.ScanLine(y)[x], 170) << b << "/" << s;
  }

  TBitmap at100 = noise, at99 = noise;
  AdjustColors(at100, 256, 100, 256);
  AdjustColors(at99, 256, 99, 256);
  EXPECT_TRUE(SamePixels(at100, at99));
}

TEST(EffectsTest, ExposureMatchesWorkedValues) {
  const std::vector<int> levels = {0, 1, 32, 64, 128, 192, 254, 255};
  struct Case {
    float e;
    std::vector<int> out;
  } cases[] = {
      {100, {0, 2, 71, 125, 196, 235, 254, 255}},
      {512, {0, 8, 173, 228, 252, 254, 255, 255}},
      {-100, {0, 0, 0, 0, 0, 52, 251, 255}},
      {-255, {0, 0, 0, 0, 0, 0, 203, 255}},
      {0, levels},
  };
  for (const Case& c : cases) {
    TBitmap row = GreyRow(levels);
    AdjustExposure(row, c.e);
    EXPECT_EQ(Channel0(row), c.out) << "e=" << c.e;
  }
}

// The fused sweep and the cached tables give the bytes of the two passes
// built afresh, also when values alternate between pictures.
TEST(EffectsTest, FusedPassEqualsTheTwoPasses) {
  const TBitmap noise = Noise(64, 9, 2);
  struct V {
    int b, c, s, e;
  } values[] = {{300, 20, 400, 50}, {200, -30, 100, -80}, {300, 20, 400, 50}, {255, 0, 255, 512}};
  for (const V& v : values) {
    TBitmap twoPasses = noise, fused = noise;
    AdjustColors(twoPasses, v.b, v.c, v.s);
    AdjustExposure(twoPasses, static_cast<float>(v.e));
    AdjustColorsAndExposure(fused, v.b, v.c, v.s, static_cast<float>(v.e));
    EXPECT_TRUE(SamePixels(twoPasses, fused)) << v.b << " " << v.c << " " << v.s << " " << v.e;
  }
}

// The SIMD sweeps (each the processor has) give the scalar bytes, tails of
// rows included.
TEST(EffectsTest, SimdPassesMatchTheScalarCode) {
  const TBitmap noise = Noise(150, 5, 3);
  struct V {
    int b, c, s, e;
  } values[] = {{256, 0, 256, 0}, {0, 100, 0, 512}, {512, -100, 512, -255}, {300, 20, 400, 50}, {255, -37, 600, 7}};
  auto run = [&](const V& v, TColorSimd simd, TBitmap out[3]) {
    LimitColorConvertSimd(simd);
    out[0] = out[1] = out[2] = noise;
    AdjustColors(out[0], v.b, v.c, v.s);
    AdjustExposure(out[1], static_cast<float>(v.e));
    AdjustColorsAndExposure(out[2], v.b, v.c, v.s, static_cast<float>(v.e));
  };
  for (const V& v : values) {
    TBitmap slow[3], fast[3];
    run(v, TColorSimd::None, slow);
    for (TColorSimd simd : {TColorSimd::Avx2, TColorSimd::Avx512}) {
      SCOPED_TRACE(testing::Message() << v.b << " " << v.c << " " << v.s << " " << v.e << " simd "
                                      << static_cast<int>(simd));
      run(v, simd, fast);
      for (int k = 0; k < 3; ++k) EXPECT_TRUE(SamePixels(fast[k], slow[k])) << "pass " << k;
    }
  }
  LimitColorConvertSimd(TColorSimd::Avx512);
}

TEST(EffectsTest, BlendClipsAtEveryEdge) {
  // 7 pixels wide: rows carry padding that must stay untouched.
  const TBitmap dst0 = Noise(7, 5, 3);
  const TBitmap src = Noise(3, 2, 4);
  struct Case {
    int x, y, w;
  } cases[] = {{0, 0, 128}, {2, 1, 200}, {-1, -1, 128}, {5, 4, 128}, {-2, 3, 255}, {6, -1, 64},
               {-3, 0, 128}, {7, 0, 128}, {0, 5, 128},  {0, -2, 128}, {1, 1, 0},    {1, 1, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "at " << c.x << "," << c.y << " weight " << c.w);
    TBitmap dst = dst0;
    BlendBitmap(dst, src, c.x, c.y, c.w);
    for (int y = 0; y < dst.Height(); ++y) {
      for (int x = 0; x < dst.Width(); ++x) {
        const int sx = x - c.x, sy = y - c.y;
        const bool inside = sx >= 0 && sy >= 0 && sx < src.Width() && sy < src.Height();
        for (int ch = 0; ch < 3; ++ch) {
          const int d = dst0.ScanLine(y)[x * 3 + ch];
          const int expected = inside ? ((256 - c.w) * d + c.w * src.ScanLine(sy)[sx * 3 + ch]) >> 8 : d;
          ASSERT_EQ(dst.ScanLine(y)[x * 3 + ch], expected) << "pixel " << x << "," << y;
        }
      }
      EXPECT_EQ(std::memcmp(dst.ScanLine(y) + 21, dst0.ScanLine(y) + 21, 3), 0) << "padding of row " << y;
    }
  }
}

class EffectsHandlerTest : public ::testing::Test {
 protected:
  TlvFilesRecord record;
  TWatermarkRenderer renderer{[this](int task) { return task == 0 ? &record : nullptr; }};
  std::vector<std::string> errors;
  TempDir dir;
  void SetUp() override {
    renderer.OnError = [this](const std::string& line) { errors.push_back(line); };
  }
};

TEST_F(EffectsHandlerTest, NeutralRecordLeavesThePictureAsDecoded) {
  const TBitmap noise = Noise(40, 30, 5);
  TBitmap p = noise;
  EXPECT_FALSE(Hook(renderer, p));
  EXPECT_TRUE(SamePixels(p, noise));

  // Only exposure off neutral: exactly the exposure pass.
  record.Exposure = 100;
  TBitmap expected = noise;
  AdjustExposure(expected, 100);
  EXPECT_TRUE(Hook(renderer, p));
  EXPECT_TRUE(SamePixels(p, expected));
}

TEST_F(EffectsHandlerTest, ImagesInListOrderWithSkipsAndReloads) {
  const std::string red = dir.file("red.bmp"), blue = dir.file("blue.bmp");
  SaveBmp(red, 4, 4, Qt::red);
  SaveBmp(blue, 4, 4, Qt::blue);
  TWmRec emptyText;
  emptyText.Kind = 0;
  emptyText.TextWidth = emptyText.TextHeight = 10;
  emptyText.EndSec = 1000;
  record.WaterMarks = {emptyText, ImageItem("", 0, 0), ImageItem(dir.file("missing.bmp"), 0, 0),
                       ImageItem(red, 1, 1), ImageItem(blue, 3, 3)};
  for (int round = 0; round < 2; ++round) {
    TBitmap p(10, 10);
    p.Fill(0, 0, 0);
    EXPECT_TRUE(Hook(renderer, p));
    EXPECT_EQ(Pixel(p, 0, 0), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(Pixel(p, 2, 2), (std::array<int, 3>{0, 0, 254}));  // 255 keeps 1/256 of the picture
    EXPECT_EQ(Pixel(p, 4, 4), (std::array<int, 3>{254, 0, 0}));  // the later item on top
    EXPECT_EQ(Pixel(p, 6, 6), Pixel(p, 4, 4));
    EXPECT_EQ(Pixel(p, 7, 7), (std::array<int, 3>{0, 0, 0}));
  }
  // Said once while the file stays missing.
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("missing.bmp"), std::string::npos);

  // A file changed on disk is read again.
  SaveBmp(red, 2, 2, Qt::green);
  std::filesystem::last_write_time(red, std::filesystem::last_write_time(red) + std::chrono::seconds(5));
  TBitmap p(10, 10);
  p.Fill(0, 0, 0);
  Hook(renderer, p);
  EXPECT_EQ(Pixel(p, 2, 2), (std::array<int, 3>{0, 254, 0}));
  EXPECT_EQ(Pixel(p, 3, 1), (std::array<int, 3>{0, 0, 0}));
}

TEST_F(EffectsHandlerTest, ItemShowsWithinItsWholeSeconds) {
  const std::string red = dir.file("red.bmp");
  SaveBmp(red, 2, 2, Qt::red);
  record.WaterMarks = {ImageItem(red, 0, 0, 255, 5, 5)};
  for (auto [pts, shown] : {std::pair<int64_t, bool>{4999999, false}, {5000000, true}, {5999999, true},
                            {6000000, false}, {-5000000, false}}) {
    TBitmap p(4, 4);
    p.Fill(0, 0, 0);
    EXPECT_EQ(Hook(renderer, p, pts), shown) << pts;
    EXPECT_EQ(Pixel(p, 1, 1)[2], shown ? 254 : 0) << pts;
  }
}

TEST_F(EffectsHandlerTest, TextChangesOnlyGlyphsOrItsBox) {
  EnsureGuiApplication();
  const QString text = "Tolv";
  // Transparent: pixels are either untouched or the blended font colour.
  for (int alpha : {255, 128, 0}) {
    record.WaterMarks = {TextItem(text, -3, 5, alpha, false)};
    const TWmRec& item = record.WaterMarks[0];
    ASSERT_GT(item.TextWidth, 10);
    TBitmap p(120, 60);
    p.Fill(100, 100, 100);
    Hook(renderer, p);
    const std::array<int, 3> glyph = {(256 - alpha) * 100 >> 8, ((256 - alpha) * 100 + alpha * 255) >> 8,
                                      ((256 - alpha) * 100 + alpha * 255) >> 8};
    int glyphs = 0;
    for (int y = 0; y < p.Height(); ++y)
      for (int x = 0; x < p.Width(); ++x) {
        const auto px = Pixel(p, x, y);
        if (px == std::array<int, 3>{100, 100, 100}) continue;
        ++glyphs;
        ASSERT_EQ(px, glyph) << x << "," << y;
        ASSERT_TRUE(x < item.TextLeft + item.TextWidth && y >= item.TextTop && y < item.TextTop + item.TextHeight);
      }
    if (alpha > 0)
      EXPECT_GT(glyphs, 20);
    else
      EXPECT_EQ(glyphs, 0);
  }

  // A box stretched past its text: all of it in the background colour.
  record.WaterMarks = {TextItem(text, 10, 10, 255, true)};
  TWmRec& item = record.WaterMarks[0];
  const int textWidth = item.TextWidth;
  item.TextWidth += 30, item.TextHeight += 20;
  TBitmap p(200, 100);
  p.Fill(0, 0, 0);
  Hook(renderer, p);
  const std::array<int, 3> back = {254, 0, 0};
  EXPECT_EQ(Pixel(p, 10, 10), back);
  EXPECT_EQ(Pixel(p, 10 + item.TextWidth - 1, 10 + item.TextHeight - 1), back);
  EXPECT_EQ(Pixel(p, 10 + item.TextWidth, 10), (std::array<int, 3>{0, 0, 0}));
  int glyphs = 0, glyphsRight = 0;
  for (int y = 10; y < 10 + item.TextHeight; ++y)
    for (int x = 10; x < 10 + item.TextWidth; ++x)
      if (Pixel(p, x, y) != back) ++glyphs, glyphsRight += x >= 10 + textWidth;
  EXPECT_GT(glyphs, 20);
  EXPECT_EQ(glyphsRight, 0);
}

class EffectsConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadSystemLibraries();
    FFLogger().SetLogLevel(llError);
  }
  void TearDown() override { FFLogger().SetLogLevel(llInfo); }

  // Converts the clip losslessly; with a renderer the hook runs it and the
  // time of every hooked picture is kept, in order.
  void Convert(const std::string& out, TWatermarkRenderer* renderer, std::vector<int64_t>* pts = nullptr) {
    TConvertEngine engine;
    TTerminateInfo result;
    engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& i) {
      if (i.TaskIndex >= 0) result = i;
    };
    if (renderer)
      engine.OnCustomHook = [&](TCustomConvertEngine* sender, PHookInfo info) {
        if (pts) pts->push_back(info->PTS);
        renderer->EngineCustomHook(sender, info);
      };
    TInputOptions in;
    const int task = engine.AddTask(FixturePath("h264_aac.mkv"), &in);
    ASSERT_EQ(task, 0) << engine.LastError();
    TOutputOptions o;
    o.CustomHook = renderer != nullptr;
    o.ExtOptions = "vcodec=ffv1";
    ASSERT_TRUE(engine.SetOutputFile(task, out, &o)) << engine.LastError();
    engine.StartTask(0);
    EXPECT_TRUE(result.Finished && !result.Exception) << result.ExceptionMsg;
  }
  TempDir dir;
};

TEST_F(EffectsConversionTest, WatermarkOnlyWithinItsSecondsAndNeutralIsIdentical) {
  const std::string plain = dir.file("plain.mkv"), neutral = dir.file("neutral.mkv"), marked = dir.file("marked.mkv");
  Convert(plain, nullptr);

  TlvFilesRecord record;
  TWatermarkRenderer renderer([&](int) { return &record; });
  Convert(neutral, &renderer);

  const std::string magenta = dir.file("magenta.bmp");
  SaveBmp(magenta, 16, 16, QColor(255, 0, 255));
  // An unreadable image before it is skipped; the conversion goes on.
  record.WaterMarks = {ImageItem(dir.file("missing.bmp"), 0, 0), ImageItem(magenta, 8, 8, 255, 1, 2)};
  std::vector<std::string> errors;
  renderer.OnError = [&](const std::string& line) { errors.push_back(line); };
  std::vector<int64_t> pts;
  Convert(marked, &renderer, &pts);
  EXPECT_EQ(errors.size(), 1u);

  const auto a = DecodeVideoFrames(plain, 100), b = DecodeVideoFrames(neutral, 100), c = DecodeVideoFrames(marked, 100);
  ASSERT_EQ(a.size(), 75u);
  ASSERT_EQ(b.size(), a.size());
  ASSERT_EQ(c.size(), a.size());
  ASSERT_EQ(pts.size(), a.size());
  int shown = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "picture " << i << " at " << pts[i] << " us");
    EXPECT_TRUE(SamePixels(a[i], b[i]));
    const int64_t second = pts[i] / 1000000;
    if (second >= 1 && second <= 2) {
      ++shown;
      const auto px = Pixel(c[i], 15, 15);
      EXPECT_TRUE(px[0] > 230 && px[1] < 30 && px[2] > 230) << px[0] << "," << px[1] << "," << px[2];
    } else {
      EXPECT_TRUE(SamePixels(a[i], c[i]));
    }
  }
  EXPECT_GE(shown, 49);
}

TEST(EffectsCliTest, EffectsAndWatermarksReachTheOutput) {
  TempDir config, out;
  const std::string image = out.file("green.bmp");
  SaveBmp(image, 24, 24, Qt::green);
  // No platform set: the converter picks the offscreen one for its text.
  const ProcessResult r = RunProcess(
      {TOLVANE_CLI, "--format", "104", "--output-dir", out.path(), "--trim", "0+1", "--progress", "none",
       "--brightness", "300", "--contrast", "20", "--saturation", "300", "--exposure", "40", "--watermark-text",
       "TOLVANE", "--at", "0,0", "--font", "Sans,16,bold", "--color", "#FFFF00", "--background", "#0000FF",
       "--watermark-image", image, "--at", "200,100", "--opacity", "255", "--from", "0", "--to", "5",
       FixturePath("mpeg4_aac.mp4")},
      {"TOLVANE_CONFIG_DIR=" + config.path(), "QT_QPA_PLATFORM="});
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  LoadSystemLibraries();
  const auto frames = DecodeVideoFrames(out.file("mpeg4_aac_(new).mp4"), 1);
  ASSERT_EQ(frames.size(), 1u);
  const TBitmap& f = frames[0];
  ASSERT_EQ(f.Width(), 320);
  auto mean = [&](int x0, int y0, int w, int h) {
    std::array<double, 3> sum{};
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x)
        for (int ch = 0; ch < 3; ++ch) sum[ch] += f.ScanLine(y)[x * 3 + ch];
    for (double& s : sum) s /= w * h;
    return sum;
  };
  const auto box = mean(0, 0, 60, 16);  // mostly blue background, some yellow glyphs
  EXPECT_GT(box[0], 120);
  EXPECT_GT(box[0], box[2] + 40);
  const auto img = mean(204, 104, 16, 16);
  EXPECT_GT(img[1], 200);
  EXPECT_LT(img[0], 60);
  EXPECT_LT(img[2], 60);
}

TEST(EffectsCliTest, UsageErrorsNameTheOptionAndRange) {
  const std::string clip = FixturePath("mpeg4_aac.mp4");
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--brightness", "513"}, "--brightness takes a whole number from 0 to 512"},
      {{"--contrast", "-101"}, "--contrast takes a whole number from -100 to 100"},
      {{"--saturation", "x"}, "--saturation takes a whole number from 0 to 512"},
      {{"--exposure", "-256"}, "--exposure takes a whole number from -255 to 512"},
      {{"--watermark-text", "a", "--at", "1,2", "--opacity", "256"}, "--opacity takes a whole number from 0 to 255"},
      {{"--at", "1,2"}, "--at follows --watermark-text or --watermark-image"},
      {{"--watermark-text", "a"}, "--watermark-text needs --at X,Y"},
      {{"--watermark-image", "a.bmp", "--at", "1,2", "--font", "Sans,10"}, "--font follows --watermark-text"},
      {{"--watermark-text", "a", "--at", "1"}, "--at takes X,Y"},
      {{"--watermark-text", "a", "--at", "1,2", "--color", "red"}, "--color takes #RRGGBB"},
      {{"--watermark-text", "a", "--at", "1,2", "--from", "3", "--to", "2"}, "--from"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {TOLVANE_CLI};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back(clip);
    const ProcessResult r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}
