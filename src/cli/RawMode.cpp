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
#include "ProgressPrinter.h"

namespace {

std::atomic<bool> gInterrupted{false};
void OnSigint(int) { gInterrupted = true; }

struct Output {
  std::string file;
  std::string options;
};

}  // namespace

int RunRawMode(const std::vector<std::string>& args) {
  std::string input, inputOptions;
  std::vector<Output> outputs;
  ProgressStyle style = DefaultProgressStyle();
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
      if (!ParseProgressStyle(*v, &style)) return UsageError("--progress takes bar, json or none");
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

  TProgressPrinter printer(style);
  engine.OnProgress = [&](TCustomConvertEngine*, PProgressInfo p) { printer.Progress(*p); };
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
  printer.EndBar();
  std::lock_guard<std::mutex> g(resultLock);
  printer.Terminate(result);
  if (result.Exception) {
    std::fprintf(stderr, "%s\n", result.ExceptionMsg.c_str());
    return 1;
  }
  if (gInterrupted) return 130;
  return result.Finished ? 0 : 1;
}
