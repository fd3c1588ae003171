#include <atomic>
#include <fstream>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "TestSupport.h"

namespace {

std::string Clip() { return FixturePath("h264_aac.mkv"); }  // 320x240, 25 fps, 3 s

// Paints a red square into the top-left corner of the hook's bitmap.
void PaintRed(TBitmap& b) {
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      uint8_t* p = b.ScanLine(y) + x * 3;
      p[0] = 0, p[1] = 0, p[2] = 255;
    }
}

bool LooksRed(const TBitmap& b) {
  const uint8_t* p = b.ScanLine(16) + 16 * 3;
  return p[2] > 200 && p[1] < 60 && p[0] < 60;
}

class HookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadSystemLibraries();
    FFLogger().SetLogLevel(llError);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetTriggerEventInMainThread(true);
    FFLogger().SetLogLevel(llInfo);
  }

  // Converts the clip losslessly (so painted pixels survive) with a custom
  // hook; returns the termination notice.
  TTerminateInfo Convert(TConvertEngine& engine, const std::string& out, const std::string& lines,
                         bool customHook = true, const std::string& inputLines = "",
                         const std::string& input = Clip()) {
    TTerminateInfo result;
    engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& i) {
      if (i.TaskIndex >= 0) result = i;
    };
    TInputOptions in;
    in.ExtOptions = inputLines;
    const int task = engine.AddTask(input, &in);
    EXPECT_GE(task, 0) << engine.LastError();
    TOutputOptions o;
    o.CustomHook = customHook;
    o.ExtOptions = lines;
    if (!engine.SetOutputFile(task, out, &o)) {
      result.Exception = true;
      result.ExceptionMsg = engine.LastError();
      return result;
    }
    engine.StartTask(0);
    return result;
  }

  TempDir dir;
};

TEST_F(HookTest, HandlerPaintsTheOutputAndControlsItsCalls) {
  struct Case {
    const char* name;
    bool stopAtFirst, update, raise;
    bool firstRed, laterRed;
    int expectedCalls;  // -1: every picture
  } cases[] = {
      {"paint", false, true, false, true, true, -1},
      {"stop", true, true, false, true, false, 1},
      {"noupdate", false, false, false, false, false, -1},
      {"raise", false, true, true, false, false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TConvertEngine engine;
    std::atomic<int> calls{0};
    std::atomic<int> firstFrameNumber{-1};
    engine.OnCustomHook = [&](TCustomConvertEngine*, PHookInfo info) {
      if (calls++ == 0) firstFrameNumber = info->FrameNumber;
      PaintRed(*info->Bitmap);
      info->StopHook = c.stopAtFirst;
      info->Update = c.update;
      if (c.raise) throw std::runtime_error("boom");
    };
    std::vector<std::string> errors;
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& l) {
      if (l.rfind("Error occurs OnCustomHook: ", 0) == 0) errors.push_back(l);
    });
    const std::string out = dir.file(std::string(c.name) + ".mkv");
    TTerminateInfo n = Convert(engine, out, "vcodec=ffv1");
    FFLogger().SetOnLog(nullptr);
    EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
    const int decoded = engine.Task(0)->HookFrameCount;
    EXPECT_EQ(decoded, 75);  // keeps counting after a stop
    EXPECT_EQ(calls, c.expectedCalls < 0 ? decoded : c.expectedCalls);
    EXPECT_EQ(firstFrameNumber, 1);
    EXPECT_EQ(static_cast<int>(errors.size()), c.raise ? decoded : 0);
    if (c.raise) {
      EXPECT_EQ(errors.front(), "Error occurs OnCustomHook: boom");
    }
    std::vector<TBitmap> frames = DecodeVideoFrames(out, 3);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(LooksRed(frames[0]), c.firstRed);
    EXPECT_EQ(LooksRed(frames[2]), c.laterRed);
  }
}

// Painted colours go back with the picture's own matrix: pure red in a
// picture tagged BT.709 is Y 63, U 102, V 240 (BT.601 would give 81, 90).
TEST_F(HookTest, PaintedColoursFollowThePictureMatrix) {
  const std::string tagged = dir.file("tagged.mkv"), raw = dir.file("painted.yuv");
  {
    TConvertEngine engine;
    TTerminateInfo n = Convert(engine, tagged, "vcodec=ffv1\ncolorspace=bt709\nvframes=2", false);
    ASSERT_TRUE(n.Finished) << n.ExceptionMsg;
  }
  TConvertEngine engine;
  engine.OnCustomHook = [&](TCustomConvertEngine*, PHookInfo info) { PaintRed(*info->Bitmap); };
  TTerminateInfo n = Convert(engine, raw, "f=rawvideo\nvcodec=rawvideo\npix_fmt=yuv420p", true, "", tagged);
  ASSERT_TRUE(n.Finished) << n.ExceptionMsg;
  std::ifstream f(raw, std::ios::binary);
  std::vector<uint8_t> picture(320 * 240 * 3 / 2);
  ASSERT_TRUE(f.read(reinterpret_cast<char*>(picture.data()), static_cast<std::streamsize>(picture.size())));
  const uint8_t y = picture[16 * 320 + 16], u = picture[320 * 240 + 8 * 160 + 8],
                v = picture[320 * 240 * 5 / 4 + 8 * 160 + 8];
  EXPECT_NEAR(y, 63, 1);
  EXPECT_NEAR(u, 102, 1);
  EXPECT_NEAR(v, 240, 1);
}

