// The settings store, the format catalogue and list model, the profile rules
// and the job builder, without running a conversion.
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <tuple>

#include <QDir>

#include <gtest/gtest.h>

#include "FormatCatalogue.h"
#include "GlobalUnit.h"
#include "JobBuilder.h"
#include "JobsInfo.h"
#include "ProfileStore.h"
#include "TestSupport.h"

namespace {

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class RecordingQuestions : public TJobQuestions {
 public:
  bool answer = true;
  int asked = 0;
  QStringList warnings, notices;
  bool AskDefaultFrameSize(const QString& text) override {
    EXPECT_EQ(text, "Error output Video Size.Use the default size 320x240?");
    ++asked;
    return answer;
  }
  void WarnOutputFolder(const QString& text) override { warnings << text; }
  void Notice(const QString& text) override { notices << text; }
};

// A settings file and a profile file in a temporary folder, and a builder on
// them whose encoder names stay as written.
struct BuilderFixture {
  TempDir dir;
  TSettingsStore settings{QString::fromStdString(dir.file("settings.ini"))};
  TProfileStore profile{QString::fromStdString(dir.file("profile.ini"))};
  RecordingQuestions questions;
  TJobBuilder builder{settings, profile, questions};
  BuilderFixture(const std::string& settingsText, const std::string& profileText) {
    WriteTextFile(dir.file("settings.ini"), settingsText);
    WriteTextFile(dir.file("profile.ini"), profileText);
    builder.SetEncoderResolver(nullptr);
    builder.SetOutputFolder(QString::fromStdString(dir.path()));
  }
  // Builds code 5 for a record and a source.
  TOutputOptions Build(TlvFilesRecord record, const TSourceFacts& source, TInputOptions* input = nullptr) {
    TInputOptions in;
    TOutputOptions out;
    builder.BuildConversionOptions(5, out, source, record, input ? *input : in);
    return out;
  }
};

TSourceFacts Source(int w, int h) {
  TSourceFacts s;
  s.VideoStreamCount = 1;
  s.Width = w;
  s.Height = h;
  s.SampleRate = 44100;
  return s;
}

TEST(JobsSettings, FirstStartDefaultsAndRangeRules) {
  TempDir dir;
  TSettingsStore s(QString::fromStdString(dir.file("none.ini")));
  EXPECT_EQ(s.OutPutDir(), QDir::homePath() + "/clipyard");
  EXPECT_EQ(s.SnapOutPutDir(), QDir::homePath() + "/clipyard");
  EXPECT_EQ(s.Volume(), 0);
  EXPECT_FALSE(s.Mute());
  EXPECT_EQ(s.FormatName(), "Apple iPod Video MPEG-4 Movie (*.mp4)");
  EXPECT_EQ(s.FormatName(TSettingsStore::kDialogDefaultFormatName), "iPod Video MPEG-4");
  EXPECT_EQ(s.FormatCode(), 1);
  EXPECT_EQ(s.Priority(), 1);
  EXPECT_EQ(PriorityToThreadPriority(s.Priority(), tpHighest), tpNormal);
  EXPECT_TRUE(s.SnapFullSize() && s.SnapSmallSize() && s.SnapBmp() && s.SnapJpg());
  EXPECT_EQ(s.JpgCmp(), 30);
  for (int g = 0; g < kFormatGroupCount; ++g) EXPECT_TRUE(s.GroupFolded(g));
  EXPECT_FALSE(std::filesystem::exists(dir.file("none.ini"))) << "reading must not create the file";

  // A volume outside 0..128 reads as 64; text that is no number reads as the default.
  for (auto [stored, shown] : {std::pair{"200", 64}, {"-1", 64}, {"128", 128}, {"7", 7}, {"loud", 0}}) {
    WriteTextFile(dir.file("v.ini"), std::string("[settings]\nvolume=") + stored + "\n");
    EXPECT_EQ(TSettingsStore(QString::fromStdString(dir.file("v.ini"))).Volume(), shown) << stored;
  }
  for (auto [priority, expected] : {std::pair{0, tpIdle}, {1, tpNormal}, {2, tpLower}, {3, tpLowest}, {9, tpHigher}})
    EXPECT_EQ(PriorityToThreadPriority(priority, tpHigher), expected) << priority;
}

TEST(JobsSettings, KeysMatchWithoutCaseAndWritesKeepTheRest) {
  TempDir dir;
  const std::string file = dir.file("sub/settings.ini");
  std::filesystem::create_directories(dir.file("sub"));
  WriteTextFile(file, "[Settings]\nPriority=3\nOutPutDir=/x\n[formatInfo100]\nparaZoom=pan\n");
  TSettingsStore s(QString::fromStdString(file));
  EXPECT_EQ(s.Priority(), 3);
  EXPECT_EQ(s.Ini().ReadString("FORMATINFO100", "parazoom", "lbox"), "pan");
  s.SetPriority(0);  // written as "priority", read back through "Priority"
  s.SetGroupFolded(2, false);
  EXPECT_EQ(s.Ini().ReadInteger("SETTINGS", "PRIORITY", 1), 0);
  EXPECT_FALSE(s.GroupFolded(2));
  EXPECT_EQ(s.OutPutDir(), "/x");
  EXPECT_EQ(s.Ini().ReadString("formatinfo100", "PARAZOOM", ""), "pan");
  EXPECT_EQ(s.Ini().SectionKeys("formatInfo100"), QStringList{"paraZoom"});

  // A write makes the folder and the file.
  TSettingsStore fresh(QString::fromStdString(dir.file("new/deeper/s.ini")));
  ASSERT_TRUE(fresh.Ini().WriteString("settings", "FormatCode", "205"));
  EXPECT_EQ(fresh.FormatCode(), 205);
}

TEST(JobsGlobal, ObjectFieldsAndServices) {
  TempDir dir;
  ScopedEnv config("TOLVANE_CONFIG_DIR", dir.path());
  TGlobalObject g;
  EXPECT_EQ(g.SettingsFile(), QString::fromStdString(dir.path()) + "/tolvanedor3erozidururo.ini");
  EXPECT_TRUE(g.ProfileFile().endsWith("data/tolvanezod3iraredav.ini")) << g.ProfileFile().toStdString();
  WriteTextFile(dir.file("tolvanezod3iraredav.ini"), "[formatInfo1]\n");
  EXPECT_EQ(DefaultProfileFile(), QString::fromStdString(dir.file("tolvanezod3iraredav.ini")));
  EXPECT_EQ(g.ProductName(), "Tolvane DOR 3ER Ozidururo");
  EXPECT_EQ(g.VersionText(), " ver 1.10 ");

  // Setters ignore values that fail their rule.
  g.SetSettingsFile("/a");
  g.SetProductName("");
  g.SetProfileFile("/a/b.ini");
  EXPECT_EQ(g.SettingsFile(), QString::fromStdString(dir.path()) + "/tolvanedor3erozidururo.ini");
  EXPECT_EQ(g.ProductName(), "Tolvane DOR 3ER Ozidururo");
  EXPECT_EQ(g.ProfileFile(), "/a/b.ini");

  for (auto [text, n, right] : {std::tuple{"abcdef", 3, "def"}, {"ab", 5, "ab"}, {"ab", 0, ""}})
    EXPECT_EQ(TGlobalObject::RightText(text, n), right);
  EXPECT_EQ(TGlobalObject::FileVersionText(2, 5, 0, 7), " 2.507 ");
  EXPECT_TRUE(TGlobalObject::ReadFileVersion().startsWith(' ') && TGlobalObject::ReadFileVersion().endsWith(' '));
  EXPECT_TRUE(TGlobalObject::IsFolderWritable(QString::fromStdString(dir.path())));
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().filename().string().rfind("DA", 0), 0u) << "the probe file was left behind";
  EXPECT_FALSE(TGlobalObject::IsFolderWritable(QString::fromStdString(dir.file("missing"))));
  EXPECT_FALSE(TGlobalObject::GetLoginName().isEmpty());
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(TGlobalObject::CSIDL_COMMON_APPDATA), ConfigFolder() + "/");
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(TGlobalObject::CSIDL_PROFILE), QDir::homePath() + "/");
  EXPECT_EQ(TGlobalObject::GetSpecialFolder(12345), "");
}

