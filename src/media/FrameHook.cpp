#include "FrameHook.h"

#include <dlfcn.h>
#include <strings.h>

#include <map>
#include <mutex>
#include <sstream>

#include "FFmpegLibs.h"
#include "MyUtils.h"

namespace {

// Libraries loaded by any task; loaded once, kept until the process ends.
struct PluginLibraries {
  std::mutex lock;
  std::map<std::string, void*> modules;  // guarded by lock; key: lower-cased name
};

PluginLibraries& Libraries() {
  static PluginLibraries libs;
  return libs;
}

void LibraryError(const char* format, const std::string& name) {
  if (lavu.av_log) lavu.av_log(nullptr, AV_LOG_ERROR, format, name.c_str());
}

}  // namespace

std::vector<std::string> SplitHookWords(const std::string& value) {
  std::vector<std::string> words;
  if (value.find('|') != std::string::npos) {
    std::stringstream in(value);
    std::string word;
    while (std::getline(in, word, '|') && words.size() < 63) words.push_back(word);
  } else {
    std::stringstream in(value);
    std::string word;
    while (in >> word && words.size() < 63) words.push_back(word);
  }
  return words;
}

int AddFrameHook(TFrameHookList& list, const std::vector<std::string>& words) {
  if (words.empty()) return -2;
  const std::string& name = words[0];
  void* module = nullptr;
  {
    std::lock_guard<std::mutex> g(Libraries().lock);
    auto it = Libraries().modules.find(LowerCase(name));
    if (it != Libraries().modules.end()) {
      module = it->second;
    } else {
      // A path with a folder is opened as it stands; its own dependencies are
      // found through the library's run path, as the system loader does.
      module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (!module) {
        const char* e = dlerror();
        LibraryError("%s\n", e ? e : name);
        return -1;
      }
      Libraries().modules[LowerCase(name)] = module;
    }
  }
  TFrameHookEntry entry;
  entry.Configure = reinterpret_cast<TolvaneConfigureProc>(dlsym(module, "Configure"));
  entry.Process = reinterpret_cast<TolvaneProcessProc>(dlsym(module, "Process"));
  entry.Release = reinterpret_cast<TolvaneReleaseProc>(dlsym(module, "Release"));
  if (!entry.Process) {
    LibraryError("Failed to find Process entrypoint in %s\n", name);
    return -2;
  }
  if (!entry.Configure && words.size() > 1) {
    LibraryError("Failed to find Configure entrypoint in %s\n", name);
    return -2;
  }
  if (entry.Configure) {
    std::vector<char*> argv;
    for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(nullptr);
    if (entry.Configure(&entry.Context, static_cast<int>(words.size()), argv.data()) != 0) {
      LibraryError("Failed to Configure %s\n", name);
      return -22;
    }
  }
  list.push_back(entry);
  return 0;
}

void ProcessFrameHooks(TFrameHookList& list, TolvanePicture* picture, int pixFmt, int width, int height,
                       int64_t ptsUs) {
  for (TFrameHookEntry& e : list) e.Process(e.Context, picture, pixFmt, width, height, ptsUs);
}

void ReleaseFrameHooks(TFrameHookList& list) {
  for (TFrameHookEntry& e : list)
    if (e.Release) e.Release(e.Context);
  list.clear();
}
