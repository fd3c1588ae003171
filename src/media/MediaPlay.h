// The player component: plays one media file at a time into a display
// (PlayerDisplay.h) with sound through SDL2, and reports the file's opening,
// its position and its state through events.
//
// Threads of one playing file: the read, video, subtitle and refresh threads
// (Playback.h), SDL's audio thread, and the component's play thread (timing
// and drawing) and event thread (delivering OnPosition and OnState).
// Operations are called from the main thread. Only one player may play at a
// time in a process (the sound device is shared).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AVProbe.h"
#include "Bitmap.h"
#include "FFBaseComponent.h"
#include "FFUtils.h"
#include "MyUtils.h"
#include "PacketQueue.h"
#include "PlayerDisplay.h"

class TPlayback;

enum TPlayState { psPlay, psPause, psResume, psStep, psStop, psEnd };
enum TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum TVideoDriver { vdDefault, vdDirectDraw, vdGDI };
// 0 (silent) .. 128 (samples unchanged).
using TAudioVolume = int;
// The format library's seek flags.
enum TSeekFlag : int { sfBackward = 1, sfByte = 2, sfAny = 4, sfFrame = 8 };
using TSeekFlags = int;

class TCustomPlayer;

// Main thread, during Open. AScreenWidth/AScreenHeight may be changed.
using TFileOpenEvent =
    std::function<void(TCustomPlayer* Sender, int64_t ADuration, int AFrameWidth,
                       int AFrameHeight, int& AScreenWidth, int& AScreenHeight)>;
// Event thread, or the main thread when TriggerEventInMainThread.
using TPositionEvent = std::function<void(TCustomPlayer* Sender, int64_t APTS)>;
using TPlayStateEvent = std::function<void(TCustomPlayer* Sender, TPlayState AState)>;
// Video thread, with the bitmap locked; what it draws is what is shown.
using THookEvent = std::function<void(TCustomPlayer* Sender, TBitmap* ABitmap, int64_t APTS)>;
// SDL's audio thread: the bytes just handed to the device (signed 16-bit).
using TAudioMonitor = std::function<void(const uint8_t* samples, int bytes)>;

enum TPlayerEventKind { pekPosition = 1, pekState = 2, pekFinish = 3 };

struct TPlayerEvent {
  TPlayerEventKind Kind = pekPosition;
  TPlayState State = psPlay;
  int64_t PTS = 0;
};

// The ring between the player's threads and the host's handlers. A slow
// handler makes events coalesce: a new event replaces the newest queued one
// of the same kind, and a full ring drops its oldest entry.
class TPlayerEventQueue {
 public:
  static constexpr int Slots = 10;
  void Post(const TPlayerEvent& event);
  // Takes the oldest event; false when empty.
  bool Take(TPlayerEvent& event);
  // Set while events are waiting.
  TSignal& Signal() { return signal_; }
  void Clear();

 private:
  std::mutex lock_;
  TSignal signal_;
  // -- guarded by lock_; empty when read_ == write_:
  int read_ = 0, write_ = 0;
  TPlayerEvent slots_[Slots];
};

// Counters of the current playback, for benchmarks and diagnostics.
struct TPlayerStatistics {
  int64_t PicturesQueued = 0;
  int64_t PicturesShown = 0;
  int64_t PicturesDropped = 0;  // late pictures removed before display
  int64_t FramesSkipped = 0;    // decoded pictures skipped before filtering
  // Shown picture's time minus the audio clock, at the moment it was shown.
  int64_t AvDiffCount = 0;
  double AvDiffSum = 0;     // seconds
  double AvDiffMaxAbs = 0;  // seconds
};

class TCustomPlayer : public TFFBaseComponent {
 public:
  TCustomPlayer();
  ~TCustomPlayer() override;
  TCustomPlayer(const TCustomPlayer&) = delete;
  TCustomPlayer& operator=(const TCustomPlayer&) = delete;

  std::string Version() const { return "2.3"; }
  void SetOnFileOpen(TFileOpenEvent handler);
  void SetOnHook(THookEvent handler);
  void SetOnPosition(TPositionEvent handler);
  void SetOnState(TPlayStateEvent handler);

