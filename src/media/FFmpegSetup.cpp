// Opening inputs, creating outputs and their streams from the task settings.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <mutex>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "UnicodeProtocol.h"

namespace {

int InterruptCallback(void* opaque) {
  return static_cast<TCustomFFmpeg*>(opaque)->StopRequested.load() ? 1 : 0;
}

int KindOf(AVMediaType type) { return type == AVMEDIA_TYPE_VIDEO ? 0 : type == AVMEDIA_TYPE_AUDIO ? 1 : 2; }

bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

}  // namespace

const AVCodec* TCustomFFmpeg::FindCodec(const std::string& name, AVMediaType type, bool encoder,
                                        int strictness) {
  if (name.empty()) return nullptr;
  const char* direction = encoder ? "encoder" : "decoder";
  const AVCodec* codec = encoder ? lavc.avcodec_find_encoder_by_name(name.c_str())
                                 : lavc.avcodec_find_decoder_by_name(name.c_str());
  if (!codec) throw FFmpegException(Format("Unknown %s '%s'", direction, name.c_str()));
  if (codec->type != type) throw FFmpegException(Format("Invalid %s type '%s'", direction, name.c_str()));
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) && strictness > FF_COMPLIANCE_EXPERIMENTAL) {
    std::string message = Format(
        "%s '%s' is experimental and might produce bad results.\r\nAdd '-strict experimental' if you "
        "want to use it.",
        direction, codec->name);
    const AVCodec* other = encoder ? lavc.avcodec_find_encoder(codec->id) : lavc.avcodec_find_decoder(codec->id);
    if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      message += Format("\r\nOr use the non experimental %s '%s'.", direction, other->name);
    throw FFmpegException(message);
  }
  return codec;
}

