// The machinery behind TMediaPlayer: one TPlayback per opened file with its
// threads (read, video, subtitle, refresh), packet queues, clocks, the sound
// device's callback and the picture timing. Internal to the player; only
// MediaPlay.cpp, Playback.cpp and tests include it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "FFmpegLibs.h"
#include "MyUtils.h"
#include "PacketQueue.h"
#include "PlayerDisplay.h"

class TCustomPlayer;

// The three packet queues together hold at most this many bytes.
constexpr int64_t MaxQueueSize = 15 * 1024 * 1024;
// A queue is full enough above these marks.
constexpr int64_t MinAudioQueueSize = 320 * 1024;
constexpr int MinFramesQueued = 5;
constexpr int PictureQueueSize = 2;
constexpr int SubpictureQueueSize = 4;
// Clock differences beyond this are taken as a broken timestamp, not drift.
constexpr double AVNoSyncThreshold = 10.0;
constexpr double AVSyncThreshold = 0.01;
constexpr int SampleArraySize = 0x20000;
constexpr int AudioBufferSize = 288000;
constexpr int SdlAudioBufferSamples = 1024;
constexpr int SilenceChunkBytes = 1024;

enum TShowMode { smOff = 0, smWaveform = 1 };

struct TQueuedPicture {
  double Pts = 0;         // seconds
  double TargetTime = 0;  // wall clock seconds when it is due
  int64_t Pos = -1;       // byte position in the file
  // The filtered picture itself: its planes are what is shown, so a picture
  // is never copied on its way to the display.
  AVFrame* Frame = nullptr;
  int Width = 0, Height = 0;  // rounded down to even
  bool Allocated = false;
  AVPixelFormat PixelFormat = AV_PIX_FMT_NONE;
  bool SubtitleBlended = false;
};

struct TQueuedSubtitle {
  double Pts = 0;  // seconds
  AVSubtitle Sub{};
};

// Converts a bitmap subtitle palette of 0xAARRGGBB entries in place to
// 0xAAYYUUVV with the studio-range coefficients.
void PaletteToYUVA(uint32_t* palette, int count);
// Blends a bitmap subtitle rectangle whose palette is already YUVA into a
// planar YUV 4:2:0 picture, clipped to width x height.
void BlendSubtitleRect(uint8_t* const data[3], const int linesize[3], int width, int height,
                       const AVSubtitleRect& rect);

// Thread ownership: fields are written by the thread named beside them and
// read elsewhere only as atomics or under the lock named.
class TPlayback {
 public:
  explicit TPlayback(TCustomPlayer* player);
  ~TPlayback();
  TPlayback(const TPlayback&) = delete;
  TPlayback& operator=(const TPlayback&) = delete;

  // Main thread. Starts the read thread and waits until the file is open.
  bool StreamOpen(const TPathFileName& fileName, const AVInputFormat* inputFormat,
                  bool openPaused);
  // Any thread but this playback's own four: aborts and joins every thread of
  // this playback and releases the queued pictures.
  void StreamClose();
  void RequestSeek(int flags, bool wait, int64_t pos, int64_t rel);
  void TogglePause();

  // Play thread.
  void RefreshVideo(bool consume);
  // Redraws the picture last shown, or the waveform.
  void DisplayPicture();
  int OpenDisplay(bool force);
  void ResizeDisplay(int width, int height);

  double GetAudioClock() const;
  double GetVideoClock() const;
  double GetMasterClock() const;
  // Copies the picture now on screen (or, before one was shown after a seek,
  // the next one due) into out; false when there is none.
  bool CurrentPicture(AVFrame* out, double& pts, int& width, int& height);

  TCustomPlayer* const Player;

  // -- input, set by the read thread before OpenStatus becomes 1
  const AVInputFormat* InputFormat = nullptr;
  AVFormatContext* FormatContext = nullptr;
  TPathFileName FileName;
  int64_t StartTime = 0;  // microseconds
  int64_t Duration = -1;  // microseconds
  std::atomic<int64_t> AudioDuration{-1};
  bool IsImageSequence = false;
  bool IsCaptureDevice = false;
  int SeekByBytes = -1;