  bool LibrariesLoaded() const;
  bool LoadLibraries(const TPathFileName& folder);
  // Plays fileName into display (nullptr: decode and time without showing).
  // False with the reason in LastErrMsg.
  bool Open(const TPathFileName& fileName, TPlayerDisplay* display, bool openPaused = false);
  void Stop(bool wait);
  void Pause();
  void Resume();
  void Step();
  // pts in microseconds from the file's start (bytes with sfByte).
  void Seek(TSeekFlags flags, bool wait, int64_t pts);
  bool IsPaused() const;
  // The picture on screen as a 24-bit bitmap owned by the player and
  // overwritten by the next call; pts -1 without a playing video.
  TBitmap* GetCurrentPicture(int64_t& pts);
  TBitmap* GetCurrentPicture();

  TAVProbe& Probe() { return *probe_; }
  std::string LastErrMsg() const;
  TPathFileName FileName() const;
  TPlayState State() const { return state_.load(); }
  bool Playing() const;

  // The display's host reports a new size or a need to redraw (any thread).
  void DisplayResized(int width, int height);
  void DisplayExposed();

  void SetAudioMonitor(TAudioMonitor monitor);
  TPlayerStatistics Statistics() const;
  void ResetStatistics();

 protected:
  // Settings, published by TMediaPlayer.
  float AspectRatio() const { return aspectRatio_; }
  void SetAspectRatio(float value);
  TAudioDriver AudioDriver() const { return audioDriver_; }
  void SetAudioDriver(TAudioDriver value) { audioDriver_ = value; }
  TAudioVolume AudioVolume() const { return audioVolume_; }
  void SetAudioVolume(TAudioVolume value);
  bool DisableAudio() const { return disableAudio_; }
  void SetDisableAudio(bool value) { disableAudio_ = value; }
  bool DisableVideo() const { return disableVideo_; }
  void SetDisableVideo(bool value) { disableVideo_ = value; }
  bool DisableDisplay() const { return disableDisplay_; }
  void SetDisableDisplay(bool value) { disableDisplay_ = value; }
  bool Mute() const { return mute_; }
  void SetMute(bool value) { mute_ = value; }
  int FrameWidth() const { return frameWidth_; }
  void SetFrameWidth(int value) { frameWidth_ = value; }
  int FrameHeight() const { return frameHeight_; }
  void SetFrameHeight(int value) { frameHeight_ = value; }
  bool Hook() const { return hook_; }
  void SetHook(bool value) { hook_ = value; }
  int ScreenWidth() const { return screenWidth_; }
  void SetScreenWidth(int value) { screenWidth_ = value; }
  int ScreenHeight() const { return screenHeight_; }
  void SetScreenHeight(int value) { screenHeight_ = value; }
  bool TriggerEventInMainThread() const { return inMainThread_; }
  void SetTriggerEventInMainThread(bool value) { inMainThread_ = value; }
  TVideoDriver VideoDriver() const { return videoDriver_; }
  void SetVideoDriver(TVideoDriver value) { videoDriver_ = value; }
  // Filters between the decoder and the display, in the filter library's
  // graph syntax; empty links them directly. Read at open.
  std::string VideoFilters() const;
  void SetVideoFilters(const std::string& value);

 private:
  friend class TPlayback;

  enum TPlayEventKind { pePlayRefresh, pePlayQuit, pePlayResetDisplay, pePlayResize, pePlayExpose };
  struct TPlayEvent {
    TPlayEventKind Kind;
    int Width = 0, Height = 0;
  };

  std::shared_ptr<TPlayback> Playback() const;
  void SetPlayback(std::shared_ptr<TPlayback> pb);
  // Every message of the player goes through here; kept ones become LastErrMsg.
  void ReportError(const std::string& text, bool keep);
  void SetState(TPlayState state);
  void PostEvent(const TPlayerEvent& event);
  void PostPlayEvent(const TPlayEvent& event);
  void CheckPosition(TPlayback& pb);
  void ProcessHook(AVFrame* picture, double pts, int64_t startTime);
  bool InitSdl();
  void QuitSdl();
  void ClosePlayback();
  void ResetRuntime();
  void PlayThreadMain();
  void EventThreadMain();
  void WaitForPlayThread();
  void JoinWorkers();
  void RecordAvDiff(double seconds);
  void MonitorAudio(const uint8_t* samples, int bytes);
  TPlayerDisplay* Display() const { return display_.load(); }
  THookEvent HookHandler() const;