TEST(JobsCatalogue, EntriesCodesAndCaptions) {
  int entries = 0;
  std::set<int> codes;
  for (const TFormatGroup& g : FormatCatalogue())
    for (const TFormatEntry& e : g.Entries) {
      ++entries;
      codes.insert(e.Code);
      EXPECT_EQ(e.Code / 100, g.Number) << e.Caption;
      EXPECT_EQ(FormatCaption(e.Code), e.Caption);
    }
  EXPECT_EQ(entries, 24);
  EXPECT_EQ(codes.size(), 24u);
  const std::vector<std::pair<int, const char*>> spelled = {
      {0, "WMV Video(*.wmv)"},
      {102, "Mobile Phone 3GP2 h263 Video(*.3gp)"},
      {208, "DV - NTSC -Digital Video Format (*.dv)"},
      {301, "AAC Advenced Audio Codec (*.aac)"},
      {303, "WMA - Windows Meida Audio (*.wma)"},
      {1, "Apple iPod Video MPEG-4 Movie (*.mp4)"}};
  for (auto [code, caption] : spelled) EXPECT_EQ(FormatCaption(code), caption);
  EXPECT_STREQ(FormatCatalogue()[0].Caption, "Windows Meida Video");
  EXPECT_STREQ(FormatCatalogue()[2].Caption, "General Video formates");
  EXPECT_STREQ(FormatCatalogue()[3].Caption, "General Audio formates");
  EXPECT_FALSE(IsFormatCode(106));
  EXPECT_FALSE(IsFormatCode(-1));
}

