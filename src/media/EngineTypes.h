// Records and events at the conversion engine's boundary. Times are signed
// 64-bit microseconds; AV_NOPTS_VALUE marks a time that is not set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Bitmap.h"
#include "MyUtils.h"

class TCustomConvertEngine;

// Container metadata of an output file.
struct TStreamInfo {
  double Timestamp = -1;  // creation time, local days since 1899-12-30: 0 = now, < 0 = none
  int Year = -1;
  int Track = -1;
  std::string Title, Author, Rights, Comment, Album, Genre;
};

struct TInputOptions {
  TPathFileName FileName;
  std::string FileFormat;            // forced input format; empty = detect
  int64_t StartTime;                 // seek before reading; AV_NOPTS_VALUE = none
  int ProgramID = -1;                // below 0 = none
  std::string ExtOptions;            // name=value lines
  TInputOptions();
};

struct TOutputOptions {
  TPathFileName FileName;
  std::string FileFormat;
  int PacketSize = -1;
  int MuxRate = -1;
  float MuxMaxDelay = -1.0f;
  float MuxPreload = -1.0f;
  std::string AudioCodec;
  std::string AudioPreset;
  bool DisableAudio = false;
  int AudioVolume = -1;  // 256 = unchanged
  int AudioChannels = -1;
  int AudioSampleRate = -1;
  int AudioBitrate = -1;  // bits/s
  int AudioBitrateTolerance = -1;
  std::string AudioLanguage;
  int AudioSyncMethod = 0;
  std::string AudioTag;
  std::string VideoCodec;
  std::string VideoPreset;
  bool DisableVideo = false;
  std::string FrameRate;
  std::string FrameSize;
  std::string AspectRatio;
  int CropTop = -1, CropBottom = -1, CropLeft = -1, CropRight = -1;
  int GOPSize = -1;
  int VideoBitrate = -1;
  int VideoMaxRate = -1;
  int VideoMinRate = -1;
  int VideoBitrateTolerance = -1;
  int VideoBufSize = -1;
  int VideoSyncMethod = -1;
  std::string VideoTag;
  std::string VideoFilters;
  std::string VideoLanguage;
  std::string SubtitleCodec;
  std::string SubtitlePreset;
  bool DisableSubtitle = false;
  std::string SubtitleLanguage;
  bool InputSync = false;
  bool CopyTimestamps = false;
  int64_t StartTime;      // AV_NOPTS_VALUE = none
  int64_t RecordingTime;  // AV_NOPTS_VALUE = none
  TStreamInfo Metadata;
  int Target = 0;             // 0 none, 1 vcd, 2 svcd, 3 dvd
  int TargetNorm = 0;         // 0 auto, 1 pal, 2 ntsc
  int TargetDefaultNorm = 1;  // 1 pal, else ntsc
  bool CustomHook = false;
  bool Join = false;
  std::string ExtOptions;
  TOutputOptions();
};

void InitInputOptions(TInputOptions& o);
void InitOutputOptions(TOutputOptions& o);

struct THookInfo {
  int TaskIndex = -1;
  TBitmap* Bitmap = nullptr;
  int FrameNumber = 0;
  int64_t PTS = 0;
  bool Update = true;     // out: write the bitmap back into the picture
  bool StopHook = false;  // out: no more calls for this task
};
using PHookInfo = THookInfo*;

struct TPreviewInfo {
  int TaskIndex = -1;
  const TBitmap* Bitmap = nullptr;  // valid only during the event
  int FrameNumber = 0;
  int64_t PTS = 0;
};

struct TProgressInfo {
  int TaskIndex = -1;
  int FileIndex = -1;
  int FrameNumber = -1;
  int FPS = -1;
  float Quality = -1.0f;
  float BitRate = 0.0f;  // kbit/s
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0;
  int64_t TotalDuration = -1;
};
using PProgressInfo = TProgressInfo*;

struct TTerminateInfo {
  int TaskIndex = -1;  // -1: the final notice of a run
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

// OnCustomHook: on the task's worker thread; must be quick and thread-safe.
using TCustomHookEvent = std::function<void(TCustomConvertEngine* Sender, PHookInfo AHookInfo)>;
// OnPreviewBitmap, OnProgress: in the main thread when TriggerEventInMainThread
// (the worker waits), else on the worker thread.
using TPreviewBitmapEvent =
    std::function<void(TCustomConvertEngine* Sender, const TPreviewInfo& APreviewInfo)>;
using TProgressEvent = std::function<void(TCustomConvertEngine* Sender, PProgressInfo AProgressInfo)>;
// OnTerminate: threaded runs call it on a short-lived thread of its own (never
// the main thread); synchronous runs in the thread that called StartTask.
using TTerminateEvent =
    std::function<void(TCustomConvertEngine* Sender, const TTerminateInfo& ATerminateInfo)>;

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
