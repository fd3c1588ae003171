#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

#include "ConvertEngine.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "TestSupport.h"

namespace {

std::string Clip() { return FixturePath("h264_aac.mkv"); }  // 320x240, 25 fps, 3 s, AAC

// Collects termination notices from any thread.
struct Notices {
  std::mutex lock;
  std::vector<TTerminateInfo> list;
  void Attach(TConvertEngine& engine) {
    engine.OnTerminate = [this](TCustomConvertEngine*, const TTerminateInfo& info) {
      std::lock_guard<std::mutex> g(lock);
      list.push_back(info);
    };
  }
  bool HasFinal() {
    std::lock_guard<std::mutex> g(lock);
    return !list.empty() && list.back().TaskIndex == -1;
  }
  // Serves the main thread's queue until the final notice came.
  void WaitFinal() {
    for (int i = 0; i < 600 && !HasFinal(); ++i) WaitAndProcessPendingMessages(std::chrono::milliseconds(50));
    ASSERT_TRUE(HasFinal());
  }
  std::vector<int> Indices() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<int> out;
    for (auto& n : list) out.push_back(n.TaskIndex);
    return out;
  }
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadSystemLibraries();
    FFLogger().SetLogLevel(llError);
  }
  void TearDown() override { FFLogger().SetLogLevel(llInfo); }

  // Adds one task converting input to output with the given option lines.
  int Add(TConvertEngine& engine, const std::string& input, const std::string& output, const std::string& lines,
          const std::string& inputLines = "") {
    TInputOptions in;
    in.ExtOptions = inputLines;
    int task = engine.AddTask(input, &in);
    EXPECT_GE(task, 0) << engine.LastError();
    TOutputOptions out;
    out.ExtOptions = lines;
    EXPECT_TRUE(engine.SetOutputFile(task, output, &out)) << engine.LastError();
    return task;
  }

  // Converts synchronously; returns the task's notice.
  TTerminateInfo Convert(const std::string& output, const std::string& lines, const std::string& input = Clip(),
                         TConvertEngine* use = nullptr) {
    TConvertEngine own;
    TConvertEngine& engine = use ? *use : own;
    Notices notices;
    notices.Attach(engine);
    Add(engine, input, output, lines);
    engine.StartTask(0);
    EXPECT_EQ(notices.Indices(), (std::vector<int>{0, -1}));
    return notices.list.empty() ? TTerminateInfo{} : notices.list.front();
  }

  TempDir dir;
};