TEST(JobsCatalogue, FoldingModel) {
  TempDir dir;
  TSettingsStore settings(QString::fromStdString(dir.file("s.ini")));
  TFormatListModel list;
  list.Build(settings, settings.FormatName());
  ASSERT_EQ(list.LineCount(), 4);  // first start: every group folded
  EXPECT_EQ(list.SelectedLine(), -1);  // the default caption is no line
  EXPECT_EQ(list.LineCaption(2), "General Video formates");

  ASSERT_TRUE(list.ToggleGroup(2));
  ASSERT_EQ(list.LineCount(), 14);
  EXPECT_EQ(list.LineCaption(3), "MPEG-1 Video (*.mpg)");
  EXPECT_EQ(list.Lines()[12].Code, 209);
  EXPECT_TRUE(list.Lines()[13].IsGroup);
  list.SetSelectedLine(list.LineOfCaption("Xvid Video (*.avi)"));
  EXPECT_EQ(list.SelectedLine(), 10);
  EXPECT_FALSE(list.ToggleGroup(10));  // an entry line chooses, it does not fold

  list.SaveFoldingState(settings);
  EXPECT_FALSE(settings.GroupFolded(2));
  TFormatListModel again;
  again.Build(settings, " Xvid Video (*.avi) ");
  EXPECT_EQ(again.LineCount(), 14);
  EXPECT_EQ(again.SelectedLine(), 10);

  ASSERT_TRUE(again.ToggleGroup(2));
  ASSERT_EQ(again.LineCount(), 4);
  EXPECT_EQ(again.LineCaption(3), "General Audio formates");
  EXPECT_EQ(again.SelectedLine(), -1);
}

TEST(JobsProfile, ListItemsAndAdoptionRanges) {
  struct Case {
    const char* list;
    int items;
    std::optional<std::pair<double, double>> range;
  };
  const Case cases[] = {
      {"as source,8000,22050,44100", 4, std::pair{8000.0, 44100.0}},
      {"64,128", 2, std::pair{64.0, 64.0}},
      {"as source,64", 2, std::pair{64.0, 64.0}},
      {"32,64,96.5", 3, std::pair{32.0, 96.5}},
      {"128", 1, std::nullopt},
      {",128", 2, std::nullopt},
      {"null", 0, std::nullopt},
      {"", 0, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProfileListItems(c.list).size(), c.items) << c.list;
    const auto range = ProfileRange(c.list);
    ASSERT_EQ(range.has_value(), c.range.has_value()) << c.list;
    if (range) {
      EXPECT_EQ(std::pair(range->Min, range->Max), *c.range) << c.list;
    }
  }
  EXPECT_THROW(ProfileRange("as source,fast,128"), TJobError);
}

TEST(JobsProfile, DialogMappings) {
  for (auto [shown, written] : {std::pair{"MPEG-4", "mpeg4"}, {"xvid", "libxvid"}, {"h264", "libx264"},
                                {"wmv2", "wmv2"}, {"dvvideo", "dvvideo"}})
    EXPECT_EQ(VideoEncoderParameter(shown), QString(written)) << shown;
  EXPECT_FALSE(VideoEncoderParameter("theora"));
  for (auto [shown, written] : {std::pair{"aac", "libfaac"}, {"ogg", "vorbis"}, {"AC-3", "ac3"},
                                {"pcm_s16", "pcm_s16le"}, {"wma2", "wmav2"}, {"pcm_mulaw ", "pcm_mulaw"},
                                {"ccitt mu-law(8-bit)", "pcm_mulaw"}, {"mp2", "mp2"}})
    EXPECT_EQ(AudioEncoderParameter(shown), QString(written)) << shown;
  EXPECT_FALSE(AudioEncoderParameter("opus"));
  EXPECT_EQ(ChannelParameter("mono 1 channel"), QString("1"));
  EXPECT_EQ(ChannelParameter("as source"), QString("as source"));
  for (auto [shown, written] : {std::pair{"25%", "64"}, {"100%", "256"}, {"400%", "1024"}})
    EXPECT_EQ(VolumeParameter(shown), QString(written)) << shown;
  for (const char* shown : {"33%", "0%", "x", ""}) EXPECT_FALSE(VolumeParameter(shown)) << shown;
}

