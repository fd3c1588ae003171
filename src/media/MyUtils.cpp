#include "MyUtils.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, args);
  out.resize(n);
  return out;
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatV(format, args);
  va_end(args);
  return s;
}

std::string TrimText(const std::string& text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = text.find_last_not_of(" \t\r\n");
  return text.substr(b, e - b + 1);
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

TPathFileName IncludeTrailingPathDelimiter(const TPathFileName& name) {
  if (!name.empty() && name.back() == '/') return name;
  return name + "/";
}

TPathFileName ExtractFilePath(const TPathFileName& name) {
  size_t p = name.rfind('/');
  return p == std::string::npos ? TPathFileName() : name.substr(0, p + 1);
}

TPathFileName ExtractFileName(const TPathFileName& name) {
  size_t p = name.rfind('/');
  return p == std::string::npos ? name : name.substr(p + 1);
}

TPathFileName ExpandFileName(const TPathFileName& name) {
  if (name.empty()) return GetCurrentDir();
  if (name[0] == '/') return name;
  return IncludeTrailingPathDelimiter(GetCurrentDir()) + name;
}

bool WideFileExists(const TPathFileName& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool WideDirectoryExists(const TPathFileName& name) {
  struct stat st;
  return stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TPathFileName GetCurrentDir() {
  std::vector<char> buf(PATH_MAX);
  while (!getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
  return buf.data();
}

bool SetCurrentDir(const TPathFileName& dir) { return chdir(dir.c_str()) == 0; }

std::string GetEnvVar(const std::string& name) {
  const char* v = getenv(name.c_str());
  return v ? v : "";
}

bool DeleteIfEmptyFile(const TPathFileName& name) {
  struct stat st;
  if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0) return false;
  return unlink(name.c_str()) == 0;
}

int64_t WideFileSize(const TPathFileName& name) {
  struct stat st;
  if (stat(name.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

std::string FileSizeText(int64_t size) {
  if (size <= 1024) return Format("%lld Byte", static_cast<long long>(size));
  if (size <= 1048576) return Format("%.2f KB", size / 1024.0);
  if (size <= 1073741824) return Format("%.2f MB", size / 1048576.0);
  return Format("%.2f GB", size / 1073741824.0);
}

double UnixTimeToLocal(int64_t seconds) {
  // The zone's standard offset: take it from a January date so that summer
  // time does not leak in (as the documented rule ignores daylight saving).
  time_t probe = seconds;
  struct tm local {};
  localtime_r(&probe, &local);
  long offset = local.tm_gmtoff;
  if (local.tm_isdst > 0) offset -= 3600;
  return seconds / 86400.0 + 25569.0 + offset / 86400.0;
}

std::string SplitAtDelimiter(std::string& source, const std::string& delimiter, bool remove) {
  size_t p = delimiter.empty() ? std::string::npos : source.find(delimiter);
  if (p == std::string::npos) {
    std::string all = source;
    if (remove) source.clear();
    return all;
  }
  std::string head = source.substr(0, p);
  if (remove) source.erase(0, p + delimiter.size());
  return head;
}

namespace {
bool FillSearchRec(TSearchRec& rec) {
  auto* dir = static_cast<DIR*>(rec.Handle);
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (fnmatch(rec.Pattern.c_str(), name.c_str(), 0) != 0) continue;
    struct stat st;
    if (stat((rec.Folder + name).c_str(), &st) != 0) continue;
    int attr = 0;
    if (S_ISDIR(st.st_mode)) attr |= faDirectory;
    if (name[0] == '.') attr |= faHidden;
    if (access((rec.Folder + name).c_str(), W_OK) != 0) attr |= faReadOnly;
    if ((attr & (faDirectory | faHidden)) & ~rec.Wanted) continue;
    rec.Name = name;
    rec.Attr = attr;
    rec.Size = st.st_size;
    rec.Time = UnixTimeToLocal(st.st_mtime);
    return true;
  }
  return false;
}
}  // namespace

int FindFirst(const TPathFileName& pattern, int attributes, TSearchRec& rec) {
  FindClose(rec);
  rec.Folder = ExtractFilePath(pattern);
  rec.Pattern = ExtractFileName(pattern);
  rec.Wanted = attributes;
  DIR* dir = opendir(rec.Folder.empty() ? "." : rec.Folder.c_str());
  if (!dir) return -1;
  rec.Handle = dir;
  if (FillSearchRec(rec)) return 0;
  FindClose(rec);
  return -1;
}

int FindNext(TSearchRec& rec) {
  if (!rec.Handle) return -1;
  return FillSearchRec(rec) ? 0 : -1;
}

void FindClose(TSearchRec& rec) {
  if (rec.Handle) closedir(static_cast<DIR*>(rec.Handle));
  rec.Handle = nullptr;
}

TPathFileName ProgramFolder() {
  std::vector<char> buf(PATH_MAX + 1, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), PATH_MAX);
  if (n <= 0) return IncludeTrailingPathDelimiter(GetCurrentDir());
  return ExtractFilePath(std::string(buf.data(), static_cast<size_t>(n)));
}