TEST_F(EngineTest, RefusedOptionValuesGiveTheirMessages) {
  struct Case {
    const char* name;
    const char* value;
    const char* message;  // "" = accepted
  } cases[] = {
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "255", ""},
      {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
      {"vtag", "XVI", "video tag parameter must be 4 chars"},
      {"atag", "mp4a", ""},
      {"croptop", "500", "Vertical crop dimensions are outside the range of the original image.\n"
                         "Remember to crop first and scale second."},
      {"cropright", "320", "Horizontal crop dimensions are outside the range of the original image.\n"
                           "Remember to crop first and scale second."},
      {"metadata", "nokey", "Missing ="},
      {"padtop", "8", "Please use vfilters=pad"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"r", "fast", "Incorrect frame rate"},
      {"s", "huge", "Incorrect frame size"},
      {"pix_fmt", "nosuch", "Unknown pixel format requested: nosuch"},
      {"vbsf", "nosuch", "Unknown bitstream filter nosuch"},
      {"streamid", "3", "Invalid value \"3\" for option \"streamid\", required syntax is \"index:value\""},
      {"t", "soon", "Invalid duration specification for t: soon"},
      {"intra_matrix", "1,2,3", "Syntax error in matrix \"1,2,3\" at coeff 2"},
      {"frobnicate", "1", "Unrecognized option 'frobnicate'"},
      {"threads", "2", ""},
      {"newvideo", "", "At least one output file must be specified"},
      {"vpre", "nosuchpreset", "Preset \"nosuchpreset\" not found"},
      {"vol", "loud", "'loud' is not a valid integer value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.value);
    TFFmpeg task;
    task.ResetOptions();
    ASSERT_TRUE(task.OpenInputFile(Clip())) << task.LastErrMsg();
    try {
      task.ApplyOption(c.name, c.value);
      EXPECT_STREQ(c.message, "");
    } catch (const FFmpegException& e) {
      EXPECT_EQ(e.what(), std::string(c.message));
    }
  }
  TFFmpeg task;
  task.ResetOptions();
  ASSERT_TRUE(task.OpenInputFile(Clip()));
  task.ApplyOption("croptop", "20");
  task.ApplyOption("metadata", "title=A=B");
  task.ApplyOption("vtag", "XVID");
  EXPECT_EQ(task.Settings().FrameHeight, 220);
  EXPECT_EQ(task.Settings().Metadata.back(), (std::pair<std::string, std::string>{"title", "A=B"}));
  EXPECT_EQ(task.Settings().VideoCodecTag & 0xFF, static_cast<uint32_t>('X'));
}

TEST_F(EngineTest, OutputLinesFillDefaultsAndNewStreams) {
  TConvertEngine engine;
  int task = engine.AddTask(Clip());
  ASSERT_GE(task, 0);
  TOutputOptions out;
  out.ExtOptions = "vcodec=mpeg4\r\nnewvideo=\nvcodec=libx264<CRLF>newvideo=\nVFILTERS=scale=160:120";
  ASSERT_TRUE(engine.SetOutputFile(task, dir.file("three.mkv"), &out)) << engine.LastError();
  std::vector<std::string> encoders;
  for (const auto& ost : engine.Task(task)->OutputStreams())
    if (ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) encoders.push_back(ost.Encoder->name);
  EXPECT_EQ(encoders, (std::vector<std::string>{"mpeg4", "mpeg4", "libx264"}));
  EXPECT_EQ(engine.Task(task)->Settings().VFilters, "scale=160:120");

  // An input line vn=1 keeps video out of the output; an= (empty) drops audio.
  TConvertEngine e2;
  TInputOptions in;
  in.ExtOptions = "vn=1";
  int t2 = e2.AddTask(Clip(), &in);
  ASSERT_TRUE(e2.SetOutputFile(t2, dir.file("novideo.mkv")));
  ASSERT_EQ(e2.Task(t2)->OutputStreams().size(), 1u);
  EXPECT_EQ(e2.Task(t2)->OutputStreams()[0].Stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  TOutputOptions noAudio;
  noAudio.ExtOptions = "an=";
  TConvertEngine e3;
  int t3 = e3.AddTask(Clip());
  ASSERT_TRUE(e3.SetOutputFile(t3, dir.file("noaudio.mkv"), &noAudio));
  ASSERT_EQ(e3.Task(t3)->OutputStreams().size(), 1u);
  EXPECT_EQ(e3.Task(t3)->OutputStreams()[0].Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
}

TEST_F(EngineTest, SetupFailures) {
  TConvertEngine engine;
  EXPECT_EQ(engine.AddTask(dir.file("missing.mkv")), -1);
  EXPECT_EQ(engine.LastError(), dir.file("missing.mkv") + ": No such file or directory");
  int task = engine.AddTask(Clip());
  EXPECT_FALSE(engine.SetOutputFile(task, dir.file("out.unknownext")));
  EXPECT_EQ(engine.LastError(), "Unable to find a suitable output format for '" + dir.file("out.unknownext") + "'");
  EXPECT_FALSE(engine.SetOutputFile(task, dir.file("nodir/out.mp4")));
  EXPECT_EQ(engine.LastError(), dir.file("nodir/out.mp4") + ": No such file or directory");
  EXPECT_FALSE(engine.SetOutputFile(task, Clip()));  // would overwrite its own input
  TOutputOptions o;
  o.VideoCodec = "nosuchcodec";
  EXPECT_FALSE(engine.SetOutputFile(task, dir.file("x.mp4"), &o));
  EXPECT_EQ(engine.LastError(), "new_video_stream fail: Unknown encoder 'nosuchcodec'");
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.mp4")));

  TOutputOptions experimental;
  experimental.AudioCodec = "vorbis";
  EXPECT_FALSE(engine.SetOutputFile(task, dir.file("x.ogg"), &experimental));
  EXPECT_EQ(engine.LastError(),
            "new_audio_stream fail: encoder 'vorbis' is experimental and might produce bad results.\r\n"
            "Add '-strict experimental' if you want to use it.\r\nOr use the non experimental encoder 'libvorbis'.");

  // Twenty outputs, not more.
  TOutputOptions null;
  null.FileFormat = "null";
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(engine.SetOutputFile(task, "out" + std::to_string(i), &null)) << i;
  EXPECT_FALSE(engine.SetOutputFile(task, "out20", &null));
  EXPECT_EQ(engine.LastError(), "max output files 20 reached");
  engine.SetProgressInterval(50);
  EXPECT_EQ(engine.ProgressInterval(), 100);
  engine.SetProgressInterval(101);
  EXPECT_EQ(engine.ProgressInterval(), 101);
}

TEST_F(EngineTest, ConversionsReadBackAsAsked) {
  struct Case {
    const char* file;
    const char* lines;
    const char* videoCodec;
    int width, height;
    const char* fps;
    int frames;  // -1: not checked
    const char* audioCodec;
    double seconds;
  } cases[] = {
      {"a.mp4", "vcodec=mpeg4\nacodec=aac", "mpeg4", 320, 240, "25/1", 75, "aac", 3.0},
      {"b.mkv", "vcodec=copy\nacodec=copy", "h264", 320, 240, "25/1", 75, "aac", 3.0},
      {"c.avi", "vcodec=mpeg4\ns=160x120\nvframes=10", "mpeg4", 160, 120, "25/1", 10, "mp3", -1},
      {"d.mp4", "vcodec=libx264\nvpre=fast\nt=1", "h264", 320, 240, "25/1", 25, "aac", 1.0},
      {"e.mpg", "target=dvd", "mpeg2video", 720, 576, "25/1", -1, "ac3", 3.0},
      {"e2.mpg", "target=ntsc-svcd", "mpeg2video", 480, 480, "30000/1001", -1, "mp2", 3.0},
      {"e3.mpg", "target=pal-vcd", "mpeg1video", 352, 288, "25/1", -1, "mp2", 3.0},
      {"f.mkv", "vcodec=mpeg4\nr=10\nvsync=1", "mpeg4", 320, 240, "10/1", -1, "vorbis", 3.0},
      // DV counts audio samples per picture: packets must follow each other without gaps.
      {"g.dv", "target=ntsc-dv", "dvvideo", 720, 480, "30000/1001", -1, "pcm_s16le", 3.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    const std::string out = dir.file(c.file);
    TTerminateInfo notice = Convert(out, c.lines);
    ASSERT_FALSE(notice.Exception) << notice.ExceptionMsg;
    EXPECT_TRUE(notice.Finished);
    ProbedFile probed = ProbeWithReference(out);
    auto* v = probed.Stream("video");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->at("codec_name"), c.videoCodec);
    EXPECT_EQ(std::stoi(v->at("width")), c.width);
    EXPECT_EQ(std::stoi(v->at("height")), c.height);
    EXPECT_EQ(v->at("avg_frame_rate"), c.fps);
    if (c.frames >= 0) {
      EXPECT_EQ(std::stoi(v->at("nb_read_frames")), c.frames);
    }
    auto* a = probed.Stream("audio");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->at("codec_name"), c.audioCodec);
    if (c.seconds > 0) {
      EXPECT_NEAR(std::stod(probed.format.at("duration")), c.seconds, 0.15);
    }
  }
  // A 29.97 fps input makes the DVD target NTSC.
  const std::string ntsc = dir.file("ntsc.mpg");
  ASSERT_FALSE(Convert(ntsc, "target=dvd", FixturePath("sar_16_15.mkv")).Exception);
  ProbedFile ntscProbed = ProbeWithReference(ntsc);
  auto* v = ntscProbed.Stream("video");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->at("height"), "480");
  EXPECT_EQ(v->at("avg_frame_rate"), "30000/1001");
}

TEST_F(EngineTest, SubtitlesAreCopiedOrReencoded) {
  for (auto [lines, codec] : {std::pair{"", "ass"}, {"scodec=copy", "subrip"}, {"scodec=webvtt", "webvtt"}}) {
    SCOPED_TRACE(lines);
    const std::string out = dir.file(std::string("subs_") + codec + ".mkv");
    TTerminateInfo n = Convert(out, lines, FixturePath("subs.srt"));
    ASSERT_TRUE(n.Finished) << n.ExceptionMsg;
    ProbedFile probed = ProbeWithReference(out);
    auto* s = probed.Stream("subtitle");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->at("codec_name"), codec);
    EXPECT_EQ(s->at("nb_read_frames"), "2");
  }
}

