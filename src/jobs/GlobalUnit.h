// The application-wide object with its paths and texts, and the settings
// store: the INI files every window and the job builder read key by key.
#pragma once

#include <QString>
#include <QStringList>

#include "EngineTypes.h"

inline constexpr char kSettingsFileName[] = "tolvanedor3erozidururo.ini";
inline constexpr char kProfileFileName[] = "tolvanezod3iraredav.ini";

// One INI file, opened for every read or write of a single key and closed
// again; nothing is cached, so several windows (or processes) never see stale
// values. Section and key names are matched without case. A read names its
// default, returned when the key is missing or (for numbers) not a number.
class TIniFile {
 public:
  explicit TIniFile(QString fileName) : fileName_(std::move(fileName)) {}
  const QString& FileName() const { return fileName_; }

  QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
  int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
  bool ReadBool(const QString& section, const QString& key, bool defaultValue) const;
  bool ValueExists(const QString& section, const QString& key) const;
  bool SectionExists(const QString& section) const;
  // Key names of a section in file order; empty when there is no section.
  QStringList SectionKeys(const QString& section) const;

  // Creates the file and its folder when missing; the file is replaced
  // atomically so a failed write never leaves half a settings file. False
  // when the file cannot be written.
  bool WriteString(const QString& section, const QString& key, const QString& value);
  bool WriteInteger(const QString& section, const QString& key, int value);
  bool WriteBool(const QString& section, const QString& key, bool value);

 private:
  QString fileName_;
};

// An integer text converts completely (blanks around it allowed) to an int.
bool IsIntegerText(const QString& text, int* value = nullptr);
// A number text converts completely to a floating-point number ("29.97", "1e3").
bool IsNumberText(const QString& text, double* value = nullptr);

// The settings file's section "settings": every key with its default and
// range rule.
class TSettingsStore {
 public:
  explicit TSettingsStore(const QString& settingsFile) : ini_(settingsFile) {}
  TIniFile& Ini() { return ini_; }
  const TIniFile& Ini() const { return ini_; }

  static constexpr const char* kSection = "settings";
  // The default and fallback output and snapshot folder (~/clipyard).
  static QString DefaultClipyard();
  // Caption defaults: the main window's and the output settings dialog's.
  static constexpr const char* kDefaultFormatName = "Apple iPod Video MPEG-4 Movie (*.mp4)";
  static constexpr const char* kDialogDefaultFormatName = "iPod Video MPEG-4";

  QString OutPutDir() const;
  void SetOutPutDir(const QString& folder);
  QString SnapOutPutDir() const;
  void SetSnapOutPutDir(const QString& folder);
  int Volume() const;  // 0..128; a stored value outside that reads as 64
  void SetVolume(int volume);
  bool Mute() const;
  void SetMute(bool mute);
  QString FormatName(const QString& defaultName = kDefaultFormatName) const;
  void SetFormatName(const QString& caption);
  int FormatCode() const;  // 1 when missing
  void SetFormatCode(int code);
  int Priority() const;  // 0 idle, 1 normal, 2 lower, 3 lowest; other stored values as they are
  void SetPriority(int priority);
  bool SnapFullSize() const;
  bool SnapSmallSize() const;
  bool SnapBmp() const;
  bool SnapJpg() const;
  int JpgCmp() const;
  void SetSnapFullSize(bool value);
  void SetSnapSmallSize(bool value);
  void SetSnapBmp(bool value);
  void SetSnapJpg(bool value);
  void SetJpgCmp(int quality);

  // Section "lstformat": true (the default) = group g is shown folded.
  bool GroupFolded(int group) const;
  void SetGroupFolded(int group, bool folded);

 private:
  TIniFile ini_;
};

// The engine's thread priority for a "priority" value; other values leave
// current unchanged.
TThreadPriority PriorityToThreadPriority(int priority, TThreadPriority current);

// The application-wide object: paths and texts every window uses, and small
// platform services.
class TGlobalObject {
 public:
  TGlobalObject();

  const QString& HelpPage() const { return helpPage_; }
  const QString& SettingsFile() const { return settingsFile_; }
  const QString& ProfileFile() const { return profileFile_; }
  const QString& ProductName() const { return productName_; }
  const QString& VersionText() const { return versionText_; }
  const QString& WebsitePage() const { return websitePage_; }
  // Each setter ignores a value that fails its rule, so a failed lookup never
  // clears a value already set: paths need more than 3 characters, the other
  // texts must not be empty.
  void SetHelpPage(const QString& value);
  void SetSettingsFile(const QString& value);
  void SetProfileFile(const QString& value);
  void SetProductName(const QString& value);
  void SetVersionText(const QString& value);
  void SetWebsitePage(const QString& value);

  // The last n characters of text (all of it when shorter).
  static QString RightText(const QString& text, int n);
  // " major.minorreleasebuild " of the program's version (2.5.0.7 gives " 2.507 ").
  static QString ReadFileVersion();
  static QString FileVersionText(int major, int minor, int release, int build);
  // True when a temporary file can be made in folder and deleted again.
  static bool IsFolderWritable(const QString& folder);
  static QString GetLoginName();
  // The folder of a shell special-folder id, with a trailing "/" when not
  // empty; ids without a Linux counterpart give "".
  static QString GetSpecialFolder(int id);

  static constexpr int CSIDL_DESKTOP = 0x0000;
  static constexpr int CSIDL_PERSONAL = 0x0005;
  static constexpr int CSIDL_MYMUSIC = 0x000d;
  static constexpr int CSIDL_MYVIDEO = 0x000e;
  static constexpr int CSIDL_DESKTOPDIRECTORY = 0x0010;
  static constexpr int CSIDL_APPDATA = 0x001a;
  static constexpr int CSIDL_LOCAL_APPDATA = 0x001c;
  static constexpr int CSIDL_COMMON_APPDATA = 0x0023;
  static constexpr int CSIDL_MYPICTURES = 0x0027;
  static constexpr int CSIDL_PROFILE = 0x0028;

 private:
  QString helpPage_, settingsFile_, profileFile_, productName_, versionText_, websitePage_;
};

// The profile file in use: the one in the configuration folder when present,
// else the one shipped in "data/" beside the program.
QString DefaultProfileFile();
