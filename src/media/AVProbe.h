// Opens a media file (or adopts a format context another component opened)
// and describes it: file facts and tags, its streams, and a text description.
// Used from the main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FFBaseComponent.h"
#include "FFmpegLibs.h"
#include "MyUtils.h"

struct TFileStreamInfo {
  int64_t StartTime = -1;  // microseconds
  int64_t Duration = -1;   // microseconds
  int BitRate = -1;        // bits per second
  int64_t TimeStamp = -1;  // creation time, seconds since 1970
  int Year = -1;
  int Track = -1;
  std::string Title, Author, Copyright, Comment, Album, Genre;
};

struct TAudioStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;    // stream time base
  int64_t StartTimeUS = -1;  // microseconds
  int64_t Duration = -1;
  int64_t DurationUS = -1;
  int BitRate = -1;
  int Channels = -1;
  int SampleRate = -1;
  int SampleFormat = -1;
};

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StartTime = -1;
  int64_t StartTimeUS = -1;
  int64_t Duration = -1;
  int64_t DurationUS = -1;
  int BitRate = -1;
  int Height = -1;
  int Width = -1;
  float DisplayAspectRatio = -1.0f;
  int PixelFormat = -1;
  int FrameRateNum = -1;
  int FrameRateDen = -1;
};

class TCustomAVProbe : public TFFBaseComponent {
 public:
  TCustomAVProbe();
  ~TCustomAVProbe() override;
  TCustomAVProbe(const TCustomAVProbe&) = delete;
  TCustomAVProbe& operator=(const TCustomAVProbe&) = delete;

  // Throws FFmpegException when the libraries are not loaded.
  bool LoadFile(const TPathFileName& fileName, const std::string& formatName = "");
  // Adopts a context opened elsewhere; the probe never closes it.
  virtual void AttachContext(AVFormatContext* context);
  virtual void CloseFile();

  void GetFileStreamInfo(TFileStreamInfo& info);
  void GetAudioStreamInfo(int index, TAudioStreamInfo& info);
  void GetVideoStreamInfo(int index, TVideoStreamInfo& info);
  bool IsAudioStream(int index);
  bool IsVideoStream(int index);
  TPathFileName GetFileName() const;
  std::string GetFormatName() const;
  std::string GetInfoText();

  AVFormatContext* FormatContext() const { return context_; }
  bool Owned() const { return owned_; }
  const std::string& LastErrMsg() const { return lastErrMsg_; }
  int64_t FileSize() const { return fileSize_; }
  int StreamCount() const { return streamCount_; }
  int ProgramCount() const { return programCount_; }
  int AudioStreamCount() const { return audioCount_; }
  int VideoStreamCount() const { return videoCount_; }
  int SubtitleStreamCount() const { return subtitleCount_; }
  int FirstAudioStream() const { return firstAudio_; }
  int FirstVideoStream() const { return firstVideo_; }
  int FirstSubtitleStream() const { return firstSubtitle_; }

 protected:
  virtual void AnalyzeStreams();
  void ReportError(int libLevel, const std::string& text);

 private:
  void CheckLibraries() const;
  bool RequireFile();
  bool IsStreamOfType(int index, AVMediaType type);
  // The stream at index of the wanted kind, or nullptr after reporting why not.
  AVStream* StreamFor(int index, AVMediaType type);
  std::string StreamLine(int index);
  void MetadataBlock(std::vector<std::string>& lines, const AVDictionary* metadata,
                     const std::string& indent) const;

  AVFormatContext* context_ = nullptr;
  bool owned_ = false;
  std::string formatName_;
  std::string lastErrMsg_;
  int64_t fileSize_ = -1;
  int streamCount_ = -1, programCount_ = -1;
  int audioCount_ = -1, videoCount_ = -1, subtitleCount_ = -1;
  int firstAudio_ = -1, firstVideo_ = -1, firstSubtitle_ = -1;
};

class TAVProbe : public TCustomAVProbe {};

// Metadata keys of old tag formats shown under their common names.
std::string TranslateMetadataKey(const std::string& key);
// ", 25 fps", ", 29.97 fps", ", 90k tbn".
std::string RateText(double value, const char* unit);
