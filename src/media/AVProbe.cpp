#include "AVProbe.h"

#include <cmath>
#include <ctime>
#include <mutex>
#include <vector>

#include "FFUtils.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "UnicodeProtocol.h"

namespace {

int64_t ToMicroseconds(int64_t t, AVRational timeBase) {
  if (t == AV_NOPTS_VALUE) return -1;
  return lavu.av_rescale_q(t, timeBase, AVRational{1, AV_TIME_BASE});
}

int LeadingInt(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  int value = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 100000000; ++i) {
    value = value * 10 + (text[i] - '0');
    any = true;
  }
  return any ? value : 0;
}

// "%d.%.6d" of a time in microseconds.
std::string SecondsText(int64_t us) {
  return Format("%lld.%.6lld", static_cast<long long>(us / 1000000),
                static_cast<long long>(std::llabs(us % 1000000)));
}

}  // namespace

std::string TranslateMetadataKey(const std::string& key) {
  static const std::pair<const char*, const char*> kKeys[] = {
      {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},   {"TCON", "genre"},
      {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},       {"TENC", "encoder"},
      {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},       {"TLAN", "language"},
      {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},       {"TPUB", "publisher"},
      {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"},  {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"}};
  for (auto& [from, to] : kKeys)
    if (key == from) return to;
  return key;
}

std::string RateText(double value, const char* unit) {
  const long long hundredths = std::llround(value * 100);
  if (hundredths % 100) return Format(", %3.2f %s", value, unit);
  if (hundredths % (100 * 1000)) return Format(", %1.0f %s", value, unit);
  return Format(", %1.0fk %s", value / 1000, unit);
}

TCustomAVProbe::TCustomAVProbe() { AnalyzeStreams(); }

TCustomAVProbe::~TCustomAVProbe() { TCustomAVProbe::CloseFile(); }

void TCustomAVProbe::CheckLibraries() const {
  if (!IsLoaded(ltAVCodec)) throw FFmpegException("LibAVCodec not loaded.");
  if (!IsLoaded(ltAVFormat)) throw FFmpegException("LibAVFormat not loaded.");
  if (!IsLoaded(ltAVUtil)) throw FFmpegException("LibAVUtil not loaded.");
  if (!IsLoaded(ltSwScale)) throw FFmpegException("LibSwScale not loaded.");
}

void TCustomAVProbe::ReportError(int libLevel, const std::string& text) {
  lastErrMsg_ = text;
  FFLogger().Log(this, LibLevelToLogLevel(libLevel), text);
}

bool TCustomAVProbe::LoadFile(const TPathFileName& fileName, const std::string& formatName) {
  CheckLibraries();
  CloseFile();
  const AVInputFormat* format = nullptr;
  if (!formatName.empty()) {
    format = lavf.av_find_input_format(formatName.c_str());
    if (!format) {
      lastErrMsg_ = "Unknown input format: " + formatName;
      return false;
    }
  }
  AVFormatContext* ctx = nullptr;
  int rc = lavf.avformat_open_input(&ctx, FileNameToURL(fileName).c_str(), format, nullptr);
  if (rc < 0) {
    ReportError(AV_LOG_ERROR, FormatLibraryError(fileName, rc));
    CloseFile();
    return false;
  }
  context_ = ctx;
  owned_ = true;
  {
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    rc = lavf.avformat_find_stream_info(context_, nullptr);
  }
  if (rc < 0) {
    lastErrMsg_ = fileName + ": could not find codec parameters";
    CloseFile();
    return false;
  }
  AnalyzeStreams();
  formatName_ = formatName;
  return true;
}

void TCustomAVProbe::AttachContext(AVFormatContext* context) {
  CheckLibraries();
  CloseFile();
  context_ = context;
  owned_ = false;
  AnalyzeStreams();
}

void TCustomAVProbe::CloseFile() {
  formatName_.clear();
  if (context_) {
    if (owned_) lavf.avformat_close_input(&context_);
    context_ = nullptr;
    owned_ = false;
  }
  AnalyzeStreams();
}

