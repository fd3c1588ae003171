// Raw mode: one task from an input, its options and one or more outputs with
// their options, given as option lines exactly as the engine takes them.
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "Commands.h"
#include "ConvertEngine.h"
#include "FFUtils.h"
#include "MainThread.h"

namespace {

std::atomic<bool> gInterrupted{false};
void OnSigint(int) { gInterrupted = true; }

enum class ProgressStyle { Bar, Json, None };

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

struct Output {
  std::string file;
  std::string options;
};

}  // namespace

int RunRawMode(const std::vector<std::string>& args) {
  std::string input, inputOptions;
  std::vector<Output> outputs;
  ProgressStyle style = isatty(STDERR_FILENO) ? ProgressStyle::Bar : ProgressStyle::None;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    const std::string* v = nullptr;
    if (a == "--input" && (v = value())) {
      if (!input.empty()) return UsageError("only one --input is allowed");
      input = *v;
    } else if (a == "--in-opt" && (v = value())) {
      if (v->find('=') == std::string::npos) return UsageError("--in-opt needs NAME=VALUE, got '" + *v + "'");
      inputOptions += *v + "\n";
    } else if (a == "--output" && (v = value())) {
      outputs.push_back({*v, ""});
    } else if (a == "--opt" && (v = value())) {
      if (outputs.empty()) return UsageError("--opt must follow an --output");
      if (v->find('=') == std::string::npos) return UsageError("--opt needs NAME=VALUE, got '" + *v + "'");
      outputs.back().options += *v + "\n";
    } else if (a == "--progress" && (v = value())) {
      if (*v == "bar") style = ProgressStyle::Bar;
      else if (*v == "json") style = ProgressStyle::Json;
      else if (*v == "none") style = ProgressStyle::None;
      else return UsageError("--progress takes bar, json or none");
    } else {
      return UsageError("unknown or incomplete argument '" + a + "'");
    }
  }
  if (input.empty()) return UsageError("--input FILE is required");
  if (outputs.empty()) return UsageError("at least one --output FILE is required");
  if (!LoadEngineLibraries()) return 1;

  TConvertEngine engine;
  TInputOptions in;
  in.ExtOptions = inputOptions;
  const int task = engine.AddTask(input, &in);
  if (task < 0) {
    std::fprintf(stderr, "%s\n", engine.LastError().c_str());
    return 1;
  }
  for (const Output& o : outputs) {
    TOutputOptions out;
    out.ExtOptions = o.options;
    if (!engine.SetOutputFile(task, o.file, &out)) {
      std::fprintf(stderr, "%s\n", engine.LastError().c_str());
      engine.ClearTasks();  // removes the outputs made so far
      return 1;
    }
  }

  const auto started = std::chrono::steady_clock::now();
  bool barShown = false;
  engine.OnProgress = [&](TCustomConvertEngine*, PProgressInfo p) {
    const double percent = p->TotalDuration > 0 ? std::min(100.0, 100.0 * p->CurrentDuration / p->TotalDuration) : -1;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double eta = percent > 0 ? elapsed * (100 - percent) / percent : -1;
    if (style == ProgressStyle::Json) {
      std::printf(
          "{\"event\":\"progress\",\"task\":%d,\"file\":%d,\"frame\":%d,\"fps\":%d,\"quality\":%.1f,"
          "\"bitrate_kbps\":%.1f,\"size\":%lld,\"time_us\":%lld,\"total_us\":%lld,\"percent\":%.1f,\"eta_s\":%.1f}\n",
          p->TaskIndex, p->FileIndex, p->FrameNumber, p->FPS, p->Quality, p->BitRate,
          static_cast<long long>(p->CurrentSize), static_cast<long long>(p->CurrentDuration),
          static_cast<long long>(p->TotalDuration), percent, eta);
      std::fflush(stdout);
    } else if (style == ProgressStyle::Bar) {
      const int width = 30;
      const int filled = percent < 0 ? 0 : static_cast<int>(percent * width / 100);
      std::fprintf(stderr, "\r[%s%s] %5.1f%% %s %s %3d fps ETA %s   ", std::string(filled, '#').c_str(),
                   std::string(width - filled, '.').c_str(), percent < 0 ? 0.0 : percent,
                   TimeToText(p->CurrentDuration).c_str(), FileSizeText(p->CurrentSize).c_str(),
                   p->FPS < 0 ? 0 : p->FPS, eta < 0 ? "--:--:--" : TimeToText(static_cast<int64_t>(eta * 1e6)).c_str());
      barShown = true;
    }
  };
  std::mutex resultLock;
  TTerminateInfo result;  // guarded by resultLock
  std::atomic<bool> done{false};
  engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& info) {
    if (info.TaskIndex >= 0) {
      std::lock_guard<std::mutex> g(resultLock);
      result = info;
      return;
    }
    done = true;
    PostToMainThread([] {});  // wake the waiting main thread
  };

  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  engine.StartTask(1);
  bool stopping = false;
  while (!done) {
    WaitAndProcessPendingMessages(std::chrono::milliseconds(100));
    if (gInterrupted && !stopping) {
      stopping = true;
      engine.Stop(false);
    }
  }
  if (barShown) std::fprintf(stderr, "\n");
  std::lock_guard<std::mutex> g(resultLock);
  if (style == ProgressStyle::Json) {
    std::printf("{\"event\":\"terminate\",\"task\":%d,\"finished\":%s,\"exception\":%s,\"message\":\"%s\"}\n",
                result.TaskIndex, result.Finished ? "true" : "false", result.Exception ? "true" : "false",
                JsonEscape(result.ExceptionMsg).c_str());
    std::fflush(stdout);
  }
  if (result.Exception) {
    std::fprintf(stderr, "%s\n", result.ExceptionMsg.c_str());
    return 1;
  }
  if (gInterrupted) return 130;
  return result.Finished ? 0 : 1;
}
