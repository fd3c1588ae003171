// Built-in encoder presets and the disc targets.
#include <cmath>
#include <fstream>
#include <sstream>
#include <strings.h>

#include "FFmpeg.h"
#include "FFmpegLogger.h"

namespace {

#define X264_PSP                                                                                  \
  "coder=1\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8+partb8x8\n" \
  "me_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"    \
  "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\ndirectpred=1\ntrellis=2\n"

const char kPsp[] = X264_PSP "b=1250000\nmaxrate=1500000\nbufsize=4000000\nbt=256000\nsc_threshold=40";
const char kPs3[] = X264_PSP "maxrate=3500000\nbufsize=4000000\nbt=256000\nsc_threshold=40";
const char kIpod[] =
    "coder=0\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8\n"
    "me_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\ni_qfactor=0.71\n"
    "b_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nrefs=1\ndirectpred=1\ntrellis=2\n"
    "b=1000000\nmaxrate=1250000\nbufsize=4000000\nbt=256000\nsc_threshold=40";
const char kFastFirstpass[] = "preset=medium\nfastfirstpass=1";  // fast_ and medium_firstpass
const char kPlacebo[] = "preset=placebo";                        // placebo and its first pass
const char kSlowFirstpass[] = "preset=slow\nfastfirstpass=1";    // slow_ and slower_firstpass
const char kUltrafast[] = "preset=ultrafast";                    // ultrafast and its first pass

}  // namespace

const TOptionsPreset OptionsPresets[40] = {
    {"libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0"},
    {"libx264-default", "preset=medium"},
    {"libx264-fast", "preset=fast"},
    {"libx264-fast_firstpass", kFastFirstpass},
    {"libx264-faster", "preset=faster"},
    {"libx264-faster_firstpass", "preset=faster\nfastfirstpass=1"},
    {"libx264-fastfirstpass", "fastfirstpass=1"},
    {"libx264-hq", "preset=slow\nrefs=4\ntrellis=1"},
    {"libx264-ipod320", "coder=0\nbf=0\nrefs=1\nlevel=13\nmaxrate=768000\nbufsize=2000000"},
    {"libx264-ipod640", "coder=0\nbf=0\nrefs=1\nlevel=30\nmaxrate=10000000\nbufsize=10000000"},
    {"libx264-lossless_fast", "preset=fast\nqp=0"},
    {"libx264-lossless_max", "preset=placebo\nqp=0"},
    {"libx264-lossless_medium", "preset=medium\nqp=0"},
    {"libx264-lossless_slow", "preset=slow\nqp=0"},
    {"libx264-lossless_slower", "preset=slower\nqp=0"},
    {"libx264-lossless_ultrafast", "preset=ultrafast\nqp=0"},
    {"libx264-main", "flags2=-dct8x8"},
    {"libx264-max", "preset=placebo\ntrellis=2"},
    {"libx264-medium", "preset=medium"},
    {"libx264-medium_firstpass", kFastFirstpass},
    {"libx264-normal", "preset=medium\ntrellis=1"},
    {"libx264-placebo", kPlacebo},
    {"libx264-placebo_firstpass", kPlacebo},
    {"libx264-slow", "preset=slow"},
    {"libx264-slow_firstpass", kSlowFirstpass},
    {"libx264-slower", "preset=slower"},
    {"libx264-slower_firstpass", kSlowFirstpass},
    {"libx264-slowfirstpass", "preset=slow\nfastfirstpass=0"},
    {"libx264-superfast", "preset=superfast"},
    {"libx264-superfast_firstpass", "preset=superfast\nfastfirstpass=1"},
    {"libx264-ultrafast", kUltrafast},
    {"libx264-ultrafast_firstpass", kUltrafast},
    {"libx264-veryfast", "preset=veryfast"},
    {"libx264-veryfast_firstpass", "preset=veryfast\nfastfirstpass=1"},
    {"libx264-veryslow", "preset=veryslow"},
    {"libx264-veryslow_firstpass", "preset=veryslow\nfastfirstpass=1"},
    {"libx264-psp", kPsp},
    {"libx264-ps3", kPs3},
    {"libx264-ipod", kIpod},
    {"libx264-mp4", kPsp},
};

