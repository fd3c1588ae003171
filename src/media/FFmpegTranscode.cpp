// Stream mapping, codec opening and the transcoding loop of one task.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "UnicodeProtocol.h"

namespace {

constexpr AVRational kMicroseconds = {1, AV_TIME_BASE};

int64_t ToUs(int64_t t, AVRational tb) { return lavu.av_rescale_q(t, tb, kMicroseconds); }

[[noreturn]] void Raise(const std::string& message) { throw FFmpegException(message); }

// Constant texts: tasks on several threads format messages at once.
const char* TypeName(AVMediaType t) {
  static const char* const kNames[] = {"Video", "Audio", "Data", "Subtitle", "Attachment", "Unknown"};
  return kNames[t < 0 || t > 4 ? 5 : t];
}

}  // namespace

void ApplyVolume(AVFrame* frame, int volume) {
  const int channels = frame->ch_layout.nb_channels;
  const bool planar = lavu.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
  const int planes = planar ? channels : 1;
  const int count = planar ? frame->nb_samples : frame->nb_samples * channels;
  for (int p = 0; p < planes; ++p) {
    switch (lavu.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame->format))) {
      case AV_SAMPLE_FMT_S16: {
        auto* s = reinterpret_cast<int16_t*>(frame->extended_data[p]);
        for (int i = 0; i < count; ++i) {
          int v = (s[i] * volume + 128) >> 8;
          s[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
        }
        break;
      }
      case AV_SAMPLE_FMT_S32: {
        auto* s = reinterpret_cast<int32_t*>(frame->extended_data[p]);
        for (int i = 0; i < count; ++i) {
          int64_t v = (static_cast<int64_t>(s[i]) * volume + 128) >> 8;
          s[i] = static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
        }
        break;
      }
      case AV_SAMPLE_FMT_FLT: {
        auto* s = reinterpret_cast<float*>(frame->extended_data[p]);
        const float g = volume / 256.0f;
        for (int i = 0; i < count; ++i) s[i] = std::clamp(s[i] * g, -1.0f, 1.0f);
        break;
      }
      case AV_SAMPLE_FMT_DBL: {
        auto* s = reinterpret_cast<double*>(frame->extended_data[p]);
        const double g = volume / 256.0;
        for (int i = 0; i < count; ++i) s[i] = std::clamp(s[i] * g, -1.0, 1.0);
        break;
      }
      case AV_SAMPLE_FMT_U8: {
        uint8_t* s = frame->extended_data[p];
        for (int i = 0; i < count; ++i) {
          int v = (((s[i] - 128) * volume + 128) >> 8) + 128;
          s[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
        break;
      }
      default:
        break;
    }
  }
}

double TCustomFFmpeg::SyncTime(const TOutputStreamState& ost) const {
  return static_cast<double>(ist_[ost.SyncIndex].Pts - S.StartTime) / AV_TIME_BASE;
}

void TCustomFFmpeg::RaiseOrLog(const std::string& message) {
  if (S.ExitOnError) Raise(message);
  Log(llError, message);
}

// ---- start-up

void TCustomFFmpeg::PrepareStreams() {
  for (TInputStreamState& ist : ist_) {
    ist.NotMapped = true;
    ist.DecodingNeeded = false;
    if (S.RateEmu) ist.RateEmuStart = lavu.av_gettime_relative();
  }
  size_t total = 0;
  for (size_t f = 0; f < outputFiles_.size(); ++f) {
    if (outputFiles_[f].Ctx->nb_streams == 0) {
      lavf.av_dump_format(outputFiles_[f].Ctx, static_cast<int>(f), outputFiles_[f].Ctx->url, 1);
      Raise(Format("Output file #%d does not contain any stream", static_cast<int>(f)));
    }
    total += outputFiles_[f].Ctx->nb_streams;
  }
  if (!S.StreamMaps.empty() && S.StreamMaps.size() != total)
    Raise("Number of stream maps must match number of output streams");
  auto istIndex = [&](int file, int stream) -> int {
    if (file < 0 || file >= static_cast<int>(inputFiles_.size())) return -1;
    if (stream < 0 || stream >= inputFiles_[file].StreamCount) return -1;
    return inputFiles_[file].FirstStreamIndex + stream;
  };
  for (const TStreamMap& m : S.StreamMaps) {
    if (istIndex(m.FileIndex, m.StreamIndex) < 0)
      Raise(Format("Could not find input stream #%d.%d", m.FileIndex, m.StreamIndex));
    if (istIndex(m.SyncFileIndex, m.SyncStreamIndex) < 0)
      Raise(Format("Could not find sync stream #%d.%d", m.SyncFileIndex, m.SyncStreamIndex));
  }

  // Mapping.
  for (size_t k = 0; k < ost_.size(); ++k) {
    TOutputStreamState& ost = ost_[k];
    const AVMediaType type = ost.Stream->codecpar->codec_type;
    if (!S.StreamMaps.empty()) {
      const TStreamMap& m = S.StreamMaps[k];
      const int src = istIndex(m.FileIndex, m.StreamIndex);
      const AVMediaType srcType = ist_[src].Stream->codecpar->codec_type;
      if (srcType != type) {
        lavf.av_dump_format(outputFiles_[ost.FileIndex].Ctx, ost.FileIndex, outputFiles_[ost.FileIndex].Ctx->url, 1);
        Raise(Format("Codec type mismatch for mapping #%d.%d (%s) -> #%d.%d (%s)", m.FileIndex, m.StreamIndex,
                     TypeName(srcType), ost.FileIndex, ost.StreamIndex, TypeName(type)));
      }
      ost.SourceIndex = src;
      ost.SyncIndex = istIndex(m.SyncFileIndex, m.SyncStreamIndex);
    } else {
      // Prefer the stream the library itself would pick in its file.
      int chosen = -1;
      for (size_t i = 0; i < ist_.size(); ++i) {
        const TInputStreamState& ist = ist_[i];
        if (!ist.NotMapped || ist.Stream->discard == AVDISCARD_ALL || ist.Stream->codecpar->codec_type != type)
          continue;
        if (S.ProgramId) {
          bool inProgram = false;
          AVFormatContext* ic = inputFiles_[ist.FileIndex].Ctx;
          for (unsigned p = 0; p < ic->nb_programs; ++p)
            if (ic->programs[p]->id == S.ProgramId)
              for (unsigned s = 0; s < ic->programs[p]->nb_stream_indexes; ++s)
                inProgram |= static_cast<int>(ic->programs[p]->stream_index[s]) == ist.StreamIndex;
          if (!inProgram) continue;
        }
        const int best = lavf.av_find_best_stream(inputFiles_[ist.FileIndex].Ctx, type, -1, -1, nullptr, 0);
        if (chosen < 0 || best == ist.StreamIndex) chosen = static_cast<int>(i);
        if (best == ist.StreamIndex) break;
      }
      if (chosen < 0 && !S.ProgramId)
        for (size_t i = 0; i < ist_.size(); ++i)
          if (ist_[i].Stream->discard != AVDISCARD_ALL && ist_[i].Stream->codecpar->codec_type == type)
            chosen = static_cast<int>(i);
      if (chosen < 0)
        Raise(Format("Could not find input stream matching output stream #%d.%d (%s)", ost.FileIndex,
                     ost.StreamIndex, TypeName(type)));
      ost.SourceIndex = ost.SyncIndex = chosen;
    }
    ist_[ost.SourceIndex].NotMapped = false;
  }

  // Copy or encoding set-up.
  for (size_t k = 0; k < ost_.size(); ++k) {
    TOutputStreamState& ost = ost_[k];
    TInputStreamState& ist = ist_[ost.SourceIndex];
    AVDictionaryEntry* e = nullptr;
    while ((e = lavu.av_dict_get(ist.Stream->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
      lavu.av_dict_set(&ost.Stream->metadata, e->key, e->value, AV_DICT_DONT_OVERWRITE);
    ost.Stream->disposition = ist.Stream->disposition;
    if (ost.StreamCopy)
      SetUpStreamCopy(ost, ist);
    else
      SetUpEncoding(ost, ist);
  }

  // Decoders first: a subtitle encoder takes its header from its decoder.
  for (size_t i = 0; i < ist_.size(); ++i) {
    TInputStreamState& ist = ist_[i];
    if (!ist.DecodingNeeded) continue;
    const AVCodec* decoder =
        ist.DecoderByName ? ist.DecoderByName : lavc.avcodec_find_decoder(ist.Stream->codecpar->codec_id);
    if (!decoder || !ist.Dec)
      Raise(Format("Decoder (codec id %d) not found for input stream #%d.%d (%s)", ist.Stream->codecpar->codec_id,
                   ist.FileIndex, ist.StreamIndex, TypeName(ist.Stream->codecpar->codec_type)));
    int rc;
    {
      std::lock_guard<std::recursive_mutex> g(CodecLock());
      rc = lavc.avcodec_open2(ist.Dec, decoder, nullptr);
    }
    if (rc < 0)
      Raise(Format("Error while opening decoder for input stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                   TypeName(ist.Stream->codecpar->codec_type)));
    ist.Frame = lavu.av_frame_alloc();
  }
  for (size_t k = 0; k < ost_.size(); ++k)
    if (ost_[k].EncodingNeeded) OpenEncoder(ost_[k], static_cast<int>(k));
  for (TInputStreamState& ist : ist_) {
    ist.Pts = 0;
    const AVRational fr = ist.Stream->avg_frame_rate;
    if (ist.Dec && ist.Dec->has_b_frames && fr.num && fr.den)
      ist.Pts = -std::llround(ist.Dec->has_b_frames * AV_TIME_BASE / av_q2d(fr));
    ist.NextPts = AV_NOPTS_VALUE;
    ist.IsStart = true;
  }

  // Metadata maps and chapters.
  for (auto [out, in] : S.MetaDataMaps) {
    if (out < 0 || out >= static_cast<int>(outputFiles_.size()))
      Raise(Format("Invalid output file index %d map_meta_data(%d,%d)", out, out, in));
    if (in < 0 || in >= static_cast<int>(inputFiles_.size()))
      Raise(Format("Invalid input file index %d map_meta_data(%d,%d)", in, out, in));
    AVDictionaryEntry* e = nullptr;
    while ((e = lavu.av_dict_get(inputFiles_[in].Ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
      lavu.av_dict_set(&outputFiles_[out].Ctx->metadata, e->key, e->value, AV_DICT_DONT_OVERWRITE);
  }
  for (const TInputFile& in : inputFiles_) {
    for (TOutputFile& out : outputFiles_) {
      AVFormatContext* oc = out.Ctx;
      for (unsigned c = 0; c < in.Ctx->nb_chapters; ++c) {
        const AVChapter* ch = in.Ctx->chapters[c];
        const int64_t startPoint = lavu.av_rescale_q(S.StartTime - in.TsOffset, kMicroseconds, ch->time_base);
        const int64_t limit = S.RecordingTime == INT64_MAX
                                  ? INT64_MAX
                                  : lavu.av_rescale_q(S.RecordingTime, kMicroseconds, ch->time_base);
        if (ch->end < startPoint) continue;
        if (limit != INT64_MAX && ch->start > startPoint + limit) break;
        auto* copy = static_cast<AVChapter*>(lavu.av_mallocz(sizeof(AVChapter)));
        auto** grown = static_cast<AVChapter**>(
            lavu.av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
        if (!copy || !grown) {
          lavu.av_free(copy);
          Raise("Not enough memory");
        }
        oc->chapters = grown;
        copy->id = ch->id;
        copy->time_base = ch->time_base;
        copy->start = std::max<int64_t>(0, ch->start - startPoint);
        copy->end = std::min(limit, ch->end - startPoint);
        lavu.av_dict_copy(&copy->metadata, ch->metadata, 0);
        oc->chapters[oc->nb_chapters++] = copy;
      }
    }
  }

  // Headers.
  for (size_t f = 0; f < outputFiles_.size(); ++f) {
    TOutputFile& out = outputFiles_[f];
    const int rc = lavf.avformat_write_header(out.Ctx, &out.MuxerOptions);
    if (rc < 0) {
      const std::string message =
          Format("Could not write header for output file #%d (incorrect codec parameters ?)", static_cast<int>(f));
      Log(llError, message + ": " + LibraryErrorText(rc));
      Raise(message);
    }
    out.HeaderWritten = true;
    for (const AVDictionaryEntry* e = nullptr; (e = lavu.av_dict_get(out.MuxerOptions, "", e, AV_DICT_IGNORE_SUFFIX));)
      Log(llWarning, Format("Option %s not used by the %s muxer", e->key, out.Ctx->oformat->name));
    if (S.Verbosity >= 0) lavf.av_dump_format(out.Ctx, static_cast<int>(f), out.Ctx->url, 1);
  }
  if (S.Verbosity >= 0) {
    Log(llVerbose, "Stream mapping:");
    for (const TOutputStreamState& ost : ost_) {
      const TInputStreamState& src = ist_[ost.SourceIndex];
      std::string line = Format("  Stream #%d.%d -> #%d.%d (%s)", src.FileIndex, src.StreamIndex, ost.FileIndex,
                                ost.StreamIndex, TypeName(ost.Stream->codecpar->codec_type));
      if (ost.SyncIndex != ost.SourceIndex)
        line += Format(" [sync #%d.%d (%s)]", ist_[ost.SyncIndex].FileIndex, ist_[ost.SyncIndex].StreamIndex,
                       TypeName(ist_[ost.SyncIndex].Stream->codecpar->codec_type));
      Log(llVerbose, line);
    }
  }
}

void TCustomFFmpeg::SetUpStreamCopy(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecParameters* in = ist.Stream->codecpar;
  AVCodecParameters* out = ost.Stream->codecpar;
  if (in->extradata_size > INT_MAX - 8) Raise("icodec.extradata_size is invalid (too large)");
  switch (in->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      if (CustomHookEnabled) Raise("-vcodec copy and CustomHook are incompatible (frames are not decoded)");
      if (PreviewFlags()) Raise("-vcodec copy and PostHooks are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_AUDIO:
      if (S.AudioVolume != 256) Raise("-acodec copy and -vol are incompatible (frames are not decoded)");
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    default:
      Raise("invalid codec_type of output stream");
  }
  const uint32_t tag = out->codec_tag;
  const AVRational sar = ost.Stream->sample_aspect_ratio;
  lavc.avcodec_parameters_copy(out, in);
  const AVCodecTag* const* tags = outputFiles_[ost.FileIndex].Ctx->oformat->codec_tag;
  if (tag) {
    out->codec_tag = tag;
  } else if (!tags || lavf.av_codec_get_id(tags, in->codec_tag) == in->codec_id ||
             !lavf.av_codec_get_tag(tags, in->codec_id)) {
    out->codec_tag = in->codec_tag;
  } else {
    out->codec_tag = 0;
  }
  ost.Stream->time_base = ist.Stream->time_base;
  if (in->codec_type == AVMEDIA_TYPE_VIDEO) {
    ost.Stream->sample_aspect_ratio = sar.num ? sar : ist.Stream->sample_aspect_ratio;
    if (sar.num) out->sample_aspect_ratio = sar;
    ost.Stream->avg_frame_rate = ist.Stream->avg_frame_rate;
    ost.Stream->r_frame_rate = ist.Stream->r_frame_rate;
  }
  if (in->codec_type == AVMEDIA_TYPE_AUDIO &&
      ((in->codec_id == AV_CODEC_ID_MP3 && in->block_align == 1) || in->codec_id == AV_CODEC_ID_AC3))
    out->block_align = 0;
}

void TCustomFFmpeg::SetUpEncoding(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Enc;
  switch (ost.Stream->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      break;
    case AVMEDIA_TYPE_VIDEO: {
      if (enc && enc->pix_fmt == AV_PIX_FMT_NONE)
        Raise("Video pixel format is unknown, stream cannot be encoded");
      ost.VideoCrop = S.FrameTopBand || S.FrameBottomBand || S.FrameLeftBand || S.FrameRightBand;
      ost.TopBand = S.FrameTopBand;
      ost.BottomBand = S.FrameBottomBand;
      ost.LeftBand = S.FrameLeftBand;
      ost.RightBand = S.FrameRightBand;
      break;
    }
    default:
      Raise("invalid codec_type of output stream");
  }
  ist.DecodingNeeded = true;
  ost.EncodingNeeded = true;
  if (enc && (enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2))) {
    const int index = static_cast<int>(&ost - ost_.data());
    std::string name = Format("%s-%d.log", S.PassLogFilename.empty() ? "ffmpeg2pass" : S.PassLogFilename.c_str(), index);
    if (name.size() > 1023) name.resize(1023);
    // Encoders that keep their own statistics file are told its name.
    if (ost.Encoder && ost.Encoder->priv_class) {
      const AVClass* cls = ost.Encoder->priv_class;
      if (lavu.av_opt_find(&cls, "stats", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
        ost.PrivateOptions.emplace_back("stats", name);
    }
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
      ost.LogFile = fopen(name.c_str(), "wb");
      if (!ost.LogFile) Raise(Format("Cannot write log file %s for pass-1 encoding", name.c_str()));
    } else {
      uint8_t* data = nullptr;
      int64_t size = 0;
      int rc = ReadWholeFile(name, data, size);
      if (rc == AVERROR(ENOMEM))
        Raise(Format("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      if (rc < 0) Raise(Format("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
      enc->stats_in = reinterpret_cast<char*>(data);
    }
  }
}

// The filter graph of one encoded video stream: buffer -> crop -> scale ->
// the user's filters -> a sink that accepts only the encoder's format.
void TCustomFFmpeg::ConfigureFilters(TOutputStreamState& ost, TInputStreamState& ist, const AVFrame* frame) {
  lavfi.avfilter_graph_free(&ost.Graph);
  ost.BufferSrc = ost.BufferSink = nullptr;
  AVCodecContext* enc = ost.Enc;
  const int w = frame ? frame->width : ist.Dec->width;
  const int h = frame ? frame->height : ist.Dec->height;
  const int fmt = frame ? frame->format : ist.Dec->pix_fmt;
  AVRational sar = frame ? frame->sample_aspect_ratio : ist.Dec->sample_aspect_ratio;
  if (!sar.num || !sar.den) sar = AVRational{0, 1};
  if (w <= 0 || h <= 0 || fmt < 0) Raise("Error opening filters!");
  ost.Graph = lavfi.avfilter_graph_alloc();
  if (!ost.Graph) Raise("Error opening filters!");
  auto fail = [&](const std::string& what) {
    lavfi.avfilter_graph_free(&ost.Graph);
    Raise("Error opening filters: " + what);
  };
  const std::string srcArgs = Format("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", w, h, fmt,
                                     AV_TIME_BASE, sar.num, sar.den);
  if (lavfi.avfilter_graph_create_filter(&ost.BufferSrc, lavfi.avfilter_get_by_name("buffer"), "src",
                                         srcArgs.c_str(), nullptr, ost.Graph) < 0)
    fail("buffer source");
  if (lavfi.avfilter_graph_create_filter(&ost.BufferSink, lavfi.avfilter_get_by_name("buffersink"), "out",
                                         nullptr, nullptr, ost.Graph) < 0)
    fail("buffer sink");
  const int formats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
  lavu.av_opt_set_bin(ost.BufferSink, "pix_fmts", reinterpret_cast<const uint8_t*>(formats), sizeof(int), AV_OPT_SEARCH_CHILDREN);

  // Bands follow a size change in proportion, kept even.
  int top = ost.TopBand, bottom = ost.BottomBand, left = ost.LeftBand, right = ost.RightBand;
  if (ost.GraphWidth && (ost.GraphWidth != w || ost.GraphHeight != h) && ist.Dec->width && ist.Dec->height) {
    top = (S.FrameTopBand * h / ist.Dec->height) & ~1;
    bottom = (S.FrameBottomBand * h / ist.Dec->height) & ~1;
    left = (S.FrameLeftBand * w / ist.Dec->width) & ~1;
    right = (S.FrameRightBand * w / ist.Dec->width) & ~1;
  }
  std::string chain;
  const int cw = w - left - right, ch = h - top - bottom;
  if (cw <= 0 || ch <= 0) fail("crop bands larger than the picture");
  if (top || bottom || left || right) chain += Format("crop=%d:%d:%d:%d", cw, ch, left, top);
  if (enc->width <= 0 || enc->height <= 0) {
    enc->width = cw;
    enc->height = ch;
  }
  if (cw != enc->width || ch != enc->height)
    chain += Format("%sscale=%d:%d:flags=0x%X", chain.empty() ? "" : ",", enc->width, enc->height, S.SwsFlags);
  if (!S.VFilters.empty()) chain += (chain.empty() ? "" : ",") + S.VFilters;
  if (chain.empty()) chain = "null";
  lastFilterDescription_ = chain;
  lavu.av_opt_set(ost.Graph, "scale_sws_opts", Format("flags=0x%X", S.SwsFlags).c_str(), 0);

  AVFilterInOut* outputs = lavfi.avfilter_inout_alloc();
  AVFilterInOut* inputs = lavfi.avfilter_inout_alloc();
  outputs->name = lavu.av_strdup("in");
  outputs->filter_ctx = ost.BufferSrc;
  inputs->name = lavu.av_strdup("out");
  inputs->filter_ctx = ost.BufferSink;
  int rc = lavfi.avfilter_graph_parse_ptr(ost.Graph, chain.c_str(), &inputs, &outputs, nullptr);
  lavfi.avfilter_inout_free(&inputs);
  lavfi.avfilter_inout_free(&outputs);
  if (rc < 0) fail(LibraryErrorText(rc));
  rc = lavfi.avfilter_graph_config(ost.Graph, nullptr);
  if (rc < 0) fail(LibraryErrorText(rc));
  ost.GraphWidth = w;
  ost.GraphHeight = h;
  ost.GraphPixFmt = fmt;
  if (!ost.EncoderOpened) {
    enc->width = lavfi.av_buffersink_get_w(ost.BufferSink);
    enc->height = lavfi.av_buffersink_get_h(ost.BufferSink);
  }
}

void TCustomFFmpeg::OpenEncoder(TOutputStreamState& ost, int index) {
  AVCodecContext* enc = ost.Enc;
  const AVMediaType type = ost.Stream->codecpar->codec_type;
  if (!ost.Encoder || !enc) {
    const std::string message =
        Format("Encoder (codec id %d) not found for output stream #%d.%d (%s)", enc ? enc->codec_id : 0,
               ost.FileIndex, ost.StreamIndex, TypeName(type));
    Log(llError, message);
    Raise(message);
  }
  TInputStreamState& ist = ist_[ost.SourceIndex];
  if (type == AVMEDIA_TYPE_VIDEO) {
    ConfigureFilters(ost, ist, nullptr);
    if (!enc->sample_aspect_ratio.num) enc->sample_aspect_ratio = ist.Dec->sample_aspect_ratio;
    ost.Stream->sample_aspect_ratio = enc->sample_aspect_ratio;
    const int64_t need = 6LL * enc->width * enc->height + 200;
    (void)need;  // packets come from the encoder in buffers of their own
  }
  if (type == AVMEDIA_TYPE_SUBTITLE && ist.Dec && ist.Dec->subtitle_header) {
    enc->subtitle_header = static_cast<uint8_t*>(lavu.av_mallocz(ist.Dec->subtitle_header_size + 1));
    memcpy(enc->subtitle_header, ist.Dec->subtitle_header, ist.Dec->subtitle_header_size);
    enc->subtitle_header_size = ist.Dec->subtitle_header_size;
  }
  if (type == AVMEDIA_TYPE_SUBTITLE) enc->time_base = kMicroseconds;
  AVDictionary* options = nullptr;
  for (const auto& [k, v] : ost.PrivateOptions) lavu.av_dict_set(&options, k.c_str(), v.c_str(), 0);
  int rc;
  {
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    rc = lavc.avcodec_open2(enc, ost.Encoder, &options);
  }
  for (const AVDictionaryEntry* e = nullptr; (e = lavu.av_dict_get(options, "", e, AV_DICT_IGNORE_SUFFIX));)
    Log(llWarning, Format("Option %s not used by encoder %s", e->key, ost.Encoder->name));
  lavu.av_dict_free(&options);
  if (rc < 0) {
    const std::string message = Format(
        "Error while opening encoder for output stream #%d.%d (%s) - maybe incorrect parameters such as "
        "bit_rate, rate, width or height. Please check error log message to find out more detail information.",
        ost.FileIndex, ost.StreamIndex, TypeName(type));
    Log(llError, message + " (" + LibraryErrorText(rc) + ")");
    Raise(message);
  }
  ost.EncoderOpened = true;
  lavc.avcodec_parameters_from_context(ost.Stream->codecpar, enc);
  // Muxers read the encoder's buffer model (and the like) from the stream.
  for (int i = 0; i < enc->nb_coded_side_data; ++i) {
    const AVPacketSideData& sd = enc->coded_side_data[i];
    if (uint8_t* dst = lavf.av_stream_new_side_data(ost.Stream, sd.type, sd.size)) memcpy(dst, sd.data, sd.size);
  }
  ost.Stream->time_base = enc->time_base;
  if (type == AVMEDIA_TYPE_VIDEO) ost.Stream->avg_frame_rate = enc->framerate;
  extraSize_ += enc->extradata_size;
  if (type == AVMEDIA_TYPE_AUDIO) {
    ost.Fifo = lavu.av_audio_fifo_alloc(enc->sample_fmt, enc->ch_layout.nb_channels, 1024);
    ost.AudioFrame = lavu.av_frame_alloc();
    if (!ost.Fifo || !ost.AudioFrame) Raise("av_fifo_alloc fail");
  }
  for (const std::string& entry : ost.BsfNames) {
    const std::string name = entry.substr(0, entry.find('='));
    AVBSFContext* bsf = nullptr;
    if (lavc.av_bsf_alloc(lavc.av_bsf_get_by_name(name.c_str()), &bsf) < 0) Raise("Unknown bitstream filter " + name);
    ost.Bsfs.push_back(bsf);
    lavc.avcodec_parameters_copy(bsf->par_in, ost.Stream->codecpar);
    bsf->time_base_in = ost.Stream->time_base;
    if (lavc.av_bsf_init(bsf) < 0) Raise("Unknown bitstream filter " + name);
  }
  (void)index;
}

// ---- the loop

void TCustomFFmpeg::Transcode() {
  extraSize_ = 0;
  PrepareStreams();
  pkt_ = lavc.av_packet_alloc();
  encPkt_ = lavc.av_packet_alloc();
  videoSize_ = audioSize_ = 0;
  framesDup_ = framesDrop_ = 0;
  timerStart_ = lastReportTime_ = lavu.av_gettime_relative();
  for (bool& b : noPacket_) b = false;
  noPacketCount_ = 0;

  while (!StopRequested) {
    WaitWhilePaused();
    if (StopRequested) break;
    int fileIndex = -1;
    double optsMin = 1e100, iptsMin = 1e100;
    bool limitReached = false;
    for (const TOutputStreamState& ost : ost_) {
      const TInputStreamState& ist = ist_[ost.SourceIndex];
      if (ist.PastRecordingTime || noPacket_[ist.FileIndex] || !ost.Active) continue;
      const double opts = ost.LastMuxEnd == AV_NOPTS_VALUE ? 0 : ost.LastMuxEnd * av_q2d(ost.Stream->time_base);
      const double ipts = static_cast<double>(ist.Pts);
      if (!inputFiles_[ist.FileIndex].EofReached) {
        if (S.InputSync ? ipts < iptsMin : opts < optsMin) {
          iptsMin = ipts;
          optsMin = opts;
          fileIndex = ist.FileIndex;
        }
      }
      const AVMediaType type = ost.Stream->codecpar->codec_type;
      const int limit = type >= 0 && type < 4 ? S.MaxFrames[type] : INT_MAX;
      if (ost.FrameNumber >= limit) {
        limitReached = true;
        break;
      }
    }
    if (limitReached) fileIndex = -1;
    if (fileIndex < 0) {
      if (noPacketCount_ == 0 || limitReached) break;
      for (bool& b : noPacket_) b = false;
      noPacketCount_ = 0;
      usleep(10000);
      continue;
    }
    if (S.LimitFileSize && outputFiles_[0].Ctx->pb &&
        lavf.avio_seek(outputFiles_[0].Ctx->pb, 0, SEEK_CUR) >= S.LimitFileSize)
      break;

    TInputFile& in = inputFiles_[fileIndex];
    int rc = lavf.av_read_frame(in.Ctx, pkt_);
    if (rc == AVERROR(EAGAIN)) {
      noPacket_[fileIndex] = true;
      ++noPacketCount_;
      continue;
    }
    if (rc < 0) {
      if (rc != AVERROR_EOF && !StopRequested)
        Log(llVerbose, FormatLibraryError(URLToFileName(in.Ctx->url), rc));
      in.EofReached = true;
      if (S.Shortest) break;
      continue;
    }
    noPacket_[fileIndex] = false;
    if (S.DoPktDump) Log(llInfo, Format("packet stream=%d pts=%lld dts=%lld size=%d", pkt_->stream_index,
                                        static_cast<long long>(pkt_->pts), static_cast<long long>(pkt_->dts), pkt_->size));
    if (pkt_->stream_index >= in.StreamCount) {
      lavc.av_packet_unref(pkt_);
      continue;
    }
    const int istIndex = in.FirstStreamIndex + pkt_->stream_index;
    TInputStreamState& ist = ist_[istIndex];
    if (ist.NotMapped) {
      lavc.av_packet_unref(pkt_);
      continue;
    }
    const AVRational tb = ist.Stream->time_base;
    const int64_t offset = lavu.av_rescale_q(in.TsOffset, kMicroseconds, tb);
    if (pkt_->dts != AV_NOPTS_VALUE) pkt_->dts += offset;
    if (pkt_->pts != AV_NOPTS_VALUE) pkt_->pts += offset;
    if (pkt_->stream_index < MAX_STREAMS && in.TsScale[pkt_->stream_index] != 0) {
      const double scale = in.TsScale[pkt_->stream_index];
      if (pkt_->dts != AV_NOPTS_VALUE) pkt_->dts = std::llround(pkt_->dts * scale);
      if (pkt_->pts != AV_NOPTS_VALUE) pkt_->pts = std::llround(pkt_->pts * scale);
    }
    if (pkt_->dts != AV_NOPTS_VALUE && ist.NextPts != AV_NOPTS_VALUE &&
        (in.Ctx->iformat->flags & AVFMT_TS_DISCONT) && !S.CopyTs) {
      const int64_t pktUs = ToUs(pkt_->dts, tb);
      const int64_t delta = pktUs - ist.NextPts;
      if (std::llabs(delta) > S.DtsDeltaThreshold * AV_TIME_BASE || pktUs + 1 < ist.Pts) {
        in.TsOffset -= delta;
        if (S.Verbosity > 2)
          Log(llVerbose, Format("timestamp discontinuity %lld, new offset= %lld", static_cast<long long>(delta),
                                static_cast<long long>(in.TsOffset)));
        const int64_t d = lavu.av_rescale_q(delta, kMicroseconds, tb);
        pkt_->dts -= d;
        if (pkt_->pts != AV_NOPTS_VALUE) pkt_->pts -= d;
      }
    }
    if (S.RecordingTime != INT64_MAX && pkt_->pts != AV_NOPTS_VALUE &&
        ToUs(pkt_->pts, tb) >= S.RecordingTime + S.StartTime) {
      ist.PastRecordingTime = true;
      lavc.av_packet_unref(pkt_);
      continue;
    }
    if (OutputPacket(istIndex, pkt_) < 0) {
      const std::string message = Format("Error while decoding stream #%d.%d (%s)", ist.FileIndex, ist.StreamIndex,
                                         TypeName(ist.Stream->codecpar->codec_type));
      if (S.ExitOnError) Raise(message);
      if (S.Verbosity >= 0) Log(llVerbose, message);
      lavc.av_packet_unref(pkt_);
      continue;
    }
    lavc.av_packet_unref(pkt_);
    const int64_t now = lavu.av_gettime_relative();
    if (now - lastReportTime_ > ProgressIntervalUs) {
      lastReportTime_ = now;
      PrintReport(false, fileIndex);
    }
  }

  for (size_t i = 0; i < ist_.size(); ++i)
    if (ist_[i].DecodingNeeded && !ist_[i].Flushed) OutputPacket(static_cast<int>(i), nullptr);
  FlushEncoders();
  for (size_t f = 0; f < outputFiles_.size(); ++f) {
    if (!outputFiles_[f].HeaderWritten) continue;
    const int rc = lavf.av_write_trailer(outputFiles_[f].Ctx);
    outputFiles_[f].HeaderWritten = false;
    if (rc < 0) Raise(FormatLibraryError("av_write_trailer()", rc));
  }
  PrintReport(true, -1);
  CloseCodecs();
  Finished = !StopRequested;
}

int TCustomFFmpeg::OutputPacket(int istIndex, AVPacket* pkt) {
  TInputStreamState& ist = ist_[istIndex];
  const AVRational tb = ist.Stream->time_base;
  const AVMediaType type = ist.Stream->codecpar->codec_type;
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (pkt && pkt->dts != AV_NOPTS_VALUE) ist.Pts = ist.NextPts = ToUs(pkt->dts, tb);

  if (pkt) {
    // Copies see every packet; only decoded streams need the decoder.
    bool anyCopy = false;
    for (TOutputStreamState& ost : ost_)
      if (ost.SourceIndex == istIndex && !ost.EncodingNeeded) anyCopy = true;
    if (anyCopy) {
      ist.Pts = ist.NextPts;
      int64_t duration = pkt->duration > 0 ? ToUs(pkt->duration, tb) : 0;
      if (!duration && type == AVMEDIA_TYPE_AUDIO && ist.Stream->codecpar->frame_size && ist.Stream->codecpar->sample_rate)
        duration = AV_TIME_BASE * static_cast<int64_t>(ist.Stream->codecpar->frame_size) / ist.Stream->codecpar->sample_rate;
      if (!duration && type == AVMEDIA_TYPE_VIDEO && ist.Stream->avg_frame_rate.num)
        duration = std::llround(AV_TIME_BASE / av_q2d(ist.Stream->avg_frame_rate));
      if (!ist.DecodingNeeded) ist.NextPts += duration;
      if (S.StartTime == 0 || ist.Pts >= S.StartTime)
        for (TOutputStreamState& ost : ost_)
          if (ost.SourceIndex == istIndex && !ost.EncodingNeeded) CopyPacket(ost, ist, pkt);
    }
  }
  if (!ist.DecodingNeeded) return 0;

  if (type == AVMEDIA_TYPE_SUBTITLE) {
    if (!pkt) {
      ist.Flushed = true;
      return 0;
    }
    AVSubtitle sub{};
    int got = 0;
    if (lavc.avcodec_decode_subtitle2(ist.Dec, &sub, &got, pkt) < 0) return -1;
    if (got) {
      if (S.StartTime == 0 || ist.Pts >= S.StartTime) HandleSubtitle(istIndex, &sub, pkt->pts);
      lavc.avsubtitle_free(&sub);
    }
    return 0;
  }
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) return -1;
  int rc = lavc.avcodec_send_packet(ist.Dec, pkt);
  if (!pkt) ist.Flushed = true;
  if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) return -1;
  for (;;) {
    rc = lavc.avcodec_receive_frame(ist.Dec, ist.Frame);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) return -1;
    AVFrame* frame = ist.Frame;
    const int64_t t = frame->best_effort_timestamp;
    ist.Pts = t != AV_NOPTS_VALUE ? ToUs(t, tb) : ist.NextPts;
    if (type == AVMEDIA_TYPE_VIDEO) {
      int64_t duration = frame->pkt_duration > 0 ? ToUs(frame->pkt_duration, tb) : 0;
      AVRational fr = ist.Stream->avg_frame_rate.num ? ist.Stream->avg_frame_rate : ist.Stream->r_frame_rate;
      if (!duration && fr.num && fr.den) duration = std::llround(AV_TIME_BASE / av_q2d(fr));
      ist.NextPts = ist.Pts + duration * (1 + frame->repeat_pict) / (frame->repeat_pict ? 2 : 1);
      ist.Quality = frame->quality / static_cast<float>(FF_QP2LAMBDA);
    } else {
      ist.NextPts = ist.Pts + (frame->sample_rate
                                   ? static_cast<int64_t>(frame->nb_samples) * AV_TIME_BASE / frame->sample_rate
                                   : 0);
      if (S.AudioVolume != 256 && lavu.av_frame_make_writable(frame) >= 0) ApplyVolume(frame, S.AudioVolume);
    }
    if (S.RateEmu) {
      const int64_t ahead = ist.Pts - (lavu.av_gettime_relative() - ist.RateEmuStart);
      if (ahead > 1000) usleep(static_cast<useconds_t>(ahead / 1000 * 1000));
    }
    if (S.StartTime == 0 || ist.Pts >= S.StartTime) {
      if (type == AVMEDIA_TYPE_VIDEO)
        HandleDecodedVideo(istIndex, frame);
      else
        HandleDecodedAudio(istIndex, frame);
    }
    lavu.av_frame_unref(frame);
  }
  if (!pkt) {
    // Pictures still held by the filter graphs.
    for (TOutputStreamState& ost : ost_) {
      if (ost.SourceIndex != istIndex || !ost.EncodingNeeded || !ost.Graph) continue;
      if (lavfi.av_buffersrc_add_frame_flags(ost.BufferSrc, nullptr, 0) < 0) continue;
      if (!ost.Filtered) ost.Filtered = lavu.av_frame_alloc();
      while (lavfi.av_buffersink_get_frame(ost.BufferSink, ost.Filtered) >= 0) {
        DoVideoOut(ost, ist, ost.Filtered, ost.Filtered->pts);
        lavu.av_frame_unref(ost.Filtered);
      }
    }
  }
  return 0;
}

void TCustomFFmpeg::HandleDecodedVideo(int istIndex, AVFrame* frame) {
  TInputStreamState& ist = ist_[istIndex];
  frame = PreProcessVideoFrame(ist, frame);
  frame->pts = ist.Pts;
  for (TOutputStreamState& ost : ost_) {
    if (ost.SourceIndex != istIndex || !ost.EncodingNeeded) continue;
    if (!ost.Graph || frame->width != ost.GraphWidth || frame->height != ost.GraphHeight ||
        frame->format != ost.GraphPixFmt) {
      if (ost.Graph) {
        Log(llQuiet, Format("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex, ist.StreamIndex,
                            frame->width, frame->height,
                            lavu.av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format))));
      }
      ConfigureFilters(ost, ist, frame);
    }
    if (lavfi.av_buffersrc_add_frame_flags(ost.BufferSrc, frame, AV_BUFFERSRC_FLAG_KEEP_REF) < 0)
      Raise("Error while feeding the filter graph");
    if (!ost.Filtered) ost.Filtered = lavu.av_frame_alloc();
    while (lavfi.av_buffersink_get_frame(ost.BufferSink, ost.Filtered) >= 0) {
      DoVideoOut(ost, ist, ost.Filtered, ost.Filtered->pts);
      lavu.av_frame_unref(ost.Filtered);
    }
  }
}

void TCustomFFmpeg::HandleDecodedAudio(int istIndex, AVFrame* frame) {
  TInputStreamState& ist = ist_[istIndex];
  for (TOutputStreamState& ost : ost_)
    if (ost.SourceIndex == istIndex && ost.EncodingNeeded) DoAudioOut(ost, ist, frame);
}

void TCustomFFmpeg::CopyPacket(TOutputStreamState& ost, TInputStreamState& ist, const AVPacket* pkt) {
  if (ost.FrameNumber == 0 && !(pkt->flags & AV_PKT_FLAG_KEY) && !S.CopyInitialNonKeyframes) return;
  const AVMediaType type = ost.Stream->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_AUDIO) audioSize_ += pkt->size;
  if (type == AVMEDIA_TYPE_VIDEO) {
    videoSize_ += pkt->size;
    ++ost.SyncOpts;
  }
  AVPacket* out = encPkt_;
  lavc.av_packet_ref(out, pkt);
  const AVRational itb = ist.Stream->time_base, otb = ost.Stream->time_base;
  const int64_t start = lavu.av_rescale_q(S.StartTime, kMicroseconds, otb);
  out->pts = pkt->pts != AV_NOPTS_VALUE ? lavu.av_rescale_q(pkt->pts, itb, otb) - start : AV_NOPTS_VALUE;
  out->dts = (pkt->dts != AV_NOPTS_VALUE ? lavu.av_rescale_q(pkt->dts, itb, otb)
                                         : lavu.av_rescale_q(ist.Pts, kMicroseconds, otb)) - start;
  out->duration = lavu.av_rescale_q(pkt->duration, itb, otb);
  out->stream_index = ost.StreamIndex;
  WriteFrame(ost, out);
  ++ost.FrameNumber;
}

void TCustomFFmpeg::DoVideoOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame, int64_t ptsUs) {
  AVCodecContext* enc = ost.Enc;
  const double syncIpts = (static_cast<double>(ptsUs - S.StartTime) / AV_TIME_BASE) / av_q2d(enc->time_base);
  int64_t count = 1;
  int method = S.VideoSyncMethod;
  const bool vfr = method == 2 || (method < 0 && (outputFiles_[ost.FileIndex].Ctx->oformat->flags & AVFMT_VARIABLE_FPS));
  if (method != 0) {
    const double vdelta = syncIpts - ost.SyncOpts;
    if (vdelta < -1.1) {
      count = 0;
    } else if (vfr) {
      if (vdelta <= -0.6)
        count = 0;
      else if (vdelta > 0.6)
        ost.SyncOpts = std::llround(syncIpts);
    } else if (vdelta > 1.1) {
      count = std::llround(vdelta);
    }
    if (count == 0) {
      ++framesDrop_;
      dupDropChanged_ = true;
      if (S.Verbosity > 2) Log(llVerbose, "*** drop!");
    } else if (count > 1) {
      framesDup_ += static_cast<int>(count - 1);
      dupDropChanged_ = true;
      if (S.Verbosity > 2) Log(llVerbose, Format("*** %d dup!", static_cast<int>(count - 1)));
    }
  } else {
    ost.SyncOpts = std::llround(syncIpts);
  }
  count = std::min<int64_t>(count, static_cast<int64_t>(S.MaxFrames[AVMEDIA_TYPE_VIDEO]) - ost.FrameNumber);
  if (count <= 0) return;
  for (int64_t k = 0; k < count && !StopRequested; ++k) {
    if (k > 0) WaitWhilePaused();
    frame->pts = ost.SyncOpts;
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    if (S.SameQuality) frame->quality = static_cast<int>(ist.Quality * FF_QP2LAMBDA);
    if (S.TopFieldFirst >= 0) frame->top_field_first = S.TopFieldFirst;
    EncodeFrame(ost, frame);
    ++ost.SyncOpts;
    ++ost.FrameNumber;
  }
}

void TCustomFFmpeg::DoAudioOut(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* frame) {
  AVCodecContext* enc = ost.Enc;
  const int outRate = enc->sample_rate;
  const int inRate = frame->sample_rate;
  if (!ost.Resampler) {
    if (S.Verbosity > 0 && frame->format != AV_SAMPLE_FMT_S16 && frame->format != enc->sample_fmt)
      Log(llVerbose, "Warning, using s16 intermediate sample format for resampling");
    if (swr.swr_alloc_set_opts2(&ost.Resampler, &enc->ch_layout, enc->sample_fmt, outRate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), inRate, 0, nullptr) < 0 ||
        swr.swr_init(ost.Resampler) < 0) {
      swr.swr_free(&ost.Resampler);
      Raise(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", frame->ch_layout.nb_channels, inRate,
                   enc->ch_layout.nb_channels, outRate));
    }
  }
  const uint8_t** input = const_cast<const uint8_t**>(frame->extended_data);
  int inSamples = frame->nb_samples;
  const int inChannels = frame->ch_layout.nb_channels;
  const int bps = lavu.av_get_bytes_per_sample(static_cast<AVSampleFormat>(frame->format));
  const bool planar = lavu.av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format));
  uint8_t* shifted[AV_NUM_DATA_POINTERS] = {};

  if (S.AudioSyncMethod != 0) {
    // Samples on their way to the encoder: queued, and held by the resampler.
    const double queued = lavu.av_audio_fifo_size(ost.Fifo) + swr.swr_get_delay(ost.Resampler, outRate);
    const double delta = SyncTime(ost) * outRate - ost.SyncOpts - queued;
    const double idelta = delta * inRate / outRate;
    if (std::fabs(delta) > 50) {
      if (ist.IsStart || std::fabs(delta) > S.AudioDriftThreshold * outRate) {
        if (idelta < 0) {
          const int drop = std::min(inSamples, static_cast<int>(-idelta));
          if (S.Verbosity > 2) Log(llVerbose, Format("discarding %d audio samples", static_cast<int>(-delta)));
          inSamples -= drop;
          if (inSamples <= 0) return;
          const int planes = planar ? inChannels : 1;
          for (int p = 0; p < planes && p < AV_NUM_DATA_POINTERS; ++p)
            shifted[p] = frame->extended_data[p] + static_cast<size_t>(drop) * bps * (planar ? 1 : inChannels);
          input = const_cast<const uint8_t**>(shifted);
          ist.IsStart = false;
        } else {
          const int silence = static_cast<int>(delta);
          if (S.Verbosity > 2) Log(llVerbose, Format("adding %d audio samples of silence", silence));
          uint8_t** buf = nullptr;
          if (lavu.av_samples_alloc_array_and_samples(&buf, nullptr, enc->ch_layout.nb_channels, silence,
                                                      enc->sample_fmt, 0) >= 0) {
            lavu.av_samples_set_silence(buf, 0, silence, enc->ch_layout.nb_channels, enc->sample_fmt);
            lavu.av_audio_fifo_write(ost.Fifo, reinterpret_cast<void**>(buf), silence);
            lavu.av_freep(&buf[0]);
            lavu.av_freep(&buf);
          }
          ist.IsStart = false;
        }
      } else if (S.AudioSyncMethod > 1) {
        int comp = std::clamp(static_cast<int>(delta), -S.AudioSyncMethod, S.AudioSyncMethod);
        if (S.Verbosity > 2)
          Log(llVerbose, Format("compensating audio timestamp drift:%f compensation:%d in:%d", delta, comp, outRate));
        swr.swr_set_compensation(ost.Resampler, comp, outRate);
      }
    }
  } else {
    // Times follow the input, but rounding never opens a gap of a sample or
    // two between packets: muxers that count samples (DV) need them whole.
    const int64_t expected = std::llround(SyncTime(ost) * outRate) - lavu.av_audio_fifo_size(ost.Fifo) -
                             swr.swr_get_delay(ost.Resampler, outRate);
    if (!ost.AudioStarted || std::llabs(expected - ost.SyncOpts) > 2) ost.SyncOpts = expected;
  }

  // Resample into the encoder's format, then queue for whole encoder frames.
  const int outCapacity = static_cast<int>(swr.swr_get_delay(ost.Resampler, inRate) + inSamples) * outRate / inRate + 256;
  if (!ost.Converted || ost.Converted->nb_samples < outCapacity) {
    // Grows to the largest chunk seen, then serves every later one.
    if (!ost.Converted) ost.Converted = lavu.av_frame_alloc();
    if (!ost.Converted) Raise("Out of memory in do_audio_out");
    lavu.av_frame_unref(ost.Converted);
    ost.Converted->nb_samples = outCapacity;
    ost.Converted->format = enc->sample_fmt;
    if (lavu.av_channel_layout_copy(&ost.Converted->ch_layout, &enc->ch_layout) < 0 ||
        lavu.av_frame_get_buffer(ost.Converted, 0) < 0)
      Raise("Out of memory in do_audio_out");
  }
  uint8_t** out = ost.Converted->extended_data;
  const int got = swr.swr_convert(ost.Resampler, out, outCapacity, input, inSamples);
  if (got > 0 && lavu.av_audio_fifo_write(ost.Fifo, reinterpret_cast<void**>(out), got) < got)
    Raise("av_fifo_realloc2() failed");
  if (got < 0) Raise(Format("Cannot convert %s sample format to %s sample format",
                            lavu.av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format)),
                            lavu.av_get_sample_fmt_name(enc->sample_fmt)));
  ost.AudioStarted = true;
  EncodeAudioFrames(ost, false);
}

