// Run-time loading of the media libraries, SDL and the C runtime.
//
// Used from the main thread during component start-up; it has no lock of its
// own. CodecLock is the one lock here that other threads take.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

#include "FFmpegLibs.h"
#include "MyUtils.h"

// The order is also the load order.
enum TLibraryType {
  ltAVCodec,
  ltAVDevice,
  ltAVFilter,
  ltAVFormat,
  ltAVUtil,
  ltSwScale,
  ltSwResample,
  ltMSVCRT,
  ltSDL,
};
constexpr int LibraryTypeCount = ltSDL + 1;

// A small bit set of library types.
class TLibraryTypes {
 public:
  constexpr TLibraryTypes() = default;
  constexpr TLibraryTypes(std::initializer_list<TLibraryType> libs) {
    for (auto lib : libs) bits_ |= 1u << lib;
  }
  constexpr bool Contains(TLibraryType lib) const { return (bits_ >> lib) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr TLibraryTypes With(TLibraryType lib) const {
    TLibraryTypes r = *this;
    r.bits_ |= 1u << lib;
    return r;
  }

 private:
  uint32_t bits_ = 0;
};

inline constexpr TLibraryTypes EngineLibraries{ltAVCodec,    ltAVFilter, ltAVFormat, ltAVUtil,
                                               ltSwScale,    ltSwResample, ltMSVCRT};
inline constexpr TLibraryTypes PlayerLibraries = EngineLibraries.With(ltSDL);

// The library's base name and the major version of the headers we compile
// against; Version -1 means the file name is taken as it stands.
struct TLibraryItem {
  TLibraryType LibType;
  const char* Name;
  int Version;
};

struct TLibraryStatus {
  TLibraryType LibType;
  void* Handle = nullptr;
  bool Loaded = false;
};

class TFFmpegLoader {
 public:
  TFFmpegLoader();
  // Whether loading the utility library installs the library log hook.
  bool InstallLogHook = true;
  // Libraries missing from LibraryPath are looked up by the system's search.
  // Tests turn this off to see what a folder alone provides.
  bool SystemSearch = true;
};

TFFmpegLoader& FFLoader();

// Serialises every codec open and close and every stream-information search.
std::recursive_mutex& CodecLock();

void SetLibraryPath(const TPathFileName& folder);
TPathFileName GetLibraryPath();
std::string GetLastErrMsg();

const TLibraryItem& LibraryItem(TLibraryType lib);
// "lib<name>.so.<major>", or the name itself when it carries no version.
TPathFileName LibraryFileName(TLibraryType lib);
// The file a loaded library came from ("" while not loaded).
TPathFileName LibraryLoadedFrom(TLibraryType lib);

bool LoadOneLibrary(TLibraryType lib);
bool LoadLibrarySet(TLibraryTypes set);
bool IsLoaded(TLibraryType lib);
bool AreLoaded(TLibraryTypes set);
void UnloadOneLibrary(TLibraryType lib);
void UnloadLibrarySet(TLibraryTypes set);

// Loads fileName from folder when the file is there, else by the system's
// search (unless systemSearch is off and a folder is given). Returns the handle or
// nullptr with the system's text in errorText.
void* LoadLibraryFromFolder(const TPathFileName& folder, const TPathFileName& fileName,
                            bool systemSearch, std::string& errorText);

// Bind an exported name; throw std::runtime_error with the
// "Load function %s@%s error: %s" (or "Load variable ...") text when absent.
void BindFunction(const TPathFileName& libraryFileName, void* handle, const char* name,
                  bool optional, void** pointer);
void BindVariable(const TPathFileName& libraryFileName, void* handle, const char* name,
                  bool optional, void** pointer);
