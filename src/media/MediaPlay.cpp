#include "MediaPlay.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "Playback.h"

// ---- event queue

void TPlayerEventQueue::Post(const TPlayerEvent& event) {
  std::lock_guard<std::mutex> g(lock_);
  if (read_ != write_) {
    TPlayerEvent& newest = slots_[(write_ + Slots - 1) % Slots];
    if (newest.Kind == event.Kind) {
      newest = event;
      signal_.Set();
      return;
    }
  }
  write_ = (write_ + 1) % Slots;
  if (write_ == read_) read_ = (read_ + 1) % Slots;
  slots_[(write_ + Slots - 1) % Slots] = event;
  signal_.Set();
}

bool TPlayerEventQueue::Take(TPlayerEvent& event) {
  std::lock_guard<std::mutex> g(lock_);
  if (read_ == write_) {
    signal_.Reset();
    return false;
  }
  event = slots_[read_];
  read_ = (read_ + 1) % Slots;
  if (read_ == write_) signal_.Reset();
  return true;
}

void TPlayerEventQueue::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  read_ = write_ = 0;
  signal_.Reset();
}

const char* AudioDriverName(TAudioDriver driver) {
  switch (driver) {
    case adDirectSound: return "pulseaudio";
    case adWaveOut: return "alsa";
    default: return "";
  }
}

// ---- component

TCustomPlayer::TCustomPlayer() : probe_(std::make_unique<TAVProbe>()) { Name = "MediaPlayer"; }

TCustomPlayer::~TCustomPlayer() {
  {
    std::lock_guard<std::mutex> g(handlerLock_);
    onPosition_ = nullptr;
    onState_ = nullptr;
    onHook_ = nullptr;
  }
  Stop(true);
  JoinWorkers();
  probe_.reset();
  hookConverter_.reset();
  snapshotConverter_.reset();
  if (fromRGB_ && sws.sws_freeContext) sws.sws_freeContext(fromRGB_);
}

void TCustomPlayer::SetOnFileOpen(TFileOpenEvent handler) {
  std::lock_guard<std::mutex> g(handlerLock_);
  onFileOpen_ = std::move(handler);
}
void TCustomPlayer::SetOnHook(THookEvent handler) {
  std::lock_guard<std::mutex> g(handlerLock_);
  onHook_ = std::move(handler);
}
void TCustomPlayer::SetOnPosition(TPositionEvent handler) {
  std::lock_guard<std::mutex> g(handlerLock_);
  onPosition_ = std::move(handler);
}
void TCustomPlayer::SetOnState(TPlayStateEvent handler) {
  std::lock_guard<std::mutex> g(handlerLock_);
  onState_ = std::move(handler);
}
void TCustomPlayer::SetAudioMonitor(TAudioMonitor monitor) {
  std::lock_guard<std::mutex> g(handlerLock_);
  audioMonitor_ = std::move(monitor);
}
THookEvent TCustomPlayer::HookHandler() const {
  std::lock_guard<std::mutex> g(handlerLock_);
  return onHook_;
}
std::string TCustomPlayer::VideoFilters() const {
  std::lock_guard<std::mutex> g(handlerLock_);
  return videoFilters_;
}
void TCustomPlayer::SetVideoFilters(const std::string& value) {
  std::lock_guard<std::mutex> g(handlerLock_);
  videoFilters_ = value;
}

void TCustomPlayer::SetAspectRatio(float value) {
  if (aspectRatio_.exchange(value) != value && Playback()) PostPlayEvent({pePlayResetDisplay});
}

void TCustomPlayer::SetAudioVolume(TAudioVolume value) {
  audioVolume_ = std::clamp(value, 0, SDL_MIX_MAXVOLUME);
}

bool TCustomPlayer::LibrariesLoaded() const { return AreLoaded(PlayerLibraries); }

bool TCustomPlayer::LoadLibraries(const TPathFileName& folder) {
  SetLibraryPath(folder);
  const bool loaded = LoadLibrarySet(PlayerLibraries);
  if (!loaded) {
    std::lock_guard<std::mutex> g(stateLock_);
    lastErrMsg_ = GetLastErrMsg();
  }
  return loaded;
}

std::string TCustomPlayer::LastErrMsg() const {
  std::lock_guard<std::mutex> g(stateLock_);
  return lastErrMsg_;
}