namespace {

// Older x264 option names in preset texts, rewritten to the names today's
// x264 encoder takes. Options whose effect is now the default disappear.
std::vector<std::pair<std::string, std::string>> TranslatePresetLine(const std::string& name,
                                                                     const std::string& value) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  if (name == "flags2") {
    Pairs out;
    static const std::pair<const char*, const char*> kFlags[] = {
        {"wpred", "weightb"}, {"dct8x8", "8x8dct"}, {"mixed_refs", "mixed-refs"},
        {"fastpskip", "fast-pskip"}, {"mbtree", "mbtree"}, {"aud", "aud"}};
    for (size_t i = 0; i < value.size();) {
      char sign = value[i] == '-' ? '-' : '+';
      if (value[i] == '+' || value[i] == '-') ++i;
      size_t end = value.find_first_of("+-", i);
      std::string flag = value.substr(i, end == std::string::npos ? std::string::npos : end - i);
      for (auto [old, now] : kFlags)
        if (flag == old) out.emplace_back(now, sign == '+' ? "1" : "0");
      if (flag == "bpyramid") out.emplace_back("b-pyramid", sign == '+' ? "normal" : "none");
      if (end == std::string::npos) break;
      i = end;
    }
    return out;
  }
  if (name == "flags" && (value == "+loop" || value == "-loop")) return {};  // deblocking is on by default
  if (name == "cmp" && value == "+chroma") return {};                         // chroma ME is on by default
  if (name == "directpred") {
    static const char* kModes[] = {"none", "spatial", "temporal", "auto"};
    int mode = atoi(value.c_str());
    return {{"direct-pred", mode >= 0 && mode <= 3 ? kModes[mode] : "auto"}};
  }
  if (name == "partitions") {
    static const std::pair<const char*, const char*> kParts[] = {
        {"parti4x4", "i4x4"}, {"parti8x8", "i8x8"}, {"partp4x4", "p4x4"}, {"partp8x8", "p8x8"},
        {"partb8x8", "b8x8"}};
    std::string list;
    for (auto [old, now] : kParts)
      if (value.find(std::string("+") + old) != std::string::npos) list += (list.empty() ? "" : ",") + std::string(now);
    return {{"partitions", list.empty() ? "none" : list}};
  }
  if (name == "cqp") return {{"qp", value}};
  if (name == "b") return {{"vb", value}};  // the video bit rate, as the preset means it
  if (name == "wpredp") return {{"weightp", value}};
  return {{name, value}};
}

}  // namespace

void TCustomFFmpeg::ApplyPreset(char kind, const std::string& name) {
  std::string text;
  bool found = false;
  if (kind != 'f') {
    auto lookup = [&](const std::string& key) {
      for (const TOptionsPreset& p : OptionsPresets)
        if (strcasecmp(p.Name, key.c_str()) == 0) {
          text = p.Options;
          return true;
        }
      return false;
    };
    found = lookup(name);
    if (!found) {
      const std::string& encoder = kind == 'v' && !S.VideoCodecName.empty()   ? S.VideoCodecName
                                   : kind == 'a' && !S.AudioCodecName.empty() ? S.AudioCodecName
                                                                              : S.SubtitleCodecName;
      if (!encoder.empty()) found = lookup(encoder + "-" + name);
    }
  }
  if (!found) {
    if (!WideFileExists(name)) throw FFmpegException(Format("Preset \"%s\" not found", name.c_str()));
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
  }
  std::stringstream lines(TrimText(text));
  std::string raw;
  while (std::getline(lines, raw)) {
    const std::string line = TrimText(raw);
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string key = eq == std::string::npos ? "" : TrimText(line.substr(0, eq));
    std::string value = eq == std::string::npos ? "" : TrimText(line.substr(eq + 1));
    if (key.empty() || value.empty())
      throw FFmpegException(Format("%s: Invalid syntax: \"%s\"", name.c_str(), line.c_str()));
    if (key == "acodec" || key == "vcodec" || key == "scodec") {
      ApplyOption(key, value);
      continue;
    }
    for (const auto& [k, v] : TranslatePresetLine(key, value)) {
      try {
        SetGenericOption(k, v);
      } catch (const FFmpegException&) {
        throw FFmpegException(Format("%s: Invalid option or argument: \"%s\", parsed as \"%s\" = \"%s\"",
                                     name.c_str(), line.c_str(), k.c_str(), v.c_str()));
      }
    }
  }
}