// Whole encoder frames from the queue; with flush, the rest as a last frame.
void TCustomFFmpeg::EncodeAudioFrames(TOutputStreamState& ost, bool flush) {
  AVCodecContext* enc = ost.Enc;
  const bool anySize = enc->frame_size <= 1 || (ost.Encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  const int frameSize = anySize ? 0 : enc->frame_size;
  for (;;) {
    int available = lavu.av_audio_fifo_size(ost.Fifo);
    if (available <= 0) return;
    int take = frameSize ? frameSize : std::min(available, 4096);
    if (available < take && !flush) return;
    AVFrame* f = ost.AudioFrame;
    lavu.av_frame_unref(f);
    f->nb_samples = take;
    f->format = enc->sample_fmt;
    f->sample_rate = enc->sample_rate;
    lavu.av_channel_layout_copy(&f->ch_layout, &enc->ch_layout);
    if (lavu.av_frame_get_buffer(f, 0) < 0) Raise("Out of memory in do_audio_out");
    const int read = lavu.av_audio_fifo_read(ost.Fifo, reinterpret_cast<void**>(f->extended_data), take);
    if (read < take) {
      // A short last frame: encoders that cannot take one get silence.
      if (ost.Encoder->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME)
        f->nb_samples = read;
      else
        lavu.av_samples_set_silence(f->extended_data, read, take - read, enc->ch_layout.nb_channels, enc->sample_fmt);
    }
    f->pts = ost.SyncOpts;
    EncodeFrame(ost, f);
    ost.SyncOpts += f->nb_samples;
  }
}

void TCustomFFmpeg::HandleSubtitle(int istIndex, AVSubtitle* sub, int64_t pktPts) {
  TInputStreamState& ist = ist_[istIndex];
  for (TOutputStreamState& ost : ost_)
    if (ost.SourceIndex == istIndex && ost.EncodingNeeded) DoSubtitleOut(ost, ist, sub, pktPts);
}

void TCustomFFmpeg::DoSubtitleOut(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle* sub, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    RaiseOrLog("Subtitle packets must have a pts");
    return;
  }
  std::vector<uint8_t>& buffer = subtitleBuffer_;
  buffer.resize(1048576);
  const bool dvb = ost.Enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  const int passes = dvb ? 2 : 1;
  const int64_t baseUs = ToUs(pts, ist.Stream->time_base) - S.StartTime;
  for (int i = 0; i < passes; ++i) {
    AVSubtitle copy = *sub;
    copy.pts = baseUs + static_cast<int64_t>(sub->start_display_time) * 1000;
    copy.end_display_time -= copy.start_display_time;
    copy.start_display_time = 0;
    if (i == 1) copy.num_rects = 0;
    const int size = lavc.avcodec_encode_subtitle(ost.Enc, buffer.data(), static_cast<int>(buffer.size()), &copy);
    if (size < 0) Raise("Subtitle encoding failed");
    AVPacket* p = encPkt_;
    if (lavc.av_new_packet(p, size) < 0) Raise("Subtitle encoding failed");
    memcpy(p->data, buffer.data(), size);
    p->stream_index = ost.StreamIndex;
    p->pts = lavu.av_rescale_q(copy.pts, kMicroseconds, ost.Stream->time_base);
    if (dvb) p->pts += 90 * (i == 0 ? copy.start_display_time : copy.end_display_time);
    p->dts = p->pts;
    WriteFrame(ost, p);
  }
}

