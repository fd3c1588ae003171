#include "ProfileStore.h"

#include "FormatCatalogue.h"

namespace {

bool SameText(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

double RangeBound(const QString& text, const QString& list) {
  double value = 0;
  if (!IsNumberText(text, &value))
    throw TJobError(QString("The profile list \"%1\" has a bound that is not a number: \"%2\"")
                        .arg(list, text)
                        .toStdString());
  return value;
}

std::optional<QString> Lookup(const QString& shown, std::initializer_list<std::pair<const char*, const char*>> table) {
  for (const auto& [from, to] : table)
    if (SameText(shown, from)) return QString(to);
  return std::nullopt;
}

}  // namespace

QString FormatSection(int code) { return "formatInfo" + QString::number(code); }

QStringList ProfileListItems(const QString& value) {
  if (value.isEmpty() || value == "null") return {};
  return value.split(',');
}

std::optional<TValueRange> ProfileRange(const QString& list) {
  const int p1 = list.indexOf(',') + 1;  // 1-based, 0 when absent
  if (p1 <= 1) return std::nullopt;
  const QString first = list.left(p1 - 1);
  QString minText = first;
  if (list.size() > first.size() + 1 && SameText(first.trimmed(), "as source")) {
    const int next = list.indexOf(',', p1);
    minText = next < 0 ? list.mid(p1) : list.mid(p1, next - p1);
  }
  const int pL = list.lastIndexOf(',') + 1;
  const QString maxText = p1 < pL ? list.mid(pL) : minText;
  TValueRange range;
  range.Min = RangeBound(minText, list);
  range.Max = RangeBound(maxText, list);
  return range;
}

std::optional<QString> VideoEncoderParameter(const QString& shown) {
  if (auto mapped = Lookup(shown, {{"mpeg-4", "mpeg4"}, {"xvid", "libxvid"}, {"h264", "libx264"}})) return mapped;
  static const char* kSameName[] = {"3gp",        "3g2",        "mov",      "wmv1",      "wmv2",  "wmv3",
                                    "flv",        "swf",        "msmpeg4",  "msmpeg4v1", "msmpeg4v2",
                                    "mpeg1video", "mpeg2video", "h263",     "h263p",     "rawvideo",
                                    "rv10",       "rv20",       "dvvideo",  "huffyuv",   "ljpeg",
                                    "mjpeg",      "svq1",       "zlib"};
  for (const char* name : kSameName)
    if (SameText(shown, name)) return QString(name);
  return std::nullopt;
}

std::optional<QString> AudioEncoderParameter(const QString& shown) {
  if (auto mapped = Lookup(shown, {{"mp3", "libmp3lame"},
                                   {"ogg", "vorbis"},
                                   {"aac", "libfaac"},
                                   {"ac-3", "ac3"},
                                   {"libamr_nb", "libopencore_amrnb"},
                                   {"pcm-8bit", "pcm_s8"},
                                   {"pcm-16bit", "pcm_s16be"},
                                   {"pcm-24bit", "pcm_s24be"},
                                   {"pcm-32bit", "pcm_s32be"},
                                   {"pcm-32bit float", "pcm_f32be"},
                                   {"pcm-64bit float", "pcm_f64be"},
                                   {"ccitt a-law(8-bit)", "pcm_alaw"},
                                   {"ccitt mu-law(8-bit)", "pcm_mulaw"},
                                   {"ima adpcm(4-bit)", "adpcm_ima_qt"},
                                   {"gsm", "libgsm"},
                                   {"pcm_s16", "pcm_s16le"},
                                   {"pcm_u16", "pcm_u16le"},
                                   {"pcm_mulaw ", "pcm_mulaw"},
                                   {"wma1", "wmav1"},
                                   {"wma2", "wmav2"}}))
    return mapped;
  static const char* kSameName[] = {"mp2",          "flac",     "alac",    "adpcm_swf",
                                    "adpcm_yamaha", "pcm_alaw", "adpcm_ms", "adpcm_ima_wav"};
  for (const char* name : kSameName)
    if (SameText(shown, name)) return QString(name);
  return std::nullopt;
}

std::optional<QString> ChannelParameter(const QString& shown) {
  return Lookup(shown, {{"as source", "as source"}, {"mono 1 channel", "1"}, {"stereo 2 channels", "2"}});
}

std::optional<QString> VolumeParameter(const QString& shown) {
  int percent = 0;
  if (shown.isEmpty() || !IsIntegerText(shown.left(shown.size() - 1), &percent) || percent <= 0)
    return std::nullopt;
  static const std::pair<int, const char*> kVolumes[] = {{25, "64"},   {50, "128"},  {75, "192"},  {100, "256"},
                                                         {125, "320"}, {150, "384"}, {175, "448"}, {200, "512"},
                                                         {250, "640"}, {300, "768"}, {350, "896"}, {400, "1024"}};
  for (const auto& [p, value] : kVolumes)
    if (p == percent) return QString(value);
  return std::nullopt;
}

TFormatChoices DefaultChoices(const TProfileStore& profile, int code) {
  TFormatChoices c;
  // The dialog's lists after "&Default": the item at the profile's index, or
  // no selection (an empty box) when the list is empty or the index is out
  // of range.
  auto choose = [&](const char* listKey, const char* indexKey) -> QString {
    const QStringList items = profile.Items(code, listKey);
    const int index = profile.DefaultIndex(code, indexKey);
    const bool selected = index >= 0 && index < items.size();
    c[QString(indexKey).toLower()] = QString::number(selected ? index : -1);
    return selected ? items[index] : QString();
  };
  c["description"] = FormatCaption(code);
  c["paravideosize"] = choose("VideoSize", "iVideoSize");
  c["paravideobitrate"] = choose("VideoBitRate", "iVideoBitRate");
  c["paraframerate"] = choose("FrameRate", "iFrameRate");
  c["parazoom"] = "full";
  const QString videoEncoder = choose("VideoEncoder", "iVideoEncoder");
  if (auto name = VideoEncoderParameter(videoEncoder)) {
    c["paravideoencoder"] = *name;
    if (SameText(videoEncoder, "h264")) {
      if (SameText(profile.Value(code, "paraBitExact", ""), "true")) c["parabitexact"] = profile.Value(code, "paraBitExact", "");
      for (const char* key : {"paraMaxBitrate", "paraBufferSize", "paraLevel", "paraQscale", "paraGop", "paraCoder"}) {
        const QString value = profile.Value(code, key, "");
        int n = 0;
        const bool coder = QString(key) == "paraCoder";
        if (IsIntegerText(value, &n) && (coder ? n >= 0 : n > 0)) c[QString(key).toLower()] = value.trimmed();
      }
    }
  }
  c["parasamplerate"] = choose("SampleRate", "iSampleRate");
  c["paraaudiobitrate"] = choose("AudioBitRate", "iAudioBitRate");
  if (auto channel = ChannelParameter(choose("Channel", "iChannel"))) c["parachannel"] = *channel;
  if (auto volume = VolumeParameter(choose("Volume", "iVolume"))) c["paravolume"] = *volume;
  const QString audioEncoder = choose("AudioEncoder", "iAudioEncoder");
  if (auto name = AudioEncoderParameter(audioEncoder)) {
    c["paraaudioencoder"] = *name;
    if (SameText(audioEncoder, "gsm")) {
      c["parasamplerate"] = "8000";
      c["parachannel"] = "1";
    }
  }
  return c;
}

TFormatChoiceReader::TFormatChoiceReader(const TIniFile& settings, const TProfileStore& profile, int code)
    : settings_(settings), section_(FormatSection(code)) {
  bool saved = false;
  for (const QString& key : settings.SectionKeys(section_))
    if (key.startsWith("para", Qt::CaseInsensitive)) saved = true;
  usingDefaults_ = !saved;
  if (usingDefaults_) defaults_ = DefaultChoices(profile, code);
}

QString TFormatChoiceReader::Read(const QString& key, const QString& defaultValue) const {
  if (!usingDefaults_) return settings_.ReadString(section_, key, defaultValue);
  auto it = defaults_.find(key.toLower());
  return it == defaults_.end() ? defaultValue : it->second;
}