TPathFileName TCustomPlayer::FileName() const {
  std::lock_guard<std::mutex> g(stateLock_);
  return fileName_;
}

std::shared_ptr<TPlayback> TCustomPlayer::Playback() const {
  std::lock_guard<std::mutex> g(stateLock_);
  return playback_;
}

void TCustomPlayer::SetPlayback(std::shared_ptr<TPlayback> pb) {
  std::shared_ptr<TPlayback> old;
  {
    std::lock_guard<std::mutex> g(stateLock_);
    old = std::move(playback_);
    playback_ = std::move(pb);
  }
}

bool TCustomPlayer::Playing() const { return static_cast<bool>(Playback()); }

void TCustomPlayer::ReportError(const std::string& text, bool keep) {
  if (keep) {
    std::lock_guard<std::mutex> g(stateLock_);
    lastErrMsg_ = text;
  }
  FFLogger().Log(this, llError, text);
}

bool TCustomPlayer::InitSdl() {
  if (sdlStarted_) return true;
  if (sdl.SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    const auto handle = static_cast<unsigned>(reinterpret_cast<uintptr_t>(Display()));
    ReportError(Format("Could not initialize SDL with ScreenHandle(%u): %s", handle,
                       sdl.SDL_GetError()),
                false);
    return false;
  }
  sdlStarted_ = true;
  const char* driver = sdl.SDL_GetCurrentAudioDriver();
  lavu.av_log(nullptr, AV_LOG_DEBUG, "using audio driver: %s\n", driver ? driver : "none");
  return true;
}