bool TCustomFFmpeg::OpenInputFile(const TPathFileName& fileName) {
  const AVInputFormat* format = nullptr;
  if (!S.FormatName.empty()) {
    format = lavf.av_find_input_format(S.FormatName.c_str());
    const std::string wanted = S.FormatName;
    S.FormatName.clear();
    if (!format) throw FFmpegException(Format("Unknown input format: \"%s\"", wanted.c_str()));
  }
  if (inputFiles_.size() >= MAX_FILES) {
    lastErrMsg_ = Format("max input files %d reached", MAX_FILES);
    return false;
  }
  AVFormatContext* ctx = lavf.avformat_alloc_context();
  if (!ctx) throw FFmpegException("avformat_alloc_context failed");
  AVDictionary* options = nullptr;
  auto fail = [&](const std::string& message) {
    lastErrMsg_ = message;
    lavu.av_dict_free(&options);
    if (ctx) lavf.avformat_close_input(&ctx);
    return false;
  };
  // Raw inputs take their geometry from the settings.
  if (format) {
    if (S.AudioSampleRate > 0) lavu.av_dict_set_int(&options, "sample_rate", S.AudioSampleRate, 0);
    if (S.AudioChannels > 0) lavu.av_dict_set_int(&options, "channels", S.AudioChannels, 0);
    if (S.FrameRate.num && S.FrameRate.den)
      lavu.av_dict_set(&options, "framerate", Format("%d/%d", S.FrameRate.num, S.FrameRate.den).c_str(), 0);
    if (S.FrameWidth && S.FrameHeight)
      lavu.av_dict_set(&options, "video_size", Format("%dx%d", S.FrameWidth, S.FrameHeight).c_str(), 0);
    if (S.FramePixFmt != AV_PIX_FMT_NONE)
      lavu.av_dict_set(&options, "pixel_format", lavu.av_get_pix_fmt_name(S.FramePixFmt), 0);
    if (!S.VideoStandard.empty()) lavu.av_dict_set(&options, "standard", S.VideoStandard.c_str(), 0);
  }
  ApplyContextOptions(opts_, &options, opts_.FormatOpts, AV_OPT_FLAG_DECODING_PARAM);

  const AVCodec* decoders[3] = {};
  try {
    decoders[0] = FindCodec(S.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, 0);
    decoders[1] = FindCodec(S.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, 0);
    decoders[2] = FindCodec(S.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, false, 0);
  } catch (const FFmpegException& e) {
    S.VideoCodecName.clear(), S.AudioCodecName.clear(), S.SubtitleCodecName.clear();
    return fail(e.what());
  }
  S.VideoCodecName.clear(), S.AudioCodecName.clear(), S.SubtitleCodecName.clear();
  ctx->flags |= AVFMT_FLAG_NONBLOCK;
  ctx->interrupt_callback.callback = InterruptCallback;
  ctx->interrupt_callback.opaque = this;
  if (S.UsingPgmYuv) ctx->video_codec_id = AV_CODEC_ID_PGMYUV;

  int rc = lavf.avformat_open_input(&ctx, FileNameToURL(fileName).c_str(), format, &options);
  lavu.av_dict_free(&options);
  if (rc < 0) {
    ctx = nullptr;  // freed by the library
    return fail(FormatLibraryError(fileName, rc));
  }
  if (S.ProgramId) {
    bool found = false;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) ctx->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned p = 0; p < ctx->nb_programs; ++p) {
      AVProgram* program = ctx->programs[p];
      if (program->id != S.ProgramId) {
        program->discard = AVDISCARD_ALL;
        continue;
      }
      found = true;
      for (unsigned k = 0; k < program->nb_stream_indexes; ++k)
        ctx->streams[program->stream_index[k]]->discard = AVDISCARD_DEFAULT;
    }
    if (!found) return fail("Specified program id not found");
  }
  {
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    rc = lavf.avformat_find_stream_info(ctx, nullptr);
  }
  if (rc < 0) {
    const std::string message = fileName + ": could not find codec parameters";
    if (S.Verbosity >= 0) Log(llVerbose, message);
    return fail(message);
  }
  int64_t timestamp = S.StartTime;
  if (ctx->start_time != AV_NOPTS_VALUE) timestamp += ctx->start_time;
  if (S.StartTime != 0 && lavf.av_seek_frame(ctx, -1, timestamp, AVSEEK_FLAG_BACKWARD) < 0 && S.Verbosity > 0)
    Log(llVerbose, Format("%s: could not seek to position %0.3f", fileName.c_str(), timestamp / 1e6));
  S.StartTime = 0;

  TInputFile file;
  file.FirstStreamIndex = static_cast<int>(ist_.size());
  file.StreamCount = static_cast<int>(ctx->nb_streams);
  for (unsigned i = 0; i < ctx->nb_streams; ++i) {
    AVStream* st = ctx->streams[i];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_type < AVMEDIA_TYPE_UNKNOWN || par->codec_type >= AVMEDIA_TYPE_NB) {
      for (size_t k = file.FirstStreamIndex; k < ist_.size(); ++k) lavc.avcodec_free_context(&ist_[k].Dec);
      ist_.resize(file.FirstStreamIndex);
      lavf.avformat_close_input(&ctx);
      throw FFmpegException("invalid codec_type");
    }
    TInputStreamState ist;
    ist.FileIndex = static_cast<int>(inputFiles_.size());
    ist.StreamIndex = static_cast<int>(i);
    ist.Stream = st;
    const int kind = par->codec_type == AVMEDIA_TYPE_VIDEO ? 0 : par->codec_type == AVMEDIA_TYPE_AUDIO ? 1
                     : par->codec_type == AVMEDIA_TYPE_SUBTITLE ? 2 : -1;
    ist.DecoderByName = kind >= 0 ? decoders[kind] : nullptr;
    const AVCodec* decoder = ist.DecoderByName ? ist.DecoderByName : lavc.avcodec_find_decoder(par->codec_id);
    ist.Dec = lavc.avcodec_alloc_context3(decoder);
    if (ist.Dec) {
      lavc.avcodec_parameters_to_context(ist.Dec, par);
      ist.Dec->pkt_timebase = st->time_base;
      ist.Dec->thread_count = S.ThreadCount;
    }
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        if (ist.Dec)
          ApplyContextOptions(opts_, ist.Dec, opts_.CodecOpts[AVMEDIA_TYPE_VIDEO],
                              AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        S.FrameWidth = par->width;
        S.FrameHeight = par->height;
        AVRational sar = st->sample_aspect_ratio.num ? st->sample_aspect_ratio : par->sample_aspect_ratio;
        double aspect = sar.num && sar.den ? av_q2d(sar) : 0;
        if (S.FrameWidth * S.FrameHeight != 0)
          aspect = aspect != 0 ? S.FrameWidth * aspect / S.FrameHeight
                               : static_cast<double>(S.FrameWidth) / S.FrameHeight;
        else if (aspect == 0)
          aspect = 4.0 / 3;
        S.FrameAspectRatio = aspect;
        S.FramePixFmt = par->format == AV_PIX_FMT_NONE ? static_cast<AVPixelFormat>(0)
                                                       : static_cast<AVPixelFormat>(par->format);
        S.FrameRate = st->r_frame_rate.num ? st->r_frame_rate : st->avg_frame_rate;
        if (S.VideoDisable)
          st->discard = AVDISCARD_ALL;
        else if (S.VideoDiscard)
          st->discard = static_cast<AVDiscard>(S.VideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        if (ist.Dec)
          ApplyContextOptions(opts_, ist.Dec, opts_.CodecOpts[AVMEDIA_TYPE_AUDIO],
                              AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_DECODING_PARAM);
        S.AudioChannelLayout =
            par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? par->ch_layout.u.mask : 0;
        if (par->ch_layout.nb_channels > 0) S.AudioChannels = par->ch_layout.nb_channels;
        if (par->sample_rate > 0) S.AudioSampleRate = par->sample_rate;
        S.AudioSampleFmt = static_cast<AVSampleFormat>(par->format);
        if (S.AudioDisable) st->discard = AVDISCARD_ALL;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (S.SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      default:
        break;
    }
    ist_.push_back(ist);
  }
  if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > TotalDuration) TotalDuration = ctx->duration;
  file.Ctx = ctx;
  file.TsOffset = S.CopyTs ? S.InputTsOffset : S.InputTsOffset - timestamp;
  for (int k = 0; k < MAX_STREAMS; ++k) file.TsScale[k] = S.InputTsScale[k], S.InputTsScale[k] = 0;
  inputFiles_.push_back(file);
  if (S.Verbosity >= 0)
    lavf.av_dump_format(ctx, static_cast<int>(inputFiles_.size()) - 1, fileName.c_str(), 0);
  S.VideoChannel = 0;
  return true;
}