TEST_F(EngineTest, AudioSyncFillsAJumpWithSilence) {
  // The sound jumps half a second ahead after one second: with audio sync
  // the jump becomes silence, without it the sound closes up.
  for (auto [lines, seconds] : {std::pair{"async=1", 2.5}, {"", 2.0}}) {
    SCOPED_TRACE(lines);
    const std::string out = dir.file(std::string("gap") + (*lines ? "1" : "0") + ".wav");
    TTerminateInfo n = Convert(out, lines, FixturePath("audio_gap.mkv"));
    ASSERT_TRUE(n.Finished) << n.ExceptionMsg;
    ProbedFile probed = ProbeWithReference(out);
    ASSERT_NE(probed.Stream("audio"), nullptr);
    EXPECT_NEAR(std::stod(probed.format.at("duration")), seconds, 0.05);
  }
}

TEST_F(EngineTest, VideoSyncDuplicatesAndDropsFrames) {
  for (auto [rate, dups, drops] : {std::tuple{"50", true, false}, {"10", false, true}, {"25", false, false}}) {
    SCOPED_TRACE(rate);
    TConvertEngine engine;
    Notices notices;
    notices.Attach(engine);
    Add(engine, Clip(), dir.file(std::string("sync") + rate + ".avi"), std::string("vcodec=mpeg4\nr=") + rate);
    engine.StartTask(0);
    EXPECT_EQ(engine.Task(0)->FramesDup() > 0, dups) << engine.Task(0)->FramesDup();
    EXPECT_EQ(engine.Task(0)->FramesDrop() > 0, drops) << engine.Task(0)->FramesDrop();
  }
}

