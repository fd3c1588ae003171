#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FFUtils.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "MediaPlay.h"
#include "MemoryDisplay.h"
#include "MyUtils.h"
#include "PacketQueue.h"
#include "Playback.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;

// Serves the main thread's hand-off queue (player events arrive there) until
// done() holds or timeout passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    WaitAndProcessPendingMessages(5ms);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds span) {
  PumpUntil([] { return false; }, span);
}

int ThreadCount() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

// What the player reported, in order.
struct TRecorder {
  std::mutex lock;
  std::vector<TPlayState> states;
  std::vector<int64_t> positions;
  std::vector<std::thread::id> stateThreads;

  void Attach(TCustomPlayer& player) {
    player.SetOnState([this](TCustomPlayer*, TPlayState s) {
      std::lock_guard<std::mutex> g(lock);
      states.push_back(s);
      stateThreads.push_back(std::this_thread::get_id());
    });
    player.SetOnPosition([this](TCustomPlayer*, int64_t pts) {
      std::lock_guard<std::mutex> g(lock);
      positions.push_back(pts);
    });
  }
  int Count(TPlayState s) {
    std::lock_guard<std::mutex> g(lock);
    return static_cast<int>(std::count(states.begin(), states.end(), s));
  }
  int64_t LastPosition() {
    std::lock_guard<std::mutex> g(lock);
    return positions.empty() ? -1 : positions.back();
  }
};

// Collects the player's error and info lines.
struct TLogCapture {
  std::mutex lock;
  std::vector<std::string> lines;
  TLogCapture() {
    FFLogger().SetOnLog([this](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& text) {
      std::lock_guard<std::mutex> g(lock);
      lines.push_back(text);
    });
  }
  ~TLogCapture() { FFLogger().SetOnLog(nullptr); }
  bool Has(const std::string& part) {
    std::lock_guard<std::mutex> g(lock);
    for (const auto& l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
};

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Tests never depend on a sound card.
    if (GetEnvVar("SDL_AUDIODRIVER").empty()) setenv("SDL_AUDIODRIVER", "dummy", 1);
    LoadSystemLibraries(true);
    baselineThreads_ = ThreadCount();
  }
  // No thread of the player may outlive its Stop.
  void ExpectNoThreadsLeft() {
    EXPECT_TRUE(PumpUntil([&] { return ThreadCount() <= baselineThreads_; }, 2000ms))
        << ThreadCount() << " threads, " << baselineThreads_ << " before";
  }
  bool WaitForShows(TMemoryDisplay& display, int count, std::chrono::milliseconds timeout = 3000ms) {
    return PumpUntil([&] { return display.ShowCount() >= count; }, timeout);
  }
  // Waits until no new picture was shown for a while.
  void WaitSettled(TMemoryDisplay& display) {
    int last = -1;
    PumpUntil(
        [&] {
          const int now = display.ShowCount();
          const bool same = now == last;
          last = now;
          if (!same) PumpFor(150ms);
          return same;
        },
        3000ms);
  }
  int baselineThreads_ = 0;
};

