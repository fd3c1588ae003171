#include "FFUtils.h"

#include <cerrno>
#include <cinttypes>

#include "ColorConvert.h"
#include "FFmpegLogger.h"
#include "MyUtils.h"

namespace {

std::string Trim(const char* text) { return text ? TrimText(text) : std::string(); }

}  // namespace

std::string LibraryErrorText(int code) {
  // The meanings callers show to users keep their familiar wording.
  struct Known {
    int code;
    const char* text;
  };
  static const Known kKnown[] = {
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(EIO), "I/O error"},
      {AVERROR(ENOMEM), "Not enough memory"},
      {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
      {AVERROR_EOF, "End of file"},
      {AVERROR(EDOM), "Number syntax expected in filename"},
      {AVERROR(EILSEQ), "Unknown format"},
      {AVERROR_DEMUXER_NOT_FOUND, "Unknown format"},
      {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
      {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"},
  };
  for (const Known& k : kKnown)
    if (k.code == code) return k.text;
  if (lavu.av_strerror) {
    char buf[AV_ERROR_MAX_STRING_SIZE * 2] = {};
    if (lavu.av_strerror(code, buf, sizeof buf) == 0) return buf;
  }
  return Format("Error number %d occurred", code);
}

std::string FormatLibraryError(const std::string& prefix, int code) {
  return prefix + ": " + LibraryErrorText(code);
}

std::string TimeToText(int64_t t) {
  if (t == AV_NOPTS_VALUE) return "N/A";
  int64_t secs = t / 1000000;
  int64_t hours = secs / 60 / 60;
  int64_t minutes = (secs / 60) % 60;
  int64_t seconds = secs % 60;
  int64_t ms = (t % 1000000) * 1000 / 1000000;
  return Format("%.2" PRId64 ":%.2" PRId64 ":%.2" PRId64 ".%.3" PRId64, hours, minutes, seconds,
                ms);
}

std::string MediaTypeName(int type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "Video";
    case AVMEDIA_TYPE_AUDIO: return "Audio";
    case AVMEDIA_TYPE_DATA: return "Data";
    case AVMEDIA_TYPE_SUBTITLE: return "Subtitle";
    case AVMEDIA_TYPE_ATTACHMENT: return "Attachment";
    default: return "Unknown";
  }
}

std::string MetadataValue(const AVDictionary* metadata, const std::string& key,
                          const std::string& defaultValue) {
  if (!metadata || !lavu.av_dict_get) return defaultValue;
  const AVDictionaryEntry* e = lavu.av_dict_get(metadata, key.c_str(), nullptr, 0);
  return e && e->value ? e->value : defaultValue;
}

std::string CodecNameText(AVCodecID id, uint32_t tag, const char* ownName, bool forEncoder) {
  const AVCodec* codec = forEncoder ? lavc.avcodec_find_encoder(id) : lavc.avcodec_find_decoder(id);
  if (codec) {
    std::string longName = Trim(codec->long_name);
    if (longName.empty()) return codec->name;
    return Format("%s(%s)", codec->name, longName.c_str());
  }
  if (id == AV_CODEC_ID_MPEG2TS) return "mpeg2ts";
  std::string own = Trim(ownName);
  if (!own.empty()) return own;
  char c[4];
  bool printable = true;
  for (int i = 0; i < 4; ++i) {
    c[i] = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (static_cast<unsigned char>(c[i]) < 32 || static_cast<unsigned char>(c[i]) > 126)
      printable = false;
  }
  if (printable) return Format("%c%c%c%c / 0x%04X", c[0], c[1], c[2], c[3], tag);
  return Format("0x%04x", tag);
}

std::string CodecNameText(const AVCodecParameters* par, bool forEncoder) {
  // Parameters carry no name of their own; the descriptor's serves.
  const AVCodecDescriptor* d = lavc.avcodec_descriptor_get(par->codec_id);
  return CodecNameText(par->codec_id, par->codec_tag, d ? d->name : nullptr, forEncoder);
}

std::string CodecNameText(const AVCodecContext* ctx, bool forEncoder) {
  return CodecNameText(ctx->codec_id, ctx->codec_tag, ctx->codec ? ctx->codec->name : nullptr,
                       forEncoder);
}

int ReadWholeFile(const std::string& name, uint8_t*& buffer, int64_t& size) {
  buffer = nullptr;
  size = 0;
  FILE* f = crt.fopen(name.c_str(), "rb");
  if (!f) return -1;
  crt.fseek(f, 0, SEEK_END);
  long length = crt.ftell(f);
  crt.fseek(f, 0, SEEK_SET);
  if (length < 0) {
    crt.fclose(f);
    return -1;
  }
  buffer = static_cast<uint8_t*>(lavu.av_malloc(static_cast<size_t>(length) + 1));
  if (!buffer) {
    crt.fclose(f);
    return AVERROR(ENOMEM);
  }
  size_t got = crt.fread(buffer, 1, static_cast<size_t>(length), f);
  crt.fclose(f);
  buffer[got] = 0;
  size = static_cast<int64_t>(got) + 1;
  return 0;
}

// ---- generic option contexts

void ClearOptionContexts(TOptionContexts& c) {
  c.OptNames.clear();
  c.OptNameCount = 0;
  for (auto& ctx : c.CodecOpts) ctx = nullptr;
  c.FormatOpts = nullptr;
  c.ScalerOpts = nullptr;
}

void AllocOptionContexts(TOptionContexts& c, int scalerFlags) {
  for (int type = 0; type < AVMEDIA_TYPE_NB; ++type) {
    c.CodecOpts[type] = lavc.avcodec_alloc_context3(nullptr);
    if (c.CodecOpts[type]) c.CodecOpts[type]->codec_type = static_cast<AVMediaType>(type);
  }
  c.FormatOpts = lavf.avformat_alloc_context();
  c.ScalerOpts = sws.sws_getContext(16, 16, static_cast<AVPixelFormat>(0), 16, 16,
                                    static_cast<AVPixelFormat>(0), scalerFlags, nullptr, nullptr,
                                    nullptr);
}

void FreeOptionContexts(TOptionContexts& c) {
  for (auto& ctx : c.CodecOpts)
    if (ctx) lavc.avcodec_free_context(&ctx);
  if (c.FormatOpts) {
    lavf.avformat_free_context(c.FormatOpts);
    c.FormatOpts = nullptr;
  }
  if (c.ScalerOpts) {
    sws.sws_freeContext(c.ScalerOpts);
    c.ScalerOpts = nullptr;
  }
  c.OptNames.clear();
  c.OptNameCount = 0;
}

bool SetDefaultOption(TOptionContexts& c, const std::string& rawName, const std::string& rawValue,
                      TSetOptionResult* outcome) {
  const std::string name = Trim(rawName.c_str());
  const std::string value = Trim(rawValue.c_str());
  if (outcome) *outcome = TSetOptionResult::NotFound;
  if (name.empty() || value.empty()) return false;

  // Masks per media type: video, audio, data, subtitle, attachment.
  static const int kTypeMask[AVMEDIA_TYPE_NB] = {AV_OPT_FLAG_VIDEO_PARAM, AV_OPT_FLAG_AUDIO_PARAM,
                                                 0, AV_OPT_FLAG_SUBTITLE_PARAM, 0};
  const AVOption* found = nullptr;
  int result = 0;
  for (int type = 0; type < AVMEDIA_TYPE_NB && result >= 0; ++type) {
    if (!c.CodecOpts[type]) continue;
    const AVOption* o = lavu.av_opt_find(c.CodecOpts[type], name.c_str(), nullptr, kTypeMask[type], 0);
    if (!o) continue;
    found = o;
    result = lavu.av_opt_set(c.CodecOpts[type], name.c_str(), value.c_str(), 0);
  }
  if (!found) {
    for (void* ctx : {static_cast<void*>(c.FormatOpts), static_cast<void*>(c.ScalerOpts)}) {
      if (!ctx) continue;
      if (const AVOption* o = lavu.av_opt_find(ctx, name.c_str(), nullptr, 0, 0)) {
        found = o;
        result = lavu.av_opt_set(ctx, name.c_str(), value.c_str(), 0);
        break;
      }
    }
  }
  if (!found && name.size() > 1) {
    // "ab", "vb", "sfoo": the option of that one media type.
    int type = -1;
    if (name[0] == 'a') type = AVMEDIA_TYPE_AUDIO;
    if (name[0] == 'v') type = AVMEDIA_TYPE_VIDEO;
    if (name[0] == 's') type = AVMEDIA_TYPE_SUBTITLE;
    if (type >= 0 && c.CodecOpts[type]) {
      const std::string rest = name.substr(1);
      if (const AVOption* o = lavu.av_opt_find(c.CodecOpts[type], rest.c_str(), nullptr, 0, 0)) {
        found = o;
        result = lavu.av_opt_set(c.CodecOpts[type], rest.c_str(), value.c_str(), 0);
      }
    }
  }
  if (found && result < 0) {
    lavu.av_log(nullptr, AV_LOG_ERROR, "Invalid value \"%s\" for option \"%s\"\n", value.c_str(),
                name.c_str());
    if (outcome) *outcome = TSetOptionResult::Invalid;
    return false;
  }
  if (!found) return false;
  if (outcome) *outcome = TSetOptionResult::Set;
  c.OptNames.emplace_back(found->name);
  c.OptNameCount = static_cast<int>(c.OptNames.size());
  if ((c.CodecOpts[AVMEDIA_TYPE_VIDEO] && c.CodecOpts[AVMEDIA_TYPE_VIDEO]->debug) ||
      (c.FormatOpts && c.FormatOpts->debug))
    FFLogger().SetLogLevel(llDebug);
  return true;
}

namespace {
template <typename Store>
void ForEachContextOption(const TOptionContexts& c, void* source, int flags, Store store) {
  if (!source) return;
  for (const std::string& name : c.OptNames) {
    const AVOption* o = lavu.av_opt_find(source, name.c_str(), nullptr, flags, 0);
    if (!o) continue;
    uint8_t* text = nullptr;
    if (lavu.av_opt_get(source, name.c_str(), 0, &text) >= 0 && text) {
      store(name, reinterpret_cast<const char*>(text));
    }
    lavu.av_free(text);
  }
}
}  // namespace

void ApplyContextOptions(const TOptionContexts& c, void* target, void* source, int flags) {
  if (!target) return;
  ForEachContextOption(c, source, flags, [&](const std::string& name, const char* text) {
    lavu.av_opt_set(target, name.c_str(), text, 0);
  });
}

void ApplyContextOptions(const TOptionContexts& c, AVDictionary** target, void* source, int flags) {
  ForEachContextOption(c, source, flags, [&](const std::string& name, const char* text) {
    lavu.av_dict_set(target, name.c_str(), text, 0);
  });
}

// ---- picture to bitmap

TBitmapConverter::~TBitmapConverter() { ResetBitmapConverter(*this); }

void ResetBitmapConverter(TBitmapConverter& b) {
  b.Bitmap.reset();
  if (b.Buffer) lavu.av_free(b.Buffer);
  b.Buffer = nullptr;
  if (b.Scaler) sws.sws_freeContext(b.Scaler);
  b.Scaler = nullptr;
  b.TargetFormat = AV_PIX_FMT_BGR24;
  b.BitmapBits = 24;
  b.BufferSize = 0;
  for (int i = 0; i < 4; ++i) {
    b.WorkData[i] = nullptr;
    b.WorkLinesize[i] = 0;
  }
  b.InUseData = nullptr;
  b.InUseLinesize = nullptr;
}

bool PictureToBitmap(TBitmapConverter& b, const uint8_t* const data[4], const int linesize[4],
                     AVPixelFormat pixelFormat, int width, int height) {
  if (!b.Bitmap) b.Bitmap = std::make_unique<TBitmap>();
  b.Bitmap->SetSize(width, height);
  // Odd sizes go through the scaler: its chroma handling is what keeps the
  // last column and row right for subsampled sources.
  const bool convert = pixelFormat != b.TargetFormat || (width & 1) || (height & 1) ||
                       linesize[0] != b.Bitmap->Stride();
  if (convert) {
    int required = lavu.av_image_get_buffer_size(b.TargetFormat, width, height, 1);
    if (required < 0) return false;
    if (!b.Buffer || b.BufferSize < required) {
      if (b.Buffer) lavu.av_free(b.Buffer);
      b.Buffer = static_cast<uint8_t*>(lavu.av_malloc(required));
      b.BufferSize = b.Buffer ? required : 0;
      if (!b.Buffer) return false;
    }
    lavu.av_image_fill_arrays(b.WorkData, b.WorkLinesize, b.Buffer, b.TargetFormat, width, height, 1);
    b.Scaler = sws.sws_getCachedContext(b.Scaler, width, height, pixelFormat, width, height,
                                        b.TargetFormat, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!b.Scaler) return false;
    sws.sws_scale(b.Scaler, data, linesize, 0, height, b.WorkData, b.WorkLinesize);
    b.InUseData = b.WorkData;
    b.InUseLinesize = b.WorkLinesize;
  } else {
    b.InUseData = data;
    b.InUseLinesize = linesize;
  }
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int r = 0; r < height; ++r)
    std::memcpy(b.Bitmap->ScanLine(r), b.InUseData[0] + static_cast<ptrdiff_t>(r) * b.InUseLinesize[0],
                rowBytes);
  return true;
}