TOutputStreamState& TCustomFFmpeg::NewOutputStream(int fileIndex, AVMediaType type) {
  AVFormatContext* oc = outputFiles_[fileIndex].Ctx;
  AVStream* st = lavf.avformat_new_stream(oc, nullptr);
  if (!st) throw FFmpegException("Could not alloc stream");
  const int index = st->index;
  if (index < MAX_STREAMS && S.StreamIdMap[index]) st->id = S.StreamIdMap[index];
  st->codecpar->codec_type = type;
  TOutputStreamState ost;
  ost.FileIndex = fileIndex;
  ost.StreamIndex = index;
  ost.Stream = st;
  const int kind = KindOf(type);
  ost.BsfNames = std::move(S.PendingBsfs[kind]);
  S.PendingBsfs[kind].clear();
  ost.PrivateOptions = std::move(S.PrivateOptions[kind]);
  S.PrivateOptions[kind].clear();
  ost_.push_back(std::move(ost));
  return ost_.back();
}

namespace {
AVCodecContext* AllocEncoder(const AVCodec* codec, AVMediaType type, int threads) {
  AVCodecContext* enc = lavc.avcodec_alloc_context3(codec);
  if (!enc) throw FFmpegException("Could not alloc stream");
  enc->codec_type = type;
  enc->thread_count = threads;
  return enc;
}
}  // namespace

const AVCodec* TCustomFFmpeg::ChooseEncoder(const std::string& name, AVMediaType type, AVFormatContext* oc) {
  const AVCodec* codec = FindCodec(name, type, true, opts_.CodecOpts[type]->strict_std_compliance);
  if (codec) return codec;
  return lavc.avcodec_find_encoder(lavf.av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type));
}

