// File, text and process helpers shared by the media components.
// File names are UTF-8 strings, as Linux passes them.
#pragma once

#include <sys/types.h>

#include <cstdarg>
#include <cstdint>
#include <string>

using TPathFileName = std::string;

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Text without leading and trailing blanks, tabs and line breaks.
std::string TrimText(const std::string& text);
// ASCII lower case.
std::string LowerCase(std::string text);

TPathFileName IncludeTrailingPathDelimiter(const TPathFileName& name);
// Split after the last "/": the path keeps the delimiter.
TPathFileName ExtractFilePath(const TPathFileName& name);
TPathFileName ExtractFileName(const TPathFileName& name);
TPathFileName ExpandFileName(const TPathFileName& name);

// True for an existing entry that is not a directory.
bool WideFileExists(const TPathFileName& name);
bool WideDirectoryExists(const TPathFileName& name);
TPathFileName GetCurrentDir();
bool SetCurrentDir(const TPathFileName& dir);
// The value of an environment variable, "" when unset.
std::string GetEnvVar(const std::string& name);

// Deletes name when it is a regular file of 0 bytes (never a device or a
// file with content); true when it was deleted.
bool DeleteIfEmptyFile(const TPathFileName& name);

// Size of a file in bytes, -1 when it does not exist or is a directory.
int64_t WideFileSize(const TPathFileName& name);
// "%d Byte", "%.2f KB", "%.2f MB" or "%.2f GB".
std::string FileSizeText(int64_t size);

// Seconds since 1970 to a local date-time in days since 1899-12-30, with the
// zone's standard offset (daylight saving is not applied).
double UnixTimeToLocal(int64_t seconds);

// The text before the first delimiter; with remove, source keeps what follows
// it (or becomes empty when there is no delimiter).
std::string SplitAtDelimiter(std::string& source, const std::string& delimiter, bool remove);

// Directory search: entries matching a shell pattern ("*.bmp").
enum : int { faReadOnly = 0x01, faHidden = 0x02, faSysFile = 0x04, faDirectory = 0x10, faAnyFile = 0x3F };
struct TSearchRec {
  double Time = 0;  // local date-time in days, as UnixTimeToLocal gives it
  int64_t Size = 0;
  int Attr = 0;
  std::string Name;
  // Search state.
  void* Handle = nullptr;
  std::string Folder, Pattern;
  int Wanted = 0;
};
// 0 when an entry was found, else -1. Hidden and directory entries are only
// returned when their attribute is asked for.
int FindFirst(const TPathFileName& pattern, int attributes, TSearchRec& rec);
int FindNext(TSearchRec& rec);
void FindClose(TSearchRec& rec);

// The folder of the running program, with a trailing "/".
TPathFileName ProgramFolder();
