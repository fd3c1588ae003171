// tolvane-convert by format profile: every shipped profile converts with its
// defaults, checked by the reference prober; batches, summaries and errors.
#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

double Rate(const std::string& fraction) {
  const size_t slash = fraction.find('/');
  if (slash == std::string::npos) return std::atof(fraction.c_str());
  const double den = std::atof(fraction.c_str() + slash + 1);
  return den == 0 ? 0 : std::atof(fraction.c_str()) / den;
}

std::string Field(const std::map<std::string, std::string>* stream, const char* key) {
  return stream && stream->count(key) ? stream->at(key) : "";
}

struct Expected {
  int code;
  const char* ext;
  const char* container;  // a name in the reader's format_name
  const char* vcodec;     // nullptr: no video
  int width, height;
  double fps;
  const char* acodec;
  int sampleRate, channels;
};

ProcessResult ConvertClip(int code, const TempDir& config, const TempDir& out) {
  return RunProcess({TOLVANE_CLI, "--format", std::to_string(code), "--output-dir", out.path(), "--trim", "0+1",
                     "--progress", "none", FixturePath("mpeg4_aac.mp4")},
                    {"TOLVANE_CONFIG_DIR=" + config.path()});
}

void CheckOutput(const Expected& e, const TempDir& out) {
  const std::string file = out.file(std::string("mpeg4_aac_(new).") + e.ext);
  ASSERT_TRUE(std::filesystem::exists(file));
  const ProbedFile p = ProbeWithReference(file);
  ASSERT_TRUE(p.format.count("format_name")) << file;
  EXPECT_NE(p.format.at("format_name").find(e.container), std::string::npos) << p.format.at("format_name");
  EXPECT_NEAR(std::atof(p.format.at("duration").c_str()), 1.0, 0.15);
  const auto* v = p.Stream("video");
  if (e.vcodec) {
    EXPECT_EQ(Field(v, "codec_name"), e.vcodec);
    EXPECT_EQ(Field(v, "width"), std::to_string(e.width));
    EXPECT_EQ(Field(v, "height"), std::to_string(e.height));
    EXPECT_NEAR(Rate(Field(v, "avg_frame_rate")), e.fps, 0.01);
  } else {
    EXPECT_EQ(v, nullptr);
  }
  const auto* a = p.Stream("audio");
  EXPECT_EQ(Field(a, "codec_name"), e.acodec);
  EXPECT_EQ(Field(a, "sample_rate"), std::to_string(e.sampleRate));
  EXPECT_EQ(Field(a, "channels"), std::to_string(e.channels));
}

// A first start (no settings file): each format converts a one-second piece
// of a 320x240 25 fps clip with its offered defaults (NTSC DV: below).
TEST(ProfileModeTest, EveryProfileConvertsWithItsDefaults) {
  const Expected table[] = {
      {1, "mp4", "mp4", "mpeg4", 320, 240, 29.97, "aac", 44100, 2},
      {0, "wmv", "asf", "wmv2", 320, 240, 25, "wmav2", 44100, 2},
      {100, "3gp", "3gp", "h263", 176, 144, 15, "aac", 22050, 1},
      {101, "3gp", "3gp", "mpeg4", 320, 240, 25, "aac", 44100, 2},
      {102, "3gp", "3g2", "h263", 176, 144, 15, "aac", 22050, 1},
      {103, "3gp", "3g2", "mpeg4", 320, 240, 25, "aac", 44100, 2},
      {104, "mp4", "mp4", "mpeg4", 320, 240, 25, "aac", 44100, 2},
      {105, "mp4", "mp4", "mpeg4", 320, 240, 25, "aac", 44100, 2},
      {200, "mpg", "mpeg", "mpeg1video", 320, 240, 25, "mp2", 44100, 2},
      {201, "mpg", "mpeg", "mpeg2video", 320, 240, 25, "mp2", 48000, 2},
      {202, "mp4", "mp4", "mpeg4", 320, 240, 25, "aac", 44100, 2},
      {203, "mp4", "mp4", "h264", 320, 240, 25, "aac", 44100, 2},
      {204, "avi", "avi", "mpeg4", 320, 240, 25, "mp3", 44100, 2},
      {205, "wmv", "asf", "wmv2", 320, 240, 25, "wmav2", 44100, 2},
      {206, "avi", "avi", "mpeg4", 320, 240, 25, "mp3", 44100, 2},
      {207, "avi", "avi", "mpeg4", 320, 240, 25, "mp3", 44100, 2},
      {209, "dv", "dv", "dvvideo", 720, 576, 25, "pcm_s16le", 48000, 2},
      {300, "mp3", "mp3", nullptr, 0, 0, 0, "mp3", 44100, 2},
      {301, "aac", "aac", nullptr, 0, 0, 0, "aac", 44100, 2},
      {302, "m4a", "m4a", nullptr, 0, 0, 0, "aac", 44100, 2},
      {303, "wma", "asf", nullptr, 0, 0, 0, "wmav2", 44100, 2},
      {304, "wav", "wav", nullptr, 0, 0, 0, "pcm_s16le", 44100, 2},
      {305, "ogg", "ogg", nullptr, 0, 0, 0, "vorbis", 44100, 2},
      {306, "ac3", "ac3", nullptr, 0, 0, 0, "ac3", 48000, 2},
  };
  TempDir config;
  for (const Expected& e : table) {
    SCOPED_TRACE("format " + std::to_string(e.code));
    TempDir out;
    const ProcessResult r = ConvertClip(e.code, config, out);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    CheckOutput(e, out);
  }
  EXPECT_FALSE(std::filesystem::exists(config.file("tolvanedor3erozidururo.ini"))) << "a batch saves nothing";
}