void TCustomFFmpeg::EncodeFrame(TOutputStreamState& ost, AVFrame* frame) {
  AVCodecContext* enc = ost.Enc;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  int rc = lavc.avcodec_send_frame(enc, frame);
  if (rc < 0 && rc != AVERROR_EOF) Raise(video ? "Video encoding failed" : "Audio encoding failed");
  for (;;) {
    rc = lavc.avcodec_receive_packet(enc, encPkt_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) Raise(video ? "Video encoding failed" : "Audio encoding failed");
    if (video) {
      if (frame && encPkt_->size > 0 && PreviewFlags())
        MakePreview(frame, enc, encPkt_->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : ToUs(encPkt_->pts, enc->time_base));
      videoSize_ += encPkt_->size;
      ost.LastFrameSize = encPkt_->size;
      size_t sideSize = 0;
      if (const uint8_t* stats = lavc.av_packet_get_side_data(encPkt_, AV_PKT_DATA_QUALITY_STATS, &sideSize);
          stats && sideSize >= 5) {
        const int q = stats[0] | stats[1] << 8 | stats[2] << 16 | stats[3] << 24;
        ost.LastQuality = q / static_cast<float>(FF_QP2LAMBDA);
        ost.LastPictType = lavu.av_get_picture_type_char(static_cast<AVPictureType>(stats[4]));
      }
      if (ost.LogFile && enc->stats_out) fputs(enc->stats_out, ost.LogFile);
    } else {
      audioSize_ += encPkt_->size;
    }
    lavc.av_packet_rescale_ts(encPkt_, enc->time_base, ost.Stream->time_base);
    encPkt_->stream_index = ost.StreamIndex;
    WriteFrame(ost, encPkt_);
    if (video && !S.VStatsFilename.empty()) WriteVideoStats(ost, ost.LastFrameSize);
  }
}

