#include <filesystem>

#include <gtest/gtest.h>

#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "TestSupport.h"

namespace {

// Each test starts with nothing loaded and the system's search on.
class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  static void Reset() {
    UnloadLibrarySet(PlayerLibraries);
    FFLoader().SystemSearch = true;
    SetLibraryPath("");
  }
};

TEST_F(LoaderTest, FileNamesCarryTheHeaderMajorVersions) {
  EXPECT_EQ(LibraryFileName(ltAVCodec), "libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR));
  EXPECT_EQ(LibraryFileName(ltAVFilter), "libavfilter.so." + std::to_string(LIBAVFILTER_VERSION_MAJOR));
  EXPECT_EQ(LibraryFileName(ltSwResample),
            "libswresample.so." + std::to_string(LIBSWRESAMPLE_VERSION_MAJOR));
  EXPECT_EQ(LibraryFileName(ltMSVCRT), "libc.so.6");
  EXPECT_EQ(LibraryFileName(ltSDL), "libSDL2-2.0.so.0");
}

TEST_F(LoaderTest, SystemSearchBindsTheWholePlayerSet) {
  ASSERT_TRUE(LoadLibrarySet(PlayerLibraries)) << GetLastErrMsg();
  EXPECT_TRUE(AreLoaded(PlayerLibraries));
  EXPECT_FALSE(IsLoaded(ltAVDevice));
  for (auto lib : {ltAVCodec, ltAVFormat, ltAVUtil, ltSwResample, ltSDL}) {
    std::string from = LibraryLoadedFrom(lib);
    EXPECT_NE(from.find(LibraryFileName(lib)), std::string::npos) << from;
  }
  EXPECT_NE(lavc.avcodec_open2, nullptr);
  EXPECT_NE(swr.swr_convert, nullptr);
  EXPECT_NE(crt.vsnprintf, nullptr);
  EXPECT_NE(sdl.SDL_OpenAudioDevice, nullptr);

  UnloadLibrarySet(PlayerLibraries);
  EXPECT_FALSE(IsLoaded(ltAVCodec));
  EXPECT_EQ(lavc.avcodec_open2, nullptr);  // unloading clears the table
}

TEST_F(LoaderTest, FolderWithoutFilterLibraryNamesPathAndReleasesCodec) {
  TempDir dir;
  ASSERT_TRUE(LoadLibrarySet(EngineLibraries));
  const std::string codecFile = LibraryLoadedFrom(ltAVCodec);
  UnloadLibrarySet(EngineLibraries);
  std::filesystem::create_symlink(codecFile, dir.file(LibraryFileName(ltAVCodec)));

  FFLoader().SystemSearch = false;
  SetLibraryPath(dir.path());
  EXPECT_FALSE(LoadLibrarySet(EngineLibraries));
  const std::string expected = "Load library " + dir.file(LibraryFileName(ltAVFilter)) + " error: ";
  EXPECT_EQ(GetLastErrMsg().rfind(expected, 0), 0u) << GetLastErrMsg();
  EXPECT_FALSE(IsLoaded(ltAVCodec));
  EXPECT_EQ(lavc.avcodec_find_decoder, nullptr);
}

TEST_F(LoaderTest, LibraryMissingAnEntryPointNamesItAndTheFile) {
  SetLibraryPath(TOLVANE_STUB_LIB_DIR);
  EXPECT_FALSE(LoadLibrarySet(EngineLibraries));
  const std::string expected = std::string("Load function avfilter_get_by_name@") +
                               TOLVANE_STUB_LIB_DIR + "/" + TOLVANE_AVFILTER_FILE + " error: ";
  EXPECT_EQ(GetLastErrMsg().rfind(expected, 0), 0u) << GetLastErrMsg();
  EXPECT_FALSE(IsLoaded(ltAVFilter));
  EXPECT_FALSE(IsLoaded(ltAVCodec));
  EXPECT_EQ(lavfi.avfilter_get_by_name, nullptr);

  // A later success does not clear the message.
  SetLibraryPath("");
  EXPECT_TRUE(LoadLibrarySet(EngineLibraries));
  EXPECT_EQ(GetLastErrMsg().rfind(expected, 0), 0u);
}

TEST_F(LoaderTest, SecondLoadReinstallsTheLogHook) {
  std::vector<std::string> lines;
  TFFLogger& logger = FFLogger();
  logger.SetTriggerEventInMainThread(false);
  logger.SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& line) {
    lines.push_back(line);
  });
  ASSERT_TRUE(LoadLibrarySet(EngineLibraries));
  auto* bound = lavc.avcodec_open2;
  lavu.av_log_set_callback(lavu.av_log_default_callback);  // someone replaced our hook

  ASSERT_TRUE(LoadLibrarySet(EngineLibraries));
  EXPECT_EQ(lavc.avcodec_open2, bound);
  lavu.av_log(nullptr, AV_LOG_ERROR, "hook is back\n");
  logger.SetOnLog(nullptr);
  logger.SetTriggerEventInMainThread(true);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "hook is back");
}

}  // namespace