// NTSC DV on its own: the DV muxer counts audio samples per picture, so a
// gap of a sample between audio packets (rounding, resampler delay) fails it.
TEST(ProfileModeTest, NtscDvConvertsWithItsDefaults) {
  const Expected e = {208, "dv", "dv", "dvvideo", 720, 480, 29.97, "pcm_s16le", 48000, 2};
  TempDir config, out;
  const ProcessResult r = ConvertClip(e.code, config, out);
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  CheckOutput(e, out);
}

// The saved format, two tasks at once, the naming rule across a batch, a
// file that cannot be read, and the summary lines.
TEST(ProfileModeTest, BatchUsesSavedFormatAndReportsEachFile) {
  TempDir config, out;
  WriteTextFile(config.file("tolvanedor3erozidururo.ini"),
                "[Settings]\nformatcode=300\nOutPutDir=" + out.path() +
                    "\n[formatInfo300]\nparaAudioEncoder=libmp3lame\nparaSampleRate=22050\nparaChannel=1\n"
                    "paraAudioBitRate=64\nparaVolume=256\n");
  const std::string clip = FixturePath("tone.mp3");
  ProcessResult r = RunProcess({TOLVANE_CLI, "--jobs", "2", "--progress", "json", clip, FixturePath("not_media.mp4"),
                                clip},
                               {"TOLVANE_CONFIG_DIR=" + config.path()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  for (const std::string name : {"tone_(new).mp3", "tone_(new_1).mp3"}) {
    const ProbedFile p = ProbeWithReference(out.file(name));
    const auto* a = p.Stream("audio");
    EXPECT_EQ(Field(a, "sample_rate"), "22050") << name;
    EXPECT_EQ(Field(a, "channels"), "1") << name;
    EXPECT_NE(r.out.find("\"output\":\"" + out.file(name) + "\""), std::string::npos) << r.out;
  }
  EXPECT_NE(r.out.find("\"source\":\"" + FixturePath("not_media.mp4") + "\",\"output\":\"\",\"size\":-1"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"result\":\"converted\""), std::string::npos);
  EXPECT_NE(r.out.find("{\"event\":\"done\",\"converted\":2,\"failed\":1}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"event\":\"terminate\",\"task\":1,\"finished\":true"), std::string::npos) << r.out;

  // Plain summaries: output, size, time, result, then the count.
  r = RunProcess({TOLVANE_CLI, "--format", "304", "--output-dir", out.path(), "--progress", "none", clip},
                 {"TOLVANE_CONFIG_DIR=" + config.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.rfind(out.file("tone_(new).wav") + "  ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  converted\n1 of 1 file converted\n"), std::string::npos) << r.out;
}

// Trim, crop and zoom reach the conversion: letterboxing a 720x576 clip into
// 320x240 pads it left and right and keeps one second.
TEST(ProfileModeTest, TrimCropAndZoomReachTheOutput) {
  TempDir config, out;
  ProcessResult r = RunProcess({TOLVANE_CLI, "--format", "104", "--output-dir", out.path(), "--zoom", "lbox",
                                "--trim", "0:00:00.5+1", "--crop", "16,0,16,0", "--progress", "none",
                                FixturePath("sar_16_15.mkv")},
                               {"TOLVANE_CONFIG_DIR=" + config.path()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const ProbedFile p = ProbeWithReference(out.file("sar_16_15_(new).mp4"));
  const auto* v = p.Stream("video");
  EXPECT_EQ(Field(v, "width"), "320");
  EXPECT_EQ(Field(v, "height"), "240");
  EXPECT_NEAR(std::atof(p.format.at("duration").c_str()), 1.0, 0.15);
}

TEST(ProfileModeTest, UsageErrorsAndTheFormatList) {
  const std::vector<std::vector<std::string>> bad = {
      {"--format", "999", "a.mp4"}, {"--format", "1"},       {"--trim", "1:75", "a.mp4"},
      {"--trim", "2+0", "a.mp4"},   {"--crop", "1,2,3", "a.mp4"}, {"--crop", "3,0,0,0", "a.mp4"},
      {"--zoom", "wide", "a.mp4"},  {"--jobs", "0", "a.mp4"}, {"--list-formats", "a.mp4"},
      {"--bogus", "a.mp4"},
  };
  for (const auto& args : bad) {
    std::vector<std::string> argv = {TOLVANE_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args[1] << "\n" << r.err;
    EXPECT_NE(r.err.find("Usage:"), std::string::npos);
  }
  ProcessResult r = RunProcess({TOLVANE_CLI, "--list-formats"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("Windows Meida Video\n    0  WMV Video(*.wmv)\nMobile Phone\n  100  "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("  306  AC-3 Audio Codec (*.ac3)\n"), std::string::npos);
}

}  // namespace