void TCustomAVProbe::AnalyzeStreams() {
  fileSize_ = -1;
  streamCount_ = programCount_ = -1;
  audioCount_ = videoCount_ = subtitleCount_ = -1;
  firstAudio_ = firstVideo_ = firstSubtitle_ = -1;
  if (!context_) return;
  fileSize_ = context_->pb ? lavf.avio_size(context_->pb) : -1;
  if (fileSize_ <= 0) {
    const TPathFileName name = GetFileName();
    if (WideFileExists(name)) fileSize_ = WideFileSize(name);
  }
  streamCount_ = static_cast<int>(context_->nb_streams);
  programCount_ = static_cast<int>(context_->nb_programs);
  audioCount_ = videoCount_ = subtitleCount_ = 0;
  for (int i = 0; i < streamCount_; ++i) {
    switch (context_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        ++videoCount_;
        if (firstVideo_ < 0) firstVideo_ = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        ++audioCount_;
        if (firstAudio_ < 0) firstAudio_ = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        ++subtitleCount_;
        if (firstSubtitle_ < 0) firstSubtitle_ = i;
        break;
      default:
        break;
    }
  }
}

bool TCustomAVProbe::RequireFile() {
  if (context_) return true;
  ReportError(AV_LOG_WARNING, "file not loaded.");
  return false;
}

AVStream* TCustomAVProbe::StreamFor(int index, AVMediaType type) {
  if (!RequireFile()) return nullptr;
  const bool audio = type == AVMEDIA_TYPE_AUDIO;
  if (index < 0) {
    index = audio ? firstAudio_ : firstVideo_;
    if (index < 0) {
      ReportError(AV_LOG_ERROR, audio ? "no audio stream." : "no video stream.");
      return nullptr;
    }
  } else if (index >= streamCount_) {
    ReportError(AV_LOG_ERROR, Format("stream index #%d is invalid.", index));
    return nullptr;
  }
  AVStream* st = context_->streams[index];
  if (st->codecpar->codec_type != type) {
    ReportError(AV_LOG_ERROR, Format(audio ? "stream #%d is not audio stream."
                                           : "stream #%d is not video stream.",
                                     index));
    return nullptr;
  }
  // A zero denominator would poison every rescale below.
  if (st->time_base.den == 0) st->time_base.den = st->time_base.num ? st->time_base.num : 1;
  return st;
}

namespace {
// The fields audio and video records share.
template <typename Info>
void FillCommonStreamInfo(Info& info, const AVStream* st) {
  info.Language = MetadataValue(st->metadata, "language", "");
  info.CodecName = CodecNameText(st->codecpar, false);
  info.StartTime = st->start_time;
  info.StartTimeUS = ToMicroseconds(st->start_time, st->time_base);
  info.Duration = st->duration;
  info.DurationUS = ToMicroseconds(st->duration, st->time_base);
  info.BitRate = static_cast<int>(st->codecpar->bit_rate);
}
}  // namespace

void TCustomAVProbe::GetAudioStreamInfo(int index, TAudioStreamInfo& info) {
  info = TAudioStreamInfo{};
  AVStream* st = StreamFor(index, AVMEDIA_TYPE_AUDIO);
  if (!st) return;
  FillCommonStreamInfo(info, st);
  const AVCodecParameters* par = st->codecpar;
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
}

void TCustomAVProbe::GetVideoStreamInfo(int index, TVideoStreamInfo& info) {
  info = TVideoStreamInfo{};
  AVStream* st = StreamFor(index, AVMEDIA_TYPE_VIDEO);
  if (!st) return;
  FillCommonStreamInfo(info, st);
  const AVCodecParameters* par = st->codecpar;
  info.Height = par->height;
  info.Width = par->width;
  info.DisplayAspectRatio =
      par->height ? static_cast<float>(av_q2d(par->sample_aspect_ratio) * par->width / par->height)
                  : 0.0f;
  info.PixelFormat = par->format;
  info.FrameRateNum = st->r_frame_rate.num;
  info.FrameRateDen = st->r_frame_rate.den;
}

void TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info) {
  info = TFileStreamInfo{};
  if (!RequireFile()) return;
  info.StartTime = context_->start_time == AV_NOPTS_VALUE ? -1 : context_->start_time;
  info.Duration = context_->duration == AV_NOPTS_VALUE ? -1 : context_->duration;
  info.BitRate = static_cast<int>(context_->bit_rate);
  const AVDictionary* m = context_->metadata;
  // Today's containers keep these as tags; absent ones read as 0.
  info.TimeStamp = 0;
  const std::string created = MetadataValue(m, "creation_time", "");
  int64_t us = 0;
  if (!created.empty() && lavu.av_parse_time(&us, created.c_str(), 0) >= 0) info.TimeStamp = us / 1000000;
  std::string year = MetadataValue(m, "date", "");
  if (year.empty()) year = MetadataValue(m, "year", "");
  info.Year = LeadingInt(year);
  info.Track = LeadingInt(MetadataValue(m, "track", ""));
  info.Title = MetadataValue(m, "title", "");
  info.Author = MetadataValue(m, "author", MetadataValue(m, "artist", ""));
  info.Copyright = MetadataValue(m, "copyright", "");
  info.Comment = MetadataValue(m, "comment", "");
  info.Album = MetadataValue(m, "album", "");
  info.Genre = MetadataValue(m, "genre", "");
}

bool TCustomAVProbe::IsStreamOfType(int index, AVMediaType type) {
  if (!RequireFile()) return false;
  if (index < 0 || index >= streamCount_) {
    ReportError(AV_LOG_ERROR, Format("stream index #%d is invalid.", index));
    return false;
  }
  return context_->streams[index]->codecpar->codec_type == type;
}

bool TCustomAVProbe::IsAudioStream(int index) { return IsStreamOfType(index, AVMEDIA_TYPE_AUDIO); }
bool TCustomAVProbe::IsVideoStream(int index) { return IsStreamOfType(index, AVMEDIA_TYPE_VIDEO); }

TPathFileName TCustomAVProbe::GetFileName() const {
  return context_ && context_->url ? URLToFileName(context_->url) : TPathFileName();
}

std::string TCustomAVProbe::GetFormatName() const {
  return context_ && context_->iformat ? context_->iformat->name : "";
}

void TCustomAVProbe::MetadataBlock(std::vector<std::string>& lines, const AVDictionary* metadata,
                                   const std::string& indent) const {
  if (!metadata || lavu.av_dict_count(metadata) == 0) return;
  if (lavu.av_dict_count(metadata) == 1 && lavu.av_dict_get(metadata, "language", nullptr, 0))
    return;
  lines.push_back(indent + "Metadata:");
  const AVDictionaryEntry* e = nullptr;
  while ((e = lavu.av_dict_get(metadata, "", e, AV_DICT_IGNORE_SUFFIX))) {
    if (std::string(e->key) == "language") continue;
    lines.push_back(Format("%s  %-16s: %s", indent.c_str(), TranslateMetadataKey(e->key).c_str(),
                           e->value));
  }
}