namespace {

// Without SIMD the scaler's own optimised code is faster than our scalar
// reference, so the fast converter is used only where it is fast.
bool FastHookConversion(const AVFrame* picture, TYuvColorimetry* colorimetry) {
  return ColorConvertSimd() != TColorSimd::None && YuvColorimetryOf(picture, colorimetry);
}

}  // namespace

bool HookPictureToBitmap(const AVFrame* picture, int width, int height, TBitmap& bitmap, SwsContext** scaler) {
  const auto format = static_cast<AVPixelFormat>(picture->format);
  TYuvColorimetry colorimetry;
  if (format == AV_PIX_FMT_BGR24) {
    for (int r = 0; r < height; ++r)
      std::memcpy(bitmap.ScanLine(r), picture->data[0] + static_cast<ptrdiff_t>(r) * picture->linesize[0],
                  static_cast<size_t>(width) * 3);
  } else if (FastHookConversion(picture, &colorimetry)) {
    Yuv420ToBgr24(picture->data, picture->linesize, width, height, bitmap.Bits(), bitmap.Stride(), colorimetry);
  } else {
    *scaler = sws.sws_getCachedContext(*scaler, width, height, format, width, height, AV_PIX_FMT_BGR24, SWS_BICUBIC,
                                       nullptr, nullptr, nullptr);
    if (!*scaler) return false;
    uint8_t* rows[4] = {bitmap.Bits()};
    const int stride[4] = {bitmap.Stride()};
    sws.sws_scale(*scaler, picture->data, picture->linesize, 0, height, rows, stride);
  }
  return true;
}

bool HookBitmapToPicture(const TBitmap& bitmap, int width, int height, AVFrame* picture, SwsContext** scaler) {
  const auto format = static_cast<AVPixelFormat>(picture->format);
  TYuvColorimetry colorimetry;
  if (format == AV_PIX_FMT_BGR24) {
    for (int r = 0; r < height; ++r)
      std::memcpy(picture->data[0] + static_cast<ptrdiff_t>(r) * picture->linesize[0], bitmap.ScanLine(r),
                  static_cast<size_t>(width) * 3);
  } else if (FastHookConversion(picture, &colorimetry)) {
    Bgr24ToYuv420(bitmap.Bits(), bitmap.Stride(), width, height, picture->data, picture->linesize, colorimetry);
  } else {
    *scaler = sws.sws_getCachedContext(*scaler, width, height, AV_PIX_FMT_BGR24, width, height, format, SWS_BICUBIC,
                                       nullptr, nullptr, nullptr);
    if (!*scaler) return false;
    const uint8_t* rows[4] = {bitmap.Bits()};
    const int stride[4] = {bitmap.Stride()};
    sws.sws_scale(*scaler, rows, stride, 0, height, picture->data, picture->linesize);
  }
  return true;
}