void TCustomFFmpeg::WriteFrame(TOutputStreamState& ost, AVPacket* pkt) {
  if (ost.Bsfs.empty()) {
    WriteInterleaved(ost, pkt);
    return;
  }
  // Each filter's output feeds the next; the last one's goes to the muxer.
  std::function<void(size_t, AVPacket*)> run = [&](size_t i, AVPacket* p) {
    if (i == ost.Bsfs.size()) {
      WriteInterleaved(ost, p);
      return;
    }
    AVBSFContext* bsf = ost.Bsfs[i];
    int rc = lavc.av_bsf_send_packet(bsf, p);
    if (rc < 0) {
      RaiseOrLog(Format("%s failed for stream %d, codec %s", bsf->filter->name, ost.StreamIndex,
                        ost.Encoder ? ost.Encoder->name : "copy") + ": " + LibraryErrorText(rc));
      lavc.av_packet_unref(p);
      return;
    }
    AVPacket* out = lavc.av_packet_alloc();
    while ((rc = lavc.av_bsf_receive_packet(bsf, out)) >= 0) run(i + 1, out);
    lavc.av_packet_free(&out);
  };
  run(0, pkt);
}

void TCustomFFmpeg::WriteInterleaved(TOutputStreamState& ost, AVPacket* pkt) {
  const int64_t end = (pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts) + std::max<int64_t>(pkt->duration, 0);
  if (pkt->dts != AV_NOPTS_VALUE || pkt->pts != AV_NOPTS_VALUE)
    ost.LastMuxEnd = ost.LastMuxEnd == AV_NOPTS_VALUE ? end : std::max(ost.LastMuxEnd, end);
  pkt->stream_index = ost.StreamIndex;
  const int rc = lavf.av_interleaved_write_frame(outputFiles_[ost.FileIndex].Ctx, pkt);
  if (rc < 0) Raise(FormatLibraryError("av_interleaved_write_frame()", rc));
}