TEST_F(EngineTest, VolumeScalesAndClipsSamples) {
  AVFrame* f = lavu.av_frame_alloc();
  f->format = AV_SAMPLE_FMT_S16;
  f->nb_samples = 3;
  lavu.av_channel_layout_default(&f->ch_layout, 1);
  ASSERT_GE(lavu.av_frame_get_buffer(f, 0), 0);
  auto* s = reinterpret_cast<int16_t*>(f->data[0]);
  s[0] = 20000, s[1] = -20000, s[2] = 100;
  ApplyVolume(f, 512);
  EXPECT_EQ(s[0], 32767);
  EXPECT_EQ(s[1], -32768);
  EXPECT_EQ(s[2], 200);
  lavu.av_frame_free(&f);
}

TEST_F(EngineTest, LimitsAndFailuresLeaveSoundFiles) {
  // A file-size limit ends the loop soon after the output passes it.
  const std::string limited = dir.file("limited.mkv");
  TTerminateInfo n = Convert(limited, "vcodec=mpeg4\nb=2000k\nfs=100000");
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
  EXPECT_LT(std::filesystem::file_size(limited), 400000u);
  ProbedFile limitedProbed = ProbeWithReference(limited);
  EXPECT_NE(limitedProbed.Stream("video"), nullptr);

  // An encoder that refuses its parameters: no output file stays behind.
  const std::string odd = dir.file("odd.mp4");
  n = Convert(odd, "vcodec=libx264\ns=161x121");
  EXPECT_TRUE(n.Exception);
  EXPECT_EQ(n.ExceptionMsg.rfind("Error while opening encoder for output stream #0.0 (Video)", 0), 0u)
      << n.ExceptionMsg;
  EXPECT_FALSE(std::filesystem::exists(odd));

  // Stream copy cannot change volume or feed preview pictures.
  n = Convert(dir.file("vol.mkv"), "vcodec=copy\nacodec=copy\nvol=300");
  EXPECT_EQ(n.ExceptionMsg, "-acodec copy and -vol are incompatible (frames are not decoded)");
  EXPECT_FALSE(Convert(dir.file("vol256.mkv"), "vcodec=copy\nacodec=copy\nvol=256").Exception);
  TConvertEngine engine;
  engine.SetPreviewBitmap(true);
  n = Convert(dir.file("preview.mkv"), "vcodec=copy", Clip(), &engine);
  EXPECT_EQ(n.ExceptionMsg, "-vcodec copy and PostHooks are incompatible (frames are not decoded)");
}