TEST(JobsProfile, DefaultChoicesAreWhatTheDialogSavesAfterDefault) {
  BuilderFixture f("",
                   "[formatInfo5]\nVideoSize=176x144,320x240\niVideoSize=1\nVideoEncoder=mpeg-4,h264\n"
                   "iVideoEncoder=1\nparaLevel=30\nparaGop=abc\nparaCoder=0\nparaBitExact=TRUE\n"
                   "VideoBitRate=as source,256\niVideoBitRate=7\nAudioEncoder=mp3,gsm\niAudioEncoder=1\n"
                   "SampleRate=44100\nChannel=as source,mono 1 channel,stereo 2 channels\niChannel=2\n"
                   "Volume=50%,100%\niVolume=1\n");
  const TFormatChoices c = DefaultChoices(f.profile, 5);
  const TFormatChoices expected = {
      {"description", ""},           {"ivideosize", "1"},         {"paravideosize", "320x240"},
      {"ivideobitrate", "-1"},       {"paravideobitrate", ""},    {"iframerate", "-1"},
      {"paraframerate", ""},         {"parazoom", "full"},        {"ivideoencoder", "1"},
      {"paravideoencoder", "libx264"}, {"paralevel", "30"},       {"paracoder", "0"},
      {"parabitexact", "TRUE"},      {"isamplerate", "0"},        {"parasamplerate", "8000"},
      {"iaudiobitrate", "-1"},       {"paraaudiobitrate", ""},    {"ichannel", "2"},
      {"parachannel", "1"},          {"ivolume", "1"},            {"paravolume", "256"},
      {"iaudioencoder", "1"},        {"paraaudioencoder", "libgsm"}};
  EXPECT_EQ(c, expected);

  // A section with saved choices is read as it is; one without takes these.
  TFormatChoiceReader unsaved(f.settings.Ini(), f.profile, 5);
  EXPECT_TRUE(unsaved.UsingDefaults());
  EXPECT_EQ(unsaved.Read("PARAVIDEOENCODER", "x"), "libx264");
  f.settings.Ini().WriteString("formatInfo5", "paraAudioEncoder", "mp2");
  TFormatChoiceReader saved(f.settings.Ini(), f.profile, 5);
  EXPECT_FALSE(saved.UsingDefaults());
  EXPECT_EQ(saved.Read("paraVideoEncoder", "x"), "x");
}

TEST(JobsBuilder, OutputNaming) {
  TempDir dir;
  const QString folder = QString::fromStdString(dir.path());
  EXPECT_EQ(NextFreeOutputName(folder, "/v/clip.wmv", ".3gp"), folder + "/clip_(new).3gp");
  WriteTextFile(dir.file("clip_(new).3gp"), "x");
  WriteTextFile(dir.file("clip_(new_1).3gp"), "x");
  EXPECT_EQ(NextFreeOutputName(folder + "/", "/v/clip.wmv", ".3gp"), folder + "/clip_(new_2).3gp");
  EXPECT_EQ(NextFreeOutputName(folder, "/v/a.b.c", "_ipod.mp4"), folder + "/a.b_(new)_ipod.mp4");
  std::filesystem::create_symlink(dir.file("nowhere"), dir.file("link_(new).mp4"));
  EXPECT_EQ(NextFreeOutputName(folder, "link.avi", ".mp4"), folder + "/link_(new_1).mp4");

  // A folder that cannot be made: a warning, then the default folder, saved.
  ScopedEnv home("HOME", dir.path());
  WriteTextFile(dir.file("plainfile"), "x");
  BuilderFixture f("[settings]\nOutPutDir=" + dir.file("plainfile/out") + "\n", "");
  f.builder.SetOutputFolder("");
  const QString name = f.builder.MakeOutputFileName("/v/clip.wmv", ".avi");
  EXPECT_EQ(name, folder + "/clipyard/clip_(new).avi");
  ASSERT_EQ(f.questions.warnings.size(), 1);
  EXPECT_EQ(f.questions.warnings[0], "Cannot create output directory:" + QString::fromStdString(dir.file("plainfile/out")) +
                                         ".It will create default directory " + folder + "/clipyard!");
  EXPECT_EQ(f.settings.OutPutDir(), folder + "/clipyard");
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("clipyard")));
}

struct ZoomCase {
  const char* name;
  const char* zoom;
  int sw, sh;
  const char* size;                // "paraVideoSize"
  std::array<int, 4> crop;         // record: top, left, bottom, right
  const char* frameSize;
  const char* aspect;
  const char* filters;
  std::array<int, 4> outCrop;      // output: top, left, bottom, right
};

