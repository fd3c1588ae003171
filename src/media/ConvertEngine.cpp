#include "ConvertEngine.h"

#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"

TCustomConvertEngine::TCustomConvertEngine() = default;

TCustomConvertEngine::~TCustomConvertEngine() {
  { std::lock_guard<std::mutex> g(hookLock_); }
  { std::lock_guard<std::mutex> g(previewLock_); }
  { std::lock_guard<std::mutex> g(progressLock_); }
  { std::lock_guard<std::recursive_mutex> g(terminateLock_); }
  tasks_.clear();  // stops and waits for running tasks; tasks that never ran get no notice
  {
    std::lock_guard<std::mutex> g(noticeLock_);
    noticeQuit_ = true;
  }
  noticeCv_.notify_all();
  if (noticeThread_.joinable()) {
    // The handler may hand work to the main thread; keep serving it.
    for (;;) {
      {
        std::unique_lock<std::mutex> g(noticeLock_);
        if (noticeCv_.wait_for(g, std::chrono::milliseconds(20), [&] { return notices_.empty() && !noticeBusy_; }))
          break;
      }
      if (IsMainThread()) ProcessPendingMessages();
    }
    noticeThread_.join();
  }
}

void TCustomConvertEngine::CheckIdle(const char* operation) const {
  if (working_) throw FFmpegException(Format("Cannot %s while working.", operation));
}

int TCustomConvertEngine::IndexOf(const TCustomFFmpeg* task) const {
  for (size_t i = 0; i < tasks_.size(); ++i)
    if (tasks_[i].get() == task) return static_cast<int>(i);
  return -1;
}

void TCustomConvertEngine::SetPreview(bool value) {
  preview_ = value;
  for (auto& t : tasks_)
    t->SetPreviewFlags(value ? (t->PreviewFlags() | pfPreviewWindow) : (t->PreviewFlags() & ~pfPreviewWindow));
}

void TCustomConvertEngine::SetPreviewBitmap(bool value) {
  previewBitmap_ = value;
  for (auto& t : tasks_)
    t->SetPreviewFlags(value ? (t->PreviewFlags() | pfPreviewBitmap) : (t->PreviewFlags() & ~pfPreviewBitmap));
}

bool TCustomConvertEngine::LoadLibraries(const TPathFileName& folder) {
  SetLibraryPath(folder);
  if (LoadLibrarySet(EngineLibraries)) return true;
  lastError_ = GetLastErrMsg();
  return false;
}

int TCustomConvertEngine::AddTask(const TPathFileName& fileName, const TInputOptions* options) {
  CheckIdle("AddTask");
  if (!AreLoaded(EngineLibraries)) {
    lastError_ = "libav not loaded.";
    return -1;
  }
  auto task = std::make_unique<TFFmpeg>();
  try {
    task->ResetOptions();
    task->SetVerbosity(verbosity_);
    task->SetPreviewFlags((preview_ ? pfPreviewWindow : 0) | (previewBitmap_ ? pfPreviewBitmap : 0));
    task->Callbacks.preview = [this](TCustomFFmpeg* s, const TBitmap* b, int64_t pts, int n) {
      DoPreviewBitmap(s, b, pts, n);
    };
    const int slot = task->InputCount();
    if (options) {
      auto copy = std::make_unique<TInputOptions>(*options);
      if (copy->FileName.empty()) copy->FileName = fileName;
      task->ApplyInputRecord(*copy);
      task->InputOptions[slot] = std::move(copy);
    }
    if (!task->OpenInputFile(fileName)) {
      lastError_ = task->LastErrMsg();
      return -1;
    }
    if (!task->InputProbes[slot]) task->InputProbes[slot] = std::make_unique<TAVProbe>();
    task->InputProbes[slot]->AttachContext(task->InputContext(slot));
    task->Callbacks.progress = [this](TCustomFFmpeg* s, int fi, int64_t td, int64_t cd, int64_t cs, float br, float q,
                                      int fps, int fn) { DoProgress(s, fi, td, cd, cs, br, q, fps, fn); };
    task->Callbacks.terminate = [this](TCustomFFmpeg* s) { DoTerminate(s); };
  } catch (const std::exception& e) {
    lastError_ = e.what();
    return -1;
  }
  tasks_.push_back(std::move(task));
  return static_cast<int>(tasks_.size()) - 1;
}