TEST(PlayerQueueTest, CopiesPacketsKeepsTheMarkerAndAborts) {
  LoadSystemLibraries(true);
  TPacketQueue q;
  q.Init();
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.Size(), TPacketQueue::NodeOverhead);
  AVPacket* got = lavc.av_packet_alloc();
  ASSERT_EQ(q.Get(got, false), 1);
  EXPECT_TRUE(TPacketQueue::IsFlushMarker(got));
  got->data = nullptr;

  // A packet without a buffer of its own is copied, not referenced.
  uint8_t payload[100];
  std::fill(std::begin(payload), std::end(payload), 7);
  AVPacket* p = lavc.av_packet_alloc();
  p->data = payload;
  p->size = sizeof payload;
  ASSERT_EQ(q.Put(p), 0);
  p->data = nullptr;
  lavc.av_packet_free(&p);
  EXPECT_EQ(q.Size(), 100 + TPacketQueue::NodeOverhead);
  payload[0] = 9;
  ASSERT_EQ(q.Get(got, false), 1);
  ASSERT_EQ(got->size, 100);
  EXPECT_NE(got->data, payload);
  EXPECT_EQ(got->data[0], 7);
  lavc.av_packet_unref(got);
  EXPECT_EQ(q.Size(), 0);

  EXPECT_EQ(q.Get(got, false), 0);
  EXPECT_EQ(q.Get(got, true, 20ms), 0);

  AVPacket* marker = lavc.av_packet_alloc();
  TPacketQueue::MakeFlushMarker(marker);
  for (int i = 0; i < 3; ++i) q.Put(marker);
  EXPECT_EQ(q.Count(), 3);
  q.Flush();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Size(), 0);

  // A blocked reader wakes up at once when the queue is aborted.
  int result = 0;
  const auto start = std::chrono::steady_clock::now();
  std::thread reader([&] {
    AVPacket* pkt = lavc.av_packet_alloc();
    result = q.Get(pkt, true);
    lavc.av_packet_free(&pkt);
  });
  std::this_thread::sleep_for(30ms);
  q.Abort();
  reader.join();
  EXPECT_EQ(result, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  EXPECT_EQ(q.Put(marker), -1);
  EXPECT_EQ(q.Get(got, false), -1);
  q.Init();
  EXPECT_FALSE(q.Aborted());
  marker->data = nullptr;
  lavc.av_packet_free(&marker);
  lavc.av_packet_free(&got);
}