void TCustomFFmpeg::FlushEncoders() {
  for (TOutputStreamState& ost : ost_) {
    if (!ost.EncodingNeeded || !ost.EncoderOpened) continue;
    const AVMediaType type = ost.Enc->codec_type;
    if (type == AVMEDIA_TYPE_SUBTITLE) continue;
    if (type == AVMEDIA_TYPE_VIDEO && (outputFiles_[ost.FileIndex].Ctx->oformat->flags & AVFMT_NOTIMESTAMPS) &&
        ost.Enc->codec_id == AV_CODEC_ID_RAWVIDEO)
      continue;
    if (type == AVMEDIA_TYPE_AUDIO) EncodeAudioFrames(ost, true);
    EncodeFrame(ost, nullptr);
  }
}

void TCustomFFmpeg::WaitWhilePaused() {
  std::unique_lock<std::mutex> g(pauseLock_);
  pauseCv_.wait(g, [&] { return !paused_ || StopRequested; });
}

void TCustomFFmpeg::CloseCodecs() {
  std::lock_guard<std::recursive_mutex> g(CodecLock());
  for (TOutputStreamState& ost : ost_) {
    if (ost.Enc) {
      lavu.av_freep(&ost.Enc->stats_in);
      lavc.avcodec_free_context(&ost.Enc);
    }
    ost.EncoderOpened = false;
  }
  for (TInputStreamState& ist : ist_)
    if (ist.Dec) lavc.avcodec_free_context(&ist.Dec);
}