TEST(JobsBuilder, ZoomModes) {
  const ZoomCase cases[] = {
      {"lbox same shape", "lbox", 640, 480, "320x240", {}, "320x240", "320:240", "pad=320:240:0:0", {}},
      {"lbox wide source", "lbox", 1280, 720, "320x240", {}, "320x180", "320:180", "pad=320:240:0:30", {}},
      {"lbox tall source", "lbox", 720, 576, "320x240", {}, "300x240", "300:240", "pad=320:240:10:0", {}},
      {"lbox with crop", "lbox", 640, 480, "320x240", {8, 0, 0, 0}, "", "320:240",
       "crop=640:472:0:8,scale=320:240,pad=320:240:0:0", {8, 0, 0, 0}},
      {"full with crops", "full", 640, 480, "320x240", {8, 4, 6, 2}, "320x240", "320:240", "", {8, 4, 6, 2}},
      {"full as source", "full", 352, 288, "as source", {}, "352x288", "352:288", "", {}},
      {"pan wide", "pan", 1280, 720, "320x240", {}, "320x240", "320:240", "", {0, 160, 0, 160}},
      {"pan wide cropped", "pan", 1280, 720, "320x240", {0, 10, 0, 30}, "320x240", "320:240", "", {0, 150, 0, 170}},
      {"pan tall", "pan", 480, 640, "320x240", {}, "320x240", "320:240", "", {140, 0, 140, 0}},
      {"pan 4:3", "pan", 640, 480, "320x240", {}, "320x240", "320:240", "", {}},
      {"center smaller, wide", "center", 1280, 720, "320x240", {}, "320x240", "320:240", "pad=320:240:0:30:black", {}},
      {"center taller target", "center", 640, 360, "320x480", {}, "320x480", "320:480", "pad=640:660:0:150:black", {}},
      {"center larger, same shape", "center", 320, 240, "640x480", {}, "640x480", "640:480", "pad=320:240:0:0:black", {}},
      {"center same size", "center", 320, 240, "320x240", {}, "320x240", "320:240", "pad=320:240:0:0:black", {}},
      {"center wider target", "center", 320, 240, "640x240", {}, "320x240", "640:240", "pad=640:240:160:0:black", {}},
      {"unknown zoom", "orig", 640, 480, "320x240", {}, "", "", "", {}},
  };
  for (const ZoomCase& c : cases) {
    BuilderFixture f(std::string("[formatInfo5]\nparaVideoEncoder=mpeg4\nparaVideoSize=") + c.size + "\n", "");
    TlvFilesRecord record;
    record.Zoom = c.zoom;
    record.CropTop = c.crop[0], record.CropLeft = c.crop[1], record.CropBottom = c.crop[2], record.CropRight = c.crop[3];
    TInputOptions in;
    TOutputOptions out;
    f.builder.PrepareOptions(5, record, in, out);  // sets the crops as the run control does
    record.Zoom = c.zoom;
    f.builder.BuildConversionOptions(5, out, Source(c.sw, c.sh), record, in);
    EXPECT_EQ(out.FrameSize, c.frameSize) << c.name;
    EXPECT_EQ(out.AspectRatio, c.aspect) << c.name;
    EXPECT_EQ(out.VideoFilters, c.filters) << c.name;
    EXPECT_EQ((std::array{out.CropTop, out.CropLeft, out.CropBottom, out.CropRight}), c.outCrop) << c.name;
  }
}

TEST(JobsBuilder, FrameSizeRules) {
  struct Case {
    const char* encoder;
    const char* size;  // nullptr: key missing
    bool answer;
    const char* frameSize;
    int asked;
  };
  const Case cases[] = {
      {"h263", "320x240", true, "352x288", 0},   {"h263", "176x144", true, "176x144", 0},
      {"h263", "400x300", true, "704x576", 0},   {"h263", "900x700", true, "704x576", 0},
      {"h263", "100x80", true, "100x80", 0},     {"mpeg4", "320x240", true, "320x240", 0},
      {"mpeg4", "abcx200", true, "640x200", 0},  {"mpeg4", nullptr, true, "320x240", 1},
      {"mpeg4", nullptr, false, "640x480", 1},   {"mpeg4", "320x", true, "320x240", 1},
      {"mpeg4", "0x0", true, "320x240", 1},
  };
  for (const Case& c : cases) {
    std::string settings = std::string("[formatInfo5]\nparaZoom=full\nparaVideoEncoder=") + c.encoder + "\n";
    if (c.size) settings += std::string("paraVideoSize=") + c.size + "\n";
    BuilderFixture f(settings, "");
    f.questions.answer = c.answer;
    TlvFilesRecord record;
    record.Zoom = "full";
    const TOutputOptions out = f.Build(record, Source(640, 480));
    EXPECT_EQ(out.FrameSize, c.frameSize) << c.encoder << " " << (c.size ? c.size : "(missing)");
    EXPECT_EQ(f.questions.asked, c.asked) << (c.size ? c.size : "(missing)");
  }
}