  // -- control
  std::atomic<bool> AbortRequest{false};
  std::atomic<bool> Paused{false};
  std::atomic<int> ReadPauseReturn{0};
  std::atomic<bool> SeekRequest{false};
  // Written by RequestSeek before SeekRequest is set, read by the read thread after.
  std::atomic<int> SeekFlags{0};
  std::atomic<int64_t> SeekPos{0}, SeekRel{0};
  std::atomic<int> OpenStatus{0};  // 0 pending, 1 opened, -1 failed, -2 cleaned up
  // Set by the player once it has adopted the open file; the read loop waits for it.
  TSignal StartReading;
  // Set by the play thread once it has reported psPlay.
  TSignal PlayStarted;
  // The player's probe holds FormatContext (set by the main thread).
  std::atomic<bool> ProbeAttached{false};
  // SDL's sound started; without it no audio stream is chosen.
  bool SoundReady = true;

  // -- audio: the callback's state, touched by the read thread only while
  // the device is closed
  std::atomic<int> AudioStream{-1};
  AVStream* AudioSt = nullptr;
  TPacketQueue AudioQueue;
  AVCodecContext* AudioDecoder = nullptr;
  uint32_t AudioDevice = 0;
  int AudioChannels = 0, AudioFreq = 0;
  AVChannelLayout AudioLayout{};
  int AudioHwBufSize = 0;
  std::vector<uint8_t> AudioBuf;                   // the chunk being played
  std::atomic<int> AudioBufSize{0}, AudioBufIndex{0};
  std::atomic<bool> AudioBufSilence{false};  // the chunk is filler, not sound
  std::atomic<double> AudioClock{0};
  // Published at the end of each callback: the time of the last sample
  // handed to the device, and how much sound (not filler) that callback gave.
  std::atomic<double> AudioClockAtCallback{0};
  std::atomic<double> AudioHandedSeconds{0};
  SwrContext* AudioConvert = nullptr;
  // The input the converter was made for; a failed one is not retried.
  int AudioSrcFormat = -1, AudioSrcRate = 0;
  AVChannelLayout AudioSrcLayout{};
  bool AudioConvertFailed = false;
  AVPacket* AudioPkt = nullptr;
  AVFrame* AudioFrame = nullptr;

  // -- visual audio
  std::atomic<int> ShowMode{smOff};
  std::mutex SampleLock;  // guards the ring and its index
  std::vector<int16_t> SampleArray;
  int SampleArrayIndex = 0;
  int LastWaveStart = 0;  // play thread
  std::vector<uint8_t> WavePicture;

  // -- video
  std::atomic<int> VideoStream{-1};
  AVStream* VideoSt = nullptr;
  TPacketQueue VideoQueue;
  AVCodecContext* VideoDecoder = nullptr;
  AVPacket* VideoPkt = nullptr;
  int CodecWidth = 0, CodecHeight = 0;
  AVRational StreamSar{0, 1};
  double FrameDuration = 0.04;  // seconds per picture at the stream's rate
  // The picture queue and the frame timing, guarded by PictqLock.
  std::mutex PictqLock;
  std::condition_variable PictqCond;
  TQueuedPicture Pictq[PictureQueueSize];
  int PictqSize = 0, PictqRindex = 0, PictqWindex = 0;
  double FrameTimer = 0;
  double FrameLastPts = 0;
  double FrameLastDelay = 0;
  // The picture last shown (a reference), for redraws and snapshots.
  AVFrame* Shown = nullptr;
  double ShownPts = 0;
  int ShownWidth = 0, ShownHeight = 0;
  // -- end of PictqLock
  std::atomic<double> VideoClock{0};  // video thread: predicted time of the next picture
  std::atomic<double> VideoCurrentPts{0};
  std::atomic<double> VideoCurrentPtsDrift{0};
  std::atomic<int64_t> VideoCurrentPos{-1};
  std::atomic<float> SkipFrames{1.0f};
  float SkipFramesIndex = 0;  // video thread
  // Video thread: the filter graph and the timestamp guess.
  AVFilterGraph* Graph = nullptr;
  AVFilterContext* FilterSrc = nullptr;
  AVFilterContext* FilterOut = nullptr;
  int GraphWidth = 0, GraphHeight = 0, GraphFormat = -1;
  std::atomic<int> OutWidth{0}, OutHeight{0};  // the filter output's size, for the display
  int FaultyDts = 0, FaultyPts = 0;
  int64_t LastDtsForFault = INT64_MIN, LastPtsForFault = INT64_MIN;
  bool VideoDecoderDrained = false;
  bool VideoDecoderEofSent = false;
  std::atomic<bool> VideoThreadDone{false};
  // The display area, play thread.
  int DisplayWidth = 0, DisplayHeight = 0, DisplayLeft = 0, DisplayTop = 0;
  bool DisplayOpened = false;
  TDisplayRect LastRect{};

