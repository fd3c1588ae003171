#include "FFmpegLogger.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <strings.h>
#include <vector>

#include "FFmpegLibs.h"
#include "MainThread.h"
#include "MyUtils.h"

std::atomic<int> LibraryLogLevel{AV_LOG_INFO};

namespace {

std::atomic<TFFLogger*> gInstance{nullptr};

// Text of library messages received so far per thread, waiting for its line
// feed. Each thread only reaches its own entry; the map itself is locked.
struct TLogList {
  std::mutex lock;
  std::map<uint32_t, std::string> pending;  // guarded by lock
};

TLogList& LogList() {
  static TLogList list;
  return list;
}

}  // namespace

TLogLevel LibLevelToLogLevel(int libLevel) {
  int n = libLevel / 8 + 1;  // C++ division truncates toward zero
  return static_cast<TLogLevel>(std::clamp(n, 0, 7));
}

int LogLevelToLibLevel(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

TFFLogger::TFFLogger() : logLevel_(LibLevelToLogLevel(LibraryLogLevel.load())) {
  TFFLogger* expected = nullptr;
  if (!gInstance.compare_exchange_strong(expected, this))
    throw std::logic_error("Allow creating only one instance of TFFLogger.");
}

TFFLogger::~TFFLogger() {
  TFFLogger* self = this;
  gInstance.compare_exchange_strong(self, nullptr);
}

TFFLogger& FFLogger() {
  static TFFLogger logger;
  return logger;
}

void TFFLogger::SetLogLevel(TLogLevel level) {
  if (logLevel_.exchange(level) != level) ApplyLogLevel();
}

void TFFLogger::SetOnLog(TLogEvent handler) {
  std::lock_guard<std::mutex> g(handlerLock_);
  onLog_ = std::move(handler);
}

bool TFFLogger::HasOnLog() const {
  std::lock_guard<std::mutex> g(handlerLock_);
  return static_cast<bool>(onLog_);
}

void TFFLogger::InstallLibraryLogHook() {
  if (!lavu.av_log_set_callback || !lavu.av_log_set_level) return;
  lavu.av_log_set_callback(&TFFLogger::LibraryLogCallback);
  ApplyLogLevel();
}

void TFFLogger::ApplyLogLevel() {
  if (!lavu.av_log_set_level) return;
  LibraryLogLevel = LogLevelToLibLevel(LogLevel());
  lavu.av_log_set_level(LibraryLogLevel);
}

void TFFLogger::SetLogLevelByName(const std::string& text) {
  static const std::pair<const char*, int> kNames[] = {
      {"quiet", -8},    {"panic", 0}, {"fatal", 8},    {"error", 16},
      {"warning", 24}, {"info", 32}, {"verbose", 40}, {"debug", 48}};
  int value = 0;
  bool found = false;
  for (auto& [name, level] : kNames)
    if (strcasecmp(text.c_str(), name) == 0) {
      value = level;
      found = true;
    }
  if (!found) {
    size_t used = 0;
    try {
      value = std::stoi(text, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used == 0 || used != text.size())
      throw std::invalid_argument("'" + text + "' is not a valid integer value");
  }
  SetLogLevel(LibLevelToLogLevel(value));
}

void TFFLogger::Deliver(TFFBaseComponent* sender, uint32_t threadId, TLogLevel level,
                        std::string text, bool wait) {
  TLogEvent handler;
  {
    std::lock_guard<std::mutex> g(handlerLock_);
    handler = onLog_;
  }
  if (!handler) return;
  if (!TriggerEventInMainThread()) {
    handler(sender, threadId, level, text);
  } else if (wait) {
    CallInMainThread([&] { handler(sender, threadId, level, text); });
  } else {
    PostToMainThread([handler, sender, threadId, level, text = std::move(text)] {
      handler(sender, threadId, level, text);
    });
  }
}

void TFFLogger::Log(TFFBaseComponent* sender, TLogLevel level, const std::string& text) {
  TLogLevel current = LogLevel();
  if (level <= current || (level == llVerbose && current != llQuiet))
    Deliver(sender, CurrentThreadId(), level, text, true);
}

void TFFLogger::LogFmt(TFFBaseComponent* sender, TLogLevel level, const char* format, ...) {
  TLogLevel current = LogLevel();
  if (!(level <= current || (level == llVerbose && current != llQuiet))) return;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Deliver(sender, CurrentThreadId(), level, std::move(text), true);
}

// Library lines are posted without waiting: a library thread may log while
// the main thread sits inside a library call that waits for that very thread
// (frame-threaded decoding during a probe), and a wait there would never end.
void TFFLogger::DeliverLibraryLine(uint32_t threadId, int libLevel, const std::string& line) {
  Deliver(this, threadId, LibLevelToLogLevel(libLevel), line, false);
}

void TFFLogger::LibraryLogCallback(void* context, int libLevel, const char* format,
                                   va_list args) {
  if (libLevel > LibraryLogLevel.load()) return;
  std::string prefix;
  if (context) {
    const AVClass* avc = *static_cast<const AVClass* const*>(context);
    if (avc) {
      const char* item = avc->item_name ? avc->item_name(context) : avc->class_name;
      prefix = Format("[%s @ %016llX]", item ? item : "",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(context)));
    }
  }
  char buffer[MaxLibraryMessage + 1] = {};
  auto format_fn = crt.vsnprintf ? crt.vsnprintf : &::vsnprintf;
  format_fn(buffer, sizeof buffer, format, args);

  const uint32_t tid = CurrentThreadId();
  std::vector<std::string> lines;
  {
    TLogList& list = LogList();
    std::lock_guard<std::mutex> g(list.lock);
    std::string& text = list.pending[tid];
    if (text.empty())
      text = prefix + buffer;
    else
      text += buffer;
    size_t lf;
    while ((lf = text.find('\n')) != std::string::npos) {
      lines.push_back(text.substr(0, lf));
      text.erase(0, lf + 1);
    }
    // Threads come and go (decoder threads); keep only unfinished lines.
    if (text.empty()) list.pending.erase(tid);
  }
  if (TFFLogger* logger = gInstance.load())
    for (const std::string& line : lines) logger->DeliverLibraryLine(tid, libLevel, line);
}
