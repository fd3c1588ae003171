// One conversion task: a command-line style transcoder's complete settings
// (option table and parser), its input and output set-up, the transcoding
// loop with progress reports, and the run control the engine drives.
//
// Threads: configuration (ApplyOption, OpenInputFile, OpenOutputFile) runs in
// the thread that calls the engine's AddTask/SetOutputFile; the conversion
// body runs on the task's worker thread (or in StartTask's caller when not
// threaded). StopRequested and the pause flag are set from the main thread.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AVProbe.h"
#include "EngineTypes.h"
#include "FFBaseComponent.h"
#include "FFUtils.h"
#include "FFmpegException.h"
#include "FFmpegLibs.h"
#include "FFmpegLogger.h"
#include "FrameHook.h"
#include "PacketQueue.h"
#include "Previewer.h"

constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;
constexpr int MAX_STREAM_MAPS = 400;

class TCustomFFmpeg;

// Callbacks from a task to the engine; empty = not reported.
struct TTaskCallbacks {
  std::function<void(TCustomFFmpeg*, TBitmap*, bool* stopHook, bool* update, int64_t pts, int frameNumber)>
      hook;
  std::function<void(TCustomFFmpeg*, const TBitmap*, int64_t pts, int frameNumber)> preview;
  std::function<void(TCustomFFmpeg*, int fileIndex, int64_t totalDuration, int64_t currentDuration,
                     int64_t currentSize, float bitRate, float quality, int fps, int frameNumber)>
      progress;
  // nullptr as the task: the final notice of a run.
  std::function<void(TCustomFFmpeg*)> terminate;
};

struct TStreamMap {
  int FileIndex = 0, StreamIndex = 0, SyncFileIndex = 0, SyncStreamIndex = 0;
};

// The transcoder's settings and their defaults; ResetOptions restores them.
struct TTranscoderSettings {
  // general
  int Verbosity = 1;
  int ThreadCount = 0;  // codec threads; 0 = automatic
  bool ExitOnError = false;
  std::string FormatName;  // consumed by the next input or output
  int64_t LimitFileSize = 0;
  int MaxFrames[4] = {INT_MAX, INT_MAX, INT_MAX, INT_MAX};  // video, audio, data, subtitle
  int64_t RecordingTime = INT64_MAX;                         // none
  int64_t StartTime = 0;
  int64_t RecordingTimestamp = 0;  // seconds
  int64_t InputTsOffset = 0;
  double InputTsScale[MAX_STREAMS] = {};
  // timing
  int VideoSyncMethod = -1;
  int AudioSyncMethod = 0;
  double AudioDriftThreshold = 0.1;
  double DtsDeltaThreshold = 10.0;
  bool CopyTs = false;
  bool InputSync = false;
  bool Shortest = false;
  bool RateEmu = false;
  double MuxPreload = 0.5;
  double MuxMaxDelay = 0.7;
  // input
  bool LoopInput = false;
  int ProgramId = 0;
  int VideoChannel = 0;
  std::string VideoStandard;
  // output
  int LoopOutput = -1;
  std::vector<TStreamMap> StreamMaps;
  std::vector<std::pair<int, int>> MetaDataMaps;  // output file, input file
  int StreamIdMap[MAX_STREAMS] = {};
  std::vector<std::pair<std::string, std::string>> Metadata;
  int CopyInitialNonKeyframes = 0;
  // video
  int FrameWidth = 0, FrameHeight = 0;
  double FrameAspectRatio = 0;
  AVPixelFormat FramePixFmt = AV_PIX_FMT_NONE;
  AVRational FrameRate = {0, 0};
  int FrameTopBand = 0, FrameBottomBand = 0, FrameLeftBand = 0, FrameRightBand = 0;
  double VideoQscale = 0;
  std::vector<uint16_t> IntraMatrix, InterMatrix;
  std::string RcOverride;
  bool VideoDisable = false;
  int VideoDiscard = 0;
  std::string VideoCodecName;
  bool VideoStreamCopy = false;
  uint32_t VideoCodecTag = 0;
  std::string VideoLanguage;
  bool SameQuality = false;
  bool DoDeinterlace = false;
  int TopFieldFirst = -1;
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  std::string VFilters;
  bool IntraOnly = false;
  int VideoGlobalHeader = 0;
  bool ForceFps = false;
  bool QpHist = false;
  bool DoPsnr = false;
  int DoPass = 0;
  std::string PassLogFilename;
  std::string VStatsFilename;
  // audio
  int AudioSampleRate = 44100;
  int AudioChannels = 2;
  uint64_t AudioChannelLayout = 0;
  AVSampleFormat AudioSampleFmt = AV_SAMPLE_FMT_NONE;
  double AudioQscale = -99999;
  bool AudioDisable = false;
  std::string AudioCodecName;
  bool AudioStreamCopy = false;
  uint32_t AudioCodecTag = 0;
  std::string AudioLanguage;
  int AudioVolume = 256;
  // subtitle
  bool SubtitleDisable = false;
  std::string SubtitleCodecName;
  bool SubtitleStreamCopy = false;
  uint32_t SubtitleCodecTag = 0;
  std::string SubtitleLanguage;
  // scaler
  int SwsFlags = SWS_BICUBIC;
  // dump
  bool DoPktDump = false, DoHexDump = false;
  bool UsingPgmYuv = false;
  // Pending bitstream filter names per kind: video, audio, subtitle.
  std::vector<std::string> PendingBsfs[3];
  // Encoder-private options (from presets) for the next stream of a kind.
  std::vector<std::pair<std::string, std::string>> PrivateOptions[3];
  // Muxer-private options ("movflags", "muxrate") for the next output.
  std::vector<std::pair<std::string, std::string>> FormatPrivateOptions;
  // Name of the output being configured, to find its muxer's options.
  std::string PendingOutputName;
};

