#include <filesystem>

#include <gtest/gtest.h>

#include "AVProbe.h"
#include "FFmpegException.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "TestSupport.h"
#include "UnicodeProtocol.h"

namespace {

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { LoadSystemLibraries(); }
};

TEST_F(ProbeTest, DescribesWhatTheFixturesHold) {
  struct Case {
    const char* file;
    const char* format;
    int streams, programs, video, audio;
    int width, height, fpsNum, fpsDen;
    int sampleRate, channels;
    const char* videoLanguage;
    const char* audioLanguage;
    double seconds;
  } cases[] = {
      {"mpeg4_aac.mp4", "mov,mp4,m4a,3gp,3g2,mj2", 2, 0, 1, 1, 320, 240, 25, 1, 44100, 2, "und", "und", 3.0},
      {"mpeg2_mp2.mpg", "mpeg", 2, 0, 1, 1, 320, 240, 25, 1, 44100, 2, "", "", 3.0},
      {"h264_aac.mkv", "matroska,webm", 2, 0, 1, 1, 320, 240, 25, 1, 44100, 2, "eng", "fre", 3.0},
      {"tone.mp3", "mp3", 1, 0, 0, 1, -1, -1, -1, -1, 44100, 2, "", "", 3.0},
      {"tone.wav", "wav", 1, 0, 0, 1, -1, -1, -1, -1, 44100, 2, "", "", 2.0},
      {"two_programs.ts", "mpegts", 4, 2, 2, 2, 320, 240, 25, 1, 44100, 2, "", "", 3.0},
      {"sar_16_15.mkv", "matroska,webm", 2, 0, 1, 1, 720, 576, 30000, 1001, 44100, 2, "", "", 2.0},
      {"vidéo_тест_例.mp4", "mov,mp4,m4a,3gp,3g2,mj2", 2, 0, 1, 1, 320, 240, 25, 1, 44100, 2, "und", "und", 3.0},
  };
  TAVProbe probe;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(probe.LoadFile(FixturePath(c.file))) << probe.LastErrMsg();
    EXPECT_EQ(probe.GetFileName(), FixturePath(c.file));
    EXPECT_EQ(probe.GetFormatName(), c.format);
    EXPECT_EQ(probe.StreamCount(), c.streams);
    EXPECT_EQ(probe.ProgramCount(), c.programs);
    EXPECT_EQ(probe.VideoStreamCount(), c.video);
    EXPECT_EQ(probe.AudioStreamCount(), c.audio);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(FixturePath(c.file))));

    TFileStreamInfo file;
    probe.GetFileStreamInfo(file);
    EXPECT_NEAR(file.Duration / 1e6, c.seconds, 0.1);

    TVideoStreamInfo v;
    probe.GetVideoStreamInfo(-1, v);
    EXPECT_EQ(v.Width, c.width);
    EXPECT_EQ(v.Height, c.height);
    EXPECT_EQ(v.FrameRateNum, c.fpsNum);
    EXPECT_EQ(v.FrameRateDen, c.fpsDen);
    if (c.video > 0) {
      EXPECT_EQ(v.Language, c.videoLanguage);
    }
    TAudioStreamInfo a;
    probe.GetAudioStreamInfo(-1, a);
    EXPECT_EQ(a.SampleRate, c.sampleRate);
    EXPECT_EQ(a.Channels, c.channels);
    EXPECT_EQ(a.Language, c.audioLanguage);
  }
}

TEST_F(ProbeTest, VideoAndAudioRecordsAndTags) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(FixturePath("sar_16_15.mkv")));
  TVideoStreamInfo v;
  probe.GetVideoStreamInfo(-1, v);
  EXPECT_NEAR(v.DisplayAspectRatio, 16.0 / 15 * 720 / 576, 1e-4);
  EXPECT_EQ(v.PixelFormat, AV_PIX_FMT_YUV420P);
  EXPECT_NE(v.CodecName.find("mpeg2video"), std::string::npos) << v.CodecName;

  ASSERT_TRUE(probe.LoadFile(FixturePath("tone.mp3")));
  TFileStreamInfo f;
  probe.GetFileStreamInfo(f);
  EXPECT_EQ(f.Title, "Test Tone");
  EXPECT_EQ(f.Author, "Tolvane");
  EXPECT_EQ(f.Album, "Fixtures");
  EXPECT_EQ(f.Year, 2010);
  EXPECT_EQ(f.Track, 7);
  EXPECT_EQ(f.Genre, "");
  TAudioStreamInfo a;
  probe.GetAudioStreamInfo(0, a);
  EXPECT_EQ(a.CodecName.rfind("mp3", 0), 0u) << a.CodecName;
  EXPECT_GT(a.DurationUS, 2900000);
  EXPECT_NEAR(a.BitRate, 128000, 1000);

  ASSERT_TRUE(probe.LoadFile(FixturePath("h264_aac.mkv")));
  probe.GetFileStreamInfo(f);
  EXPECT_EQ(f.Title, "Tolvane Test Clip");
  EXPECT_EQ(f.Year, 0);  // absent tags read as 0
}