void TCustomFFmpeg::FreeStreamTables() {
  for (TOutputStreamState& ost : ost_) {
    lavfi.avfilter_graph_free(&ost.Graph);
    lavu.av_frame_free(&ost.Filtered);
    lavu.av_frame_free(&ost.AudioFrame);
    lavu.av_frame_free(&ost.Converted);
    swr.swr_free(&ost.Resampler);
    if (ost.Fifo) lavu.av_audio_fifo_free(ost.Fifo);
    ost.Fifo = nullptr;
    for (AVBSFContext*& b : ost.Bsfs) lavc.av_bsf_free(&b);
    ost.Bsfs.clear();
    if (ost.LogFile) fclose(ost.LogFile);
    ost.LogFile = nullptr;
  }
  for (TInputStreamState& ist : ist_) lavu.av_frame_free(&ist.Frame);
  lavc.av_packet_free(&pkt_);
  lavc.av_packet_free(&encPkt_);
}

void TCustomFFmpeg::ReleaseSetup() {
  if (!AreLoaded(EngineLibraries)) return;
  DetachInputs();
  if (optsAllocated_) {
    FreeOptionContexts(opts_);
    optsAllocated_ = false;
  }
  FreeStreamTables();
  CloseCodecs();
  ReleaseHooks();
  for (TOutputFile& out : outputFiles_) {
    AVFormatContext* oc = out.Ctx;
    // A failed conversion still gets a trailer so that what was written plays.
    if (out.HeaderWritten) {
      lavf.av_write_trailer(oc);
      out.HeaderWritten = false;
    }
    const bool hasFile = !(oc->oformat->flags & AVFMT_NOFILE) && oc->pb;
    if (hasFile) lavf.avio_closep(&oc->pb);
    if (hasFile) DeleteIfEmptyFile(out.FileName);
    lavu.av_dict_free(&out.MuxerOptions);
    lavf.avformat_free_context(oc);
  }
  outputFiles_.clear();
  for (TInputFile& in : inputFiles_) lavf.avformat_close_input(&in.Ctx);
  inputFiles_.clear();
  ist_.clear();
  ost_.clear();
  if (vstatsFile_) fclose(vstatsFile_);
  vstatsFile_ = nullptr;
  subtitleBuffer_ = {};
}