struct TInputFile {
  AVFormatContext* Ctx = nullptr;
  int64_t TsOffset = 0;
  double TsScale[MAX_STREAMS] = {};
  bool EofReached = false;
  int FirstStreamIndex = 0;
  int StreamCount = 0;
};

struct TInputStreamState {
  int FileIndex = 0;
  int StreamIndex = 0;
  AVStream* Stream = nullptr;
  AVCodecContext* Dec = nullptr;        // made at open, opened when decoding is needed
  const AVCodec* DecoderByName = nullptr;
  bool NotMapped = true;
  bool DecodingNeeded = false;
  int64_t RateEmuStart = 0;
  int64_t NextPts = AV_NOPTS_VALUE;
  int64_t Pts = 0;
  bool IsStart = true;
  bool ShowedMultiPacketWarning = false;
  bool PastRecordingTime = false;
  bool Flushed = false;
  float Quality = 0;
  AVFrame* Frame = nullptr;
};

struct TOutputFile {
  AVFormatContext* Ctx = nullptr;
  bool HeaderWritten = false;
  std::string FileName;
  AVDictionary* MuxerOptions = nullptr;  // the muxer's own options, for its header
};

struct TOutputStreamState {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SourceIndex = -1;
  AVStream* Stream = nullptr;
  AVCodecContext* Enc = nullptr;
  const AVCodec* Encoder = nullptr;  // chosen by name or guessed at creation
  bool StreamCopy = false;
  bool EncodingNeeded = false;
  bool EncoderOpened = false;
  int FrameNumber = 0;
  int SyncIndex = -1;      // input stream whose clock drives this one
  int64_t SyncOpts = 0;    // frames (video) or samples (audio)
  int64_t LastMuxEnd = AV_NOPTS_VALUE;  // end of the last written packet, stream time base
  std::vector<std::string> BsfNames;
  std::vector<AVBSFContext*> Bsfs;
  std::vector<std::pair<std::string, std::string>> PrivateOptions;
  // video
  bool VideoCrop = false;
  int TopBand = 0, BottomBand = 0, LeftBand = 0, RightBand = 0;
  AVFilterGraph* Graph = nullptr;
  AVFilterContext* BufferSrc = nullptr;
  AVFilterContext* BufferSink = nullptr;
  int GraphWidth = 0, GraphHeight = 0, GraphPixFmt = -1;  // input geometry the graph was built for
  AVFrame* Filtered = nullptr;
  int LastFrameSize = 0;
  float LastQuality = -1;
  char LastPictType = '?';
  // audio
  SwrContext* Resampler = nullptr;
  bool AudioStarted = false;  // a first chunk has been queued
  AVAudioFifo* Fifo = nullptr;
  AVFrame* AudioFrame = nullptr;
  AVFrame* Converted = nullptr;  // resampler output, grown and reused
  // two-pass
  FILE* LogFile = nullptr;
  bool Active = true;
};

enum TPreviewFlag : uint8_t { pfPreviewWindow = 1, pfPreviewBitmap = 2 };

