// The option table: defaults, the dispatcher for one name=value option, the
// option lines of the records and the order in which an output record applies.
#include <algorithm>
#include <map>
#include <set>
#include <cctype>
#include <cmath>
#include <ctime>

#include "FFmpeg.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"

namespace {

[[noreturn]] void Fail(const std::string& message) { throw FFmpegException(message); }

int StrToInt(const std::string& text) {
  const std::string t = TrimText(text);
  size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(t, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != t.size() || v < INT_MIN || v > INT_MAX)
    Fail("'" + text + "' is not a valid integer value");
  return static_cast<int>(v);
}

int64_t StrToInt64(const std::string& text) {
  const std::string t = TrimText(text);
  size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(t, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != t.size()) Fail("'" + text + "' is not a valid integer value");
  return v;
}

double StrToFloat(const std::string& text) {
  const std::string t = TrimText(text);
  size_t used = 0;
  double v = 0;
  try {
    v = std::stod(t, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != t.size()) Fail("'" + text + "' is not a valid floating point value");
  return v;
}

bool FlagValue(const std::string& value) { return value != "0"; }

int64_t ParseDuration(const std::string& option, const std::string& value) {
  int64_t us = 0;
  if (lavu.av_parse_time(&us, value.c_str(), 1) < 0)
    Fail(Format("Invalid %s specification for %s: %s", "duration", option.c_str(), value.c_str()));
  return us;
}

uint32_t FourCC(const std::string& value, const char* kind) {
  if (value.size() != 4) Fail(Format("%s tag parameter must be 4 chars", kind));
  return static_cast<uint32_t>(static_cast<uint8_t>(value[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(value[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(value[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(value[3])) << 24;
}

// Lines of an option text: trimmed, any line break style, "<CRLF>" as a break.
std::vector<std::pair<std::string, std::string>> SplitOptionLines(const std::string& text) {
  std::string t = TrimText(text);
  for (size_t p; (p = t.find("<CRLF>")) != std::string::npos;) t.replace(p, 6, "\n");
  std::vector<std::pair<std::string, std::string>> lines;
  size_t start = 0;
  while (start <= t.size()) {
    size_t end = t.find_first_of("\r\n", start);
    std::string line = t.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!TrimText(line).empty()) {
      size_t eq = line.find('=');
      std::string name = LowerCase(TrimText(eq == std::string::npos ? line : line.substr(0, eq)));
      std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
      lines.emplace_back(name, value);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

}  // namespace

int64_t LocalDateTimeToUnix(double days) {
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  long offset = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);  // standard time only
  return std::llround((days - 25569.0) * 86400.0 - offset);
}

void TCustomFFmpeg::Log(TLogLevel level, const std::string& text) { FFLogger().Log(this, level, text); }

void TCustomFFmpeg::ResetOptions() {
  if (!AreLoaded(EngineLibraries)) return;
  ReleaseSetup();
  S = TTranscoderSettings{};
  JoinMode = false;
  Running = false;
  StopRequested = false;
  Finished = false;
  TerminateNotified = false;
  ExceptionRaised = false;
  ExceptionMsg.clear();
  TotalDuration = -1;
  HookFrameCount = 0;
  ClearOptionContexts(opts_);
  AllocOptionContexts(opts_, S.SwsFlags);
  optsAllocated_ = true;
}

void TCustomFFmpeg::SetGenericOption(const std::string& name, const std::string& value,
                                     bool warnLowBitrate) {
  TSetOptionResult result;
  if (SetDefaultOption(opts_, name, value, &result)) {
    if (warnLowBitrate) {
      const AVCodecContext* c = opts_.CodecOpts[name == "ab" ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO];
      if (c && c->bit_rate < 1000)
        Log(llWarning,
            "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    }
    return;
  }
  if (result == TSetOptionResult::Invalid)
    Fail(Format("Invalid value \"%s\" for option \"%s\"", value.c_str(), name.c_str()));
  // An encoder's own option ("preset", "crf") is kept for the next stream
  // that uses that encoder.
  const std::pair<const std::string*, int> named[] = {{&S.VideoCodecName, 0}, {&S.AudioCodecName, 1},
                                                      {&S.SubtitleCodecName, 2}};
  for (auto [codecName, kind] : named) {
    if (codecName->empty()) continue;
    const AVCodec* codec = lavc.avcodec_find_encoder_by_name(codecName->c_str());
    if (!codec || !codec->priv_class) continue;
    const AVClass* cls = codec->priv_class;
    if (lavu.av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
      S.PrivateOptions[kind].emplace_back(name, value);
      return;
    }
  }
  // The muxer's own options ("movflags", "muxrate").
  const AVOutputFormat* muxer =
      !S.FormatName.empty() ? lavf.av_guess_format(S.FormatName.c_str(), nullptr, nullptr)
      : !S.PendingOutputName.empty() ? lavf.av_guess_format(nullptr, S.PendingOutputName.c_str(), nullptr)
                                     : nullptr;
  if (muxer && muxer->priv_class) {
    const AVClass* cls = muxer->priv_class;
    if (lavu.av_opt_find(&cls, name.c_str(), nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ)) {
      S.FormatPrivateOptions.emplace_back(name, value);
      return;
    }
  }
  // A silently ignored option would convert with settings nobody asked for.
  Fail(Format("Unrecognized option '%s'", name.c_str()));
}

void TCustomFFmpeg::AddBitstreamFilter(int kind, const std::string& value) {
  if (value.empty() || value[0] == '=') return;
  const std::string name = value.substr(0, value.find('='));
  if (!lavc.av_bsf_get_by_name(name.c_str())) Fail(Format("Unknown bitstream filter %s", name.c_str()));
  S.PendingBsfs[kind].push_back(value);
}

void TCustomFFmpeg::ApplyOption(const std::string& name, const std::string& value) {
  const std::string& n = name;
  static const char* kIgnored[] = {"L",   "h",         "version", "formats", "codecs", "bsfs",
                                   "protocols", "filters", "i", "y", "benchmark"};
  for (const char* ignored : kIgnored)
    if (n == ignored) {
      Log(llInfo, "Do nothing: option - " + n);
      return;
    }
  if (n == "loglevel") {
    try {
      FFLogger().SetLogLevelByName(value);
    } catch (const std::exception& e) {
      Fail(e.what());
    }
  } else if (n == "f") {
    S.FormatName = value;
    if (value == "pgmyuv") {
      S.FormatName = "image2";
      S.UsingPgmYuv = true;
      Log(llInfo, "pgmyuv format is deprecated, use image2");
    }
  } else if (n == "map") {
    if (S.StreamMaps.size() >= MAX_STREAM_MAPS) Fail("too many stream maps");
    TStreamMap m;
    const char* p = value.c_str();
    char* end = nullptr;
    m.FileIndex = static_cast<int>(strtol(p, &end, 0));
    p = *end ? end + 1 : end;
    m.StreamIndex = static_cast<int>(strtol(p, &end, 0));
    if (*end) {
      p = end + 1;
      m.SyncFileIndex = static_cast<int>(strtol(p, &end, 0));
      p = *end ? end + 1 : end;
      m.SyncStreamIndex = static_cast<int>(strtol(p, &end, 0));
    } else {
      m.SyncFileIndex = m.FileIndex;
      m.SyncStreamIndex = m.StreamIndex;
    }
    S.StreamMaps.push_back(m);
  } else if (n == "map_meta_data") {
    if (S.MetaDataMaps.size() >= MAX_FILES) Fail("too many metadata maps");
    char* end = nullptr;
    int out = static_cast<int>(strtol(value.c_str(), &end, 0));
    int in = *end ? static_cast<int>(strtol(end + 1, nullptr, 0)) : 0;
    S.MetaDataMaps.emplace_back(out, in);
  } else if (n == "t") {
    S.RecordingTime = ParseDuration(n, value);
    TotalDuration = S.RecordingTime;
  } else if (n == "fs") {
    S.LimitFileSize = StrToInt64(value);
  } else if (n == "ss") {
    S.StartTime = ParseDuration(n, value);
  } else if (n == "itsoffset") {
    S.InputTsOffset = ParseDuration(n, value);
  } else if (n == "itsscale") {
    size_t colon = value.find(':');
    int stream = StrToInt(value.substr(0, colon));
    if (stream < 0 || stream >= MAX_STREAMS) Fail(Format("stream index over MAX_STREAMS(%d)", MAX_STREAMS));
    S.InputTsScale[stream] = colon == std::string::npos ? 1.0 : StrToFloat(value.substr(colon + 1));
  } else if (n == "timestamp") {
    int64_t us = 0;
    if (lavu.av_parse_time(&us, value.c_str(), 0) < 0)
      Fail(Format("Invalid %s specification for %s: %s", "date", n.c_str(), value.c_str()));
    S.RecordingTimestamp = std::llround(us / 1000000.0);
  } else if (n == "metadata") {
    size_t eq = value.find('=');
    if (eq == std::string::npos) Fail("Missing =");
    S.Metadata.emplace_back(value.substr(0, eq), value.substr(eq + 1));
  } else if (n == "dframes") {
    S.MaxFrames[AVMEDIA_TYPE_DATA] = StrToInt(value);
  } else if (n == "timelimit") {
    Log(llWarning, "Warning: -timelimit not implemented on Windows");
  } else if (n == "dump") {
    S.DoPktDump = FlagValue(value);
  } else if (n == "hex") {
    S.DoHexDump = FlagValue(value);
  } else if (n == "re") {
    S.RateEmu = FlagValue(value);
  } else if (n == "loop_input") {
    S.LoopInput = FlagValue(value);
  } else if (n == "loop_output") {
    S.LoopOutput = StrToInt(value);
  } else if (n == "v") {
    S.Verbosity = StrToInt(value);
  } else if (n == "target") {
    std::string t = TrimText(value), norm = "auto";
    for (const char* prefix : {"pal-", "ntsc-", "film-"})
      if (t.rfind(prefix, 0) == 0) {
        norm = std::string(prefix, strlen(prefix) - 1);
        t = t.substr(strlen(prefix));
      }
    ApplyTarget(t, norm, "ntsc");
  } else if (n == "threads") {
    int threads = StrToInt(value);
    if (threads < 0) Fail("threads must be 0 (automatic) or more");
    S.ThreadCount = threads;
  } else if (n == "vsync") {
    S.VideoSyncMethod = StrToInt(value);
  } else if (n == "async") {
    S.AudioSyncMethod = StrToInt(value);
  } else if (n == "adrift_threshold") {
    S.AudioDriftThreshold = StrToFloat(value);
  } else if (n == "vglobal") {
    S.VideoGlobalHeader = StrToInt(value);
  } else if (n == "copyts") {
    S.CopyTs = true;
  } else if (n == "shortest") {
    S.Shortest = FlagValue(value);
  } else if (n == "dts_delta_threshold") {
    S.DtsDeltaThreshold = StrToFloat(value);
  } else if (n == "programid") {
    S.ProgramId = StrToInt(value);
  } else if (n == "xerror") {
    S.ExitOnError = true;
  } else if (n == "copyinkf") {
    S.CopyInitialNonKeyframes = StrToInt(value);
  } else if (n == "b" || n == "vb" || n == "ab") {
    // Today's "b" option belongs to audio too; here it means video, as "vb".
    SetGenericOption(n == "b" ? "vb" : n, value, true);
  } else if (n == "vframes") {
    S.MaxFrames[AVMEDIA_TYPE_VIDEO] = StrToInt(value);
  } else if (n == "r") {
    AVRational rate;
    if (lavu.av_parse_video_rate(&rate, value.c_str()) < 0) Fail("Incorrect frame rate");
    S.FrameRate = rate;
  } else if (n == "s") {
    int w = 0, h = 0;
    if (lavu.av_parse_video_size(&w, &h, value.c_str()) < 0) Fail("Incorrect frame size");
    S.FrameWidth = w;
    S.FrameHeight = h;
  } else if (n == "aspect") {
    double ar = 0;
    size_t colon = value.find(':');
    if (colon != std::string::npos) {
      double x = StrToFloat(value.substr(0, colon)), y = StrToFloat(value.substr(colon + 1));
      ar = y > 0 ? x / y : 0;
    } else {
      ar = StrToFloat(value);
    }
    if (ar == 0) Fail("Incorrect aspect ratio specification.");
    S.FrameAspectRatio = ar;
  } else if (n == "pix_fmt") {
    if (value == "list") {
      for (int f = 0; f < AV_PIX_FMT_NB; ++f)
        if (const AVPixFmtDescriptor* d = lavu.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f)))
          Log(llInfo, Format("%-16s planes=%d bits=%d", d->name, d->nb_components,
                             lavu.av_get_bits_per_pixel ? lavu.av_get_bits_per_pixel(d) : 0));
      return;
    }
    AVPixelFormat f = lavu.av_get_pix_fmt(value.c_str());
    if (f == AV_PIX_FMT_NONE) Fail("Unknown pixel format requested: " + value);
    S.FramePixFmt = f;
  } else if (n == "sample_fmt") {
    if (value == "list") {
      for (int f = 0; f < AV_SAMPLE_FMT_NB; ++f)
        Log(llInfo, Format("%-8s %d bits", lavu.av_get_sample_fmt_name(static_cast<AVSampleFormat>(f)),
                           8 * lavu.av_get_bytes_per_sample(static_cast<AVSampleFormat>(f))));
      return;
    }
    S.AudioSampleFmt = lavu.av_get_sample_fmt(value.c_str());
  } else if (n == "croptop" || n == "cropbottom") {
    int band = StrToInt(value);
    if (band > 0 && band >= S.FrameHeight)
      Fail("Vertical crop dimensions are outside the range of the original image.\n"
           "Remember to crop first and scale second.");
    Log(llWarning, std::string(n == "croptop" ? "CropTop" : "CropBottom") +
                       " is deprecated in favor of the crop avfilter");
    (n == "croptop" ? S.FrameTopBand : S.FrameBottomBand) = band;
    S.FrameHeight -= band;
  } else if (n == "cropleft" || n == "cropright") {
    int band = StrToInt(value);
    if (band > 0 && band >= S.FrameWidth)
      Fail("Horizontal crop dimensions are outside the range of the original image.\n"
           "Remember to crop first and scale second.");
    Log(llWarning, std::string(n == "cropleft" ? "CropLeft" : "CropRight") +
                       " is deprecated in favor of the crop avfilter");
    (n == "cropleft" ? S.FrameLeftBand : S.FrameRightBand) = band;
    S.FrameWidth -= band;
  } else if (n == "padtop" || n == "padbottom" || n == "padleft" || n == "padright" || n == "padcolor") {
    Fail("Please use vfilters=pad");
  } else if (n == "intra") {
    S.IntraOnly = FlagValue(value);
  } else if (n == "vn") {
    S.VideoDisable = FlagValue(value);
  } else if (n == "vdt") {
    S.VideoDiscard = StrToInt(value);
  } else if (n == "qscale") {
    double q = StrToFloat(value);
    if (!(q > 0 && q <= 255)) Fail("qscale must be > 0.0 and <= 255");
    S.VideoQscale = q;
  } else if (n == "rc_override") {
    S.RcOverride = value;
  } else if (n == "vcodec") {
    if (value == "copy") S.VideoStreamCopy = true; else S.VideoCodecName = value;
  } else if (n == "me_threshold") {
    S.MeThreshold = StrToInt(value);
  } else if (n == "sameq") {
    S.SameQuality = FlagValue(value);
  } else if (n == "pass") {
    int pass = StrToInt(value);
    if (pass != 1 && pass != 2) Fail("pass number can be only 1 or 2");
    S.DoPass = pass;
  } else if (n == "passlogfile") {
    S.PassLogFilename = value;
  } else if (n == "deinterlace") {
    S.DoDeinterlace = FlagValue(value);
  } else if (n == "psnr") {
    S.DoPsnr = FlagValue(value);
  } else if (n == "vstats") {
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    char hhnnss[16];
    strftime(hhnnss, sizeof hhnnss, "%H%M%S", &tm);
    S.VStatsFilename = Format("%svstats_%s.log", ProgramFolder().c_str(), hhnnss);
  } else if (n == "vstats_file") {
    S.VStatsFilename = value;
  } else if (n == "vhook") {
    if (AddFrameHook(FrameHooks, SplitHookWords(value)) != 0) Fail("Failed to add video hook function: " + value);
    UseFrameHooks = true;
  } else if (n == "vfilters" || n == "vf") {
    S.VFilters = value;
  } else if (n == "intra_matrix" || n == "inter_matrix") {
    std::vector<uint16_t> m;
    size_t pos = 0;
    for (int i = 0; i < 64; ++i) {
      size_t comma = value.find(',', pos);
      std::string item = value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
      char* end = nullptr;
      long v = strtol(item.c_str(), &end, 10);
      if (item.empty() || *end || (comma == std::string::npos && i < 63))
        Fail(Format("Syntax error in matrix \"%s\" at coeff %d", value.c_str(), i));
      m.push_back(static_cast<uint16_t>(v));
      if (comma == std::string::npos) break;
      pos = comma + 1;
    }
    (n == "intra_matrix" ? S.IntraMatrix : S.InterMatrix) = m;
  } else if (n == "top") {
    S.TopFieldFirst = StrToInt(value);
  } else if (n == "dc") {
    S.IntraDcPrecision = StrToInt(value);
  } else if (n == "vtag") {
    S.VideoCodecTag = FourCC(value, "video");
  } else if (n == "newvideo") {
    NewStreamOption(AVMEDIA_TYPE_VIDEO);
  } else if (n == "vlang") {
    S.VideoLanguage = value;
  } else if (n == "qphist") {
    S.QpHist = FlagValue(value);
  } else if (n == "force_fps") {
    S.ForceFps = FlagValue(value);
  } else if (n == "streamid") {
    size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= value.size())
      Fail(Format("Invalid value \"%s\" for option \"%s\", required syntax is \"index:value\"",
                  value.c_str(), n.c_str()));
    int index = StrToInt(value.substr(0, colon));
    if (index < 0 || index >= MAX_STREAMS)
      Fail(Format("Invalid value \"%s\" for option \"%s\", the index must be 0 to %d", value.c_str(),
                  n.c_str(), MAX_STREAMS - 1));
    S.StreamIdMap[index] = StrToInt(value.substr(colon + 1));
  } else if (n == "aframes") {
    S.MaxFrames[AVMEDIA_TYPE_AUDIO] = StrToInt(value);
  } else if (n == "aq") {
    S.AudioQscale = StrToFloat(value);
  } else if (n == "ar") {
    int v = StrToInt(value);
    if (v > 0) S.AudioSampleRate = v;
  } else if (n == "ac") {
    int v = StrToInt(value);
    if (v > 0) S.AudioChannels = v;
  } else if (n == "an") {
    S.AudioDisable = FlagValue(value);
  } else if (n == "acodec") {
    if (value == "copy") S.AudioStreamCopy = true; else S.AudioCodecName = value;
  } else if (n == "atag") {
    S.AudioCodecTag = FourCC(value, "audio");
  } else if (n == "vol") {
    S.AudioVolume = StrToInt(value);
  } else if (n == "newaudio") {
    NewStreamOption(AVMEDIA_TYPE_AUDIO);
  } else if (n == "alang") {
    S.AudioLanguage = value;
  } else if (n == "sn") {
    S.SubtitleDisable = FlagValue(value);
  } else if (n == "scodec") {
    if (value == "copy") S.SubtitleStreamCopy = true; else S.SubtitleCodecName = value;
  } else if (n == "newsubtitle") {
    NewStreamOption(AVMEDIA_TYPE_SUBTITLE);
  } else if (n == "slang") {
    S.SubtitleLanguage = value;
  } else if (n == "stag") {
    S.SubtitleCodecTag = FourCC(value, "subtitle");
  } else if (n == "vc") {
    S.VideoChannel = StrToInt(value);
  } else if (n == "tvstd") {
    S.VideoStandard = value;
  } else if (n == "isync") {
    S.InputSync = FlagValue(value);
  } else if (n == "muxdelay") {
    S.MuxMaxDelay = StrToFloat(value);
  } else if (n == "muxpreload") {
    S.MuxPreload = StrToFloat(value);
  } else if (n == "absf") {
    AddBitstreamFilter(1, value);
  } else if (n == "vbsf") {
    AddBitstreamFilter(0, value);
  } else if (n == "sbsf") {
    AddBitstreamFilter(2, value);
  } else if (n == "apre" || n == "vpre" || n == "spre" || n == "fpre") {
    ApplyPreset(n[0], value);
  } else {
    SetGenericOption(n, value);
  }
}

void TCustomFFmpeg::NewStreamOption(AVMediaType type) {
  if (outputFiles_.empty()) Fail("At least one output file must be specified");
  const int file = static_cast<int>(outputFiles_.size()) - 1;
  if (type == AVMEDIA_TYPE_VIDEO) NewVideoStream(file);
  if (type == AVMEDIA_TYPE_AUDIO) NewAudioStream(file);
  if (type == AVMEDIA_TYPE_SUBTITLE) NewSubtitleStream(file);
}

void TCustomFFmpeg::ApplyOptionLines(const std::string& text, bool forInput) {
  for (const auto& [name, value] : SplitOptionLines(text)) {
    static const char* kAlwaysSkipped[] = {"newvideo", "newaudio", "newsubtitle", "apre",
                                           "vpre",     "spre",     "vfilters",    "vf"};
    if (std::find_if(std::begin(kAlwaysSkipped), std::end(kAlwaysSkipped),
                     [&](const char* s) { return name == s; }) != std::end(kAlwaysSkipped))
      continue;
    if (!forInput && (name == "acodec" || name == "vcodec" || name == "scodec" || name == "s")) continue;
    ApplyOption(name, value);
  }
}

void TCustomFFmpeg::ApplyInputRecord(const TInputOptions& o) {
  ApplyOptionLines(o.ExtOptions, true);
  if (!o.FileFormat.empty()) ApplyOption("f", o.FileFormat);
  if (o.StartTime != AV_NOPTS_VALUE) S.StartTime = o.StartTime;
  if (o.ProgramID >= 0) S.ProgramId = o.ProgramID;
}

namespace {
// The default entries and pending list of one output record (see
// ApplyOutputRecord); kept between the record and its new-stream lines.
struct OutputDefaults {
  std::map<std::string, std::string> def;
  std::vector<std::pair<std::string, std::string>> pending;
};
OutputDefaults BuildOutputDefaults(const TOutputOptions& o) {
  OutputDefaults d;
  d.def = {{"acodec", o.AudioCodec},  {"vcodec", o.VideoCodec},  {"scodec", o.SubtitleCodec},
           {"apre", o.AudioPreset},   {"vpre", o.VideoPreset},   {"spre", o.SubtitlePreset},
           {"s", o.FrameSize},        {"vf", o.VideoFilters}};
  for (auto [name, value] : SplitOptionLines(o.ExtOptions)) {
    if (name == "vfilters") name = "vf";
    if (!d.def.count(name) || value.empty()) continue;
    if (d.def[name].empty()) d.def[name] = value;
    d.pending.emplace_back(name, value);
  }
  return d;
}
}  // namespace

void TCustomFFmpeg::ApplyOutputRecord(const TOutputOptions& o) {
  OutputDefaults d = BuildOutputDefaults(o);
  S.PendingOutputName = o.FileName;
  if (o.Target >= 1 && o.Target <= 3) {
    static const char* kTypes[] = {"", "vcd", "svcd", "dvd"};
    const char* norm = o.TargetNorm == 1 ? "pal" : o.TargetNorm == 2 ? "ntsc" : "auto";
    ApplyTarget(kTypes[o.Target], norm, o.TargetDefaultNorm == 1 ? "pal" : "ntsc");
  }
  for (const char* n : {"acodec", "vcodec", "scodec"})
    if (!d.def[n].empty()) ApplyOption(n, d.def[n]);
  for (const char* n : {"apre", "vpre", "spre"})
    if (!d.def[n].empty()) ApplyOption(n, d.def[n]);
  ApplyOptionLines(o.ExtOptions, false);
  // Fields the record always applies would otherwise undo the same option
  // given as a line; the line wins.
  std::set<std::string> lineNames;
  for (const auto& line : SplitOptionLines(o.ExtOptions)) lineNames.insert(line.first);
  auto always = [&](const char* name) { return !lineNames.count(name); };

  auto setIf = [&](bool when, const char* name, const std::string& value) {
    if (when) ApplyOption(name, value);
  };
  auto generic = [&](bool when, const char* name, long long value) {
    if (when) SetGenericOption(name, std::to_string(value));
  };
  setIf(!o.FileFormat.empty(), "f", o.FileFormat);
  generic(o.PacketSize > 0, "packetsize", o.PacketSize);
  generic(o.MuxRate > 0, "muxrate", o.MuxRate);
  if (o.MuxMaxDelay > 0) S.MuxMaxDelay = o.MuxMaxDelay;
  if (o.MuxPreload > 0) S.MuxPreload = o.MuxPreload;
  if (o.DisableAudio) S.AudioDisable = true;
  if (o.AudioVolume >= 0) S.AudioVolume = o.AudioVolume;
  if (o.AudioChannels > 0) S.AudioChannels = o.AudioChannels;
  if (o.AudioSampleRate > 0) S.AudioSampleRate = o.AudioSampleRate;
  generic(o.AudioBitrate > 0, "ab", o.AudioBitrate);
  generic(o.AudioBitrateTolerance > 0, "abt", o.AudioBitrateTolerance);
  if (always("alang")) S.AudioLanguage = o.AudioLanguage;
  if (always("async")) S.AudioSyncMethod = o.AudioSyncMethod;
  setIf(!o.AudioTag.empty(), "atag", o.AudioTag);
  if (o.DisableVideo) S.VideoDisable = true;
  setIf(!o.FrameRate.empty(), "r", o.FrameRate);
  setIf(!o.AspectRatio.empty(), "aspect", o.AspectRatio);
  setIf(o.CropTop > 0, "croptop", std::to_string(o.CropTop));
  setIf(o.CropBottom > 0, "cropbottom", std::to_string(o.CropBottom));
  setIf(o.CropLeft > 0, "cropleft", std::to_string(o.CropLeft));
  setIf(o.CropRight > 0, "cropright", std::to_string(o.CropRight));
  generic(o.GOPSize > 0, "g", o.GOPSize);
  generic(o.VideoBitrate > 0, "vb", o.VideoBitrate);
  generic(o.VideoMaxRate > 0, "maxrate", o.VideoMaxRate);
  generic(o.VideoMinRate > 0, "minrate", o.VideoMinRate);
  generic(o.VideoBitrateTolerance > 0, "bt", o.VideoBitrateTolerance);
  generic(o.VideoBufSize > 0, "bufsize", o.VideoBufSize);
  if (always("vsync")) S.VideoSyncMethod = o.VideoSyncMethod;
  setIf(!o.VideoTag.empty(), "vtag", o.VideoTag);
  if (always("vlang")) S.VideoLanguage = o.VideoLanguage;
  if (o.DisableSubtitle) S.SubtitleDisable = true;
  if (always("slang")) S.SubtitleLanguage = o.SubtitleLanguage;
  if (always("isync")) S.InputSync = o.InputSync;
  if (o.CopyTimestamps) S.CopyTs = true;
  if (o.StartTime != AV_NOPTS_VALUE) S.StartTime = o.StartTime;
  if (o.RecordingTime != AV_NOPTS_VALUE) {
    S.RecordingTime = o.RecordingTime;
    TotalDuration = o.RecordingTime;
  }
  const TStreamInfo& m = o.Metadata;
  if (m.Timestamp == 0) S.RecordingTimestamp = time(nullptr);
  if (m.Timestamp > 0) S.RecordingTimestamp = LocalDateTimeToUnix(m.Timestamp);
  if (m.Year > 0) S.Metadata.emplace_back("year", std::to_string(m.Year));
  if (m.Track > 0) S.Metadata.emplace_back("track", std::to_string(m.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &m.Title},   {"author", &m.Author}, {"copyright", &m.Rights},
      {"comment", &m.Comment}, {"album", &m.Album},  {"genre", &m.Genre}};
  for (auto [key, value] : texts)
    if (!value->empty()) S.Metadata.emplace_back(key, *value);
  if (!d.def["s"].empty()) ApplyOption("s", d.def["s"]);
  if (!d.def["vf"].empty()) ApplyOption("vf", d.def["vf"]);
}

void TCustomFFmpeg::ApplyNewStreamLines(const TOutputOptions& o) {
  OutputDefaults d = BuildOutputDefaults(o);
  auto take = [&](const char* n) {
    for (auto it = d.pending.begin(); it != d.pending.end(); ++it)
      if (it->first == n) {
        std::string value = it->second;
        d.pending.erase(it);
        ApplyOption(n, value);
        return;
      }
    if (!d.def[n].empty()) ApplyOption(n, d.def[n]);
  };
  for (const auto& [name, value] : SplitOptionLines(o.ExtOptions)) {
    if (name == "newaudio") {
      take("acodec"), take("apre");
      ApplyOption("newaudio", "");
    } else if (name == "newvideo") {
      take("vcodec"), take("vpre"), take("s"), take("vf");
      ApplyOption("newvideo", "");
    } else if (name == "newsubtitle") {
      take("scodec"), take("spre");
      ApplyOption("newsubtitle", "");
    }
  }
}