TEST(PlayerQueueTest, EventsCoalesceByKindAndDropTheOldest) {
  TPlayerEventQueue q;
  TPlayerEvent e;
  EXPECT_FALSE(q.Take(e));
  EXPECT_FALSE(q.Signal().IsSet());

  q.Post({pekPosition, psPlay, 1});
  q.Post({pekPosition, psPlay, 2});
  q.Post({pekState, psPause, 0});
  q.Post({pekState, psResume, 0});
  q.Post({pekPosition, psPlay, 3});
  EXPECT_TRUE(q.Signal().IsSet());
  std::vector<std::pair<int, int64_t>> got;
  while (q.Take(e)) got.emplace_back(e.Kind, e.Kind == pekState ? static_cast<int64_t>(e.State) : e.PTS);
  EXPECT_EQ(got, (std::vector<std::pair<int, int64_t>>{
                     {pekPosition, 2}, {pekState, psResume}, {pekPosition, 3}}));
  EXPECT_FALSE(q.Signal().IsSet());

  // Alternating kinds never coalesce; a full ring keeps the newest nine.
  for (int i = 0; i < 12; ++i) q.Post({i % 2 ? pekState : pekPosition, psPlay, i});
  std::vector<int64_t> kept;
  while (q.Take(e)) kept.push_back(e.PTS);
  EXPECT_EQ(kept, (std::vector<int64_t>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

TEST(PlayerRulesTest, DisplayRectangleFollowsTheAspectSetting) {
  struct Case {
    float aspect;
    int width, height, sarNum, sarDen;
    int areaW, areaH, areaLeft, areaTop;
    TDisplayRect expected;
  } cases[] = {
      // The three examples: own shape, fill, forced 2:1.
      {0.0f, 720, 576, 16, 15, 400, 300, 0, 0, {0, 0, 400, 300}},
      {-1.0f, 720, 576, 16, 15, 400, 300, 0, 0, {0, 0, 400, 300}},
      {-1.0f, 320, 100, 1, 1, 400, 300, 0, 0, {0, 0, 400, 300}},
      {2.0f, 720, 576, 16, 15, 400, 300, 0, 0, {0, 50, 400, 200}},
      // Unknown sample aspect counts as square; width rounded down to even.
      {0.0f, 320, 240, 0, 1, 400, 300, 0, 0, {0, 0, 400, 300}},
      {0.0f, 1280, 720, 1, 1, 400, 300, 0, 0, {0, 38, 400, 224}},
      {1.0f, 320, 240, 1, 1, 400, 300, 0, 0, {50, 0, 300, 300}},
      {0.0f, 300, 299, 1, 1, 401, 301, 0, 0, {49, 0, 302, 301}},
      {2.0f, 720, 576, 1, 1, 400, 300, 10, 20, {10, 70, 400, 200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.aspect << " " << c.width << "x" << c.height);
    const TDisplayRect r = ComputeDisplayRect(c.aspect, c.width, c.height, c.sarNum, c.sarDen,
                                              c.areaW, c.areaH, c.areaLeft, c.areaTop);
    EXPECT_EQ(r.Left, c.expected.Left);
    EXPECT_EQ(r.Top, c.expected.Top);
    EXPECT_EQ(r.Width, c.expected.Width);
    EXPECT_EQ(r.Height, c.expected.Height);
  }
}

TEST(PlayerRulesTest, SubtitlePaletteBecomesYuvaAndBlendsClipped) {
  uint32_t palette[] = {0xFFFFFFFFu, 0x80000000u, 0xFFFF0000u, 0x00000000u};
  PaletteToYUVA(palette, 4);
  EXPECT_EQ(palette[0], 0xFFEB8080u);  // white: Y 235
  EXPECT_EQ(palette[1], 0x80108080u);  // black keeps its alpha: Y 16
  EXPECT_EQ(palette[2], 0xFF515AF0u);  // red: Y 81, U 90, V 240

  // A 4x4 grey picture; an opaque red 2x2 rectangle at (1,1) and one that
  // runs off the right edge.
  uint8_t y[16], u[4], v[4];
  std::fill(std::begin(y), std::end(y), 100);
  std::fill(std::begin(u), std::end(u), 128);
  std::fill(std::begin(v), std::end(v), 128);
  uint8_t* planes[3] = {y, u, v};
  const int linesize[3] = {4, 2, 2};
  uint8_t indexes[8] = {2, 2, 2, 2, 2, 2, 2, 2};
  AVSubtitleRect rect{};
  rect.type = SUBTITLE_BITMAP;
  rect.x = 1;
  rect.y = 1;
  rect.w = 2;
  rect.h = 2;
  rect.nb_colors = 4;
  rect.data[0] = indexes;
  rect.linesize[0] = 2;
  rect.data[1] = reinterpret_cast<uint8_t*>(palette);
  BlendSubtitleRect(planes, linesize, 4, 4, rect);
  EXPECT_EQ(y[0], 100);
  EXPECT_EQ(y[1 * 4 + 1], 81);
  EXPECT_EQ(y[2 * 4 + 2], 81);
  EXPECT_EQ(y[3 * 4 + 3], 100);
  // Each chroma sample covers one red pixel of its four.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(v[i], 156) << i;
    EXPECT_EQ(u[i], (128 * 765 + 90 * 255 + 510) / 1020) << i;
  }
  rect.x = 3;
  rect.w = 4;
  rect.linesize[0] = 4;
  BlendSubtitleRect(planes, linesize, 4, 4, rect);
  EXPECT_EQ(y[1 * 4 + 3], 81);
}

TEST_F(PlayerTest, BadFilesFailWithTheLibraryTextAndNoThreadLeft) {
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  struct Case {
    std::string file;
    std::string text;
  } cases[] = {
      {FixturePath("no_such_file.mkv"), FixturePath("no_such_file.mkv") + ": No such file or directory"},
      {FixturePath("not_media.mp4"), FixturePath("not_media.mp4") + ": Invalid data found when processing input"},
      {FixturePath("empty.mp4"), FixturePath("empty.mp4") + ": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_FALSE(player.Open(c.file, &display));
    EXPECT_EQ(player.LastErrMsg().rfind(c.text, 0), 0u) << player.LastErrMsg();
    EXPECT_FALSE(player.Playing());
    EXPECT_TRUE(player.IsPaused());
    ExpectNoThreadsLeft();
  }
  EXPECT_EQ(display.ShowCount(), 0);

  EXPECT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display)) << player.LastErrMsg();
  player.Stop(true);
  ExpectNoThreadsLeft();
}

TEST_F(PlayerTest, OpensShowsTheFirstPictureAndStops) {
  TRecorder rec;
  TMemoryDisplay display(640, 480);
  TMediaPlayer player;
  rec.Attach(player);
  int64_t duration = 0;
  int frameW = 0, frameH = 0, screenInW = -1;
  player.SetOnFileOpen([&](TCustomPlayer*, int64_t d, int w, int h, int& sw, int& sh) {
    duration = d;
    frameW = w;
    frameH = h;
    screenInW = sw;
    sw = 400;
    sh = 300;
  });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display)) << player.LastErrMsg();
  EXPECT_TRUE(player.Playing());
  EXPECT_FALSE(player.IsPaused());
  EXPECT_NEAR(duration, 3000000, 100000);
  EXPECT_EQ(frameW, 320);
  EXPECT_EQ(frameH, 240);
  EXPECT_EQ(screenInW, 0);
  EXPECT_EQ(player.ScreenWidth(), 400);
  EXPECT_EQ(player.ScreenHeight(), 300);
  EXPECT_EQ(player.FileName(), FixturePath("h264_aac.mkv"));
  EXPECT_EQ(player.Probe().StreamCount(), 2);

  ASSERT_TRUE(WaitForShows(display, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
  TMemoryDisplay::TShow first;
  ASSERT_TRUE(display.LastShow(first));
  EXPECT_EQ(first.Width, 320);
  EXPECT_EQ(first.Height, 240);
  EXPECT_EQ(first.Rect, (TDisplayRect{0, 0, 400, 300}));
  EXPECT_GE(display.FillCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psPlay) == 1; }));

  int64_t pts = -2;
  TBitmap* picture = player.GetCurrentPicture(pts);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(picture->Width(), 320);
  EXPECT_EQ(picture->Height(), 240);
  EXPECT_GE(pts, 0);

  player.Stop(true);
  EXPECT_EQ(rec.Count(psStop), 1);
  EXPECT_FALSE(player.Playing());
  EXPECT_EQ(player.Probe().FormatContext(), nullptr);
  picture = player.GetCurrentPicture(pts);
  EXPECT_EQ(picture->Width(), 0);
  EXPECT_EQ(pts, -1);
  ExpectNoThreadsLeft();
}