void TCustomPlayer::QuitSdl() {
  if (sdlStarted_.exchange(false)) sdl.SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void TCustomPlayer::ResetRuntime() {
  stepFlag_ = false;
  seeking_ = false;
  lastPosition_ = AV_NOPTS_VALUE;
}

bool TCustomPlayer::Open(const TPathFileName& fileName, TPlayerDisplay* display, bool openPaused) {
  if (!AreLoaded(PlayerLibraries)) {
    ReportError("libav or libsdl not loaded.", true);
    return false;
  }
  Stop(true);
  ResetStatistics();
  if (const char* driver = AudioDriverName(audioDriver_); *driver)
    setenv("SDL_AUDIODRIVER", driver, 1);
  display_ = display;
  // Without sound the pictures still play.
  const bool soundReady = InitSdl();
  if (disableDisplay_) disableVideo_ = true;

  events_.Clear();
  {
    std::lock_guard<std::mutex> g(playEventLock_);
    playEvents_.clear();
  }
  seekDone_.Set();
  pictureQueued_.Set();
  ResetRuntime();
  state_ = psStop;

  auto pb = std::make_shared<TPlayback>(this);
  pb->SoundReady = soundReady;
  if (!pb->StreamOpen(fileName, nullptr, openPaused)) {
    pb.reset();
    ResetRuntime();
    display_ = nullptr;
    QuitSdl();
    return false;
  }
  SetPlayback(pb);
  {
    std::lock_guard<std::mutex> g(stateLock_);
    fileName_ = fileName;
  }
  auto abandon = [&] {
    pb->StreamClose();
    SetPlayback(nullptr);
    ResetRuntime();
    QuitSdl();
  };
  try {
    probe_->AttachContext(pb->FormatContext);
    pb->ProbeAttached = true;

    auto notify = [&] {
      if (hookConverter_) ResetBitmapConverter(*hookConverter_);
      if (snapshotConverter_) ResetBitmapConverter(*snapshotConverter_);
      TFileOpenEvent handler;
      {
        std::lock_guard<std::mutex> g(handlerLock_);
        handler = onFileOpen_;
      }
      if (!handler) return;
      int screenWidth = screenWidth_, screenHeight = screenHeight_;
      const int64_t duration = pb->IsImageSequence ? 0 : pb->Duration;
      const bool video = pb->VideoStream >= 0 && pb->CodecWidth > 0;
      handler(this, duration, video ? pb->CodecWidth : -1, video ? pb->CodecHeight : -1,
              screenWidth, screenHeight);
      screenWidth_ = screenWidth;
      screenHeight_ = screenHeight;
    };
    if (inMainThread_)
      CallInMainThread(notify);
    else
      notify();
  } catch (...) {
    abandon();
    throw;
  }
  if (display && (screenWidth_ == 0 || screenHeight_ == 0)) {
    int width = 0, height = 0;
    display->GetClientSize(width, height);
    screenWidth_ = width;
    screenHeight_ = height;
  }
  pb->StartReading.Set();
  try {
    eventThread_.Start([this] { EventThreadMain(); });
  } catch (const std::system_error&) {
    ReportError("SDL_CreateThread() failed.", true);
    abandon();
    return false;
  }
  try {
    playThread_.Start([this] { PlayThreadMain(); });
  } catch (const std::system_error&) {
    ReportError("SDL_CreateThread() failed.", true);
    abandon();
    PostEvent({pekFinish, psStop, 0});
    JoinWorkers();
    return false;
  }
  return true;
}

void TCustomPlayer::PostPlayEvent(const TPlayEvent& event) {
  {
    std::lock_guard<std::mutex> g(playEventLock_);
    playEvents_.push_back(event);
  }
  playEventCond_.notify_one();
}

void TCustomPlayer::ClosePlayback() {
  auto pb = Playback();
  if (!pb) return;
  pb->StreamClose();
  SetPlayback(nullptr);
  ResetRuntime();
  QuitSdl();
}

void TCustomPlayer::PlayThreadMain() {
  SetState(psPlay);
  if (auto pb = Playback()) pb->PlayStarted.Set();
  try {
    for (;;) {
      TPlayEvent event{};
      {
        std::unique_lock<std::mutex> g(playEventLock_);
        while (playEvents_.empty()) playEventCond_.wait_for(g, std::chrono::milliseconds(100));
        event = playEvents_.front();
        playEvents_.pop_front();
      }
      std::lock_guard<std::mutex> g(playerMutex_);
      if (event.Kind == pePlayQuit) {
        ClosePlayback();
        break;
      }
      auto pb = Playback();
      if (!pb) continue;
      switch (event.Kind) {
        case pePlayRefresh:
          pb->RefreshVideo(true);
          pb->RefreshPending = false;
          break;
        case pePlayResetDisplay:
          pb->OpenDisplay(true);
          pb->DisplayPicture();
          break;
        case pePlayResize:
          pb->ResizeDisplay(event.Width, event.Height);
          break;
        case pePlayExpose:
          if (pb->Paused)
            pb->RefreshVideo(false);
          else
            pb->DisplayPicture();
          break;
        default:
          break;
      }
    }
  } catch (const std::exception& e) {
    FFLogger().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    std::lock_guard<std::mutex> g(playerMutex_);
    ClosePlayback();
  }
  SetState(psStop);
}

void TCustomPlayer::EventThreadMain() {
  for (;;) {
    TPlayerEvent event;
    if (events_.Take(event)) {
      // The handler is looked up when the call runs, so that one cleared in
      // the meantime (the destructor clears them) is never called.
      std::function<void()> call;
      const bool end = event.Kind == pekFinish || (event.Kind == pekState && event.State == psStop);
      if (event.Kind == pekPosition) {
        call = [this, pts = event.PTS] {
          TPositionEvent handler;
          {
            std::lock_guard<std::mutex> g(handlerLock_);
            handler = onPosition_;
          }
          if (handler) handler(this, pts);
        };
      } else if (event.Kind == pekState) {
        call = [this, state = event.State] {
          TPlayStateEvent handler;
          {
            std::lock_guard<std::mutex> g(handlerLock_);
            handler = onState_;
          }
          if (handler) handler(this, state);
        };
      }
      if (call) {
        try {
          if (inMainThread_)
            CallInMainThread(call);
          else
            call();
        } catch (const std::exception& e) {
          FFLogger().Log(this, llError, e.what());
        } catch (...) {
        }
      }
      if (end) break;
    }
    events_.Signal().Wait();
  }
}

void TCustomPlayer::SetState(TPlayState state) {
  state_ = state;
  bool hasHandler;
  {
    std::lock_guard<std::mutex> g(handlerLock_);
    hasHandler = static_cast<bool>(onState_);
  }
  if (hasHandler)
    PostEvent({pekState, state, 0});
  else if (state == psStop)
    PostEvent({pekFinish, state, 0});
}

void TCustomPlayer::PostEvent(const TPlayerEvent& event) { events_.Post(event); }

void TCustomPlayer::Stop(bool wait) {
  if (auto pb = Playback()) {
    if (pb->Paused) {
      pb->TogglePause();
      stepFlag_ = false;
    }
    PostPlayEvent({pePlayQuit});
  }
  if (wait) {
    WaitForPlayThread();
    JoinWorkers();
    QuitSdl();
  }
}

void TCustomPlayer::WaitForPlayThread() {
  int pass = 1;
  for (;;) {
    if (playThread_.Finished().Wait(std::chrono::milliseconds(100))) return;
    if (IsMainThread()) ProcessPendingMessages();
    if (!Playback()) return;
    // Polled rather than a timed lock: the race detector cannot follow
    // the clock-based lock call.
    bool locked = false;
    for (int i = 0; i < 20 && !(locked = playerMutex_.try_lock()); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!locked) continue;
    std::unique_lock<std::mutex> g(playerMutex_, std::adopt_lock);
    auto pb = Playback();
    if (!pb) return;
    ++pass;
    if (pass <= 20 && (pass <= 10 || !pb->InRead)) {
      PostPlayEvent({pePlayQuit});
      continue;
    }
    // The play thread does not answer: close from here.
    ClosePlayback();
    return;
  }
}

void TCustomPlayer::JoinWorkers() {
  playThread_.Join();
  eventThread_.Join();
}

void TCustomPlayer::Pause() {
  auto pb = Playback();
  if (!pb || pb->Paused) return;
  pb->TogglePause();
  stepFlag_ = false;
  SetState(psPause);
}

void TCustomPlayer::Resume() {
  auto pb = Playback();
  if (!pb || !pb->Paused) return;
  pb->TogglePause();
  stepFlag_ = false;
  SetState(psResume);
}

void TCustomPlayer::Step() {
  auto pb = Playback();
  if (!pb) return;
  if (pb->Paused) pb->TogglePause();
  if (!stepFlag_.exchange(true)) SetState(psStep);
}

void TCustomPlayer::Seek(TSeekFlags flags, bool wait, int64_t pts) {
  auto pb = Playback();
  if (!pb) return;
  if (flags & sfByte) {
    pb->RequestSeek(flags, wait, pts, 0);
    return;
  }
  int64_t target = pts;
  if (pb->Duration > 0 && target > pb->Duration) target = pb->Duration;
  target += pb->StartTime;
  // A target at or before the start cannot satisfy the ranged seek's bounds,
  // so the plain seek does the work.
  const int64_t rel = pts <= 0 ? 1 : 0;
  pb->RequestSeek(flags, wait, target, rel);
}

bool TCustomPlayer::IsPaused() const {
  auto pb = Playback();
  return !pb || pb->Paused;
}

TBitmap* TCustomPlayer::GetCurrentPicture() {
  int64_t pts = 0;
  return GetCurrentPicture(pts);
}

TBitmap* TCustomPlayer::GetCurrentPicture(int64_t& pts) {
  if (!snapshotConverter_) snapshotConverter_ = std::make_unique<TBitmapConverter>();
  TBitmapConverter& c = *snapshotConverter_;
  if (!c.Bitmap) c.Bitmap = std::make_unique<TBitmap>();
  pts = -1;
  auto pb = Playback();
  if (!pb || pb->VideoStream < 0) {
    c.Bitmap->SetSize(0, 0);
    return c.Bitmap.get();
  }
  c.Bitmap->SetSize(pb->CodecWidth, pb->CodecHeight);
  c.Bitmap->Fill(0, 0, 0);
  AVFrame* frame = lavu.av_frame_alloc();
  double picturePts = 0;
  int width = 0, height = 0;
  if (frame && pb->CurrentPicture(frame, picturePts, width, height)) {
    pts = std::llround(picturePts * 1000000.0) - pb->StartTime;
    if (!PictureToBitmap(c, frame->data, frame->linesize,
                         static_cast<AVPixelFormat>(frame->format), width, height))
      c.Bitmap->SetSize(0, 0);
  }
  lavu.av_frame_free(&frame);
  return c.Bitmap.get();
}

void TCustomPlayer::DisplayResized(int width, int height) {
  PostPlayEvent({pePlayResize, width, height});
}

void TCustomPlayer::DisplayExposed() { PostPlayEvent({pePlayExpose}); }

void TCustomPlayer::CheckPosition(TPlayback& pb) {
  if (pb.IsImageSequence) return;
  int64_t p;
  if (pb.VideoStream >= 0) {
    p = std::llround(pb.GetVideoClock() * 1000000.0) - pb.StartTime;
  } else if (pb.AudioStream >= 0) {
    p = std::llround(pb.GetAudioClock() * 1000000.0) - pb.StartTime;
    const int64_t audioDuration = pb.AudioDuration;
    if (audioDuration > 0 && p >= audioDuration && p < pb.Duration) p = pb.Duration;
  } else {
    return;
  }
  if (pb.Duration > 0 && p >= pb.Duration) {
    p = pb.Duration;
    // Make sure the end itself is reported even when close to the last report.
    if (lastPosition_ != pb.Duration) lastPosition_ = 0;
  }
  const int64_t last = lastPosition_;
  if (last == AV_NOPTS_VALUE || std::llabs(last - p) > 10000) {
    lastPosition_ = p;
    bool hasHandler;
    {
      std::lock_guard<std::mutex> g(handlerLock_);
      hasHandler = static_cast<bool>(onPosition_);
    }
    if (hasHandler) PostEvent({pekPosition, psPlay, p});
  }
  if (!pb.IsCaptureDevice && !pb.EndReported && pb.Drained) {
    if (pb.VideoStream >= 0) pb.EndReported = true;
    SetState(psEnd);
  }
}

void TCustomPlayer::ProcessHook(AVFrame* picture, double pts, int64_t startTime) {
  THookEvent handler = HookHandler();
  if (!handler) return;
  if (!hookConverter_) hookConverter_ = std::make_unique<TBitmapConverter>();
  TBitmapConverter& c = *hookConverter_;
  const int width = picture->width & ~1, height = picture->height & ~1;
  if (width <= 0 || height <= 0) return;
  if (!c.Bitmap) c.Bitmap = std::make_unique<TBitmap>();
  TBitmap& bitmap = *c.Bitmap;
  bitmap.SetSize(width, height);
  if (!HookPictureToBitmap(picture, width, height, bitmap, &c.Scaler)) {
    FFLogger().Log(this, llError, "Cannot initialize the toRGB conversion context");
    return;
  }
  std::string failure;
  bitmap.Lock();
  try {
    handler(this, &bitmap, std::llround(pts * 1000000.0) - startTime);
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "unknown error";
  } catch (...) {
    failure = "unknown error";
  }
  bitmap.Unlock();
  if (!failure.empty()) {
    FFLogger().Log(this, llError, "Error occurs OnHook: " + failure);
    return;
  }
  // A handler that resized the bitmap leaves nothing that fits the picture.
  if (bitmap.Width() != width || bitmap.Height() != height) return;
  if (!HookBitmapToPicture(bitmap, width, height, picture, &fromRGB_))
    FFLogger().Log(this, llError, "Cannot initialize the fromRGB conversion context");
}

void TCustomPlayer::MonitorAudio(const uint8_t* samples, int bytes) {
  std::lock_guard<std::mutex> g(handlerLock_);
  if (audioMonitor_) audioMonitor_(samples, bytes);
}

void TCustomPlayer::RecordAvDiff(double seconds) {
  std::lock_guard<std::mutex> g(statLock_);
  ++avCount_;
  avSum_ += seconds;
  avMaxAbs_ = std::max(avMaxAbs_, std::fabs(seconds));
}

TPlayerStatistics TCustomPlayer::Statistics() const {
  TPlayerStatistics s;
  s.PicturesQueued = statQueued_;
  s.PicturesShown = statShown_;
  s.PicturesDropped = statDropped_;
  s.FramesSkipped = statSkipped_;
  std::lock_guard<std::mutex> g(statLock_);
  s.AvDiffCount = avCount_;
  s.AvDiffSum = avSum_;
  s.AvDiffMaxAbs = avMaxAbs_;
  return s;
}

void TCustomPlayer::ResetStatistics() {
  statQueued_ = statShown_ = statDropped_ = statSkipped_ = 0;
  std::lock_guard<std::mutex> g(statLock_);
  avCount_ = 0;
  avSum_ = avMaxAbs_ = 0;
}