  // -- settings
  std::atomic<float> aspectRatio_{0};
  std::atomic<TAudioDriver> audioDriver_{adDefault};
  std::atomic<int> audioVolume_{128};
  std::atomic<bool> disableAudio_{false}, disableVideo_{false}, disableDisplay_{false};
  std::atomic<bool> mute_{false};
  std::atomic<int> frameWidth_{0}, frameHeight_{0};
  std::atomic<bool> hook_{false};
  std::atomic<int> screenWidth_{0}, screenHeight_{0};
  std::atomic<bool> inMainThread_{true};
  std::atomic<TVideoDriver> videoDriver_{vdDefault};
  // Decoder and timing options without a setter in this program.
  int genPts_ = 0;
  int reorder_ = -1;
  bool dropLate_ = true;
  int scalerFlags_ = SWS_BICUBIC;
  int64_t startTimeOption_ = AV_NOPTS_VALUE;
  int wantedStream_[AVMEDIA_TYPE_NB] = {-1, -1, -1, -1, -1};

  // -- handlers, guarded by handlerLock_
  mutable std::mutex handlerLock_;
  TFileOpenEvent onFileOpen_;
  THookEvent onHook_;
  TPositionEvent onPosition_;
  TPlayStateEvent onState_;
  TAudioMonitor audioMonitor_;
  std::string videoFilters_;

  // -- runtime
  std::unique_ptr<TAVProbe> probe_;
  mutable std::mutex stateLock_;  // guards lastErrMsg_, fileName_, playback_
  std::string lastErrMsg_;
  TPathFileName fileName_;
  std::shared_ptr<TPlayback> playback_;
  std::atomic<TPlayerDisplay*> display_{nullptr};
  std::atomic<bool> stepFlag_{false};
  std::atomic<bool> seeking_{false};
  std::atomic<int64_t> lastPosition_{AV_NOPTS_VALUE};
  std::atomic<TPlayState> state_{psStop};
  std::atomic<bool> sdlStarted_{false};
  std::atomic<int64_t> audioCallbackTimeUs_{0};

  // Held by the play thread around the handling of each event.
  std::mutex playerMutex_;
  TSignal seekDone_{true};
  TSignal pictureQueued_{true};
  TPlayerEventQueue events_;

  // The play thread's own queue (what SDL's event queue was).
  std::mutex playEventLock_;
  std::condition_variable playEventCond_;
  std::deque<TPlayEvent> playEvents_;  // guarded by playEventLock_

  // The play thread's Finished() is the play-thread-finished event.
  TWorker playThread_, eventThread_;

  // Video thread: the hook's converters. Main thread: the snapshot's.
  std::unique_ptr<TBitmapConverter> hookConverter_;
  SwsContext* fromRGB_ = nullptr;
  std::unique_ptr<TBitmapConverter> snapshotConverter_;

  // -- statistics
  std::atomic<int64_t> statQueued_{0}, statShown_{0}, statDropped_{0}, statSkipped_{0};
  mutable std::mutex statLock_;  // guards the A/V figures
  int64_t avCount_ = 0;
  double avSum_ = 0, avMaxAbs_ = 0;
};

class TMediaPlayer : public TCustomPlayer {
 public:
  using TCustomPlayer::AspectRatio;
  using TCustomPlayer::SetAspectRatio;
  using TCustomPlayer::AudioDriver;
  using TCustomPlayer::SetAudioDriver;
  using TCustomPlayer::AudioVolume;
  using TCustomPlayer::SetAudioVolume;
  using TCustomPlayer::DisableAudio;
  using TCustomPlayer::SetDisableAudio;
  using TCustomPlayer::DisableVideo;
  using TCustomPlayer::SetDisableVideo;
  using TCustomPlayer::DisableDisplay;
  using TCustomPlayer::SetDisableDisplay;
  using TCustomPlayer::Mute;
  using TCustomPlayer::SetMute;
  using TCustomPlayer::FrameWidth;
  using TCustomPlayer::SetFrameWidth;
  using TCustomPlayer::FrameHeight;
  using TCustomPlayer::SetFrameHeight;
  using TCustomPlayer::Hook;
  using TCustomPlayer::SetHook;
  using TCustomPlayer::ScreenWidth;
  using TCustomPlayer::SetScreenWidth;
  using TCustomPlayer::ScreenHeight;
  using TCustomPlayer::SetScreenHeight;
  using TCustomPlayer::TriggerEventInMainThread;
  using TCustomPlayer::SetTriggerEventInMainThread;
  using TCustomPlayer::VideoDriver;
  using TCustomPlayer::SetVideoDriver;
  using TCustomPlayer::VideoFilters;
  using TCustomPlayer::SetVideoFilters;
};

// The value SDL_AUDIODRIVER gets for a driver choice ("" leaves it alone).
const char* AudioDriverName(TAudioDriver driver);