namespace {
// The settings that name one stream are used up by it.
void FinishStreamSettings(AVStream* st, std::string& language, bool& disable, std::string& codecName, bool& copy) {
  if (!language.empty()) {
    lavu.av_dict_set(&st->metadata, "language", language.c_str(), 0);
    language.clear();
  }
  disable = false;
  codecName.clear();
  copy = false;
}
}  // namespace

void TCustomFFmpeg::NewVideoStream(int fileIndex) {
  AVFormatContext* oc = outputFiles_[fileIndex].Ctx;
  TOutputStreamState& ost = NewOutputStream(fileIndex, AVMEDIA_TYPE_VIDEO);
  AVStream* st = ost.Stream;
  if (S.VideoCodecTag) st->codecpar->codec_tag = S.VideoCodecTag;
  auto sampleAspect = [&]() -> AVRational {
    if (S.FrameAspectRatio <= 0) return {0, 1};
    double sar = S.FrameWidth && S.FrameHeight ? S.FrameAspectRatio * S.FrameHeight / S.FrameWidth
                                               : S.FrameAspectRatio * 3 / 4;
    return lavu.av_d2q(sar, 255);
  };
  if (S.VideoStreamCopy) {
    ost.StreamCopy = true;
    st->sample_aspect_ratio = sampleAspect();
  } else {
    AVRational rate = S.FrameRate.num && S.FrameRate.den ? S.FrameRate : AVRational{25, 1};
    const AVCodec* codec = ChooseEncoder(S.VideoCodecName, AVMEDIA_TYPE_VIDEO, oc);
    ost.Encoder = codec;
    AVCodecContext* enc = ost.Enc = AllocEncoder(codec, AVMEDIA_TYPE_VIDEO, S.ThreadCount);
    ApplyContextOptions(opts_, enc, opts_.CodecOpts[AVMEDIA_TYPE_VIDEO],
                        AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (codec && codec->supported_framerates && !S.ForceFps)
      rate = codec->supported_framerates[lavu.av_find_nearest_q_idx(rate, codec->supported_framerates)];
    enc->time_base = av_inv_q(rate);
    enc->framerate = rate;
    enc->width = S.FrameWidth;
    enc->height = S.FrameHeight;
    enc->sample_aspect_ratio = st->sample_aspect_ratio = sampleAspect();
    AVPixelFormat fmt = S.FramePixFmt;
    if (codec && codec->pix_fmts) {
      bool listed = false;
      for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) listed |= *p == fmt;
      const bool mjpegLoose = codec->id == AV_CODEC_ID_MJPEG && enc->strict_std_compliance < 0 &&
                              (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUV422P);
      if (!listed && !mjpegLoose) fmt = codec->pix_fmts[0];
    }
    enc->pix_fmt = fmt;
    if (S.VideoCodecTag) enc->codec_tag = S.VideoCodecTag;
    if (S.IntraOnly) enc->gop_size = 0;
    if (S.VideoQscale > 0 || S.SameQuality) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(std::lround(FF_QP2LAMBDA * S.VideoQscale));
    }
    auto matrix = [&](const std::vector<uint16_t>& m) -> uint16_t* {
      if (m.empty()) return nullptr;
      auto* out = static_cast<uint16_t*>(lavu.av_malloc(64 * sizeof(uint16_t)));
      for (int i = 0; i < 64; ++i) out[i] = i < static_cast<int>(m.size()) ? m[i] : m.back();
      return out;
    };
    enc->intra_matrix = matrix(S.IntraMatrix);
    enc->inter_matrix = matrix(S.InterMatrix);
    if (!S.RcOverride.empty()) {
      std::vector<RcOverride> overrides;
      size_t pos = 0;
      while (pos <= S.RcOverride.size()) {
        size_t slash = S.RcOverride.find('/', pos);
        std::string entry = S.RcOverride.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        int start = 0, end = 0, q = 0;
        if (sscanf(entry.c_str(), "%d,%d,%d", &start, &end, &q) < 2)
          throw FFmpegException("error parsing rc_override");
        RcOverride o{};
        o.start_frame = start;
        o.end_frame = end;
        if (q > 0) {
          o.qscale = q;
          o.quality_factor = 1.0f;
        } else {
          o.qscale = 0;
          o.quality_factor = -q / 100.0f;
        }
        overrides.push_back(o);
        if (slash == std::string::npos) break;
        pos = slash + 1;
      }
      enc->rc_override = static_cast<RcOverride*>(lavu.av_malloc(overrides.size() * sizeof(RcOverride)));
      std::copy(overrides.begin(), overrides.end(), enc->rc_override);
      enc->rc_override_count = static_cast<int>(overrides.size());
    }
    if (enc->rc_initial_buffer_occupancy == 0)
      enc->rc_initial_buffer_occupancy = static_cast<int>(enc->rc_buffer_size * 3LL / 4);
    enc->intra_dc_precision = S.IntraDcPrecision - 8;
    if (S.DoPsnr) enc->flags |= AV_CODEC_FLAG_PSNR;
    if (S.DoPass == 1) enc->flags |= AV_CODEC_FLAG_PASS1;
    if (S.DoPass == 2) enc->flags |= AV_CODEC_FLAG_PASS2;
    if ((S.VideoGlobalHeader & 1) || (S.VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER)))
      enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (S.VideoGlobalHeader & 2) enc->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
  FinishStreamSettings(st, S.VideoLanguage, S.VideoDisable, S.VideoCodecName, S.VideoStreamCopy);
  S.FramePixFmt = AV_PIX_FMT_NONE;
}