  // -- subtitles
  std::atomic<int> SubtitleStream{-1};
  AVStream* SubtitleSt = nullptr;
  TPacketQueue SubtitleQueue;
  AVCodecContext* SubtitleDecoder = nullptr;
  std::mutex SubpqLock;  // guards the subtitle queue and StreamChanged
  std::condition_variable SubpqCond;
  TQueuedSubtitle Subpq[SubpictureQueueSize];
  int SubpqSize = 0, SubpqRindex = 0, SubpqWindex = 0;
  bool SubtitleStreamChanged = false;

  // -- refresh
  std::atomic<bool> RefreshPending{false};

  // -- state flags
  std::atomic<bool> EofReported{false};
  std::atomic<bool> EndReported{false};
  std::atomic<bool> Drained{false};
  std::atomic<bool> InRead{false};
  std::atomic<int> OpenPausedCount{0};
  std::atomic<bool> SeekWhilePaused{false};
  std::atomic<bool> AfterSeek{false};
  std::atomic<bool> FlushSeen{false};
  // Makes "clear FlushSeen and reset the picture-queued event" one step
  // against the video thread's "signal when FlushSeen".
  std::mutex SeekLock;

 private:
  void ReadThreadMain();
  bool OpenInput();
  void ReadLoop(AVPacket* packet);
  void DoSeek(bool& eof);
  void ReadCleanup();
  int OpenComponent(int streamIndex);
  void CloseComponent(int streamIndex);
  void VideoThreadMain();
  int GetVideoFrame(AVFrame* frame);
  void FlushVideo();
  int ConfigureVideoFilters(const AVFrame* frame);
  void FreeGraph();
  int OutputPicture(AVFrame* frame, double pts, int64_t pos);
  int QueuePicture(AVFrame* frame, double pts, int64_t pos);
  double ComputeTargetTime(double pts);  // PictqLock held
  void SubtitleThreadMain();
  void RefreshThreadMain();
  void ReleasePictures();
  void FreeSubtitles();  // SubpqLock held
  void UpdateSubtitles();
  void BlendSubtitles(TQueuedPicture& vp, double pts);
  void ShowFrame(const AVFrame* frame, int width, int height, double pts);
  void DrawWaveform();
  int AudioDecodeFrame();
  int ConvertAudioFrame();
  void UpdateSampleArray(int bytes);
  static void AudioCallback(void* opaque, uint8_t* stream, int length);
  void FillAudio(uint8_t* stream, int length);
  // Sleeps up to ms, waking early when the playback is aborted.
  void Sleep(int ms);
  // The same for the read thread, which a seek request wakes too.
  void ReadSleep(int ms);

  TWorker readThread_, videoThread_, subtitleThread_, refreshThread_;
  TSignal abortSignal_;
  TSignal readWake_;
};

// Now on the library's wall clock, in seconds.
double PlayerNow();
