#include "ProgressPrinter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "FFUtils.h"
#include "MyUtils.h"

bool ParseProgressStyle(const std::string& text, ProgressStyle* style) {
  if (text == "bar") *style = ProgressStyle::Bar;
  else if (text == "json") *style = ProgressStyle::Json;
  else if (text == "none") *style = ProgressStyle::None;
  else return false;
  return true;
}

ProgressStyle DefaultProgressStyle() {
  return isatty(STDERR_FILENO) ? ProgressStyle::Bar : ProgressStyle::None;
}

std::string JsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out += Format("\\u%04x", c);
        else
          out += c;
    }
  }
  return out;
}

TProgressPrinter::TProgressPrinter(ProgressStyle style) : style_(style), created_(Clock::now()) {}

void TProgressPrinter::Progress(const TProgressInfo& p) {
  const double percent = p.TotalDuration > 0 ? std::min(100.0, 100.0 * p.CurrentDuration / p.TotalDuration) : -1;
  const Clock::time_point now = Clock::now();
  // The first task seen started with the printer; later ones are timed from
  // their first report, as their start is not reported.
  auto [it, added] = starts_.try_emplace(p.TaskIndex);
  if (added) it->second = starts_.size() == 1 ? Start{created_, 0} : Start{now, std::max(0.0, percent)};
  const double elapsed = std::chrono::duration<double>(now - it->second.time).count();
  const double done = percent - it->second.percent;
  const double eta = percent > 0 && done > 0 ? elapsed * (100 - percent) / done : -1;
  if (style_ == ProgressStyle::Json) {
    std::printf(
        "{\"event\":\"progress\",\"task\":%d,\"file\":%d,\"frame\":%d,\"fps\":%d,\"quality\":%.1f,"
        "\"bitrate_kbps\":%.1f,\"size\":%lld,\"time_us\":%lld,\"total_us\":%lld,\"percent\":%.1f,\"eta_s\":%.1f}\n",
        p.TaskIndex, p.FileIndex, p.FrameNumber, p.FPS, p.Quality, p.BitRate, static_cast<long long>(p.CurrentSize),
        static_cast<long long>(p.CurrentDuration), static_cast<long long>(p.TotalDuration), percent, eta);
    std::fflush(stdout);
  } else if (style_ == ProgressStyle::Bar) {
    const int width = 30;
    const int filled = percent < 0 ? 0 : static_cast<int>(percent * width / 100);
    std::fprintf(stderr, "\r[%s%s] %5.1f%% %s %s %3d fps ETA %s   ", std::string(filled, '#').c_str(),
                 std::string(width - filled, '.').c_str(), percent < 0 ? 0.0 : percent,
                 TimeToText(p.CurrentDuration).c_str(), FileSizeText(p.CurrentSize).c_str(), p.FPS < 0 ? 0 : p.FPS,
                 eta < 0 ? "--:--:--" : TimeToText(static_cast<int64_t>(eta * 1e6)).c_str());
    barShown_ = true;
  }
}

void TProgressPrinter::Terminate(const TTerminateInfo& info) {
  if (style_ != ProgressStyle::Json) return;
  std::printf("{\"event\":\"terminate\",\"task\":%d,\"finished\":%s,\"exception\":%s,\"message\":\"%s\"}\n",
              info.TaskIndex, info.Finished ? "true" : "false", info.Exception ? "true" : "false",
              JsonEscape(info.ExceptionMsg).c_str());
  std::fflush(stdout);
}

void TProgressPrinter::EndBar() {
  if (barShown_) std::fprintf(stderr, "\n");
  barShown_ = false;
}