TEST_F(PlayerTest, PauseAndResumeReportOnceAndStopThePictures) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  rec.Attach(player);
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display));
  ASSERT_TRUE(WaitForShows(display, 5));

  player.Pause();
  EXPECT_TRUE(player.IsPaused());
  player.Pause();
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psPause) >= 1; }));
  WaitSettled(display);
  const int shown = display.ShowCount();
  PumpFor(300ms);
  EXPECT_EQ(display.ShowCount(), shown);
  EXPECT_EQ(rec.Count(psPause), 1);

  player.Resume();
  player.Resume();
  EXPECT_FALSE(player.IsPaused());
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psResume) >= 1; }));
  EXPECT_TRUE(WaitForShows(display, shown + 3));
  PumpFor(100ms);
  EXPECT_EQ(rec.Count(psResume), 1);
  EXPECT_EQ(rec.Count(psPause), 1);
}

TEST_F(PlayerTest, StepShowsExactlyOneMorePictureAndPauses) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  rec.Attach(player);
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display, true));
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psPause) == 1; }));
  WaitSettled(display);
  ASSERT_EQ(display.ShowCount(), 1);
  EXPECT_TRUE(player.IsPaused());

  for (int step = 1; step <= 2; ++step) {
    SCOPED_TRACE(step);
    const auto before = display.Shows();
    player.Step();
    ASSERT_TRUE(WaitForShows(display, static_cast<int>(before.size()) + 1));
    WaitSettled(display);
    const auto after = display.Shows();
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back().PtsUs - before.back().PtsUs, 40000);
    EXPECT_TRUE(player.IsPaused());
  }
  // The step flag stays on until Pause or Resume, so only the first step reports.
  EXPECT_EQ(rec.Count(psStep), 1);
  player.Resume();
  EXPECT_TRUE(WaitForShows(display, 6));
}

