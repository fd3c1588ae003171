#include "JobBuilder.h"

#include <algorithm>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <QDir>
#include <QFileInfo>

#include "AVProbe.h"
#include "FFmpegLibs.h"
#include "FFmpegLoader.h"

namespace {

bool SameText(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// ev(x) = 2 * (Trunc(x) div 2); pad(L, E) = 2 * ((L - E) div 4).
int Even(double x) { return 2 * (static_cast<int>(std::trunc(x)) / 2); }
int PadOf(int length, int inner) { return 2 * ((length - inner) / 4); }

std::string Size(int w, int h) { return QString("%1x%2").arg(w).arg(h).toStdString(); }
std::string Ratio(int w, int h) { return QString("%1:%2").arg(w).arg(h).toStdString(); }

int RequireInteger(const QString& value, const char* key, int code) {
  int n = 0;
  if (!IsIntegerText(value, &n))
    throw TJobError(QString("\"%1\" of profile section %2 is not a number: \"%3\"")
                        .arg(key, FormatSection(code), value)
                        .toStdString());
  return n;
}

double RequireNumber(const QString& value, const char* key, int code) {
  double n = 0;
  if (!IsNumberText(value, &n))
    throw TJobError(QString("\"%1\" of profile section %2 is not a number: \"%3\"")
                        .arg(key, FormatSection(code), value)
                        .toStdString());
  return n;
}

// kbit/s to bit/s, refusing rates that do not fit the engine's fields.
int KilobitsToBits(double kbits, const QString& text) {
  const double bits = std::trunc(kbits * 1000);
  if (bits > INT_MAX) throw TJobError(("The bit rate " + text + " kbit/s is too large").toStdString());
  return static_cast<int>(bits);
}

bool OneOf(const QString& value, std::initializer_list<const char*> names, bool withoutCase) {
  for (const char* n : names)
    if (withoutCase ? SameText(value, n) : value == n) return true;
  return false;
}

// Nearest encoders to try, in order, for names the libraries may lack.
struct Substitute {
  const char* from;
  const char* to[3];  // ends at the first null
};
const Substitute kSubstitutes[] = {
    {"libfaac", {"aac"}},
    {"libfdk_aac", {"aac"}},
    {"libvo_aacenc", {"aac"}},
    {"vorbis", {"libvorbis"}},
    {"libmp3lame", {"libshine"}},
    {"libopencore_amrnb", {"aac"}},
    {"libamr_nb", {"libopencore_amrnb", "aac"}},
    {"libxvid", {"mpeg4"}},
    {"libx264", {"libopenh264", "mpeg4"}},
};

// An encoder the libraries can run here: present, not experimental (the
// engine does not lower its strictness) and not needing a device.
const AVCodec* UsableEncoder(const char* name) {
  const AVCodec* c = lavc.avcodec_find_encoder_by_name(name);
  if (!c || (c->capabilities & (AV_CODEC_CAP_EXPERIMENTAL | AV_CODEC_CAP_HARDWARE))) return nullptr;
  if (c->wrapper_name)
    for (const char* device : {"v4l2m2m", "omx", "vaapi", "qsv", "nvenc", "amf", "mediacodec", "videotoolbox", "mf"})
      if (strcmp(c->wrapper_name, device) == 0) return nullptr;
  return c;
}

}  // namespace

QString ResolveEncoderWithLibraries(const QString& name, bool video, QString* why) {
  if (name.isEmpty() || !IsLoaded(ltAVCodec)) return name;
  const QByteArray n = name.toUtf8();
  if (lavc.avcodec_find_encoder_by_name(n.constData()) && UsableEncoder(n.constData())) return name;
  const AVCodec* known = lavc.avcodec_find_encoder_by_name(n.constData());
  const char* reason = known ? "is experimental" : "is not in the media libraries";
  auto replaced = [&](const char* with) {
    if (why) *why = QString("Encoder \"%1\" %2; using \"%3\" instead").arg(name, reason, with);
    return QString(with);
  };
  for (const Substitute& sub : kSubstitutes)
    if (name == sub.from)
      for (const char* candidate : sub.to)
        if (candidate && UsableEncoder(candidate)) return replaced(candidate);
  // Any other encoder of the same codec.
  const AVCodec* decoder = lavc.avcodec_find_decoder_by_name(n.constData());
  const AVCodecID id = known ? known->id : decoder ? decoder->id : AV_CODEC_ID_NONE;
  const AVMediaType type = video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
  if (id != AV_CODEC_ID_NONE) {
    void* it = nullptr;
    while (const AVCodec* c = lavc.av_codec_iterate(&it))
      if (c->id == id && c->type == type && lavc.av_codec_is_encoder(c) && UsableEncoder(c->name))
        return replaced(c->name);
  }
  return name;
}

TSourceFacts SourceFactsFromProbe(TAVProbe& probe) {
  TSourceFacts facts;
  facts.VideoStreamCount = std::max(0, probe.VideoStreamCount());
  if (probe.FirstVideoStream() >= 0) {
    TVideoStreamInfo v;
    probe.GetVideoStreamInfo(probe.FirstVideoStream(), v);
    facts.Width = v.Width;
    facts.Height = v.Height;
    facts.VideoBitRate = v.BitRate;
  }
  if (probe.FirstAudioStream() >= 0) {
    TAudioStreamInfo a;
    probe.GetAudioStreamInfo(probe.FirstAudioStream(), a);
    facts.SampleRate = a.SampleRate;
    facts.AudioBitRate = a.BitRate;
  }
  return facts;
}

QString NextFreeOutputName(const QString& folder, const QString& source, const QString& tail) {
  QString d = folder;
  if (!d.endsWith('/')) d += '/';
  const QString n = QFileInfo(source).completeBaseName();
  // A dangling link counts as taken: writing through it would land elsewhere.
  auto taken = [](const QString& path) { return QFileInfo(path).isSymLink() || QFileInfo::exists(path); };
  QString candidate = d + n + "_(new)" + tail;
  for (int k = 1; taken(candidate); ++k) candidate = d + n + QString("_(new_%1)").arg(k) + tail;
  return candidate;
}

bool NeedsCustomHook(const TlvFilesRecord& r) {
  if (r.Brightness != 255 || r.Contrast != 0 || r.Saturation != 255) return true;
  if (r.Exposure != 0) return true;
  // Any item with something to draw counts; looking at the first item only
  // would lose the later ones when the first is empty.
  return std::any_of(r.WaterMarks.begin(), r.WaterMarks.end(),
                     [](const TWmRec& w) { return !w.Text.isEmpty() || !w.ImageFile.isEmpty(); });
}

TJobBuilder::TJobBuilder(TSettingsStore& settings, const TProfileStore& profile, TJobQuestions& questions)
    : settings_(settings), profile_(profile), questions_(questions), resolver_(ResolveEncoderWithLibraries) {}

QString TJobBuilder::MakeOutputFileName(const QString& source, const QString& tail) {
  QString folder = outputFolder_.isEmpty() ? settings_.OutPutDir() : outputFolder_;
  if (folder.isEmpty() || !QDir().mkpath(folder)) {
    const QString fallback = TSettingsStore::DefaultClipyard();
    questions_.WarnOutputFolder("Cannot create output directory:" + folder + ".It will create default directory " +
                                fallback + "!");
    QDir().mkpath(fallback);
    if (outputFolder_.isEmpty())
      settings_.SetOutPutDir(fallback);
    else
      outputFolder_ = fallback;
    folder = fallback;
  }
  return NextFreeOutputName(folder, source, tail);
}

bool TJobBuilder::SourceValueInRange(int code, TValueKind kind, double value) const {
  const char* key = kind == TValueKind::SampleRate     ? "SampleRate"
                    : kind == TValueKind::AudioBitRate ? "AudioBitRate"
                                                       : "VideoBitRate";
  const auto range = ProfileRange(profile_.Value(code, key, "null"));
  if (!range) return false;
  const double v = kind == TValueKind::SampleRate ? value : value / 1000.0;
  return range->Min <= v && v <= range->Max;
}

void TJobBuilder::PrepareOptions(int code, TlvFilesRecord& record, TInputOptions& in, TOutputOptions& out) {
  in.FileName = record.SourceFile.toStdString();
  in.FileFormat.clear();
  if (record.TrimStart >= 0) in.StartTime = record.TrimStart;
  out.FileName = MakeOutputFileName(record.SourceFile, "." + profile_.FileExt(code)).toStdString();
  if (record.CropTop > 0 || record.CropLeft > 0 || record.CropBottom > 0 || record.CropRight > 0) {
    out.CropTop = record.CropTop;
    out.CropBottom = record.CropBottom;
    out.CropLeft = record.CropLeft;
    out.CropRight = record.CropRight;
  }
  if (record.TrimLength > 0) out.RecordingTime = record.TrimLength;
  record.Zoom = TFormatChoiceReader(settings_.Ini(), profile_, code).Read("parazoom", "lbox");
}

QString TJobBuilder::Resolve(const QString& name, bool video) {
  if (name.trimmed().isEmpty() || !resolver_) return name;
  QString why;
  const QString usable = resolver_(name, video, &why);
  if (!why.isEmpty()) questions_.Notice(why);
  return usable;
}

void TJobBuilder::SampleRateStep(const TFormatChoiceReader& choices, int code, const TSourceFacts& source,
                                 bool audioOnly, TOutputOptions& out) const {
  const QString chosen = choices.Read("paraSampleRate", "44100");
  int n = 0;
  if (chosen != "as source" && IsIntegerText(chosen, &n)) {
    if (n > 0) out.AudioSampleRate = n;
  } else if (SourceValueInRange(code, TValueKind::SampleRate, source.SampleRate)) {
    out.AudioSampleRate = source.SampleRate;
  } else {
    const QString fallback = profile_.Value(code, "paraSampleRate", "44100");
    if (audioOnly && SameText(fallback, "as source")) return;
    n = RequireInteger(fallback, "paraSampleRate", code);
    if (n > 0) out.AudioSampleRate = n;
  }
}

void TJobBuilder::AudioBitRateStep(const TFormatChoiceReader& choices, int code, const TSourceFacts& source,
                                   bool audioOnly, TOutputOptions& out) const {
  const QString chosen = choices.Read("paraAudioBitRate", "128");
  double kbits = 0;
  if (chosen != "as source" && IsNumberText(chosen, &kbits)) {
    const int bits = KilobitsToBits(kbits, chosen);
    if (bits > 0) out.AudioBitrate = bits;
  } else if (SourceValueInRange(code, TValueKind::AudioBitRate, source.AudioBitRate)) {
    out.AudioBitrate = source.AudioBitRate;
  } else {
    const QString fallback = profile_.Value(code, "paraAudioBitRate", "128");
    if (audioOnly && SameText(fallback, "as source")) return;
    const int bits = KilobitsToBits(RequireNumber(fallback, "paraAudioBitRate", code), fallback);
    if (bits > 0) out.AudioBitrate = bits;
  }
}

void TJobBuilder::BuildConversionOptions(int code, TOutputOptions& out, const TSourceFacts& source,
                                         const TlvFilesRecord& record, TInputOptions& in) {
  const TFormatChoiceReader choices(settings_.Ini(), profile_, code);
  const QString format = profile_.Format(code);

  // Disc targets.
  struct Disc {
    const char* format;
    int target, norm;
    const char* wideSize;  // the frame size that makes a DVD 16:9
  };
  static const Disc kDiscs[] = {{"ntsc-dvd", 3, 2, "720x480"}, {"pal-dvd", 3, 1, "720x576"},
                                {"ntsc-vcd", 1, 2, nullptr},   {"pal-vcd", 1, 1, nullptr},
                                {"ntsc-svcd", 2, 2, nullptr},  {"pal-svcd", 2, 1, nullptr}};
  for (const Disc& d : kDiscs)
    if (SameText(format, d.format)) {
      out.Target = d.target;
      out.TargetNorm = d.norm;
      out.AspectRatio = d.wideSize && choices.Read("paraVideoSize", "null") == d.wideSize ? "16:9" : "4:3";
    }

  // Engine option lines a format needs beyond the fields above (a pixel
  // format a DV profile requires, a stream tag).
  const QString extra = profile_.Value(code, "ExtOptions", "").trimmed();
  if (!extra.isEmpty())
    out.ExtOptions += (out.ExtOptions.empty() || out.ExtOptions.back() == '\n' ? "" : "\n") + extra.toStdString();

  const QString volume = choices.Read("paraVolume", "3");
  auto volumeStep = [&] {
    if (volume == "256") return;
    int v = 0;
    if (!IsIntegerText(volume, &v))
      throw TJobError(("The volume \"" + volume + "\" of " + FormatSection(code) + " is not a number").toStdString());
    out.AudioVolume = v;
  };

  const QString videoEncoder = choices.Read("paraVideoEncoder", "").trimmed();
  if (videoEncoder.isEmpty()) {
    // Audio-only formats.
    out.AudioCodec = Resolve(choices.Read("paraAudioEncoder", "libfaac"), false).toStdString();
    for (const char* f : {"amr", "ac3", "asf", "aiff", "au", "voc", "flac", "flv", "avi", "matroska", "mmf"})
      if (SameText(format, f)) out.FileFormat = f;
    const QString channel = choices.Read("paraChannel", "2");
    int channels = 0;
    if (channel != "as source" && IsIntegerText(channel, &channels) && channels > 0) out.AudioChannels = channels;
    SampleRateStep(choices, code, source, true, out);
    AudioBitRateStep(choices, code, source, true, out);
    volumeStep();
    in.ExtOptions = "vn=1";
    out.DisableVideo = true;
    out.DisableSubtitle = true;
    return;
  }

  // V1: the encoder.
  if (OneOf(videoEncoder,
            {"mpeg4", "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2", "huffyuv",
             "dvvideo", "rawvideo", "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg", "svq1", "zlib", "wmv1",
             "wmv2"},
            false)) {
    out.VideoCodec = videoEncoder.toStdString();
    if (videoEncoder == "mpeg2video") out.Target = 3;
  } else if (videoEncoder == "libx264") {
    out.VideoCodec = "libx264";
    out.VideoPreset = SameText(format, "psp")    ? "libx264-psp"
                      : SameText(format, "ipod") ? "libx264-ipod"
                      : SameText(format, "ps3")  ? "libx264-ps3"
                                                 : "libx264-mp4";
  }
  out.VideoCodec = Resolve(QString::fromStdString(out.VideoCodec), true).toStdString();

  QString fc;  // the zoom's filter text
  if (source.VideoStreamCount <= 0) {
    out.DisableVideo = true;
  } else {
    const int SW = source.Width, SH = source.Height;
    // V3: video bit rate.
    const QString bitRate = choices.Read("paraVideoBitRate", "512");
    int kbits = 0;
    if (bitRate != "as source" && IsIntegerText(bitRate, &kbits)) {
      if (kbits > 0) out.VideoBitrate = KilobitsToBits(kbits, bitRate);
    } else if (SourceValueInRange(code, TValueKind::VideoBitRate, source.VideoBitRate)) {
      out.VideoBitrate = source.VideoBitRate;
    } else {
      const QString fallback = profile_.Value(code, "paraVideoBitRate", "256");
      if (!SameText(fallback, "as source")) {
        kbits = RequireInteger(fallback, "paraVideoBitRate", code);
        if (kbits > 0) out.VideoBitrate = KilobitsToBits(kbits, fallback);
      }
    }
    // V4: frame rate, as written.
    const QString frameRate = choices.Read("paraFrameRate", "29.97");
    double fps = 0;
    if (frameRate != "as source" && IsNumberText(frameRate, &fps) && fps > 0) out.FrameRate = frameRate.toStdString();
    // V5: container.
    if (OneOf(format, {"ipod", "3gp", "3g2", "avi", "psp", "mov", "vcd", "flv", "mpegts", "vob", "asf", "dv"}, true))
      out.FileFormat = format.toStdString();

    // V6: frame size.
    QString s = choices.Read("paraVideoSize", "null");
    const int p = s.indexOf('x') + 1;  // 1-based, 0 when absent
    int W = SW, H = SH;
    bool usable = false;
    if (s != "as source" && p > 1 && p < s.size()) {
      int w = 0, h = 0;
      W = IsIntegerText(s.left(p - 1), &w) ? w : SW;
      H = IsIntegerText(s.mid(p), &h) ? h : SH;
      usable = W > 0 && H > 0;  // "0x0" or "-4x3" cannot be encoded
      if (usable && SameText(QString::fromStdString(out.VideoCodec), "h263") &&
          !QString("704x576,352x288,176x144,160x120,128x96").contains(s)) {
        if (W >= 177 && W <= 352) W = 352, H = 288;
        else if (W >= 353) W = 704, H = 576;
      }
    }
    if (s != "as source" && !usable) {
      if (questions_.AskDefaultFrameSize("Error output Video Size.Use the default size 320x240?")) {
        W = 320, H = 240;
      } else {
        s = "as source";
      }
    }
    if (s == "as source") W = SW, H = SH;

    // V7: crops.
    for (int* c : {&out.CropTop, &out.CropBottom, &out.CropLeft, &out.CropRight})
      if (*c == -1) *c = 0;
    const int CT = record.CropTop, CB = record.CropBottom, CL = record.CropLeft, CR = record.CropRight;
    const bool cropped = CT > 0 || CB > 0 || CL > 0 || CR > 0;
    const int cw = SW - CL - CR, ch = SH - CT - CB;
    const bool sourceSized = SW > 0 && SH > 0 && W > 0 && H > 0;
    if (sourceSized && cropped && (cw <= 0 || ch <= 0))
      throw TJobError(QString("The crop %1,%2,%3,%4 leaves nothing of the %5x%6 picture")
                          .arg(CT).arg(CL).arg(CB).arg(CR).arg(SW).arg(SH).toStdString());

    // V8: zoom. Without the source's size only the target size can be set.
    const QString& zoom = record.Zoom;
    if (!sourceSized && W > 0 && H > 0 && OneOf(zoom, {"full", "lbox", "pan", "center"}, false)) {
      out.FrameSize = Size(W, H);
      out.AspectRatio = Ratio(W, H);
    } else if (!sourceSized) {
    } else if (zoom == "full") {
      if (cropped) out.CropTop = CT, out.CropBottom = CB, out.CropLeft = CL, out.CropRight = CR;
      out.FrameSize = Size(W, H);
      out.AspectRatio = Ratio(W, H);
    } else if (zoom == "lbox") {
      const double F = double(SW) / W, G = double(SH) / H;
      int PT = 0, PB = 0, PL = 0, PR = 0;
      if (!(W == SW && H == SH)) {
        if (F > G) PT = PB = PadOf(H, Even(SH / F));
        if (F < G) PL = PR = PadOf(W, Even(SW / G));
      }
      const int w2 = W - PL - PR, h2 = H - PT - PB;
      out.AspectRatio = Ratio(w2, h2);
      const QString pad = QString("pad=%1:%2:%3:%4").arg(W).arg(H).arg(PL).arg(PT);
      if (!cropped) {
        out.FrameSize = Size(w2, h2);
        fc = pad;
      } else {
        // Today's crop filter takes width:height:x:y.
        fc = QString("crop=%1:%2:%3:%4,scale=%5:%6,").arg(cw).arg(ch).arg(CL).arg(CT).arg(w2).arg(h2) + pad;
      }
    } else if (zoom == "pan") {
      // Cut the sides (or top and bottom) down to 4:3 of the cropped picture;
      // in whole numbers, as 4/3 in floating point truncates 320 to 319.
      if (3 * cw > 4 * ch) {
        const int X = (3 * cw - 4 * ch) / 3 / 2;
        out.CropLeft = 2 * ((X + CL) / 2);
        out.CropRight = 2 * ((X + CR) / 2);
      } else if (3 * cw < 4 * ch) {
        const int Y = (4 * ch - 3 * cw) / 4 / 2;
        out.CropTop = 2 * ((Y + CT) / 2);
        out.CropBottom = 2 * ((Y + CB) / 2);
      }
      out.FrameSize = Size(W, H);
      out.AspectRatio = Ratio(W, H);
    } else if (zoom == "center") {
      const double F = double(SW) / W, G = double(SH) / H;
      int PT = 0, PB = 0, PL = 0, PR = 0;
      auto padText = [](int a, int b, int x, int y) {
        return QString("pad=%1:%2:%3:%4:black").arg(a).arg(b).arg(x).arg(y);
      };
      auto block1 = [&] {
        PT = PB = PadOf(H, Even(SH / F));
        out.FrameSize = Size(W, H - 2 * PR);
        fc = padText(SW, SH + PT + PB, 0, PT);
      };
      auto block2 = [&] {
        PL = PR = PadOf(W, Even(SW / G));
        out.FrameSize = Size(W - PL - PR, H);
        fc = padText(SW + PL + PR, SH, PL, 0);
      };
      auto block3c = [&] {
        PT = PB = PadOf(H, Even(SH / F));
        PL = PR = PadOf(W, Even(SW / G));
        out.FrameSize = Size(W - PL - PR, H - 2 * PR);
        fc = padText(SW + PL + PR, SH + PT + PB, PL, PT);
      };
      out.AspectRatio = Ratio(W, H);
      if (W <= SW && H >= SH) block1();
      if (W >= SW && H <= SH) block2();
      if (W >= SW && H >= SH) {
        if (F > G) block1();
        else if (F < G) block2();
        else block3c();
      }
      if (W <= SW && H <= SH) {
        if (F > G) {
          PT = PadOf(H, Even(SH / F));
          out.FrameSize = Size(W, H - 2 * PR);
          fc = padText(W, H, 0, PT);
        } else if (F < G) {
          block2();
        } else {
          block3c();
        }
      }
      if (W == SW && H == SH) out.FrameSize = Size(W, H);
    }
  }

  // V9: filters.
  if (!fc.isEmpty())
    out.VideoFilters = out.VideoFilters.empty() ? fc.toStdString() : out.VideoFilters + "," + fc.toStdString();

  // V10..V14: audio.
  QString audioEncoder = choices.Read("paraAudioEncoder", "");
  if (audioEncoder == "libamr_nb") audioEncoder = "libopencore_amrnb";
  out.AudioCodec = Resolve(audioEncoder, false).toStdString();
  if (audioEncoder.trimmed().isEmpty()) out.DisableAudio = true;
  const QString channel = choices.Read("paraChannel", "2");
  int channels = 0;
  if (channel != "as source" && IsIntegerText(channel, &channels)) out.AudioChannels = channels;
  volumeStep();
  SampleRateStep(choices, code, source, false, out);
  AudioBitRateStep(choices, code, source, false, out);
}
