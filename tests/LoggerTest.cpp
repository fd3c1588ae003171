#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "FFmpegLibs.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "MyUtils.h"

namespace {

struct Line {
  TFFBaseComponent* sender;
  uint32_t thread;
  TLogLevel level;
  std::string text;
};

// Collects delivered lines; restores the logger afterwards.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llInfo);
    FFLogger().SetOnLog([this](TFFBaseComponent* s, uint32_t t, TLogLevel l, const std::string& m) {
      std::lock_guard<std::mutex> g(lock);
      lines.push_back({s, t, l, m});
    });
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetTriggerEventInMainThread(true);
    FFLogger().SetLogLevel(llInfo);
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> t;
    for (auto& l : lines) t.push_back(l.text);
    return t;
  }
  std::mutex lock;
  std::vector<Line> lines;
};

const char* FakeItemName(void*) { return "fake"; }
AVClass MakeFakeClass() {
  AVClass c{};
  c.class_name = "FakeClass";
  c.item_name = FakeItemName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}
const AVClass kFakeClass = MakeFakeClass();
struct FakeContext {
  const AVClass* cls = &kFakeClass;
};

void Feed(void* context, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  TFFLogger::LibraryLogCallback(context, level, format, args);
  va_end(args);
}

TEST_F(LoggerTest, LibraryLineCarriesPrefixOfItsFirstPartOnly) {
  FakeContext ctx;
  Feed(&ctx, AV_LOG_WARNING, "abc");
  EXPECT_TRUE(Texts().empty());  // waits for its line feed
  Feed(&ctx, AV_LOG_ERROR, "%s\n", "def");
  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix =
      Format("[fake @ %016llX]", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&ctx)));
  EXPECT_EQ(lines[0].text, prefix + "abcdef");
  EXPECT_EQ(lines[0].level, llError);  // the level of the message that ended the line
  EXPECT_EQ(lines[0].sender, &FFLogger());
  EXPECT_EQ(lines[0].thread, CurrentThreadId());
}

TEST_F(LoggerTest, SeveralLineFeedsAndLeftoverText) {
  Feed(nullptr, AV_LOG_INFO, "one\ntwo\nthr");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"one", "two"}));
  Feed(nullptr, AV_LOG_INFO, "ee\n");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(LoggerTest, MessagesAboveTheLibraryLevelAreDropped) {
  Feed(nullptr, LibraryLogLevel.load() + 1, "too chatty\n");
  EXPECT_TRUE(Texts().empty());
}

TEST_F(LoggerTest, LongMessagesAreCut) {
  std::string big(5000, 'x');
  Feed(nullptr, AV_LOG_INFO, "%s", big.c_str());
  Feed(nullptr, AV_LOG_INFO, "\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.size(), static_cast<size_t>(MaxLibraryMessage));
}

TEST_F(LoggerTest, InterleavedThreadsEachGetTheirOwnLines) {
  // Four steps in a fixed order: A part, B part, A end, B end.
  std::mutex m;
  std::condition_variable cv;
  int step = 0;
  auto at = [&](int n, const char* text) {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return step == n; });
    Feed(nullptr, AV_LOG_INFO, "%s", text);
    ++step;
    cv.notify_all();
  };
  std::thread a([&] { at(0, "a1"), at(2, "a2\n"); });
  std::thread b([&] { at(1, "b1"), at(3, "b2\n"); });
  a.join();
  b.join();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"a1a2", "b1b2"}));
  EXPECT_NE(lines[0].thread, lines[1].thread);
}

TEST_F(LoggerTest, LevelMapping) {
  struct Case {
    int lib;
    TLogLevel level;
  } cases[] = {{-16, llQuiet}, {-8, llQuiet},  {-1, llPanic},   {0, llPanic},    {7, llPanic},
               {8, llFatal},   {16, llError},  {24, llWarning}, {32, llInfo},    {47, llVerbose},
               {48, llDebug},  {56, llDebug}};
  for (auto c : cases) EXPECT_EQ(LibLevelToLogLevel(c.lib), c.level) << c.lib;
  EXPECT_EQ(LogLevelToLibLevel(llQuiet), -8);
  EXPECT_EQ(LogLevelToLibLevel(llInfo), 32);
  EXPECT_EQ(LogLevelToLibLevel(llDebug), 48);
}

TEST_F(LoggerTest, ComponentMessagesFollowTheLevelRules) {
  TFFBaseComponent sender;
  FFLogger().Log(&sender, llVerbose, "verbose passes at info");
  FFLogger().Log(&sender, llDebug, "debug does not");
  FFLogger().LogFmt(&sender, llWarning, "warning %d", 7);
  FFLogger().SetLogLevel(llQuiet);
  FFLogger().Log(&sender, llVerbose, "nothing at quiet");
  FFLogger().Log(&sender, llError, "not even errors");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"verbose passes at info", "warning 7"}));
  EXPECT_EQ(lines[0].sender, &sender);
  EXPECT_EQ(lines[0].level, llVerbose);
}

TEST_F(LoggerTest, LevelByName) {
  FFLogger().SetLogLevelByName("DEBUG");
  EXPECT_EQ(FFLogger().LogLevel(), llDebug);
  FFLogger().SetLogLevelByName("16");
  EXPECT_EQ(FFLogger().LogLevel(), llError);
  FFLogger().SetLogLevelByName("quiet");
  EXPECT_EQ(FFLogger().LogLevel(), llQuiet);
  EXPECT_THROW(FFLogger().SetLogLevelByName("loud"), std::invalid_argument);
  EXPECT_THROW(FFLogger().SetLogLevelByName("12abc"), std::invalid_argument);
}

TEST_F(LoggerTest, OnlyOneLoggerMayExist) {
  EXPECT_THROW(TFFLogger second, std::logic_error);
}

TEST_F(LoggerTest, WorkerMessagesRunInTheMainThreadWhileTheWorkerWaits) {
  FFLogger().SetTriggerEventInMainThread(true);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    FFLogger().Log(nullptr, llError, "from the worker");
    // The handler has run by the time Log returns.
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(lines.size(), 1u);
    done = true;
  });
  while (!done) WaitAndProcessPendingMessages(std::chrono::milliseconds(50));
  worker.join();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "from the worker");
  EXPECT_NE(lines[0].thread, CurrentThreadId());  // the logging thread's id travels along
}

}  // namespace
