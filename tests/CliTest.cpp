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

TEST(CliTest, RawModeConvertsAndReportsAsJson) {
  TempDir dir;
  const std::string out = dir.file("raw.mp4");
  ProcessResult r = RunProcess({TOLVANE_CLI, "--input", FixturePath("h264_aac.mkv"), "--output", out, "--opt",
                                "vcodec=mpeg4", "--opt", "s=160x120", "--progress", "json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"event\":\"progress\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"event\":\"terminate\",\"task\":0,\"finished\":true,\"exception\":false"),
            std::string::npos)
      << r.out;
  ProbedFile probed = ProbeWithReference(out);
  auto* v = probed.Stream("video");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->at("width"), "160");

  // A setup failure of the second output leaves neither output behind.
  const std::string first = dir.file("first.mp4"), second = dir.file("second.mp4");
  r = RunProcess({TOLVANE_CLI, "--input", FixturePath("h264_aac.mkv"), "--output", first, "--output", second,
                  "--opt", "vcodec=nosuch", "--progress", "none"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("new_video_stream fail: Unknown encoder 'nosuch'"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_FALSE(std::filesystem::exists(second));

  r = RunProcess({TOLVANE_CLI, "--input", FixturePath("h264_aac.mkv"), "--opt", "vcodec=mpeg4"});
  EXPECT_EQ(r.exitCode, 2);
}

TEST(CliTest, InterruptWritesTheTrailerAndExits130) {
  TempDir dir;
  const std::string out = dir.file("stopped.mkv");
  // Rate emulation makes the three-second clip take three seconds.
  ProcessResult r = RunProcess({TOLVANE_CLI, "--input", FixturePath("h264_aac.mkv"), "--in-opt", "re=1", "--output",
                                out, "--opt", "vcodec=mpeg4", "--progress", "none"},
                               {}, 1000);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  ProbedFile probed = ProbeWithReference(out);
  ASSERT_NE(probed.Stream("video"), nullptr);
  EXPECT_LT(std::stod(probed.format.at("duration")), 2.9);
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
