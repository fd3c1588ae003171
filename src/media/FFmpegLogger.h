// The process-wide logger: receives the media libraries' messages through
// their log hook and the components' own messages, and hands each complete
// line to the application as one OnLog event.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "FFBaseComponent.h"

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// On a thread of any kind: the logging one, or the main thread when
// TriggerEventInMainThread is set. Each call carries its own values.
using TLogEvent = std::function<void(TFFBaseComponent* Sender, uint32_t AThreadID,
                                     TLogLevel ALogLevel, const std::string& ALogMsg)>;

TLogLevel LibLevelToLogLevel(int libLevel);
int LogLevelToLibLevel(TLogLevel level);

// Filter of the library log hook, on the library's scale (info at start).
extern std::atomic<int> LibraryLogLevel;

// Longest library message kept; longer ones are cut.
constexpr int MaxLibraryMessage = 2047;

class TFFLogger : public TFFBaseComponent {
 public:
  TFFLogger();
  ~TFFLogger() override;
  TFFLogger(const TFFLogger&) = delete;
  TFFLogger& operator=(const TFFLogger&) = delete;

  TLogLevel LogLevel() const { return logLevel_.load(); }
  void SetLogLevel(TLogLevel level);
  bool TriggerEventInMainThread() const { return inMainThread_.load(); }
  void SetTriggerEventInMainThread(bool value) { inMainThread_ = value; }
  void SetOnLog(TLogEvent handler);
  bool HasOnLog() const;

  // Installs the library's log callback and pushes the level to it.
  void InstallLibraryLogHook();
  void ApplyLogLevel();
  // "quiet" .. "debug" or a number on the library's scale; other text throws
  // std::invalid_argument.
  void SetLogLevelByName(const std::string& text);

  void Log(TFFBaseComponent* sender, TLogLevel level, const std::string& text);
  void LogFmt(TFFBaseComponent* sender, TLogLevel level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void DeliverLibraryLine(uint32_t threadId, int libLevel, const std::string& line);

  // The library's callback; public for tests that feed it messages directly.
  static void LibraryLogCallback(void* context, int libLevel, const char* format, va_list args);

 private:
  void Deliver(TFFBaseComponent* sender, uint32_t threadId, TLogLevel level, std::string text,
               bool wait);

  std::atomic<TLogLevel> logLevel_;
  std::atomic<bool> inMainThread_{true};
  mutable std::mutex handlerLock_;
  TLogEvent onLog_;  // guarded by handlerLock_
};

// The single logger, created on first use.
TFFLogger& FFLogger();
