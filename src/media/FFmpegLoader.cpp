#include "FFmpegLoader.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cassert>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "FFmpegLogger.h"
#include "UnicodeProtocol.h"

AVCodecEntries lavc;
AVDeviceEntries lavd;
AVFilterEntries lavfi;
AVFormatEntries lavf;
AVUtilEntries lavu;
SwScaleEntries sws;
SwResampleEntries swr;
CRTEntries crt;
SDLEntries sdl;

namespace {

const TLibraryItem kLibraries[LibraryTypeCount] = {
    {ltAVCodec, "avcodec", LIBAVCODEC_VERSION_MAJOR},
    {ltAVDevice, "avdevice", LIBAVDEVICE_VERSION_MAJOR},
    {ltAVFilter, "avfilter", LIBAVFILTER_VERSION_MAJOR},
    {ltAVFormat, "avformat", LIBAVFORMAT_VERSION_MAJOR},
    {ltAVUtil, "avutil", LIBAVUTIL_VERSION_MAJOR},
    {ltSwScale, "swscale", LIBSWSCALE_VERSION_MAJOR},
    {ltSwResample, "swresample", LIBSWRESAMPLE_VERSION_MAJOR},
    {ltMSVCRT, "libc.so.6", -1},
    {ltSDL, "libSDL2-2.0.so.0", -1},
};

struct LoaderState {
  TLibraryStatus status[LibraryTypeCount];
  // Libraries opened from the folder only so that a loaded library's
  // dependencies resolve there; released with the library that needed them.
  std::vector<void*> dependencies[LibraryTypeCount];
  TPathFileName libraryPath;
  std::string lastErrMsg;
  LoaderState() {
    for (int i = 0; i < LibraryTypeCount; ++i) status[i].LibType = static_cast<TLibraryType>(i);
  }
};

LoaderState& State() {
  static LoaderState state;
  return state;
}

template <typename Table>
void BindTable(Table& table, const TPathFileName& file, void* handle);

#define TOLVANE_BIND_ENTRY(name) \
  BindFunction(file, handle, #name, false, reinterpret_cast<void**>(&table.name));

template <>
void BindTable(AVCodecEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_AVCODEC_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(AVDeviceEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_AVDEVICE_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(AVFilterEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_AVFILTER_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(AVFormatEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_AVFORMAT_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(AVUtilEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_AVUTIL_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(SwScaleEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_SWSCALE_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(SwResampleEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_SWRESAMPLE_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(CRTEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_CRT_ENTRIES(TOLVANE_BIND_ENTRY)
}
template <>
void BindTable(SDLEntries& table, const TPathFileName& file, void* handle) {
  TOLVANE_SDL_ENTRIES(TOLVANE_BIND_ENTRY)
}
#undef TOLVANE_BIND_ENTRY

// Binds all of a table or none: a failure leaves it empty again.
template <typename Table>
void LoadProc(Table& table, const TPathFileName& file, void* handle) {
  try {
    BindTable(table, file, handle);
  } catch (...) {
    table = Table{};
    throw;
  }
}

void LoadProcFor(TLibraryType lib, const TPathFileName& file, void* handle) {
  switch (lib) {
    case ltAVCodec: LoadProc(lavc, file, handle); break;
    case ltAVDevice: LoadProc(lavd, file, handle); break;
    case ltAVFilter: LoadProc(lavfi, file, handle); break;
    case ltAVFormat: LoadProc(lavf, file, handle); break;
    case ltAVUtil: LoadProc(lavu, file, handle); break;
    case ltSwScale: LoadProc(sws, file, handle); break;
    case ltSwResample: LoadProc(swr, file, handle); break;
    case ltMSVCRT: LoadProc(crt, file, handle); break;
    case ltSDL: LoadProc(sdl, file, handle); break;
  }
}

void FreeProcFor(TLibraryType lib) {
  switch (lib) {
    case ltAVCodec: lavc = {}; break;
    case ltAVDevice: lavd = {}; break;
    case ltAVFilter: lavfi = {}; break;
    case ltAVFormat: lavf = {}; break;
    case ltAVUtil: lavu = {}; break;
    case ltSwScale: sws = {}; break;
    case ltSwResample: swr = {}; break;
    case ltMSVCRT: crt = {}; break;
    case ltSDL: sdl = {}; break;
  }
}

// The DT_NEEDED names of a 64-bit ELF shared object; empty when the file is
// not one (dlopen reports that case itself).
std::vector<std::string> NeededLibraries(const TPathFileName& path) {
  std::vector<std::string> names;
  std::ifstream in(path, std::ios::binary);
  if (!in) return names;
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.size() < sizeof(Elf64_Ehdr)) return names;
  auto* eh = reinterpret_cast<const Elf64_Ehdr*>(data.data());
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64)
    return names;
  if (eh->e_phoff == 0 || eh->e_phoff + uint64_t(eh->e_phnum) * sizeof(Elf64_Phdr) > data.size())
    return names;
  auto* ph = reinterpret_cast<const Elf64_Phdr*>(data.data() + eh->e_phoff);
  const Elf64_Phdr* dynamic = nullptr;
  for (int i = 0; i < eh->e_phnum; ++i)
    if (ph[i].p_type == PT_DYNAMIC) dynamic = &ph[i];
  if (!dynamic || dynamic->p_offset + dynamic->p_filesz > data.size()) return names;
  // DT_STRTAB holds an address; find the file offset through the load segments.
  auto toOffset = [&](uint64_t addr) -> uint64_t {
    for (int i = 0; i < eh->e_phnum; ++i)
      if (ph[i].p_type == PT_LOAD && addr >= ph[i].p_vaddr && addr < ph[i].p_vaddr + ph[i].p_filesz)
        return addr - ph[i].p_vaddr + ph[i].p_offset;
    return UINT64_MAX;
  };
  auto* dyn = reinterpret_cast<const Elf64_Dyn*>(data.data() + dynamic->p_offset);
  size_t count = dynamic->p_filesz / sizeof(Elf64_Dyn);
  uint64_t strtab = UINT64_MAX;
  for (size_t i = 0; i < count && dyn[i].d_tag != DT_NULL; ++i)
    if (dyn[i].d_tag == DT_STRTAB) strtab = toOffset(dyn[i].d_un.d_ptr);
  if (strtab >= data.size()) return names;
  for (size_t i = 0; i < count && dyn[i].d_tag != DT_NULL; ++i) {
    if (dyn[i].d_tag != DT_NEEDED) continue;
    uint64_t at = strtab + dyn[i].d_un.d_val;
    if (at >= data.size()) continue;
    size_t len = strnlen(data.data() + at, data.size() - at);
    names.emplace_back(data.data() + at, len);
  }
  return names;
}

// Opens the folder's copies of a library's dependencies before the library
// itself. The dynamic linker satisfies a DT_NEEDED entry with an object that is
// already loaded under that soname, so this makes the folder win over the
// system's search path without touching LD_LIBRARY_PATH (read only at start).
void PreloadFolderDependencies(const TPathFileName& folder, const TPathFileName& path,
                               std::vector<void*>& handles, int depth = 0) {
  if (depth > 8) return;
  for (const std::string& needed : NeededLibraries(path)) {
    TPathFileName candidate = folder + needed;
    if (!WideFileExists(candidate)) continue;
    PreloadFolderDependencies(folder, candidate, handles, depth + 1);
    if (void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) handles.push_back(h);
  }
}

void ReleaseDependencies(TLibraryType lib) {
  auto& deps = State().dependencies[lib];
  for (auto it = deps.rbegin(); it != deps.rend(); ++it) dlclose(*it);
  deps.clear();
}

std::string DlError() {
  const char* e = dlerror();
  return e ? e : "unknown error";
}

}  // namespace

TFFmpegLoader::TFFmpegLoader() = default;

TFFmpegLoader& FFLoader() {
  static TFFmpegLoader loader;
  return loader;
}

std::recursive_mutex& CodecLock() {
  static std::recursive_mutex lock;
  return lock;
}

void SetLibraryPath(const TPathFileName& folder) { State().libraryPath = folder; }
TPathFileName GetLibraryPath() { return State().libraryPath; }
std::string GetLastErrMsg() { return State().lastErrMsg; }

const TLibraryItem& LibraryItem(TLibraryType lib) { return kLibraries[lib]; }

TPathFileName LibraryFileName(TLibraryType lib) {
  const TLibraryItem& item = kLibraries[lib];
  if (item.Version < 0) return item.Name;
  return "lib" + std::string(item.Name) + ".so." + std::to_string(item.Version);
}

TPathFileName LibraryLoadedFrom(TLibraryType lib) {
  void* handle = State().status[lib].Handle;
  if (!handle) return {};
  struct link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name) return {};
  return map->l_name;
}

void* LoadLibraryFromFolder(const TPathFileName& folder, const TPathFileName& fileName,
                            bool systemSearch, std::string& errorText) {
  dlerror();
  void* handle = nullptr;
  const TPathFileName full = folder.empty() ? fileName : IncludeTrailingPathDelimiter(folder) + fileName;
  if (!folder.empty() && WideFileExists(full)) {
    handle = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else if (systemSearch || folder.empty()) {
    handle = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
  } else {
    errorText = full + ": cannot open shared object file: No such file or directory";
    return nullptr;
  }
  if (!handle) errorText = DlError();
  return handle;
}

void BindFunction(const TPathFileName& libraryFileName, void* handle, const char* name,
                  bool optional, void** pointer) {
  dlerror();
  void* address = dlsym(handle, name);
  if (!address && !optional) {
    throw std::runtime_error(Format("Load function %s@%s error: %s", name,
                                    libraryFileName.c_str(), DlError().c_str()));
  }
  *pointer = address;
}

void BindVariable(const TPathFileName& libraryFileName, void* handle, const char* name,
                  bool optional, void** pointer) {
  dlerror();
  void* address = dlsym(handle, name);
  if (!address && !optional) {
    throw std::runtime_error(Format("Load variable %s@%s error: %s", name,
                                    libraryFileName.c_str(), DlError().c_str()));
  }
  *pointer = address;
}

bool LoadOneLibrary(TLibraryType lib) {
  LoaderState& st = State();
  TLibraryStatus& status = st.status[lib];
  const TPathFileName name = LibraryFileName(lib);
  if (!status.Handle) {
    const TPathFileName folder =
        st.libraryPath.empty() ? TPathFileName() : IncludeTrailingPathDelimiter(st.libraryPath);
    if (!folder.empty() && WideFileExists(folder + name))
      PreloadFolderDependencies(folder, folder + name, st.dependencies[lib]);
    std::string error;
    status.Handle = LoadLibraryFromFolder(folder, name, FFLoader().SystemSearch, error);
    if (!status.Handle) {
      ReleaseDependencies(lib);
      st.lastErrMsg = Format("Load library %s error: %s", (folder + name).c_str(), error.c_str());
      return false;
    }
  }
  if (!status.Loaded) {
    try {
      LoadProcFor(lib, LibraryLoadedFrom(lib).empty() ? name : LibraryLoadedFrom(lib),
                  status.Handle);
      status.Loaded = true;
    } catch (const std::exception& e) {
      st.lastErrMsg = e.what();
    }
  }
  if (!status.Loaded) {
    UnloadOneLibrary(lib);
    return false;
  }
  if (lib == ltAVUtil && FFLoader().InstallLogHook) FFLogger().InstallLibraryLogHook();
  if (lib == ltAVFormat) RegisterUnicodeProtocol();
  return true;
}

bool LoadLibrarySet(TLibraryTypes set) {
  assert(!set.Empty());
  for (int i = 0; i < LibraryTypeCount; ++i) {
    auto lib = static_cast<TLibraryType>(i);
    if (!set.Contains(lib)) continue;
    if (!LoadOneLibrary(lib)) {
      UnloadLibrarySet(set);
      return false;
    }
  }
  return true;
}

bool IsLoaded(TLibraryType lib) {
  const TLibraryStatus& s = State().status[lib];
  return s.Handle && s.Loaded;
}

bool AreLoaded(TLibraryTypes set) {
  assert(!set.Empty());
  for (int i = 0; i < LibraryTypeCount; ++i)
    if (set.Contains(static_cast<TLibraryType>(i)) && !IsLoaded(static_cast<TLibraryType>(i)))
      return false;
  return true;
}

void UnloadOneLibrary(TLibraryType lib) {
  TLibraryStatus& status = State().status[lib];
  if (status.Loaded) {
    FreeProcFor(lib);
    status.Loaded = false;
  }
  if (status.Handle) {
    dlclose(status.Handle);
    status.Handle = nullptr;
  }
  ReleaseDependencies(lib);
}

void UnloadLibrarySet(TLibraryTypes set) {
  assert(!set.Empty());
  for (int i = 0; i < LibraryTypeCount; ++i)
    if (set.Contains(static_cast<TLibraryType>(i))) UnloadOneLibrary(static_cast<TLibraryType>(i));
}