TEST(JobsBuilder, AudioOnlyFormats) {
  BuilderFixture f("[formatInfo5]\nparaAudioEncoder=\nparaSampleRate=22050\nparaChannel=1\n",
                   "[formatInfo5]\nFormat=AC3\n");
  TInputOptions in;
  TlvFilesRecord record;
  const TOutputOptions out = f.Build(record, Source(320, 240), &in);
  EXPECT_EQ(out.AudioVolume, 3);  // a missing "paraVolume" reads as 3
  EXPECT_EQ(out.AudioCodec, "");
  EXPECT_EQ(out.FileFormat, "ac3");
  EXPECT_EQ(out.AudioChannels, 1);
  EXPECT_EQ(out.AudioSampleRate, 22050);
  EXPECT_EQ(out.AudioBitrate, 128000);
  EXPECT_EQ(in.ExtOptions, "vn=1");
  EXPECT_TRUE(out.DisableVideo && out.DisableSubtitle);
  EXPECT_TRUE(out.FrameSize.empty() && out.VideoCodec.empty());

  BuilderFixture g("[formatInfo5]\nparaVolume=256\nparaChannel=as source\nparaVideoEncoder= \n", "");
  const TOutputOptions plain = g.Build(record, Source(320, 240));
  EXPECT_EQ(plain.AudioCodec, "libfaac");  // the reader's default, before the libraries are asked
  EXPECT_EQ(plain.AudioVolume, -1);
  EXPECT_EQ(plain.AudioChannels, -1);
}

TEST(JobsBuilder, SourceValuesKeptWithinTheProfileRange) {
  const std::string profile =
      "[formatInfo5]\nSampleRate=as source,8000,22050,44100\nparaSampleRate=22050\n"
      "AudioBitRate=as source,64,96,128\nparaAudioBitRate=96\nVideoBitRate=as source,256,1500\n"
      "paraVideoBitRate=512\n";
  const std::string asSource =
      "[formatInfo5]\nparaVideoEncoder=mpeg4\nparaVideoSize=as source\nparaSampleRate=as source\n"
      "paraAudioBitRate=as source\nparaVideoBitRate=as source\n";
  struct Case {
    int sampleRate, audioBits, videoBits;
    int outRate, outAudio, outVideo;
  };
  const Case cases[] = {
      {32000, 100000, 1000000, 32000, 100000, 1000000},  // all within: kept
      {48000, 320000, 4000000, 22050, 96000, 512000},    // all above: the profile's fallbacks
      {8000, 64000, 256000, 8000, 64000, 256000},        // the bounds are inside
      {-1, -1, -1, 22050, 96000, 512000},                // unknown source values
  };
  for (const Case& c : cases) {
    BuilderFixture f(asSource, profile);
    TSourceFacts s = Source(320, 240);
    s.SampleRate = c.sampleRate, s.AudioBitRate = c.audioBits, s.VideoBitRate = c.videoBits;
    TlvFilesRecord record;
    const TOutputOptions out = f.Build(record, s);
    EXPECT_EQ(out.AudioSampleRate, c.outRate) << c.sampleRate;
    EXPECT_EQ(out.AudioBitrate, c.outAudio) << c.audioBits;
    EXPECT_EQ(out.VideoBitrate, c.outVideo) << c.videoBits;
    EXPECT_TRUE(f.builder.SourceValueInRange(5, TValueKind::SampleRate, 44100));
    EXPECT_FALSE(f.builder.SourceValueInRange(5, TValueKind::AudioBitRate, 128001));
  }
  // Typed values win over the source; a fallback that is not a number is an error.
  BuilderFixture typed("[formatInfo5]\nparaVideoEncoder=mpeg4\nparaSampleRate=11025\nparaAudioBitRate=56.5\n"
                       "paraVideoBitRate=900\n", profile);
  TlvFilesRecord record;
  const TOutputOptions out = typed.Build(record, Source(320, 240));
  EXPECT_EQ(out.AudioSampleRate, 11025);
  EXPECT_EQ(out.AudioBitrate, 56500);
  EXPECT_EQ(out.VideoBitrate, 900000);
  BuilderFixture broken(asSource, "[formatInfo5]\nparaVideoBitRate=fast\n");
  EXPECT_THROW(broken.Build(record, Source(320, 240)), TJobError);
  BuilderFixture badRange(asSource, "[formatInfo5]\nVideoBitRate=as source,low,high\n");
  EXPECT_THROW(badRange.Build(record, Source(320, 240)), TJobError);
  BuilderFixture crop("[formatInfo5]\nparaVideoEncoder=mpeg4\nparaVideoSize=320x240\n", "");
  record.CropTop = 240;
  record.CropBottom = 2;
  EXPECT_THROW(crop.Build(record, Source(320, 240)), TJobError);
}

