// The profile file: for each format code the container, the extension and the
// values the user may choose; the list and range rules of its keys; and the
// choices the output settings dialog stores for a format, which the job
// builder reads.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>

#include <QString>
#include <QStringList>

#include "GlobalUnit.h"

// A job cannot be built from the files as they are (a range bound or a
// fallback value that is not a number); the message says which.
class TJobError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "formatInfo" + the decimal code: the section of a format in both files.
QString FormatSection(int code);

// The items of a profile list: comma-separated values in the order shown;
// "null", an empty text or a missing key offer nothing.
QStringList ProfileListItems(const QString& value);

// The adoption range of a "SampleRate", "AudioBitRate" or "VideoBitRate"
// list: the first value, or the second when the first is "as source", up to
// the last value when the list has at least two commas (else the minimum
// again). Nothing for a list without a comma after its first character.
// Throws TJobError when a bound is not a number.
struct TValueRange {
  double Min = 0, Max = 0;
};
std::optional<TValueRange> ProfileRange(const QString& list);

class TProfileStore {
 public:
  explicit TProfileStore(const QString& profileFile) : ini_(profileFile) {}
  const TIniFile& Ini() const { return ini_; }

  QString Value(int code, const QString& key, const QString& defaultValue) const {
    return ini_.ReadString(FormatSection(code), key, defaultValue);
  }
  QString Format(int code) const { return Value(code, "Format", ""); }
  QString FileExt(int code) const { return Value(code, "FileExt", "mp4"); }
  // A list key ("VideoSize", "AudioEncoder", ...): its items, empty when the
  // format offers no choice.
  QStringList Items(int code, const QString& key) const { return ProfileListItems(Value(code, key, "null")); }
  // The default item index of a list ("iVideoSize", ...), 0 when missing.
  int DefaultIndex(int code, const QString& key) const { return ini_.ReadInteger(FormatSection(code), key, 0); }

 private:
  TIniFile ini_;
};

// What the output settings dialog writes for a shown name; nothing for a name
// outside its tables (the dialog then leaves the stored value as it was).
std::optional<QString> VideoEncoderParameter(const QString& shown);
std::optional<QString> AudioEncoderParameter(const QString& shown);
std::optional<QString> ChannelParameter(const QString& shown);
std::optional<QString> VolumeParameter(const QString& shown);  // "100%" -> "256"

// A format's choices as the settings file's section holds them: key (in
// lower case, as keys match without case) to value.
using TFormatChoices = std::map<QString, QString>;

// The choices the output settings dialog saves after "&Default" then "&Ok":
// each list at the profile's default index, mapped to encoder names, channel
// counts and volumes as the dialog maps them, zoom "full", and the H.264
// extras of the profile.
TFormatChoices DefaultChoices(const TProfileStore& profile, int code);

// Reads the user's choices for one format: the settings file's section when
// it holds saved choices, else the dialog's defaults for the format, so a
// format never saved from the dialog converts with its offered defaults.
class TFormatChoiceReader {
 public:
  TFormatChoiceReader(const TIniFile& settings, const TProfileStore& profile, int code);
  QString Read(const QString& key, const QString& defaultValue) const;
  bool UsingDefaults() const { return usingDefaults_; }

 private:
  const TIniFile& settings_;
  QString section_;
  bool usingDefaults_ = false;
  TFormatChoices defaults_;
};
