// Progress output shared by the converter's commands: a bar on standard
// error, JSON lines on standard output, or nothing.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "EngineTypes.h"

enum class ProgressStyle { Bar, Json, None };

// The style a --progress value names; false for an unknown one.
bool ParseProgressStyle(const std::string& text, ProgressStyle* style);
// A bar when standard error is a terminal, else nothing.
ProgressStyle DefaultProgressStyle();
std::string JsonEscape(const std::string& s);

// Called from the main thread only.
class TProgressPrinter {
 public:
  explicit TProgressPrinter(ProgressStyle style);
  ProgressStyle Style() const { return style_; }
  void Progress(const TProgressInfo& p);
  // The JSON "terminate" line of a task (nothing in the other styles).
  void Terminate(const TTerminateInfo& info);
  // Ends a bar line so that other text starts on a line of its own.
  void EndBar();

 private:
  using Clock = std::chrono::steady_clock;
  struct Start {
    Clock::time_point time;
    double percent = 0;
  };
  ProgressStyle style_;
  Clock::time_point created_;
  std::map<int, Start> starts_;  // per task: when and where its progress was first seen
  bool barShown_ = false;
};