TEST_F(PlayerTest, WaitingSeekWhilePausedShowsThePictureAtTheTarget) {
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display, true));
  ASSERT_TRUE(WaitForShows(display, 1));
  // Times count from the file's start, which is the sound's (a little
  // before the first picture in this file).
  int64_t first = -1, pts = -1;
  const std::vector<uint8_t> firstRow(player.GetCurrentPicture(first)->ScanLine(100),
                                      player.GetCurrentPicture(first)->ScanLine(100) + 960);
  EXPECT_GE(first, 0);
  EXPECT_LT(first, 50000);

  // Key frames fall on whole seconds; a target between them lands on the one before.
  struct Case {
    int64_t target, expected;
  } cases[] = {{first + 2000000, first + 2000000},
               {first + 1500000, first + 1000000},
               {0, first}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    player.Seek(0, true, c.target);
    TBitmap* picture = player.GetCurrentPicture(pts);
    EXPECT_EQ(pts, c.expected);
    EXPECT_TRUE(player.IsPaused());
    const bool sameAsFirst = std::equal(firstRow.begin(), firstRow.end(), picture->ScanLine(100));
    EXPECT_EQ(sameAsFirst, c.expected == first);
    // The display follows without further pictures.
    EXPECT_TRUE(PumpUntil([&] {
      TMemoryDisplay::TShow s;
      return display.LastShow(s) && s.PtsUs == c.expected;
    }));
  }
  WaitSettled(display);
  const int shown = display.ShowCount();
  PumpFor(200ms);
  EXPECT_EQ(display.ShowCount(), shown);

  // While playing, the call returns with the new position queued.
  player.Resume();
  player.Seek(0, true, first + 2000000);
  player.GetCurrentPicture(pts);
  EXPECT_GE(pts, first + 2000000);
  EXPECT_LT(pts, first + 2200000);
}

TEST_F(PlayerTest, EndReportsTheDurationAndPositionsMoveMoreThan10ms) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  rec.Attach(player);
  int64_t duration = 0;
  player.SetOnFileOpen([&](TCustomPlayer*, int64_t d, int, int, int&, int&) { duration = d; });
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display));
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psEnd) >= 1; }, 8000ms));
  ASSERT_TRUE(PumpUntil([&] { return rec.LastPosition() == duration; }, 2000ms))
      << rec.LastPosition() << " " << duration;
  // The decoder gave out its delayed pictures at the end (the last is at
  // 2.96 s; a busy machine may skip one).
  EXPECT_GE(display.ShowCount(), 60);
  TMemoryDisplay::TShow last;
  ASSERT_TRUE(display.LastShow(last));
  EXPECT_GE(last.PtsUs - display.Shows().front().PtsUs, 2920000);

  std::lock_guard<std::mutex> g(rec.lock);
  ASSERT_GE(rec.positions.size(), 10u);
  for (size_t i = 1; i + 1 < rec.positions.size(); ++i)
    EXPECT_GT(std::llabs(rec.positions[i] - rec.positions[i - 1]), 10000) << i;
  EXPECT_EQ(rec.positions.back(), duration);
}

