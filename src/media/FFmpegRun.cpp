// Run control of a task: the worker thread, stop, pause and the notice.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"

TInputOptions::TInputOptions() : StartTime(AV_NOPTS_VALUE) {}
TOutputOptions::TOutputOptions() : StartTime(AV_NOPTS_VALUE), RecordingTime(AV_NOPTS_VALUE) {}
void InitInputOptions(TInputOptions& o) { o = TInputOptions{}; }
void InitOutputOptions(TOutputOptions& o) { o = TOutputOptions{}; }

namespace {

// Our priorities on Linux: idle is the idle class, the lower ones are nice
// levels; raising needs a permission the user rarely has and is then skipped.
void ApplyThreadPriority(TThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (priority == tpIdle) {
    sched_param p{};
    sched_setscheduler(0, SCHED_IDLE, &p);
    return;
  }
  static const int kNice[] = {19, 19, 10, 0, -5, -10, -15};
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice[priority]);
}

// Waits for a signal; a main thread keeps serving its hand-off queue meanwhile,
// since the thread it waits for may be waiting there.
void WaitServingMainThread(TSignal& signal) {
  while (!signal.Wait(std::chrono::milliseconds(20)))
    if (IsMainThread()) ProcessPendingMessages();
}

}  // namespace

TCustomFFmpeg::TCustomFFmpeg() { ClearOptionContexts(opts_); }

TCustomFFmpeg::~TCustomFFmpeg() {
  if (Running) Stop(true);
  WaitForThread();
  if (noticeThread_.joinable()) noticeThread_.join();
  ReleaseSetup();
}

void TFFmpeg::DetachInputs() {
  for (auto& probe : InputProbes)
    if (probe) probe->CloseFile();
}

TFFmpeg::~TFFmpeg() {
  if (Running) Stop(true);
  WaitForThread();
  DetachInputs();
}

// A plain store: the worker may hold the preview lock while it waits for the
// main thread, so the main thread must never wait for that lock here.
void TCustomFFmpeg::SetPreviewFlags(uint8_t flags) { previewFlags_ = flags; }

void TCustomFFmpeg::Start(bool inThread, TThreadPriority priority) {
  if (Running || TerminateNotified) return;
  const char* missing = outputFiles_.empty()  ? "At least one output file must be specified"
                        : inputFiles_.empty() ? "At least one input file must be specified"
                                              : nullptr;
  if (missing) {
    ReleaseSetup();
    Log(llQuiet, missing);
    ExceptionRaised = true;
    ExceptionMsg = missing;
    TerminateNotified = true;
    if (Callbacks.terminate) Callbacks.terminate(this);
    return;
  }
  Running = true;
  StopRequested = false;
  Finished = false;
  TerminateNotified = false;
  bodyFinished_.Reset();
  if (!inThread) {
    ConversionBody();
    return;
  }
  WaitForThread();
  thread_ = std::thread([this, priority] {
    ApplyThreadPriority(priority);
    ConversionBody();
  });
}

void TCustomFFmpeg::ConversionBody() {
  Finished = false;
  auto record = [&](const std::string& message) {
    Log(llQuiet, message);
    if (!ExceptionRaised) ExceptionMsg = message;
    ExceptionRaised = true;
  };
  try {
    Transcode();
  } catch (const std::exception& e) {
    record(e.what());
  }
  try {
    ReleaseSetup();
  } catch (const std::exception& e) {
    record(e.what());
  }
  Running = false;
  TerminateNotified = true;
  if (Callbacks.terminate) Callbacks.terminate(this);
  bodyFinished_.Set();
}

void TCustomFFmpeg::Stop(bool wait) {
  if (Running) {
    StopRequested = true;
    Resume();
    if (!wait) return;
    WaitServingMainThread(bodyFinished_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  } else if (!TerminateNotified) {
    if (!noticeDelivered_.IsSet()) return;  // a notice is on its way already
    noticeDelivered_.Reset();
    if (noticeThread_.joinable()) noticeThread_.join();
    TerminateNotified = true;
    noticeThread_ = std::thread([this] {
      if (Callbacks.terminate) Callbacks.terminate(this);
      noticeDelivered_.Set();
    });
    if (wait) WaitServingMainThread(noticeDelivered_);
  }
}

void TCustomFFmpeg::Pause() {
  std::lock_guard<std::mutex> g(pauseLock_);
  paused_ = true;
}

void TCustomFFmpeg::Resume() {
  {
    std::lock_guard<std::mutex> g(pauseLock_);
    paused_ = false;
  }
  pauseCv_.notify_all();
}

void TCustomFFmpeg::WaitForThread() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
    WaitServingMainThread(bodyFinished_);
    thread_.join();
  }
}