std::string TCustomAVProbe::StreamLine(int i) {
  AVStream* st = context_->streams[i];
  const AVCodecParameters* par = st->codecpar;
  std::string line = Format("Stream #%d", i);
  if (context_->iformat && (context_->iformat->flags & AVFMT_SHOW_IDS)) line += Format("[0x%x]", st->id);
  const std::string language = MetadataValue(st->metadata, "language", "");
  if (!language.empty()) line += "(" + language + ")";
  int g = static_cast<int>(lavu.av_gcd(st->time_base.num, st->time_base.den));
  if (g == 0) g = 1;
  line += Format(", %d/%d", st->time_base.num / g, st->time_base.den / g);

  // The codec library's one-line description, from a scratch context.
  char description[256] = {};
  AVCodecContext* scratch = lavc.avcodec_alloc_context3(nullptr);
  if (scratch && lavc.avcodec_parameters_to_context(scratch, par) >= 0)
    lavc.avcodec_string(description, sizeof description, scratch, 0);
  line += std::string(": ") + description;

  if (st->sample_aspect_ratio.num &&
      av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio) != 0) {
    AVRational dar;
    lavu.av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * st->sample_aspect_ratio.num,
                   static_cast<int64_t>(par->height) * st->sample_aspect_ratio.den, 1024 * 1024);
    line += Format(", PAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den,
                   dar.num, dar.den);
  }
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    auto rate = [&](AVRational r, const char* unit) {
      if (r.num && r.den) line += RateText(av_q2d(r), unit);
    };
    rate(st->avg_frame_rate, "fps");
    rate(st->r_frame_rate, "tbr");
    rate(av_inv_q(st->time_base), "tbn");
    // Decoders no longer publish a time base before they are opened, so the
    // scratch context usually has none and "tbc" is left out.
    if (scratch) rate(av_inv_q(scratch->time_base), "tbc");
  }
  lavc.avcodec_free_context(&scratch);
  if (st->start_time != AV_NOPTS_VALUE)
    line += ", StartTime: " + SecondsText(ToMicroseconds(st->start_time, st->time_base));
  if (st->duration == AV_NOPTS_VALUE)
    line += ", Duration: N/A";
  else
    line += ", Duration: " + TimeToText(ToMicroseconds(st->duration, st->time_base));
  return line;
}

std::string TCustomAVProbe::GetInfoText() {
  if (!RequireFile()) return {};
  std::vector<std::string> lines;
  lines.push_back("File Name: " + GetFileName());
  lines.push_back(Format("Format Name: %s", context_->iformat->name));
  lines.push_back(Format("Format Long Name: %s",
                         context_->iformat->long_name ? context_->iformat->long_name : ""));
  lines.push_back("File Size: " + FileSizeText(fileSize_));
  TFileStreamInfo info;
  GetFileStreamInfo(info);
  lines.push_back(info.Duration < 0 ? "Duration: N/A" : "Duration: " + TimeToText(info.Duration));
  if (info.StartTime >= 0) lines.push_back("StartTime: " + SecondsText(info.StartTime));
  lines.push_back(info.BitRate < 1 ? "Bit Rate: N/A" : Format("Bit Rate: %d kb/s", info.BitRate / 1000));
  if (info.TimeStamp > 0) {
    const double days = UnixTimeToLocal(info.TimeStamp);
    time_t local = static_cast<time_t>(std::llround((days - 25569.0) * 86400.0));
    struct tm tm {};
    gmtime_r(&local, &tm);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    lines.push_back(std::string("Time Stamp: ") + text);
  }
  MetadataBlock(lines, context_->metadata, "");

  std::vector<bool> shown(context_->nb_streams, false);
  for (unsigned p = 0; p < context_->nb_programs; ++p) {
    const AVProgram* program = context_->programs[p];
    std::string provider = MetadataValue(program->metadata, "service_provider",
                                         MetadataValue(program->metadata, "provider_name", "N/A"));
    std::string name = MetadataValue(program->metadata, "service_name",
                                     MetadataValue(program->metadata, "name", "N/A"));
    lines.push_back(Format("Program %d %s@%s", program->id, provider.c_str(), name.c_str()));
    MetadataBlock(lines, program->metadata, "  ");
    for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
      unsigned index = program->stream_index[k];
      if (index >= context_->nb_streams) continue;
      lines.push_back(StreamLine(static_cast<int>(index)));
      MetadataBlock(lines, context_->streams[index]->metadata, "  ");
      shown[index] = true;
    }
  }
  for (unsigned i = 0; i < context_->nb_streams; ++i) {
    if (shown[i]) continue;
    lines.push_back(StreamLine(static_cast<int>(i)));
    MetadataBlock(lines, context_->streams[i]->metadata, "  ");
  }
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  return text;
}