TEST(JobsBuilder, DiscTargetsEncodersAndPresets) {
  struct Case {
    const char* format;
    const char* encoder;
    const char* size;
    int target, norm;
    const char* aspect;  // with an unknown zoom, so only the target sets it
    const char* codec;
    const char* preset;
    const char* fileFormat;
  };
  const Case cases[] = {
      {"NTSC-DVD", "mpeg2video", "720x480", 3, 2, "16:9", "mpeg2video", "", ""},
      {"ntsc-dvd", "mpeg2video", "720x576", 3, 2, "4:3", "mpeg2video", "", ""},
      {"pal-dvd", "mpeg2video", "720x576", 3, 1, "16:9", "mpeg2video", "", ""},
      {"ntsc-vcd", "mpeg1video", "352x240", 1, 2, "4:3", "mpeg1video", "", ""},
      {"pal-svcd", "mpeg2video", "480x576", 3, 1, "4:3", "mpeg2video", "", ""},  // mpeg2video means DVD
      {"mpeg", "mpeg2video", "720x576", 3, 0, "", "mpeg2video", "", ""},
      {"psp", "libx264", "320x240", 0, 0, "", "libx264", "libx264-psp", "psp"},
      {"iPod", "libx264", "320x240", 0, 0, "", "libx264", "libx264-ipod", "iPod"},
      {"ps3", "libx264", "320x240", 0, 0, "", "libx264", "libx264-ps3", ""},
      {"mp4", "libx264", "320x240", 0, 0, "", "libx264", "libx264-mp4", ""},
      {"3g2", "h263", "176x144", 0, 0, "", "h263", "", "3g2"},
      {"mov", "flv", "320x240", 0, 0, "", "", "", "mov"},  // other names leave the container's encoder
  };
  for (const Case& c : cases) {
    BuilderFixture f(std::string("[formatInfo5]\nparaZoom=none\nparaVideoEncoder=") + c.encoder +
                         "\nparaVideoSize=" + c.size + "\n",
                     std::string("[formatInfo5]\nFormat=") + c.format + "\n");
    TlvFilesRecord record;
    record.Zoom = "none";
    const TOutputOptions out = f.Build(record, Source(720, 576));
    EXPECT_EQ(out.Target, c.target) << c.format;
    EXPECT_EQ(out.TargetNorm, c.norm) << c.format;
    EXPECT_EQ(out.AspectRatio, c.aspect) << c.format;
    EXPECT_EQ(out.VideoCodec, c.codec) << c.format;
    EXPECT_EQ(out.VideoPreset, c.preset) << c.format;
    EXPECT_EQ(out.FileFormat, c.fileFormat) << c.format;
  }
}