TEST_F(ProbeTest, InfoTextListsProgramsWithTheirStreams) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(FixturePath("two_programs.ts")));
  const std::string text = probe.GetInfoText();
  const size_t p1 = text.find("Program 1 "), p2 = text.find("Program 2 ");
  const size_t s0 = text.find("Stream #0"), s1 = text.find("Stream #1"), s2 = text.find("Stream #2"),
               s3 = text.find("Stream #3");
  ASSERT_NE(p1, std::string::npos) << text;
  ASSERT_NE(p2, std::string::npos) << text;
  EXPECT_TRUE(p1 < s0 && s0 < s1 && s1 < p2 && p2 < s2 && s2 < s3) << text;
  EXPECT_EQ(text.find("Stream #0", s0 + 1), std::string::npos) << "listed twice:\n" << text;
  EXPECT_NE(text.find("@Second"), std::string::npos) << text;
  EXPECT_NE(text.find("Stream #0[0x100], 1/90000: Video: mpeg2video"), std::string::npos) << text;
  EXPECT_NE(text.find(", 25 fps, 25 tbr, 90k tbn"), std::string::npos) << text;
  EXPECT_NE(text.find("Format Name: mpegts\n"), std::string::npos);
  EXPECT_NE(text.find("File Name: " + FixturePath("two_programs.ts") + "\n"), std::string::npos);

  ASSERT_TRUE(probe.LoadFile(FixturePath("sar_16_15.mkv")));
  EXPECT_NE(probe.GetInfoText().find(", 29.97 fps, 29.97 tbr, 1k tbn"), std::string::npos)
      << probe.GetInfoText();

  ASSERT_TRUE(probe.LoadFile(FixturePath("tone.mp3")));
  const std::string mp3 = probe.GetInfoText();
  EXPECT_NE(mp3.find("Metadata:\n  title           : Test Tone\n"), std::string::npos) << mp3;
  EXPECT_NE(mp3.find(": Audio: mp3"), std::string::npos) << mp3;
}

TEST(ProbeText, RatesAndMetadataKeys) {
  EXPECT_EQ(RateText(25, "fps"), ", 25 fps");
  EXPECT_EQ(RateText(30000.0 / 1001, "fps"), ", 29.97 fps");
  EXPECT_EQ(RateText(90000, "tbn"), ", 90k tbn");
  EXPECT_EQ(RateText(12800, "tbn"), ", 12800 tbn");
  EXPECT_EQ(TranslateMetadataKey("TIT2"), "title");
  EXPECT_EQ(TranslateMetadataKey("TRK"), "track");
  EXPECT_EQ(TranslateMetadataKey("tit2"), "tit2");  // exact match only
}

TEST_F(ProbeTest, BadFilesGiveTheLibraryTextAndLeaveNothingOpen) {
  TempDir dir;
  struct Case {
    std::string file, text;
  } cases[] = {
      {dir.file("missing.mp4"), "No such file or directory"},
      {FixturePath("not_media.mp4"), "Invalid data found when processing input"},
      {FixturePath("empty.mp4"), "Invalid data found when processing input"},
      {dir.path(), "Is a directory"},
  };
  TAVProbe probe;
  std::vector<std::string> logged;
  FFLogger().SetTriggerEventInMainThread(false);
  FFLogger().SetOnLog([&](TFFBaseComponent* sender, uint32_t, TLogLevel level, const std::string& l) {
    if (sender == &probe && level == llError) logged.push_back(l);
  });
  for (const Case& c : cases) {
    ASSERT_TRUE(probe.LoadFile(FixturePath("tone.wav")));
    EXPECT_FALSE(probe.LoadFile(c.file));
    EXPECT_EQ(probe.LastErrMsg(), c.file + ": " + c.text);
    EXPECT_EQ(probe.FormatContext(), nullptr);
    EXPECT_EQ(probe.StreamCount(), -1);
    EXPECT_EQ(probe.FileSize(), -1);
  }
  FFLogger().SetOnLog(nullptr);
  FFLogger().SetTriggerEventInMainThread(true);
  EXPECT_EQ(logged.size(), std::size(cases));

  EXPECT_FALSE(probe.LoadFile(FixturePath("tone.wav"), "nosuchformat"));
  EXPECT_EQ(probe.LastErrMsg(), "Unknown input format: nosuchformat");

  // A truncated file still opens; its description stays readable.
  ASSERT_TRUE(probe.LoadFile(FixturePath("truncated.mkv"))) << probe.LastErrMsg();
  EXPECT_NE(probe.GetInfoText().find("Video: h264"), std::string::npos);
}