bool TCustomConvertEngine::SetOutputFile(int taskIndex, const TPathFileName& fileName, const TOutputOptions* options) {
  CheckIdle("SetOutputFile");
  TFFmpeg* task = tasks_.at(taskIndex).get();
  const int slot = task->OutputCount();
  if (slot >= task->MaxFiles) {
    lastError_ = Format("max output files %d reached", task->MaxFiles);
    return false;
  }
  try {
    bool join = false;
    if (options) {
      auto copy = std::make_unique<TOutputOptions>(*options);
      if (copy->FileName.empty()) copy->FileName = fileName;
      task->OutputOptions[slot] = std::move(copy);
      task->ApplyOutputRecord(*task->OutputOptions[slot]);
      if (options->CustomHook) {
        task->CustomHookEnabled = true;
        task->Callbacks.hook = [this](TCustomFFmpeg* s, TBitmap* b, bool* stop, bool* update, int64_t pts, int n) {
          DoCustomHook(s, b, stop, update, pts, n);
        };
      }
      join = options->Join;
    } else if (task->OutputOptions[slot]) {
      InitOutputOptions(*task->OutputOptions[slot]);
    }
    if (task->OpenOutputFile(fileName, join) < 0) {
      lastError_ = task->LastErrMsg();
      if (task->OutputOptions[slot]) InitOutputOptions(*task->OutputOptions[slot]);
      return false;
    }
    if (options) task->ApplyNewStreamLines(*task->OutputOptions[slot]);
    return true;
  } catch (const std::exception& e) {
    lastError_ = e.what();
    return false;
  }
}

void TCustomConvertEngine::RemoveTask(int taskIndex) {
  CheckIdle("RemoveTask");
  if (taskIndex < 0 || taskIndex >= TaskCount())
    throw FFmpegException(Format("List index out of bounds (%d)", taskIndex));
  tasks_.erase(tasks_.begin() + taskIndex);
}

void TCustomConvertEngine::ClearTasks() {
  if (working_ && !allFinished_) throw FFmpegException("Cannot ClearTasks while working.");
  tasks_.clear();
  lastError_.clear();
  std::lock_guard<std::recursive_mutex> g(terminateLock_);
  finishedCount_ = 0;
  nextTaskIndex_ = -1;
  tasksToStart_ = 0;
  allFinished_ = false;
  threaded_ = false;
  working_ = false;
}

void TCustomConvertEngine::StartTask(int threadCount) {
  CheckIdle("StartTask");
  std::unique_lock<std::recursive_mutex> g(terminateLock_);
  finishedCount_ = 0;
  nextTaskIndex_ = 0;
  tasksToStart_ = TaskCount();
  allFinished_ = false;
  threaded_ = threadCount > 0;
  working_ = true;
  if (tasks_.empty()) {
    // Nothing to run: the run is over at once.
    DoTerminate(nullptr);
    return;
  }
  if (!threaded_) {
    // Each task runs to its end here; its notice starts nothing further.
    g.unlock();
    while (true) {
      {
        std::lock_guard<std::recursive_mutex> l(terminateLock_);
        if (tasksToStart_ <= 0) break;
      }
      StartNextTask();
    }
    return;
  }
  while (tasksToStart_ > 0 && threadCount-- > 0) StartNextTask();
}

void TCustomConvertEngine::StartNextTask() {
  TFFmpeg* task;
  {
    std::lock_guard<std::recursive_mutex> g(terminateLock_);
    if (tasksToStart_ <= 0) return;
    --tasksToStart_;
    task = tasks_[nextTaskIndex_++].get();
    task->ProgressIntervalUs = static_cast<int64_t>(progressIntervalMs_) * 1000;
  }
  task->Start(threaded_, ThreadPriority);
}

void TCustomConvertEngine::Pause() {
  for (auto& t : tasks_) t->Pause();
}

void TCustomConvertEngine::Resume() {
  for (auto& t : tasks_) t->Resume();
}

void TCustomConvertEngine::Stop(bool wait) {
  {
    std::lock_guard<std::recursive_mutex> g(terminateLock_);
    tasksToStart_ = 0;
  }
  for (size_t i = 0; i < tasks_.size(); ++i) tasks_[i]->Stop(wait);
}

TAVProbe* TCustomConvertEngine::InputProbe(int taskIndex, int inputIndex) {
  if (taskIndex < 0 || taskIndex >= TaskCount() || inputIndex < 0 || inputIndex >= MAX_FILES) return nullptr;
  return tasks_[taskIndex]->InputProbes[inputIndex].get();
}