class TCustomFFmpeg : public TFFBaseComponent {
 public:
  TCustomFFmpeg();
  ~TCustomFFmpeg() override;
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // ---- configuration (caller's thread)
  void ResetOptions();
  void SetVerbosity(int v) { S.Verbosity = v; }
  void SetPreviewFlags(uint8_t flags);
  uint8_t PreviewFlags() const { return previewFlags_.load(); }
  // Throws FFmpegException on a refused value.
  void ApplyOption(const std::string& name, const std::string& value);
  void ApplyOptionLines(const std::string& text, bool forInput);
  void ApplyInputRecord(const TInputOptions& o);
  // The record before OpenOutputFile, and its new-stream lines after it.
  void ApplyOutputRecord(const TOutputOptions& o);
  void ApplyNewStreamLines(const TOutputOptions& o);
  bool OpenInputFile(const TPathFileName& fileName);
  int OpenOutputFile(const TPathFileName& fileName, bool join);
  int InputCount() const { return static_cast<int>(inputFiles_.size()); }
  int OutputCount() const { return static_cast<int>(outputFiles_.size()); }
  AVFormatContext* InputContext(int i) const { return inputFiles_[i].Ctx; }
  AVFormatContext* OutputContext(int i) const { return outputFiles_[i].Ctx; }
  const std::string& LastErrMsg() const { return lastErrMsg_; }
  const TTranscoderSettings& Settings() const { return S; }

  // ---- run control (main thread)
  // Runs the body here (inThread false) or on a new worker thread.
  void Start(bool inThread, TThreadPriority priority);
  void Stop(bool wait);
  void Pause();
  void Resume();
  void WaitForThread();

  TTaskCallbacks Callbacks;
  const int MaxFiles = MAX_FILES;
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> TerminateNotified{false};
  std::atomic<bool> ExceptionRaised{false};
  std::string ExceptionMsg;  // written by the worker before its notice
  bool JoinMode = false;
  int64_t ProgressIntervalUs = 500000;
  int64_t PreviewIntervalUs = 100000;
  int64_t TotalDuration = -1;
  int HookFrameCount = 0;
  bool CustomHookEnabled = false;
  // Plug-ins loaded by "vhook" options, in their order.
  TFrameHookList FrameHooks;
  bool UseFrameHooks = false;

  // ---- the pieces the engine's tests and later features reach
  int FramesDup() const { return framesDup_; }
  int FramesDrop() const { return framesDrop_; }
  const std::vector<TOutputStreamState>& OutputStreams() const { return ost_; }
  // Filter description built for an output stream (for tests and logs).
  const std::string& LastFilterDescription() const { return lastFilterDescription_; }

 protected:
  // Every decoded picture: deinterlace and the frame hooks. Returns the
  // picture the rest of the video path uses (the decoded one or the task's
  // hook picture).
  AVFrame* PreProcessVideoFrame(TInputStreamState& ist, AVFrame* frame);
  // Called before the inputs are closed, for whatever reads them too.
  virtual void DetachInputs() {}

