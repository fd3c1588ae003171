// tolvane-convert: the headless batch converter.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AVProbe.h"
#include "Commands.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "Version.h"

namespace {

constexpr const char* kProgram = "tolvane-convert";

}  // namespace

void Usage(FILE* out);

namespace {

void UsageText(FILE* out) {
  std::fprintf(out,
               "Usage:\n"
               "  %s --version\n"
               "  %s --check-libraries [--player] [--library-dir DIR]\n"
               "  %s --info FILE...\n"
               "  %s --input FILE [--in-opt NAME=VALUE]... --output FILE [--opt NAME=VALUE]...\n"
               "      [--output FILE [--opt NAME=VALUE]...]... [--progress bar|json|none]\n"
               "  %s [--format CODE] [--output-dir DIR] [--trim START[+LENGTH]] [--crop TOP,LEFT,BOTTOM,RIGHT]\n"
               "      [--zoom full|lbox|pan|center] [--jobs N] [--progress bar|json|none] FILE...\n"
               "      [--brightness N] [--contrast N] [--saturation N] [--exposure N]\n"
               "      [--watermark-text TEXT --at X,Y [--font FAMILY,SIZE[,bold][,italic]] [--color #RRGGBB]\n"
               "        [--background #RRGGBB] [--opacity 0-255] [--from SEC --to SEC]]...\n"
               "      [--watermark-image FILE.bmp --at X,Y [--opacity 0-255] [--from SEC --to SEC]]...\n"
               "  %s --list-formats\n"
               "Times are seconds or h:mm:ss(.fff). Without --format the saved format is used.\n"
               "Effects: brightness 0 to 512, contrast -100 to 100, saturation 0 to 512, exposure -255 to 512;\n"
               "neutral 255, 0, 255, 0. Watermark options after an item apply to it; a text is drawn in\n"
               "Sans,16, white, without background unless told.\n",
               kProgram, kProgram, kProgram, kProgram, kProgram, kProgram);
}

}  // namespace

void Usage(FILE* out) { UsageText(out); }

int UsageError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
  Usage(stderr);
  return 2;
}

namespace {

// Lines of the media libraries go to standard error, warnings and worse. The
// components' own messages are reported by the commands themselves.
void SetUpLogging() {
  TFFLogger& logger = FFLogger();
  logger.SetTriggerEventInMainThread(false);
  logger.SetLogLevel(llWarning);
  logger.SetOnLog([](TFFBaseComponent* sender, uint32_t, TLogLevel, const std::string& line) {
    if (sender == &FFLogger()) std::fprintf(stderr, "%s\n", line.c_str());
  });
}


}  // namespace

bool LoadEngineLibraries() {
  SetLibraryPath(ProgramFolder() + "LibAV");
  if (LoadLibrarySet(EngineLibraries)) return true;
  std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
  return false;
}

namespace {

int DescribeFiles(const std::vector<std::string>& files) {
  if (!LoadEngineLibraries()) return 1;
  TAVProbe probe;
  bool failed = false, first = true;
  for (const std::string& file : files) {
    if (!probe.LoadFile(file)) {
      std::fprintf(stderr, "%s\n", probe.LastErrMsg().c_str());
      failed = true;
      continue;
    }
    std::printf("%s%s", first ? "" : "\n", probe.GetInfoText().c_str());
    std::fflush(stdout);
    first = false;
    probe.CloseFile();
  }
  return failed ? 1 : 0;
}

int CheckLibraries(bool player, const std::string& libraryDir) {
  SetLibraryPath(libraryDir);
  const TLibraryTypes set = player ? PlayerLibraries : EngineLibraries;
  if (!LoadLibrarySet(set)) {
    std::fprintf(stderr, "%s\n", GetLastErrMsg().c_str());
    return 1;
  }
  for (int i = 0; i < LibraryTypeCount; ++i) {
    auto lib = static_cast<TLibraryType>(i);
    if (!set.Contains(lib)) continue;
    std::printf("%-18s %s loaded\n", LibraryItem(lib).Name, LibraryLoadedFrom(lib).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  SetUpLogging();

  if (args[0] == "--version" && args.size() == 1) {
    std::printf("%s %s\n", kProgram, TOLVANE_VERSION);
    return 0;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    Usage(stdout);
    return 0;
  }
  if (args[0] == "--check-libraries") {
    bool player = false;
    std::string dir = ProgramFolder() + "LibAV";
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--player") {
        player = true;
      } else if (args[i] == "--library-dir" && i + 1 < args.size()) {
        dir = args[++i];
      } else {
        return UsageError("unknown argument '" + args[i] + "'");
      }
    }
    return CheckLibraries(player, dir);
  }
  if (args[0] == "--input") return RunRawMode(args);
  if (args[0] == "--info") {
    if (args.size() < 2) return UsageError("--info needs at least one file");
    return DescribeFiles(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  if (IsProfileModeStart(args[0])) return RunProfileMode(args);
  return UsageError("unknown argument '" + args[0] + "'");
}
