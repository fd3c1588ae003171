// Texts for library errors, times, media types and codecs; the generic option
// contexts; the decoded-picture-to-bitmap converter. All need the media
// libraries loaded unless said otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Bitmap.h"
#include "FFmpegLibs.h"

// prefix + ": " + the text of a library error code. Needs nothing loaded for
// the codes of the fixed table.
std::string FormatLibraryError(const std::string& prefix, int code);
// The text alone.
std::string LibraryErrorText(int code);

// "hh:mm:ss.mmm" of a time in microseconds (hours not wrapped); "N/A" for
// AV_NOPTS_VALUE. Needs nothing loaded.
std::string TimeToText(int64_t timeUs);
// "Video", "Audio", "Data", "Subtitle", "Attachment" or "Unknown".
std::string MediaTypeName(int type);
std::string MetadataValue(const AVDictionary* metadata, const std::string& key,
                          const std::string& defaultValue);
// The codec's name for showing: "short(long)" when the library knows it.
std::string CodecNameText(AVCodecID id, uint32_t codecTag, const char* ownName, bool forEncoder);
std::string CodecNameText(const AVCodecParameters* par, bool forEncoder);
std::string CodecNameText(const AVCodecContext* ctx, bool forEncoder);

// Reads a whole file into a library-allocated buffer with a 0 byte after the
// data; size counts that byte. 0, or -1 (cannot open), or -12 (no memory).
int ReadWholeFile(const std::string& name, uint8_t*& buffer, int64_t& size);

// Generic codec, format and scaler options of one conversion, collected
// before the real contexts exist and applied to them later.
struct TOptionContexts {
  std::vector<std::string> OptNames;  // names set so far, in order of setting
  int OptNameCount = 0;
  AVCodecContext* CodecOpts[AVMEDIA_TYPE_NB] = {};  // video, audio, data, subtitle, attachment
  AVFormatContext* FormatOpts = nullptr;
  SwsContext* ScalerOpts = nullptr;
};

void ClearOptionContexts(TOptionContexts& c);
void AllocOptionContexts(TOptionContexts& c, int scalerFlags);
void FreeOptionContexts(TOptionContexts& c);
// Sets a generic option where it belongs; false (and a library error line for
// a bad value) when no context has it or the value is refused.
enum class TSetOptionResult { Set, NotFound, Invalid };
bool SetDefaultOption(TOptionContexts& c, const std::string& name, const std::string& value,
                      TSetOptionResult* result = nullptr);
// Copies every recorded option that source has, with all of flags, to target
// (a codec, format or scaler context of the conversion).
void ApplyContextOptions(const TOptionContexts& c, void* target, void* source, int flags);
// The same into an option dictionary (for avcodec_open2 and friends).
void ApplyContextOptions(const TOptionContexts& c, AVDictionary** target, void* source, int flags);

// Decoded picture to a reused 24-bit bitmap.
struct TBitmapConverter {
  AVPixelFormat TargetFormat = AV_PIX_FMT_BGR24;
  int BitmapBits = 24;
  std::unique_ptr<TBitmap> Bitmap;
  uint8_t* Buffer = nullptr;
  int BufferSize = 0;
  uint8_t* WorkData[4] = {};
  int WorkLinesize[4] = {};
  // The rows last copied: the source itself or the work picture.
  const uint8_t* const* InUseData = nullptr;
  const int* InUseLinesize = nullptr;
  SwsContext* Scaler = nullptr;

  TBitmapConverter() = default;
  TBitmapConverter(const TBitmapConverter&) = delete;
  TBitmapConverter& operator=(const TBitmapConverter&) = delete;
  ~TBitmapConverter();
};

void ResetBitmapConverter(TBitmapConverter& b);
// False when no scaler context can be made (the bitmap has its new size but
// undefined content).
bool PictureToBitmap(TBitmapConverter& b, const uint8_t* const data[4], const int linesize[4],
                     AVPixelFormat pixelFormat, int width, int height);

// The hook's conversions of a picture (its top-left width x height) into a
// bitmap of that size and back. BGR pictures are copied, 8-bit 4:2:0 ones
// take the fast converter with their own matrix and range where the
// processor has SIMD, anything else a scaler cached in *scaler. False when
// that scaler cannot be made.
bool HookPictureToBitmap(const AVFrame* picture, int width, int height, TBitmap& bitmap, SwsContext** scaler);
bool HookBitmapToPicture(const TBitmap& bitmap, int width, int height, AVFrame* picture, SwsContext** scaler);