TEST(JobsBuilder, PreparedFieldsAndTheHookRule) {
  TempDir out;
  BuilderFixture f("[settings]\nOutPutDir=" + out.path() + "\n[formatInfo5]\nparaVideoEncoder=mpeg4\n",
                   "[formatInfo5]\nFileExt=3gp\n");
  f.builder.SetOutputFolder("");
  TlvFilesRecord record;
  record.SourceFile = "/v/clip.wmv";
  TInputOptions in;
  TOutputOptions o;
  f.builder.PrepareOptions(5, record, in, o);
  EXPECT_EQ(in.FileName, "/v/clip.wmv");
  EXPECT_EQ(in.StartTime, 0);
  EXPECT_EQ(o.FileName, out.file("clip_(new).3gp"));
  EXPECT_EQ(o.CropTop, -1);
  EXPECT_EQ(o.RecordingTime, TOutputOptions().RecordingTime);
  EXPECT_EQ(record.Zoom, "lbox");  // saved choices without "parazoom"

  record.TrimStart = 1500000;
  record.TrimLength = 2000000;
  record.CropRight = 4;
  TInputOptions in2;
  TOutputOptions o2;
  f.builder.PrepareOptions(5, record, in2, o2);
  EXPECT_EQ(in2.StartTime, 1500000);
  EXPECT_EQ(o2.RecordingTime, 2000000);
  EXPECT_EQ((std::array{o2.CropTop, o2.CropLeft, o2.CropBottom, o2.CropRight}), (std::array{0, 0, 0, 4}));

  TlvFilesRecord neutral;
  EXPECT_FALSE(NeedsCustomHook(neutral));
  auto with = [&](auto change) {
    TlvFilesRecord r;
    change(r);
    return NeedsCustomHook(r);
  };
  EXPECT_TRUE(with([](TlvFilesRecord& r) { r.Brightness = 200; }));
  EXPECT_TRUE(with([](TlvFilesRecord& r) { r.Contrast = 1; }));
  EXPECT_TRUE(with([](TlvFilesRecord& r) { r.Saturation = 0; }));
  EXPECT_TRUE(with([](TlvFilesRecord& r) { r.Exposure = -3; }));
  auto item = [](const char* text, const char* image) {
    TWmRec w;
    w.Text = text;
    w.ImageFile = image;
    w.Kind = *image ? 1 : 0;
    return w;
  };
  EXPECT_TRUE(with([&](TlvFilesRecord& r) { r.WaterMarks.push_back(item("hi", "")); }));
  EXPECT_TRUE(with([&](TlvFilesRecord& r) { r.WaterMarks.push_back(item("", "/a.bmp")); }));
  EXPECT_FALSE(with([&](TlvFilesRecord& r) { r.WaterMarks.push_back(item("", "")); }));
  // A later item with something to draw needs the hook even when the first is empty.
  EXPECT_TRUE(with([&](TlvFilesRecord& r) {
    r.WaterMarks.push_back(item("", ""));
    r.WaterMarks.push_back(item("second only", ""));
  }));
}

// The shipped profile with no saved choices: a first conversion is a real
// video conversion with the offered defaults, and unusable encoder names are
// replaced by the libraries' nearest ones.
TEST(JobsBuilder, FirstStartUsesTheShippedDefaults) {
  LoadSystemLibraries();
  TempDir dir;
  TSettingsStore settings(QString::fromStdString(dir.file("s.ini")));
  TProfileStore profile(TOLVANE_PROFILE_FILE);
  RecordingQuestions questions;
  TJobBuilder builder(settings, profile, questions);
  builder.SetOutputFolder(QString::fromStdString(dir.path()));
  TlvFilesRecord record;
  record.SourceFile = "/v/clip.mkv";
  TInputOptions in;
  TOutputOptions out;
  builder.PrepareOptions(settings.FormatCode(), record, in, out);
  EXPECT_EQ(record.Zoom, "full");
  TSourceFacts source = Source(640, 480);
  builder.BuildConversionOptions(settings.FormatCode(), out, source, record, in);
  EXPECT_EQ(out.FileName, dir.file("clip_(new).mp4"));
  EXPECT_EQ(out.FileFormat, "ipod");
  EXPECT_EQ(out.VideoCodec, "mpeg4");
  EXPECT_EQ(out.FrameSize, "320x240");
  EXPECT_EQ(out.VideoBitrate, 768000);
  EXPECT_EQ(out.FrameRate, "29.97");
  EXPECT_EQ(out.AudioCodec, "aac");
  EXPECT_EQ(out.AudioSampleRate, 44100);
  EXPECT_EQ(out.AudioBitrate, 128000);
  EXPECT_EQ(out.AudioChannels, 2);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_FALSE(out.DisableAudio || out.DisableVideo);
  ASSERT_EQ(questions.notices.size(), 1);
  EXPECT_EQ(questions.notices[0], "Encoder \"libfaac\" is not in the media libraries; using \"aac\" instead");

  // Every shipped section offers a default encoder the dialog can write.
  for (int code = 0; code < 400; ++code) {
    if (!IsFormatCode(code)) continue;
    const TFormatChoices c = DefaultChoices(profile, code);
    EXPECT_EQ(c.count("paravideoencoder") == 1, code < 300) << code;
    EXPECT_EQ(c.count("paraaudioencoder"), 1u) << code;
    EXPECT_EQ(c.at("paravolume"), "256") << code;
  }

  for (auto [name, video, usable, replaced] :
       {std::tuple{"libfaac", false, "aac", true}, {"vorbis", false, "libvorbis", true},
        {"mpeg4", true, "mpeg4", false}, {"libamr_nb", false, "aac", true}, {"nosuch", false, "nosuch", false}}) {
    QString why;
    EXPECT_EQ(ResolveEncoderWithLibraries(name, video, &why), usable) << name;
    EXPECT_EQ(!why.isEmpty(), replaced) << name;
  }
}

}  // namespace