TEST_F(EngineTest, DamagedInputsAndAFullDisk) {
  // Garbage in the middle of the file: logged and skipped, the rest converts.
  const std::string damaged = dir.file("damaged.mkv");
  std::filesystem::copy_file(Clip(), damaged);
  {
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = std::filesystem::file_size(damaged);
    f.seekp(static_cast<std::streamoff>(size * 2 / 5));
    std::string junk(size / 20, '\xAB');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  TTerminateInfo n = Convert(dir.file("from_damaged.avi"), "vcodec=mpeg4", damaged);
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
  ProbedFile damagedProbed = ProbeWithReference(dir.file("from_damaged.avi"));
  auto* v = damagedProbed.Stream("video");
  ASSERT_NE(v, nullptr);
  EXPECT_GT(std::stoi(v->at("nb_read_frames")), 40);

  // A truncated input ends early; the output is closed properly.
  n = Convert(dir.file("from_truncated.mp4"), "vcodec=mpeg4", FixturePath("truncated.mkv"));
  EXPECT_TRUE(n.Finished) << n.ExceptionMsg;
  ProbedFile probed = ProbeWithReference(dir.file("from_truncated.mp4"));
  ASSERT_NE(probed.Stream("video"), nullptr);
  EXPECT_GT(std::stod(probed.format.at("duration")), 0.5);

  // A full disk fails the task with the system's text; the device stays.
  n = Convert("/dev/full", "f=matroska\nvcodec=mpeg4");
  EXPECT_TRUE(n.Exception);
  EXPECT_NE(n.ExceptionMsg.find("No space left on device"), std::string::npos) << n.ExceptionMsg;
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

TEST_F(EngineTest, TwoPassEncoding) {
  const std::string log = dir.file("stats");
  const std::string vstats = dir.file("vstats.log");
  TTerminateInfo n =
      Convert(dir.file("pass1.avi"), "vcodec=mpeg4\nb=300k\npass=1\npasslogfile=" + log + "\nvstats_file=" + vstats);
  ASSERT_FALSE(n.Exception) << n.ExceptionMsg;
  EXPECT_GT(std::filesystem::file_size(log + "-0.log"), 0u);
  // One statistics line per encoded picture.
  std::ifstream stats(vstats);
  int lines = 0;
  for (std::string line; std::getline(stats, line); ++lines) EXPECT_EQ(line.rfind("frame= ", 0), 0u) << line;
  EXPECT_EQ(lines, 75);
  n = Convert(dir.file("pass2.avi"), "vcodec=mpeg4\nb=300k\npass=2\npasslogfile=" + log);
  EXPECT_FALSE(n.Exception) << n.ExceptionMsg;
  ProbedFile pass2 = ProbeWithReference(dir.file("pass2.avi"));
  ASSERT_NE(pass2.Stream("video"), nullptr);
  EXPECT_EQ(std::stoi(pass2.Stream("video")->at("nb_read_frames")), 75);

  n = Convert(dir.file("nolog.avi"), "vcodec=mpeg4\npass=2\npasslogfile=" + dir.file("nolog"));
  EXPECT_EQ(n.ExceptionMsg,
            "Cannot read file: Error reading log file \"" + dir.file("nolog") + "-0.log\" for pass-2 encoding");
}

TEST_F(EngineTest, NoticeOrderForEveryRunMode) {
  for (int threads : {0, 1, 2}) {
    SCOPED_TRACE(threads);
    TConvertEngine engine;
    Notices notices;
    notices.Attach(engine);
    for (int i = 0; i < 3; ++i) Add(engine, Clip(), dir.file(Format("n%d_%d.mkv", threads, i)), "vcodec=mpeg4");
    engine.StartTask(threads);
    if (threads == 2) {
      EXPECT_TRUE(engine.Task(1)->Running || engine.Task(1)->TerminateNotified);
    }
    notices.WaitFinal();
    auto order = notices.Indices();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.back(), -1);
    std::sort(order.begin(), order.end() - 1);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1}));
    if (threads < 2) {
      EXPECT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
    }
    for (auto& n : notices.list) EXPECT_TRUE(n.Finished && !n.Exception) << n.ExceptionMsg;
    EXPECT_THROW(engine.AddTask(Clip()), FFmpegException);  // finished, not yet cleared
    try {
      engine.AddTask(Clip());
    } catch (const FFmpegException& e) {
      EXPECT_STREQ(e.what(), "Cannot AddTask while working.");
    }
    engine.ClearTasks();
    EXPECT_GE(engine.AddTask(Clip()), 0);
  }
}