void TCustomConvertEngine::RunEvent(const std::function<void()>& event) {
  if (TriggerEventInMainThread)
    CallInMainThread(event);
  else
    event();
}

void TCustomConvertEngine::DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, bool* stopHook, bool* update,
                                        int64_t pts, int frameNumber) {
  if (!OnCustomHook) return;
  std::lock_guard<std::mutex> g(hookLock_);
  hookInfo_.TaskIndex = IndexOf(sender);
  hookInfo_.Bitmap = bitmap;
  hookInfo_.FrameNumber = frameNumber;
  hookInfo_.PTS = pts;
  hookInfo_.Update = *update;
  hookInfo_.StopHook = *stopHook;
  bitmap->Lock();
  try {
    OnCustomHook(this, &hookInfo_);
  } catch (...) {
    bitmap->Unlock();
    throw;
  }
  bitmap->Unlock();
  *update = hookInfo_.Update;
  *stopHook = hookInfo_.StopHook;
}

void TCustomConvertEngine::DoPreviewBitmap(TCustomFFmpeg* sender, const TBitmap* bitmap, int64_t pts,
                                           int frameNumber) {
  if (!OnPreviewBitmap) return;
  std::lock_guard<std::mutex> g(previewLock_);
  previewInfo_.TaskIndex = IndexOf(sender);
  previewInfo_.Bitmap = bitmap;
  previewInfo_.FrameNumber = frameNumber;
  previewInfo_.PTS = pts;
  RunEvent([&] { OnPreviewBitmap(this, previewInfo_); });
}

void TCustomConvertEngine::DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration,
                                      int64_t currentDuration, int64_t currentSize, float bitRate, float quality,
                                      int fps, int frameNumber) {
  if (!OnProgress) return;
  std::lock_guard<std::mutex> g(progressLock_);
  progressInfo_.TaskIndex = IndexOf(sender);
  progressInfo_.FileIndex = fileIndex;
  progressInfo_.FrameNumber = frameNumber;
  progressInfo_.FPS = fps;
  progressInfo_.Quality = quality;
  progressInfo_.BitRate = bitRate;
  progressInfo_.CurrentSize = currentSize;
  progressInfo_.CurrentDuration = currentDuration;
  progressInfo_.TotalDuration = totalDuration;
  RunEvent([&] { OnProgress(this, &progressInfo_); });
}

void TCustomConvertEngine::DeliverTerminate(const TTerminateInfo& info) {
  if (!OnTerminate) return;
  if (!threaded_) {
    OnTerminate(this, info);
    return;
  }
  {
    std::lock_guard<std::mutex> g(noticeLock_);
    notices_.push_back(info);
    if (!noticeThread_.joinable()) noticeThread_ = std::thread([this] { NoticeLoop(); });
  }
  noticeCv_.notify_all();
}

void TCustomConvertEngine::NoticeLoop() {
  std::unique_lock<std::mutex> g(noticeLock_);
  for (;;) {
    noticeCv_.wait(g, [&] { return !notices_.empty() || noticeQuit_; });
    if (notices_.empty()) return;
    TTerminateInfo info = notices_.front();
    notices_.pop_front();
    noticeBusy_ = true;
    TTerminateEvent handler = OnTerminate;
    g.unlock();
    if (handler) handler(this, info);
    g.lock();
    noticeBusy_ = false;
    noticeCv_.notify_all();
  }
}

void TCustomConvertEngine::DoTerminate(TCustomFFmpeg* sender) {
  std::lock_guard<std::recursive_mutex> g(terminateLock_);
  auto finalNotice = [&] {
    terminateInfo_ = TTerminateInfo{-1, true, false, ""};
    DeliverTerminate(terminateInfo_);
    allFinished_ = true;
  };
  if (!sender) {
    finalNotice();
    return;
  }
  terminateInfo_.TaskIndex = IndexOf(sender);
  terminateInfo_.Finished = sender->Finished;
  terminateInfo_.Exception = sender->ExceptionRaised;
  terminateInfo_.ExceptionMsg = sender->ExceptionMsg;
  DeliverTerminate(terminateInfo_);
  ++finishedCount_;
  if (tasksToStart_ < 1) {
    if (finishedCount_ >= TaskCount()) finalNotice();
  } else if (threaded_) {
    StartNextTask();
  }
}