TEST_F(ProbeTest, QueriesWithoutFileOrWithWrongStreams) {
  TAVProbe probe;
  EXPECT_EQ(probe.GetInfoText(), "");
  EXPECT_EQ(probe.LastErrMsg(), "file not loaded.");
  EXPECT_FALSE(probe.IsVideoStream(0));
  TFileStreamInfo f;
  probe.GetFileStreamInfo(f);
  EXPECT_EQ(f.Duration, -1);
  EXPECT_EQ(f.BitRate, -1);

  ASSERT_TRUE(probe.LoadFile(FixturePath("tone.mp3")));
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), 0);
  TVideoStreamInfo v;
  v.Width = 99;
  probe.GetVideoStreamInfo(-1, v);
  EXPECT_EQ(probe.LastErrMsg(), "no video stream.");
  EXPECT_EQ(v.Width, -1);
  EXPECT_EQ(v.FrameRateNum, -1);
  EXPECT_FLOAT_EQ(v.DisplayAspectRatio, -1.0f);
  probe.GetVideoStreamInfo(0, v);
  EXPECT_EQ(probe.LastErrMsg(), "stream #0 is not video stream.");
  TAudioStreamInfo a;
  probe.GetAudioStreamInfo(5, a);
  EXPECT_EQ(probe.LastErrMsg(), "stream index #5 is invalid.");
  EXPECT_EQ(a.SampleRate, -1);
  EXPECT_FALSE(probe.IsAudioStream(-1));
  EXPECT_EQ(probe.LastErrMsg(), "stream index #-1 is invalid.");
  EXPECT_TRUE(probe.IsAudioStream(0));

  probe.CloseFile();
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.AudioStreamCount(), -1);
  EXPECT_EQ(probe.FirstAudioStream(), -1);
  EXPECT_EQ(probe.FileSize(), -1);
}

TEST_F(ProbeTest, AdoptedContextStaysOpenForItsOwner) {
  AVFormatContext* ctx = nullptr;
  ASSERT_EQ(lavf.avformat_open_input(&ctx, FixturePath("mpeg4_aac.mp4").c_str(), nullptr, nullptr), 0);
  ASSERT_GE(lavf.avformat_find_stream_info(ctx, nullptr), 0);
  {
    TAVProbe probe;
    probe.AttachContext(ctx);
    EXPECT_FALSE(probe.Owned());
    EXPECT_EQ(probe.StreamCount(), 2);
    probe.CloseFile();
    EXPECT_EQ(probe.StreamCount(), -1);
    probe.AttachContext(ctx);
  }  // destroyed while attached
  AVPacket* pkt = lavc.av_packet_alloc();
  EXPECT_EQ(lavf.av_read_frame(ctx, pkt), 0);  // still the owner's, still open
  lavc.av_packet_free(&pkt);
  lavf.avformat_close_input(&ctx);
}

TEST_F(ProbeTest, NeedsTheLibraries) {
  UnloadLibrarySet(EngineLibraries);
  TAVProbe probe;
  try {
    probe.LoadFile(FixturePath("tone.wav"));
    ADD_FAILURE() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
  }
  EXPECT_THROW(probe.AttachContext(nullptr), FFmpegException);
  LoadSystemLibraries();
}

TEST_F(ProbeTest, FileNamesRoundTripAndOpen) {
  for (const std::string& name : std::vector<std::string>{"/tmp/plain.mp4", "a:b.mp4", "file:x.mp4", "http:not-a-url.mp4",
                           "vidéo_тест_例.mp4", "subfile,x", std::string(3000, 'n') + ".mp4",
                           "http://example.invalid/clip.mp4", "pipe:0"}) {
    EXPECT_EQ(URLToFileName(FileNameToURL(name)), name) << name;
  }
  EXPECT_EQ(FileNameToURL("a:b.mp4"), "file:a:b.mp4");
  EXPECT_EQ(FileNameToURL("/tmp/plain.mp4"), "/tmp/plain.mp4");
  EXPECT_EQ(FileNameToURL("http://example.invalid/clip.mp4"), "http://example.invalid/clip.mp4");

  // Names the library would take for URLs open as files.
  TempDir dir;
  const std::string saved = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(dir.path()));
  TAVProbe probe;
  for (const char* name : {"a:b.mp4", "http:x.mp4", "file:y.mp4"}) {
    std::filesystem::copy_file(FixturePath("mpeg4_aac.mp4"), dir.file(name));
    EXPECT_TRUE(probe.LoadFile(name)) << name << ": " << probe.LastErrMsg();
    EXPECT_EQ(probe.GetFileName(), name);
  }
  SetCurrentDir(saved);
}

}  // namespace
