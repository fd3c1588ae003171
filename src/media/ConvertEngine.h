// The conversion engine component: a list of tasks run one after another or
// several at a time on worker threads, reporting through four events.
//
// All operations are called from the main thread. Events: see EngineTypes.h
// for the thread each one runs on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AVProbe.h"
#include "EngineTypes.h"
#include "FFBaseComponent.h"
#include "FFmpeg.h"

class TCustomConvertEngine : public TFFBaseComponent {
 public:
  TCustomConvertEngine();
  ~TCustomConvertEngine() override;
  TCustomConvertEngine(const TCustomConvertEngine&) = delete;
  TCustomConvertEngine& operator=(const TCustomConvertEngine&) = delete;

  std::string About;
  std::string Version() const { return "3.3"; }
  bool Preview() const { return preview_; }
  void SetPreview(bool value);
  bool PreviewBitmap() const { return previewBitmap_; }
  void SetPreviewBitmap(bool value);
  int ProgressInterval() const { return progressIntervalMs_; }
  void SetProgressInterval(int ms) { progressIntervalMs_ = ms <= 100 ? 100 : ms; }
  TThreadPriority ThreadPriority = tpNormal;
  std::atomic<bool> TriggerEventInMainThread{true};
  TCustomHookEvent OnCustomHook;
  TPreviewBitmapEvent OnPreviewBitmap;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

  bool LoadLibraries(const TPathFileName& folder);
  // The task's list index, or -1 with LastError set.
  int AddTask(const TPathFileName& fileName, const TInputOptions* options = nullptr);
  bool SetOutputFile(int taskIndex, const TPathFileName& fileName, const TOutputOptions* options = nullptr);
  void RemoveTask(int taskIndex);
  void ClearTasks();
  // > 0: worker threads, at most that many tasks at once; <= 0: every task
  // runs here, one after another, before this returns.
  void StartTask(int threadCount);
  void Pause();
  void Resume();
  void Stop(bool wait);
  int TaskCount() const { return static_cast<int>(tasks_.size()); }
  TAVProbe* InputProbe(int taskIndex, int inputIndex);
  TAVProbe& Probe() { return probe_; }
  std::string LastError() const { return lastError_; }
  TFFmpeg* Task(int index) { return tasks_.at(index).get(); }
  bool Working() const { return working_; }
  bool AllFinished() const { return allFinished_; }

 protected:
  virtual void DoCustomHook(TCustomFFmpeg* sender, TBitmap* bitmap, bool* stopHook, bool* update, int64_t pts,
                            int frameNumber);
  virtual void DoPreviewBitmap(TCustomFFmpeg* sender, const TBitmap* bitmap, int64_t pts, int frameNumber);
  virtual void DoProgress(TCustomFFmpeg* sender, int fileIndex, int64_t totalDuration, int64_t currentDuration,
                          int64_t currentSize, float bitRate, float quality, int fps, int frameNumber);
  virtual void DoTerminate(TCustomFFmpeg* sender);

 private:
  void CheckIdle(const char* operation) const;
  // In the main thread (the worker waits) when TriggerEventInMainThread, else here.
  void RunEvent(const std::function<void()>& event);
  int IndexOf(const TCustomFFmpeg* task) const;
  void StartNextTask();
  void DeliverTerminate(const TTerminateInfo& info);
  void NoticeLoop();

  std::string lastError_;
  std::vector<std::unique_ptr<TFFmpeg>> tasks_;  // changed only by the main thread while idle
  TAVProbe probe_;
  bool preview_ = false, previewBitmap_ = false;
  int progressIntervalMs_ = 500;
  // -- guarded by terminateLock_:
  int finishedCount_ = 0;
  int nextTaskIndex_ = -1;
  int tasksToStart_ = 0;
  bool threaded_ = false;
  // --
  std::atomic<bool> allFinished_{false};
  std::atomic<bool> working_{false};
  int verbosity_ = 1;
  THookInfo hookInfo_;
  TPreviewInfo previewInfo_;
  TProgressInfo progressInfo_;
  TTerminateInfo terminateInfo_;
  std::mutex hookLock_, previewLock_, progressLock_;
  std::recursive_mutex terminateLock_;
  // Threaded runs hand termination notices to one delivery thread, in order,
  // without waiting for the handler.
  std::mutex noticeLock_;
  std::condition_variable noticeCv_;
  std::deque<TTerminateInfo> notices_;  // guarded by noticeLock_
  bool noticeBusy_ = false;             // guarded by noticeLock_
  bool noticeQuit_ = false;             // guarded by noticeLock_
  std::thread noticeThread_;
};

class TConvertEngine : public TCustomConvertEngine {};