TEST_F(HookTest, DeinterlacedPicturesReachTheHandler) {
  // Deinterlacing softens vertical edges: the energy of the differences
  // between neighbouring rows drops.
  auto roughness = [&](const std::string& lines) {
    TConvertEngine engine;
    std::atomic<long long> sum{0};
    engine.OnCustomHook = [&](TCustomConvertEngine*, PHookInfo info) {
      if (info->FrameNumber != 10) return;
      const TBitmap& b = *info->Bitmap;
      long long s = 0;
      for (int y = 1; y < b.Height(); ++y)
        for (int x = 0; x < b.Width() * 3; ++x) {
          const int d = b.ScanLine(y)[x] - b.ScanLine(y - 1)[x];
          s += d * d;
        }
      sum = s;
      info->Update = false;
    };
    EXPECT_TRUE(Convert(engine, dir.file("d.mkv"), lines).Finished);
    return sum.load();
  };
  const long long plain = roughness("vcodec=mpeg4");
  const long long deinterlaced = roughness("vcodec=mpeg4\ndeinterlace=1");
  EXPECT_GT(plain, 0);
  EXPECT_LT(deinterlaced, plain);
}

TEST_F(HookTest, PreviewEventsAreLimitedToTenASecond) {
  TConvertEngine engine;
  engine.SetPreviewBitmap(true);
  struct Event {
    int frame;
    int64_t pts;
    int width;
  };
  std::vector<Event> events;
  engine.OnPreviewBitmap = [&](TCustomConvertEngine*, const TPreviewInfo& p) {
    events.push_back({p.FrameNumber, p.PTS, p.Bitmap->Width()});
  };
  const auto start = std::chrono::steady_clock::now();
  // Rate emulation spreads the three seconds of pictures over three seconds.
  TTerminateInfo n = Convert(engine, dir.file("p.mkv"), "vcodec=mpeg4\ns=160x120", false, "re=1");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
  ASSERT_FALSE(events.empty());
  EXPECT_LE(events.size(), static_cast<size_t>(seconds * 10) + 1);
  EXPECT_GE(events.size(), 20u);
  EXPECT_EQ(events[0].pts, 0);  // the first encoded picture
  EXPECT_EQ(events[0].width, 160);  // the picture as encoded
  EXPECT_GE(events[1].frame - events[0].frame, 2);  // counts decoded pictures
}

// A window that the user closes after its third picture.
struct FakePreviewWindow : IPreviewWindow {
  static inline std::vector<std::string> captions;
  static inline int width = 0;
  void Paint(const TBitmap& picture, const std::string& caption) override {
    captions.push_back(caption);
    width = picture.Width();
  }
  bool IsClosed() const override { return captions.size() >= 3; }
};

TEST_F(HookTest, PreviewWindowShowsPicturesUntilClosed) {
  FakePreviewWindow::captions.clear();
  SetPreviewWindowFactory([] { return std::make_unique<FakePreviewWindow>(); });
  TConvertEngine engine;
  engine.SetPreview(true);
  TTerminateInfo n = Convert(engine, dir.file("w.mkv"), "vcodec=mpeg4\ns=160x120", false, "re=1");
  SetPreviewWindowFactory(nullptr);
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;  // closing the window does not stop the conversion
  ASSERT_EQ(FakePreviewWindow::captions.size(), 3u);
  EXPECT_EQ(FakePreviewWindow::captions[0], "00:00:00.000");
  EXPECT_EQ(FakePreviewWindow::width, 160);
  EXPECT_EQ(engine.Task(0)->PreviewFlags() & pfPreviewWindow, 0);
}

TEST_F(HookTest, PluginPaintsAndBadPluginsAreRefused) {
  TConvertEngine engine;
  const std::string out = dir.file("box.mkv");
  TTerminateInfo n = Convert(engine, out, std::string("vcodec=ffv1\nvhook=") + TOLVANE_DRAWBOX + " 0 0 64 64 235", false);
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
  std::vector<TBitmap> frames = DecodeVideoFrames(out, 2);
  ASSERT_EQ(frames.size(), 2u);
  const uint8_t* p = frames[1].ScanLine(10) + 10 * 3;
  EXPECT_GT(p[0], 220);  // white box
  EXPECT_GT(p[1], 220);

  // A library without "Process": the library says why, the option fails.
  std::vector<std::string> logged;
  FFLogger().SetTriggerEventInMainThread(false);
  FFLogger().SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& l) { logged.push_back(l); });
  const std::string stub = TOLVANE_STUB_PLUGIN;
  TConvertEngine e2;
  n = Convert(e2, dir.file("nohook.mkv"), "vcodec=ffv1\nvhook=" + stub + "|one word|two", false);
  FFLogger().SetOnLog(nullptr);
  EXPECT_EQ(n.ExceptionMsg, "Failed to add video hook function: " + stub + "|one word|two");
  EXPECT_NE(std::find(logged.begin(), logged.end(), "Failed to find Process entrypoint in " + stub), logged.end());
  EXPECT_EQ(SplitHookWords("a b|c d|e"), (std::vector<std::string>{"a b", "c d", "e"}));
  EXPECT_EQ(SplitHookWords(" a  b c"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(HookTest, VideoCopyRefusesTheHook) {
  TConvertEngine engine;
  TTerminateInfo n = Convert(engine, dir.file("copy.mkv"), "vcodec=copy", true);
  EXPECT_TRUE(n.Exception);
  EXPECT_EQ(n.ExceptionMsg, "-vcodec copy and CustomHook are incompatible (frames are not decoded)");
}

}  // namespace
