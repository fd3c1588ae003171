#include "GlobalUnit.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "JobsInfo.h"
#include "MyUtils.h"
#include "Version.h"

// The Debian header keeps the template bodies behind SI_IMPLEMENTATION; no
// wide-character interface is needed, so nothing is linked.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace {

bool LoadIni(const QString& fileName, CSimpleIniA& ini) {
  ini.SetUnicode(true);
  ini.SetMultiKey(false);
  ini.SetSpaces(false);
  QFile file(fileName);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray data = file.readAll();
  return ini.LoadData(data.constData(), static_cast<size_t>(data.size())) >= 0;
}

}  // namespace

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const {
  CSimpleIniA ini;
  if (!LoadIni(fileName_, ini)) return defaultValue;
  const char* value = ini.GetValue(section.toUtf8().constData(), key.toUtf8().constData(), nullptr);
  return value ? QString::fromUtf8(value) : defaultValue;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
  int value = 0;
  return IsIntegerText(ReadString(section, key, QString()), &value) ? value : defaultValue;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const QString& section, const QString& key) const {
  CSimpleIniA ini;
  return LoadIni(fileName_, ini) &&
         ini.GetValue(section.toUtf8().constData(), key.toUtf8().constData(), nullptr) != nullptr;
}

bool TIniFile::SectionExists(const QString& section) const {
  CSimpleIniA ini;
  return LoadIni(fileName_, ini) && ini.GetSectionSize(section.toUtf8().constData()) >= 0;
}

QStringList TIniFile::SectionKeys(const QString& section) const {
  CSimpleIniA ini;
  QStringList keys;
  if (!LoadIni(fileName_, ini)) return keys;
  CSimpleIniA::TNamesDepend names;
  if (!ini.GetAllKeys(section.toUtf8().constData(), names)) return keys;
  names.sort(CSimpleIniA::Entry::LoadOrder());
  for (const auto& n : names) keys << QString::fromUtf8(n.pItem);
  return keys;
}

bool TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  CSimpleIniA ini;
  LoadIni(fileName_, ini);
  if (ini.SetValue(section.toUtf8().constData(), key.toUtf8().constData(), value.toUtf8().constData()) < 0)
    return false;
  std::string text;
  if (ini.Save(text) < 0) return false;
  QDir().mkpath(QFileInfo(fileName_).absolutePath());
  QSaveFile file(fileName_);
  if (!file.open(QIODevice::WriteOnly)) return false;
  file.write(text.data(), static_cast<qint64>(text.size()));
  return file.commit();
}

bool TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
  return WriteString(section, key, QString::number(value));
}

bool TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
  return WriteString(section, key, value ? "1" : "0");
}

bool IsIntegerText(const QString& text, int* value) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok, 10);
  if (ok && value) *value = v;
  return ok;
}

bool IsNumberText(const QString& text, double* value) {
  bool ok = false;
  const double v = text.trimmed().toDouble(&ok);
  if (ok && value) *value = v;
  return ok;
}

QString TSettingsStore::DefaultClipyard() { return QDir::homePath() + "/clipyard"; }

QString TSettingsStore::OutPutDir() const { return ini_.ReadString(kSection, "OutPutDir", DefaultClipyard()); }
void TSettingsStore::SetOutPutDir(const QString& folder) { ini_.WriteString(kSection, "OutPutDir", folder); }
QString TSettingsStore::SnapOutPutDir() const {
  return ini_.ReadString(kSection, "SnapOutPutDir", DefaultClipyard());
}
void TSettingsStore::SetSnapOutPutDir(const QString& folder) { ini_.WriteString(kSection, "SnapOutPutDir", folder); }

int TSettingsStore::Volume() const {
  const int v = ini_.ReadInteger(kSection, "volume", 0);
  return v < 0 || v > 128 ? 64 : v;
}
void TSettingsStore::SetVolume(int volume) { ini_.WriteInteger(kSection, "volume", volume); }
bool TSettingsStore::Mute() const { return ini_.ReadInteger(kSection, "mute", 0) == 1; }
void TSettingsStore::SetMute(bool mute) { ini_.WriteInteger(kSection, "mute", mute ? 1 : 0); }
QString TSettingsStore::FormatName(const QString& defaultName) const {
  return ini_.ReadString(kSection, "FormatName", defaultName);
}
void TSettingsStore::SetFormatName(const QString& caption) { ini_.WriteString(kSection, "FormatName", caption); }
int TSettingsStore::FormatCode() const { return ini_.ReadInteger(kSection, "FormatCode", 1); }
void TSettingsStore::SetFormatCode(int code) { ini_.WriteString(kSection, "FormatCode", QString::number(code)); }
int TSettingsStore::Priority() const { return ini_.ReadInteger(kSection, "priority", 1); }
void TSettingsStore::SetPriority(int priority) { ini_.WriteInteger(kSection, "priority", priority); }
bool TSettingsStore::SnapFullSize() const { return ini_.ReadInteger(kSection, "snapFullSize", 1) == 1; }
bool TSettingsStore::SnapSmallSize() const { return ini_.ReadInteger(kSection, "snapSmallSize", 1) == 1; }
bool TSettingsStore::SnapBmp() const { return ini_.ReadInteger(kSection, "snapBmp", 1) == 1; }
bool TSettingsStore::SnapJpg() const { return ini_.ReadInteger(kSection, "snapJpg", 1) == 1; }
int TSettingsStore::JpgCmp() const { return ini_.ReadInteger(kSection, "jpgCmp", 30); }
void TSettingsStore::SetSnapFullSize(bool value) { ini_.WriteInteger(kSection, "snapFullSize", value ? 1 : 0); }
void TSettingsStore::SetSnapSmallSize(bool value) { ini_.WriteInteger(kSection, "snapSmallSize", value ? 1 : 0); }
void TSettingsStore::SetSnapBmp(bool value) { ini_.WriteInteger(kSection, "snapBmp", value ? 1 : 0); }
void TSettingsStore::SetSnapJpg(bool value) { ini_.WriteInteger(kSection, "snapJpg", value ? 1 : 0); }
void TSettingsStore::SetJpgCmp(int quality) { ini_.WriteInteger(kSection, "jpgCmp", quality); }

