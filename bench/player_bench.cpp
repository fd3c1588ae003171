// Plays a file through the player component into the in-memory display and
// prints what a viewer would notice, as one JSON object:
//   player_bench FILE [--seconds N]
// Sound goes to SDL's dummy driver unless SDL_AUDIODRIVER says otherwise.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FFmpegLoader.h"
#include "MainThread.h"
#include "MediaPlay.h"
#include "MemoryDisplay.h"
#include "MyUtils.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
      .count();
}

template <typename Done>
bool PumpUntil(Done done, std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > end) return false;
    WaitAndProcessPendingMessages(5ms);
  }
  return true;
}

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "player_bench: %s\n", text.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::string file;
  double seconds = 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
      if (!(seconds > 0)) Fail("bad --seconds value");
    } else if (file.empty() && arg.rfind("--", 0) != 0) {
      file = arg;
    } else {
      Fail("usage: player_bench FILE [--seconds N]");
    }
  }
  if (file.empty()) Fail("usage: player_bench FILE [--seconds N]");
  if (GetEnvVar("SDL_AUDIODRIVER").empty()) setenv("SDL_AUDIODRIVER", "dummy", 1);
  SetMainThread();
  SetLibraryPath("");
  if (!LoadLibrarySet(PlayerLibraries)) Fail(GetLastErrMsg());

  TMediaPlayer player;
  TMemoryDisplay display(1280, 720);
  int64_t durationUs = -1;
  player.SetOnFileOpen([&](TCustomPlayer*, int64_t d, int, int, int&, int&) { durationUs = d; });
  bool ended = false;
  player.SetOnState([&](TCustomPlayer*, TPlayState s) { ended = ended || s == psEnd; });

  const auto openStart = Clock::now();
  const int64_t openStartUs = NowUs();
  if (!player.Open(file, &display)) Fail(player.LastErrMsg());
  const double openMs = Ms(Clock::now() - openStart);
  if (!PumpUntil([&] { return display.ShowCount() > 0; }, 5000ms)) Fail("no picture shown");
  TMemoryDisplay::TShow first{};
  display.LastShow(first);
  const double firstPictureMs = static_cast<double>(first.WallUs - openStartUs) / 1000.0;

  // Play from the first picture for the asked time (or to the end).
  if (durationUs > 0) seconds = std::min(seconds, static_cast<double>(durationUs) / 1e6);
  const auto playStart = Clock::now();
  const double cpuStart = CpuSeconds();
  PumpUntil([&] { return ended; },
            std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
  const double playedSeconds = std::chrono::duration<double>(Clock::now() - playStart).count();
  const double cpu = CpuSeconds() - cpuStart;
  const TPlayerStatistics stats = player.Statistics();
  const auto shows = display.Shows();
  // How far the pictures' own times drifted from the wall clock.
  double paceMaxMs = 0;
  for (const auto& s : shows)
    paceMaxMs = std::max(paceMaxMs, std::abs(static_cast<double>((s.WallUs - first.WallUs) -
                                                                 (s.PtsUs - first.PtsUs)) /
                                             1000.0));

  // Waiting seeks to the middle, playing and paused.
  const int64_t middle = durationUs > 0 ? durationUs / 2 : 0;
  player.Seek(0, false, 0);
  PumpUntil([] { return false; }, 500ms);
  auto seekStart = Clock::now();
  player.Seek(0, true, middle);
  const double seekPlayingMs = Ms(Clock::now() - seekStart);
  int64_t seekPts = -1;
  player.GetCurrentPicture(seekPts);
  player.Pause();
  PumpUntil([] { return false; }, 300ms);
  seekStart = Clock::now();
  player.Seek(0, true, middle / 2);
  const double seekPausedMs = Ms(Clock::now() - seekStart);
  int64_t pausedSeekPts = -1;
  player.GetCurrentPicture(pausedSeekPts);
  player.Stop(true);

  const int64_t decoded = stats.PicturesShown + stats.PicturesDropped + stats.FramesSkipped;
  const double droppedPct =
      decoded > 0 ? 100.0 * static_cast<double>(stats.PicturesDropped + stats.FramesSkipped) /
                        static_cast<double>(decoded)
                  : 0.0;
  const double avMeanMs =
      stats.AvDiffCount > 0 ? 1000.0 * stats.AvDiffSum / static_cast<double>(stats.AvDiffCount) : 0;
  std::printf(
      "{\"file\":\"%s\",\"played_s\":%.2f,\"open_call_ms\":%.1f,\"open_to_first_picture_ms\":%.1f,"
      "\"pictures_shown\":%lld,\"pictures_dropped_late\":%lld,\"pictures_skipped\":%lld,"
      "\"dropped_pct\":%.3f,\"av_diff_mean_ms\":%.1f,\"av_diff_max_abs_ms\":%.1f,"
      "\"pace_max_drift_ms\":%.1f,\"cpu_s\":%.3f,\"cpu_s_per_s\":%.4f,"
      "\"seek_wait_playing_ms\":%.1f,\"seek_playing_landed_us\":%lld,"
      "\"seek_wait_paused_ms\":%.1f,\"seek_paused_landed_us\":%lld}\n",
      file.c_str(), playedSeconds, openMs, firstPictureMs,
      static_cast<long long>(stats.PicturesShown), static_cast<long long>(stats.PicturesDropped),
      static_cast<long long>(stats.FramesSkipped), droppedPct, avMeanMs,
      1000.0 * stats.AvDiffMaxAbs, paceMaxMs, cpu, cpu / playedSeconds, seekPlayingMs,
      static_cast<long long>(seekPts), seekPausedMs, static_cast<long long>(pausedSeekPts));
  return 0;
}