 private:
  friend class TCustomConvertEngine;
  // options
  void ApplyPreset(char kind, const std::string& name);
  void ApplyTarget(const std::string& type, const std::string& norm, const std::string& defaultNorm);
  void SetGenericOption(const std::string& name, const std::string& value, bool warnLowBitrate = false);
  void NewStreamOption(AVMediaType type);
  void AddBitstreamFilter(int kind, const std::string& value);
  const AVCodec* FindCodec(const std::string& name, AVMediaType type, bool encoder, int strictness);
  // The encoder named, else the output format's choice for the file name.
  const AVCodec* ChooseEncoder(const std::string& name, AVMediaType type, AVFormatContext* oc);
  // set-up
  void NewVideoStream(int fileIndex);
  void NewAudioStream(int fileIndex);
  void NewSubtitleStream(int fileIndex);
  TOutputStreamState& NewOutputStream(int fileIndex, AVMediaType type);
  // run
  void ConversionBody();
  void Transcode();
  void PrepareStreams();
  void SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist);
  void SetUpEncoding(TOutputStreamState& ost, TInputStreamState& ist);
  void ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist, const AVFrame* frame);
  void OpenEncoder(TOutputStreamState& ost, int index);
  int OutputPacket(int istIndex, AVPacket* pkt);
  void HandleDecodedVideo(int istIndex, AVFrame* frame);
  void HandleDecodedAudio(int istIndex, AVFrame* frame);
  void HandleSubtitle(int istIndex, AVSubtitle* sub, int64_t pktPts);
  void CopyPacket(TOutputStreamState& ost, TInputStreamState& ist, const AVPacket* pkt);
  void DoVideoOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame, int64_t ptsUs);
  void DoAudioOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame);
  void EncodeAudioFrames(TOutputStreamState& ost, bool flush);
  void DoSubtitleOut(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle* sub, int64_t pts);
  void EncodeFrame(TOutputStreamState& ost, AVFrame* frame);
  void WriteFrame(TOutputStreamState& ost, AVPacket* pkt);
  void WriteInterleaved(TOutputStreamState& ost, AVPacket* pkt);
  void FlushEncoders();
  void PrintReport(bool last, int fileIndex);
  void WriteVideoStats(TOutputStreamState& ost, int frameSize);
  double SyncTime(const TOutputStreamState& ost) const;
  void WaitWhilePaused();
  void CloseCodecs();
  void ReleaseSetup();
  void FreeStreamTables();
  void RaiseOrLog(const std::string& message);
  // Returns the picture to go on with: the painted copy, or source itself.
  AVFrame* RunCustomHook(AVFrame* source, int width, int height, AVPixelFormat format, int64_t pts);
  // The task's own picture at that size and format, safe to overwrite.
  AVFrame* WritableHookFrame(int width, int height, AVPixelFormat format);
  void MakePreview(const AVFrame* picture, const AVCodecContext* enc, int64_t ptsUs);
  void ReleaseHooks();

  void Log(TLogLevel level, const std::string& text);

  TTranscoderSettings S;
  TOptionContexts opts_{};
  bool optsAllocated_ = false;
  std::string lastErrMsg_;
  std::atomic<uint8_t> previewFlags_{0};

  std::vector<TInputFile> inputFiles_;
  std::vector<const AVCodec*> inputDecoderNames_[3];  // unused slot keeps order
  std::vector<TOutputFile> outputFiles_;
  std::vector<TInputStreamState> ist_;
  std::vector<TOutputStreamState> ost_;
  bool usingFilters_ = false;
  std::string lastFilterDescription_;

  // run
  int64_t videoSize_ = 0, audioSize_ = 0, extraSize_ = 0;
  int framesDup_ = 0, framesDrop_ = 0;
  bool dupDropChanged_ = false;
  int64_t timerStart_ = 0, lastReportTime_ = 0;
  bool noPacket_[MAX_FILES] = {};
  int noPacketCount_ = 0;
  AVPacket* pkt_ = nullptr;
  AVPacket* encPkt_ = nullptr;
  FILE* vstatsFile_ = nullptr;
  std::vector<uint8_t> subtitleBuffer_;  // encoded subtitles, made on first use

  // hooks and preview (worker thread while running)
  AVFrame* hookFrame_ = nullptr;  // the picture the hooks paint on
  TBitmapConverter hookConverter_;        // its Bitmap and Scaler (picture to bitmap)
  SwsContext* hookBackScaler_ = nullptr;  // bitmap back to the picture's format
  bool hookStopped_ = false;
  TBitmapConverter previewConverter_;
  std::unique_ptr<TPreviewer> previewer_;
  int64_t lastPreviewTime_ = 0, previewTime_ = 0;

  // pause
  std::mutex pauseLock_;
  std::condition_variable pauseCv_;
  bool paused_ = false;  // guarded by pauseLock_

  // worker
  std::thread thread_;
  std::thread noticeThread_;  // delivers the notice of a task stopped before it ran
  TSignal noticeDelivered_{true};  // reset while that notice is on its way
  TSignal bodyFinished_{true};     // set while no conversion body runs
};

// A task with a probe and a private copy of the option records per slot.
class TFFmpeg : public TCustomFFmpeg {
 protected:
  void DetachInputs() override;

 public:
  std::unique_ptr<TAVProbe> InputProbes[MAX_FILES];
  std::unique_ptr<TInputOptions> InputOptions[MAX_FILES];
  std::unique_ptr<TOutputOptions> OutputOptions[MAX_FILES];
  ~TFFmpeg() override;
};

// The built-in encoder presets: name and option lines.
struct TOptionsPreset {
  const char* Name;
  const char* Options;
};
extern const TOptionsPreset OptionsPresets[40];

// Scales decoded samples by volume / 256 (256 = unchanged), clipping to the
// sample format's range.
void ApplyVolume(AVFrame* frame, int volume);

// Seconds since 1970 (UTC) of a local date-time in days since 1899-12-30,
// with the zone's standard offset.
int64_t LocalDateTimeToUnix(double days);