bool TSettingsStore::GroupFolded(int group) const {
  return ini_.ReadBool("lstformat", QString::number(group), true);
}
void TSettingsStore::SetGroupFolded(int group, bool folded) {
  ini_.WriteBool("lstformat", QString::number(group), folded);
}

TThreadPriority PriorityToThreadPriority(int priority, TThreadPriority current) {
  switch (priority) {
    case 0: return tpIdle;
    case 1: return tpNormal;
    case 2: return tpLower;
    case 3: return tpLowest;
    default: return current;
  }
}

TGlobalObject::TGlobalObject() {
  SetSettingsFile(GetSpecialFolder(CSIDL_COMMON_APPDATA) + kSettingsFileName);
  SetProfileFile(DefaultProfileFile());
  SetProductName("Tolvane DOR 3ER Ozidururo");
  SetVersionText(" ver 1.10 ");
  SetWebsitePage("https://tolvane.example.org/");
  SetHelpPage("https://tolvane.example.org/help/");
}

void TGlobalObject::SetHelpPage(const QString& value) {
  if (!value.isEmpty()) helpPage_ = value;
}
void TGlobalObject::SetSettingsFile(const QString& value) {
  if (value.size() > 3) settingsFile_ = value;
}
void TGlobalObject::SetProfileFile(const QString& value) {
  if (value.size() > 3) profileFile_ = value;
}
void TGlobalObject::SetProductName(const QString& value) {
  if (!value.isEmpty()) productName_ = value;
}
void TGlobalObject::SetVersionText(const QString& value) {
  if (!value.isEmpty()) versionText_ = value;
}
void TGlobalObject::SetWebsitePage(const QString& value) {
  if (!value.isEmpty()) websitePage_ = value;
}

QString TGlobalObject::RightText(const QString& text, int n) {
  if (n <= 0) return QString();
  return text.size() <= n ? text : text.right(n);
}

QString TGlobalObject::FileVersionText(int major, int minor, int release, int build) {
  return QString(" %1.%2%3%4 ").arg(major).arg(minor).arg(release).arg(build);
}

QString TGlobalObject::ReadFileVersion() {
  return FileVersionText(TOLVANE_VERSION_MAJOR, TOLVANE_VERSION_MINOR, TOLVANE_VERSION_PATCH, 0);
}

bool TGlobalObject::IsFolderWritable(const QString& folder) {
  if (folder.isEmpty()) return false;
  QByteArray pattern = (QDir(folder).absolutePath() + "/DAXXXXXX").toUtf8();
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  close(fd);
  return unlink(pattern.constData()) == 0;
}

QString TGlobalObject::GetLoginName() {
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name).left(254);
  const QByteArray user = qgetenv("USER");
  return QString::fromLocal8Bit(user).left(254);
}

QString TGlobalObject::GetSpecialFolder(int id) {
  QString path;
  switch (id) {
    case CSIDL_DESKTOP:
    case CSIDL_DESKTOPDIRECTORY:
      path = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
      break;
    case CSIDL_PERSONAL: path = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation); break;
    case CSIDL_MYMUSIC: path = QStandardPaths::writableLocation(QStandardPaths::MusicLocation); break;
    case CSIDL_MYVIDEO: path = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation); break;
    case CSIDL_MYPICTURES: path = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation); break;
    case CSIDL_APPDATA: path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation); break;
    case CSIDL_LOCAL_APPDATA: path = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation); break;
    // The program's files live in their own folder of the configuration
    // home rather than loose in it.
    case CSIDL_COMMON_APPDATA: path = ConfigFolder(); break;
    case CSIDL_PROFILE: path = QDir::homePath(); break;
    default: break;
  }
  if (!path.isEmpty() && !path.endsWith('/')) path += '/';
  return path;
}

QString DefaultProfileFile() {
  const QString configured = ConfigFolder() + "/" + kProfileFileName;
  if (QFileInfo::exists(configured)) return configured;
  return QString::fromStdString(ProgramFolder()) + "data/" + kProfileFileName;
}