void TCustomFFmpeg::NewAudioStream(int fileIndex) {
  AVFormatContext* oc = outputFiles_[fileIndex].Ctx;
  TOutputStreamState& ost = NewOutputStream(fileIndex, AVMEDIA_TYPE_AUDIO);
  AVStream* st = ost.Stream;
  if (S.AudioCodecTag) st->codecpar->codec_tag = S.AudioCodecTag;
  if (S.AudioStreamCopy) {
    ost.StreamCopy = true;
  } else {
    const AVCodec* codec = ChooseEncoder(S.AudioCodecName, AVMEDIA_TYPE_AUDIO, oc);
    ost.Encoder = codec;
    AVCodecContext* enc = ost.Enc = AllocEncoder(codec, AVMEDIA_TYPE_AUDIO, S.ThreadCount);
    ApplyContextOptions(opts_, enc, opts_.CodecOpts[AVMEDIA_TYPE_AUDIO],
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (S.AudioQscale > -99999) {
      enc->flags |= AV_CODEC_FLAG_QSCALE;
      enc->global_quality = static_cast<int>(std::lround(FF_QP2LAMBDA * S.AudioQscale));
    }
    lavu.av_channel_layout_uninit(&enc->ch_layout);
    AVChannelLayout layout{};
    if (S.AudioChannelLayout && lavu.av_channel_layout_from_mask(&layout, S.AudioChannelLayout) == 0 &&
        layout.nb_channels == S.AudioChannels) {
      lavu.av_channel_layout_copy(&enc->ch_layout, &layout);
    } else {
      lavu.av_channel_layout_default(&enc->ch_layout, S.AudioChannels);
    }
    lavu.av_channel_layout_uninit(&layout);
    AVSampleFormat fmt = S.AudioSampleFmt;
    if (codec && codec->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat* p = codec->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) listed |= *p == fmt;
      if (!listed) fmt = codec->sample_fmts[0];
    }
    enc->sample_fmt = fmt;
    int rate = S.AudioSampleRate;
    if (codec && codec->supported_samplerates) {
      int best = codec->supported_samplerates[0];
      for (const int* r = codec->supported_samplerates; *r; ++r)
        if (std::abs(*r - rate) < std::abs(best - rate)) best = *r;
      if (best != rate) {
        Log(llWarning, Format("Requested sampling rate unsupported using closest supported (%d)", best));
        rate = best;
      }
    }
    enc->sample_rate = rate;
    enc->time_base = AVRational{1, rate};
    if (S.AudioCodecTag) enc->codec_tag = S.AudioCodecTag;
    if (oc->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  FinishStreamSettings(st, S.AudioLanguage, S.AudioDisable, S.AudioCodecName, S.AudioStreamCopy);
}

void TCustomFFmpeg::NewSubtitleStream(int fileIndex) {
  AVFormatContext* oc = outputFiles_[fileIndex].Ctx;
  TOutputStreamState& ost = NewOutputStream(fileIndex, AVMEDIA_TYPE_SUBTITLE);
  AVStream* st = ost.Stream;
  if (S.SubtitleCodecTag) st->codecpar->codec_tag = S.SubtitleCodecTag;
  if (S.SubtitleStreamCopy) {
    ost.StreamCopy = true;
  } else {
    const AVCodec* codec = ChooseEncoder(S.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE, oc);
    ost.Encoder = codec;
    ost.Enc = AllocEncoder(codec, AVMEDIA_TYPE_SUBTITLE, S.ThreadCount);
    ApplyContextOptions(opts_, ost.Enc, opts_.CodecOpts[AVMEDIA_TYPE_SUBTITLE],
                        AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    if (S.SubtitleCodecTag) ost.Enc->codec_tag = S.SubtitleCodecTag;
  }
  FinishStreamSettings(st, S.SubtitleLanguage, S.SubtitleDisable, S.SubtitleCodecName, S.SubtitleStreamCopy);
}

int TCustomFFmpeg::OpenOutputFile(const TPathFileName& fileName, bool join) {
  if (JoinMode) {
    lastErrMsg_ = "Cannot join more than one output file.";
    return -1;
  }
  usingFilters_ = !S.VFilters.empty();
  S.PendingOutputName.clear();
  const std::string url = FileNameToURL(fileName);
  const AVOutputFormat* format = nullptr;
  if (!S.FormatName.empty()) {
    format = lavf.av_guess_format(S.FormatName.c_str(), nullptr, nullptr);
    const std::string wanted = S.FormatName;
    S.FormatName.clear();
    if (!format) {
      lastErrMsg_ = Format("Requested output format '%s' is not a suitable output format", wanted.c_str());
      return -1;
    }
  } else {
    format = lavf.av_guess_format(nullptr, fileName.c_str(), nullptr);
    if (!format) {
      lastErrMsg_ = Format("Unable to find a suitable output format for '%s'", fileName.c_str());
      return -1;
    }
  }
  // Writing over a file this task reads would destroy the source.
  for (const TInputFile& in : inputFiles_)
    if (in.Ctx && in.Ctx->url && SameFile(URLToFileName(in.Ctx->url), fileName)) {
      lastErrMsg_ = Format("Output file '%s' is the same as an input file", fileName.c_str());
      return -1;
    }
  if (outputFiles_.size() >= MAX_FILES) {
    lastErrMsg_ = Format("max output files %d reached", MAX_FILES);
    return -1;
  }
  AVFormatContext* oc = lavf.avformat_alloc_context();
  if (!oc) throw FFmpegException("avformat_alloc_context failed");
  oc->oformat = format;
  oc->url = lavu.av_strdup(url.c_str());
  // No interrupt callback here: a stop must still write the trailer.
  TOutputFile out;
  out.Ctx = oc;
  out.FileName = fileName;
  outputFiles_.push_back(out);
  const int index = static_cast<int>(outputFiles_.size()) - 1;
  const size_t firstOst = ost_.size();
  auto fail = [&](const std::string& message) {
    // What this output asked for is used up, so the next output starts clean.
    S.VideoCodecName.clear(), S.AudioCodecName.clear(), S.SubtitleCodecName.clear();
    S.VideoStreamCopy = S.AudioStreamCopy = S.SubtitleStreamCopy = false;
    S.VideoDisable = S.AudioDisable = S.SubtitleDisable = false;
    for (auto& p : S.PrivateOptions) p.clear();
    S.FormatPrivateOptions.clear();
    for (size_t k = firstOst; k < ost_.size(); ++k) lavc.avcodec_free_context(&ost_[k].Enc);
    ost_.resize(firstOst);
    if (oc->pb) {
      lavf.avio_closep(&oc->pb);
      DeleteIfEmptyFile(fileName);
    }
    lavf.avformat_free_context(oc);
    outputFiles_.pop_back();
    lastErrMsg_ = message;
    return -1;
  };

  // Audio formats that name PNG as their picture codec take cover art, not a
  // moving picture; they get video only when asked for.
  const bool coverArtOnly = format->video_codec == AV_CODEC_ID_PNG;
  bool useVideo = S.VideoStreamCopy || (format->video_codec != AV_CODEC_ID_NONE && !coverArtOnly) ||
                  !S.VideoCodecName.empty();
  bool useAudio = S.AudioStreamCopy || format->audio_codec != AV_CODEC_ID_NONE || !S.AudioCodecName.empty();
  bool useSubtitle =
      S.SubtitleStreamCopy || format->subtitle_codec != AV_CODEC_ID_NONE || !S.SubtitleCodecName.empty();
  if (!inputFiles_.empty()) {
    bool has[3] = {};
    const size_t files = join ? 1 : inputFiles_.size();
    for (size_t f = 0; f < files; ++f)
      for (unsigned i = 0; i < inputFiles_[f].Ctx->nb_streams; ++i) {
        const AVStream* st = inputFiles_[f].Ctx->streams[i];
        if (st->discard == AVDISCARD_ALL) continue;
        switch (st->codecpar->codec_type) {
          case AVMEDIA_TYPE_VIDEO: has[0] = true; break;
          case AVMEDIA_TYPE_AUDIO: has[1] = true; break;
          case AVMEDIA_TYPE_SUBTITLE: has[2] = true; break;
          default: break;
        }
      }
    useVideo &= has[0];
    useAudio &= has[1];
    useSubtitle &= has[2];
  }
  if (S.VideoDisable) useVideo = false;
  if (S.AudioDisable) useAudio = false;
  try {
    if (useVideo) NewVideoStream(index);
  } catch (const FFmpegException& e) {
    return fail(Format("new_video_stream fail: %s", e.what()));
  }
  try {
    if (useAudio) NewAudioStream(index);
  } catch (const FFmpegException& e) {
    return fail(Format("new_audio_stream fail: %s", e.what()));
  }
  try {
    if (useSubtitle && !S.SubtitleDisable) NewSubtitleStream(index);
  } catch (const FFmpegException& e) {
    return fail(Format("new_subtitle_stream fail: %s", e.what()));
  }
  if (S.RecordingTimestamp) {
    time_t t = static_cast<time_t>(S.RecordingTimestamp);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char iso[64];
    strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S.000000Z", &tm);
    lavu.av_dict_set(&oc->metadata, "creation_time", iso, 0);
  }
  for (auto it = S.Metadata.rbegin(); it != S.Metadata.rend(); ++it)
    lavu.av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
  S.Metadata.clear();

  if ((format->flags & AVFMT_NEEDNUMBER) && !lavf.av_filename_number_test(fileName.c_str()))
    return fail(FormatLibraryError(fileName, AVERROR(EDOM)));
  if (!(format->flags & AVFMT_NOFILE)) {
    int rc = lavf.avio_open2(&oc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
    if (rc < 0) return fail(FormatLibraryError(fileName, rc));
  }
  oc->max_delay = static_cast<int>(std::lround(S.MuxMaxDelay * AV_TIME_BASE));
  ApplyContextOptions(opts_, oc, opts_.FormatOpts, AV_OPT_FLAG_ENCODING_PARAM);
  for (const auto& [name, value] : S.FormatPrivateOptions)
    lavu.av_dict_set(&outputFiles_[index].MuxerOptions, name.c_str(), value.c_str(), 0);
  S.FormatPrivateOptions.clear();
  if (format->priv_class && S.MuxPreload != 0.5) {
    const AVClass* cls = format->priv_class;
    if (lavu.av_opt_find(&cls, "preload", nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ))
      lavu.av_dict_set_int(&outputFiles_[index].MuxerOptions, "preload",
                           std::lround(S.MuxPreload * AV_TIME_BASE), 0);
  }
  for (int& id : S.StreamIdMap) id = 0;
  // A task gets its one input from AddTask, so there is never a second input
  // to join; the flag has nothing to act on.
  (void)join;
  return static_cast<int>(outputFiles_.size());
}