TEST_F(EngineTest, StopEndsTheRunningTaskAndNotifiesTheRest) {
  TConvertEngine engine;
  Notices notices;
  notices.Attach(engine);
  // Rate emulation keeps the first task busy for its three seconds.
  for (int i = 0; i < 3; ++i) Add(engine, Clip(), dir.file(Format("s%d.mkv", i)), "vcodec=mpeg4", "re=1");
  engine.StartTask(1);
  for (int i = 0; i < 10; ++i) WaitAndProcessPendingMessages(std::chrono::milliseconds(30));
  engine.Stop(true);
  notices.WaitFinal();
  ASSERT_EQ(notices.Indices(), (std::vector<int>{0, 1, 2, -1}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(notices.list[i].Finished) << i;
    EXPECT_FALSE(notices.list[i].Exception) << notices.list[i].ExceptionMsg;
  }
  EXPECT_TRUE(notices.list[3].Finished);
  // The stopped output still got its trailer and plays.
  ProbedFile stopped = ProbeWithReference(dir.file("s0.mkv"));
  EXPECT_NE(stopped.Stream("video"), nullptr);
}

TEST_F(EngineTest, TaskWithoutOutputFailsAndTheRunGoesOn) {
  TConvertEngine engine;
  Notices notices;
  notices.Attach(engine);
  int bad = engine.AddTask(Clip());
  EXPECT_FALSE(engine.SetOutputFile(bad, dir.file("bad.unknownext")));
  Add(engine, Clip(), dir.file("good.mkv"), "vcodec=mpeg4");
  engine.StartTask(0);
  ASSERT_EQ(notices.Indices(), (std::vector<int>{0, 1, -1}));
  EXPECT_TRUE(notices.list[0].Exception);
  EXPECT_EQ(notices.list[0].ExceptionMsg, "At least one output file must be specified");
  EXPECT_TRUE(notices.list[1].Finished);

  // RemoveTask moves later tasks up.
  engine.ClearTasks();
  Add(engine, Clip(), dir.file("r0.mkv"), "vcodec=mpeg4");
  Add(engine, FixturePath("mpeg4_aac.mp4"), dir.file("r1.mkv"), "vcodec=mpeg4");
  engine.RemoveTask(0);
  ASSERT_EQ(engine.TaskCount(), 1);
  EXPECT_EQ(engine.InputProbe(0, 0)->GetFileName(), FixturePath("mpeg4_aac.mp4"));
}

TEST_F(EngineTest, ProgressReportsCarryTimesAndEndWithTheFinalOne) {
  TConvertEngine engine;
  engine.SetProgressInterval(100);
  std::vector<TProgressInfo> reports;
  engine.OnProgress = [&](TCustomConvertEngine*, PProgressInfo p) { reports.push_back(*p); };
  Notices notices;
  notices.Attach(engine);
  Add(engine, Clip(), dir.file("p.mkv"), "vcodec=mpeg4", "re=1");
  Add(engine, Clip(), dir.file("p.mp3"), "");
  engine.StartTask(1);
  notices.WaitFinal();
  ASSERT_GE(reports.size(), 4u);
  const TProgressInfo& last = reports.back();
  EXPECT_EQ(last.FileIndex, -1);
  EXPECT_EQ(last.TaskIndex, 1);
  EXPECT_EQ(last.FrameNumber, -1);  // audio only
  EXPECT_EQ(last.FPS, -1);
  EXPECT_NEAR(last.CurrentDuration / 1e6, 3.0, 0.2);
  EXPECT_NEAR(last.TotalDuration / 1e6, 3.0, 0.1);
  int videoReports = 0;
  for (const TProgressInfo& p : reports)
    if (p.TaskIndex == 0) {
      ++videoReports;
      EXPECT_GT(p.FrameNumber, 0);
    }
  EXPECT_GE(videoReports, 5);  // about every 100 ms for three seconds
}

}  // namespace