void TCustomFFmpeg::ApplyTarget(const std::string& type, const std::string& normName,
                                const std::string& defaultNorm) {
  enum { PAL, NTSC, FILM, UNKNOWN } norm = UNKNOWN;
  if (normName == "pal") norm = PAL;
  if (normName == "ntsc") norm = NTSC;
  if (normName == "film") norm = FILM;
  if (norm == UNKNOWN) {
    if (S.FrameRate.den == 0 && S.FrameRate.num != 0) throw FFmpegException("frame_rate is invalid.");
    auto decide = [&](double fps) {
      long r = std::lround(fps * 1000);
      if (r == 29970 || r == 23976) norm = NTSC;
      if (r == 25000) norm = PAL;
    };
    if (S.FrameRate.den) decide(av_q2d(S.FrameRate));
    for (size_t i = 0; norm == UNKNOWN && i < inputFiles_.size(); ++i)
      for (unsigned j = 0; norm == UNKNOWN && j < inputFiles_[i].Ctx->nb_streams; ++j) {
        const AVStream* st = inputFiles_[i].Ctx->streams[j];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        AVRational r = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
        if (r.num && r.den) decide(av_q2d(r));
      }
    if (norm == UNKNOWN) norm = defaultNorm == "film" ? FILM : defaultNorm == "ntsc" ? NTSC : PAL;
    if (S.Verbosity > 0) Log(llVerbose, Format("Assuming %s for target.", norm == PAL ? "PAL" : "NTSC"));
  }
  const bool large = norm != PAL;
  const char* rate = norm == PAL ? "25" : norm == NTSC ? "30000/1001" : "24000/1001";
  if (type == "dv" || type == "dv50") {
    ApplyOption("f", "dv");
    ApplyOption("s", large ? "720x480" : "720x576");
    ApplyOption("pix_fmt", type == "dv50" ? "yuv422p" : large ? "yuv411p" : "yuv420p");
    ApplyOption("r", rate);
    S.AudioSampleRate = 48000;
    S.AudioChannels = 2;
    return;
  }
  // The disc formats: encoders, sizes (NTSC/film, PAL), rates and muxing.
  struct Disc {
    const char *type, *vcodec, *acodec, *format, *sizeLarge, *sizePal, *b, *maxrate, *minrate, *bufsize, *encoderFlag,
        *ab;
    int sampleRate;
    bool monoBecomesStereo;  // else always two channels
    const char *packetsize, *muxrate;
    double preload;  // seconds, 0 = leave
    const char* aspect;
  };
  static const Disc kDiscs[] = {
      {"vcd", "mpeg1video", "mp2", "vcd", "352x240", "352x288", "1150000", "1150000", "1150000", "327680", nullptr,
       "224000", 44100, false, "2324", "1411200", 0.44, "4:3"},
      {"svcd", "mpeg2video", "mp2", "svcd", "480x480", "480x576", "2040000", "2516000", "0", "1835008",
       "scan_offset", "224000", 44100, true, "2324", nullptr, 0, "4:3"},
      {"dvd", "mpeg2video", "ac3", "dvd", "720x480", "720x576", "6000000", "9000000", "0", "1835008", nullptr,
       "448000", 48000, true, "2048", "10080000", 0, "16:9"},
  };
  const Disc* disc = nullptr;
  for (const Disc& d : kDiscs)
    if (type == d.type) disc = &d;
  if (!disc) throw FFmpegException("Unknown target type");
  ApplyOption("vcodec", disc->vcodec);
  ApplyOption("acodec", disc->acodec);
  ApplyOption("f", disc->format);
  ApplyOption("s", large ? disc->sizeLarge : disc->sizePal);
  ApplyOption("r", rate);
  SetGenericOption("g", large ? "18" : "15");
  SetGenericOption("b", disc->b);
  SetGenericOption("maxrate", disc->maxrate);
  SetGenericOption("minrate", disc->minrate);
  SetGenericOption("bufsize", disc->bufsize);
  // SVCD's scan offset is now an option of the MPEG-2 encoder itself.
  if (disc->encoderFlag) SetGenericOption(disc->encoderFlag, "1");
  SetGenericOption("ab", disc->ab);
  S.AudioSampleRate = disc->sampleRate;
  if (!disc->monoBecomesStereo || S.AudioChannels == 1) S.AudioChannels = 2;
  SetGenericOption("packetsize", disc->packetsize);
  if (disc->muxrate) SetGenericOption("muxrate", disc->muxrate);
  if (disc->preload > 0) S.MuxPreload = disc->preload;
  if (S.FrameAspectRatio == 0) {
    ApplyOption("aspect", disc->aspect);
    Log(llInfo, std::string("Assuming ") + disc->aspect + " for aspect ratio");
  }
}
