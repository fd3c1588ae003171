#include "UnicodeProtocol.h"

#include <cstring>
#include <mutex>
#include <set>

#include "FFmpegLibs.h"

namespace {

constexpr char kSchemeChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

struct ProtocolNames {
  std::mutex lock;
  std::set<std::string> names;  // guarded by lock
};

ProtocolNames& Protocols() {
  static ProtocolNames p;
  return p;
}

// The scheme the library would read off the front of text ("" for none).
std::string SchemeOf(const std::string& text) {
  size_t len = std::strspn(text.c_str(), kSchemeChars);
  if (len == 0 || len >= text.size() || text[len] != ':') return {};
  return text.substr(0, len);
}

}  // namespace

void RegisterUnicodeProtocol() {
  if (!lavf.avio_enum_protocols) return;
  std::set<std::string> names;
  void* opaque = nullptr;
  for (int output = 0; output <= 1; ++output) {
    opaque = nullptr;
    while (const char* name = lavf.avio_enum_protocols(&opaque, output)) names.insert(name);
  }
  std::lock_guard<std::mutex> g(Protocols().lock);
  Protocols().names = std::move(names);
}

bool IsLibraryProtocolURL(const std::string& url) {
  std::string scheme = SchemeOf(url);
  if (scheme.empty() || scheme == "file") return false;
  std::lock_guard<std::mutex> g(Protocols().lock);
  return Protocols().names.count(scheme) > 0;
}

bool NeedsFilePrefix(const TPathFileName& name) {
  // "subfile,,start,…:" is read as a URL too.
  return !SchemeOf(name).empty() || name.rfind("subfile,", 0) == 0;
}

std::string FileNameToURL(const TPathFileName& name) {
  // A name that exists on disk is a file even when it looks like a URL.
  if (IsLibraryProtocolURL(name) && !WideFileExists(name) && !WideDirectoryExists(name)) return name;
  if (NeedsFilePrefix(name)) return "file:" + name;
  return name;
}

TPathFileName URLToFileName(const std::string& url) {
  if (url.rfind("file:", 0) == 0) return url.substr(5);
  return url;
}