TEST_F(PlayerTest, MuteAndZeroVolumeAreSilentWhileTheClockRuns) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  std::mutex lock;
  int peak = 0;
  TMediaPlayer player;
  rec.Attach(player);
  player.SetAudioMonitor([&](const uint8_t* bytes, int size) {
    const auto* s = reinterpret_cast<const int16_t*>(bytes);
    int p = 0;
    for (int i = 0; i < size / 2; ++i) p = std::max(p, std::abs(static_cast<int>(s[i])));
    std::lock_guard<std::mutex> g(lock);
    peak = std::max(peak, p);
  });
  auto measure = [&](auto change) {
    change();
    PumpFor(120ms);  // what the device already had
    {
      std::lock_guard<std::mutex> g(lock);
      peak = 0;
    }
    const int64_t from = rec.LastPosition();
    PumpFor(400ms);
    std::lock_guard<std::mutex> g(lock);
    return std::make_pair(peak, rec.LastPosition() - from);
  };
  ASSERT_TRUE(player.Open(FixturePath("tone.mp3"), &display));
  ASSERT_TRUE(PumpUntil([&] { return rec.LastPosition() > 100000; }));

  const auto [loud, loudMoved] = measure([] {});
  EXPECT_GT(loud, 5000);
  EXPECT_GT(loudMoved, 250000);
  const auto [muted, mutedMoved] = measure([&] { player.SetMute(true); });
  EXPECT_EQ(muted, 0);
  EXPECT_GT(mutedMoved, 250000);
  const auto [zero, zeroMoved] = measure([&] {
    player.SetMute(false);
    player.SetAudioVolume(0);
  });
  EXPECT_EQ(zero, 0);
  EXPECT_GT(zeroMoved, 250000);
  const auto [half, halfMoved] = measure([&] { player.SetAudioVolume(64); });
  EXPECT_NEAR(static_cast<double>(half) / loud, 0.5, 0.05);
  player.SetAudioVolume(500);
  EXPECT_EQ(player.AudioVolume(), 128);

  // A file without pictures shows its waveform: white strokes on black.
  TMemoryDisplay::TShow show;
  ASSERT_TRUE(display.LastShow(show));
  EXPECT_EQ(show.PtsUs, -1);
  EXPECT_EQ(show.Rect, (TDisplayRect{0, 0, 320, 240}));
  int white = 0;
  for (int x = 0; x < 320; ++x)
    for (int y = 0; y < 240; ++y) white += display.LastLuma(x, y) == 235;
  EXPECT_GT(white, 320);
}

TEST_F(PlayerTest, AspectRulesInA400x300Area) {
  TMemoryDisplay display(400, 300);
  TMediaPlayer player;
  ASSERT_TRUE(player.Open(FixturePath("sar_16_15.mkv"), &display));
  ASSERT_TRUE(WaitForShows(display, 1));
  TMemoryDisplay::TShow show;
  ASSERT_TRUE(display.LastShow(show));
  EXPECT_EQ(show.Width, 720);
  EXPECT_EQ(show.Rect, (TDisplayRect{0, 0, 400, 300}));
  player.Pause();
  struct Case {
    float aspect;
    TDisplayRect rect;
  } cases[] = {{2.0f, {0, 50, 400, 200}}, {-1.0f, {0, 0, 400, 300}}, {1.0f, {50, 0, 300, 300}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.aspect);
    player.SetAspectRatio(c.aspect);
    // Redrawn at once, even while paused.
    EXPECT_TRUE(PumpUntil([&] { return display.LastShow(show) && show.Rect == c.rect; }, 1000ms));
  }
}

TEST_F(PlayerTest, HookDrawsIntoTheShownPictureAndItsErrorsDoNotStopPlayback) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  TLogCapture log;
  std::atomic<bool> fail{false};
  std::atomic<int> calls{0};
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> hookOnMainThread{false};
  TMediaPlayer player;
  rec.Attach(player);
  player.SetHook(true);
  player.SetOnHook([&](TCustomPlayer*, TBitmap* bitmap, int64_t) {
    if (std::this_thread::get_id() == mainThread) hookOnMainThread = true;
    ++calls;
    if (fail) throw std::runtime_error("boom");
    for (int y = 0; y < 32; ++y) {
      uint8_t* row = bitmap->ScanLine(y);
      for (int x = 0; x < 32; ++x) {
        row[3 * x] = 0;
        row[3 * x + 1] = 0;
        row[3 * x + 2] = 255;
      }
    }
  });
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display));
  ASSERT_TRUE(WaitForShows(display, 3));
  EXPECT_FALSE(hookOnMainThread);
  uint8_t b, g, r;
  ASSERT_TRUE(display.LastColour(8, 8, b, g, r));
  EXPECT_GT(r, 200);
  EXPECT_LT(g, 60);
  const uint8_t* snap = player.GetCurrentPicture()->ScanLine(8) + 8 * 3;
  EXPECT_GT(snap[2], 200);
  EXPECT_LT(snap[1], 60);

  fail = true;
  const int before = calls;
  const int shows = display.ShowCount();
  EXPECT_TRUE(WaitForShows(display, shows + 10));
  EXPECT_GT(calls, before + 5);
  EXPECT_TRUE(PumpUntil([&] { return log.Has("Error occurs OnHook: boom"); }));
  // The picture is shown as decoded.
  ASSERT_TRUE(display.LastColour(8, 8, b, g, r));
  EXPECT_LT(r, 200);
  EXPECT_EQ(rec.Count(psStop), 0);
  player.Stop(true);
}

