#include <filesystem>

#include <gtest/gtest.h>

#include "FFmpegLoader.h"
#include "TestSupport.h"

namespace {

TEST(CliTest, CheckLibrariesListsEachLibraryOfTheSet) {
  for (bool player : {false, true}) {
    std::vector<std::string> argv = {TOLVANE_CLI, "--check-libraries"};
    if (player) argv.push_back("--player");
    ProcessResult r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (auto lib : {ltAVCodec, ltAVFilter, ltAVFormat, ltAVUtil, ltSwScale, ltSwResample, ltMSVCRT}) {
      EXPECT_NE(r.out.find(LibraryFileName(lib) + " loaded"), std::string::npos)
          << LibraryFileName(lib) << "\n" << r.out;
    }
    EXPECT_EQ(r.out.find("libSDL2-2.0.so.0 loaded") != std::string::npos, player) << r.out;
  }
}

TEST(CliTest, BrokenLibraryInFolderFailsNamingTheFile) {
  TempDir dir;
  const std::string broken = dir.file(TOLVANE_AVFILTER_FILE);
  WriteTextFile(broken, "this is no shared object\n");
  ProcessResult r = RunProcess({TOLVANE_CLI, "--check-libraries", "--library-dir", dir.path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("Load library " + broken + " error: "), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
}

// A library in the folder takes its dependencies from the folder too, not from
// the system's copies of the same libraries.
TEST(CliTest, FolderLibrariesUseTheFolderDependencies) {
  LoadSystemLibraries();
  TempDir dir;
  for (auto lib : {ltAVCodec, ltAVUtil, ltSwResample})
    std::filesystem::copy_file(LibraryLoadedFrom(lib), dir.file(LibraryFileName(lib)));
  ProcessResult r = RunProcess({TOLVANE_CLI, "--check-libraries", "--library-dir", dir.path()},
                               {"LD_DEBUG=files"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find(dir.file(LibraryFileName(ltAVCodec)) + " loaded"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("calling init: " + dir.file(LibraryFileName(ltAVUtil))), std::string::npos);
  EXPECT_EQ(r.err.find("calling init: " + LibraryLoadedFrom(ltAVUtil)), std::string::npos)
      << "the system's copy was loaded too";
}

TEST(CliTest, VersionAndUsageErrors) {
  ProcessResult v = RunProcess({TOLVANE_CLI, "--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.out.rfind("tolvane-convert ", 0), 0u) << v.out;

  for (auto args : std::vector<std::vector<std::string>>{
           {TOLVANE_CLI}, {TOLVANE_CLI, "--frobnicate"}, {TOLVANE_CLI, "--check-libraries", "--what"}}) {
    ProcessResult r = RunProcess(args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Usage:"), std::string::npos) << r.err;
  }
}

}  // namespace