TEST_F(PlayerTest, ReplacingStoppingAndClosingEndCleanly) {
  TRecorder rec;
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  rec.Attach(player);

  // A second file while one plays replaces it.
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display));
  ASSERT_TRUE(WaitForShows(display, 2));
  ASSERT_TRUE(player.Open(FixturePath("mpeg4_aac.mp4"), &display));
  EXPECT_EQ(rec.Count(psStop), 1);
  EXPECT_EQ(player.FileName(), FixturePath("mpeg4_aac.mp4"));
  EXPECT_TRUE(WaitForShows(display, display.ShowCount() + 2));

  // Stopping during a seek.
  player.Seek(0, false, 2000000);
  player.Stop(true);
  EXPECT_EQ(rec.Count(psStop), 2);
  ExpectNoThreadsLeft();

  // Closing at the end of the file; a file cut in half plays up to the cut.
  ASSERT_TRUE(player.Open(FixturePath("mpeg2_mp2.mpg"), &display));
  player.Seek(0, true, 2900000);
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psEnd) >= 1; }, 5000ms));
  player.Stop(true);
  ASSERT_TRUE(player.Open(FixturePath("truncated.mkv"), &display)) << player.LastErrMsg();
  ASSERT_TRUE(PumpUntil([&] { return rec.Count(psEnd) >= 2; }, 5000ms));
  player.Stop(true);
  EXPECT_EQ(rec.Count(psStop), 4);
  ExpectNoThreadsLeft();

  // Stop without waiting; with events on the event thread.
  player.SetTriggerEventInMainThread(false);
  ASSERT_TRUE(player.Open(FixturePath("h264_aac.mkv"), &display));
  player.Stop(false);
  EXPECT_TRUE(PumpUntil([&] { return !player.Playing(); }));
  EXPECT_TRUE(PumpUntil([&] { return rec.Count(psStop) == 5; }));
  {
    std::lock_guard<std::mutex> g(rec.lock);
    EXPECT_NE(rec.stateThreads.back(), std::this_thread::get_id());
  }
  player.Stop(true);
  ExpectNoThreadsLeft();
}

TEST_F(PlayerTest, PicturesPlayWhenTheSoundCannotStart) {
  TLogCapture log;
  const std::string saved = GetEnvVar("SDL_AUDIODRIVER");
  setenv("SDL_AUDIODRIVER", "no_such_driver", 1);
  TMemoryDisplay display(320, 240);
  TMediaPlayer player;
  const bool opened = player.Open(FixturePath("h264_aac.mkv"), &display);
  setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  ASSERT_TRUE(opened) << player.LastErrMsg();
  EXPECT_TRUE(WaitForShows(display, 10));
  EXPECT_TRUE(PumpUntil([&] { return log.Has("Could not initialize SDL"); }));
  player.Stop(true);

  // An audio-only file has nothing left to play.
  setenv("SDL_AUDIODRIVER", "no_such_driver", 1);
  EXPECT_FALSE(player.Open(FixturePath("tone.wav"), &display));
  setenv("SDL_AUDIODRIVER", saved.c_str(), 1);
  EXPECT_NE(player.LastErrMsg().find("could not open codecs, no stream to play."), std::string::npos);
}

}  // namespace
