#include <thread>

#include <gtest/gtest.h>

#include "FFUtils.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "MyUtils.h"
#include "TestSupport.h"

namespace {

TEST(TextHelpers, TimeToText) {
  EXPECT_EQ(TimeToText(3723004567LL), "01:02:03.004");
  EXPECT_EQ(TimeToText(0), "00:00:00.000");
  EXPECT_EQ(TimeToText(999999), "00:00:00.999");
  EXPECT_EQ(TimeToText(100LL * 3600 * 1000000), "100:00:00.000");  // hours do not wrap
  EXPECT_EQ(TimeToText(AV_NOPTS_VALUE), "N/A");
}

TEST(TextHelpers, FileSizeText) {
  EXPECT_EQ(FileSizeText(0), "0 Byte");
  EXPECT_EQ(FileSizeText(1024), "1024 Byte");
  EXPECT_EQ(FileSizeText(1025), "1.00 KB");
  EXPECT_EQ(FileSizeText(1048576), "1024.00 KB");
  EXPECT_EQ(FileSizeText(1048577), "1.00 MB");
  EXPECT_EQ(FileSizeText(1073741825), "1.00 GB");
  EXPECT_EQ(FileSizeText(5LL * 1073741824), "5.00 GB");
}

TEST(TextHelpers, FormatLibraryError) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {{AVERROR(ENOENT), "No such file or directory"},
               {AVERROR(EIO), "I/O error"},
               {AVERROR(ENOMEM), "Not enough memory"},
               {AVERROR_INVALIDDATA, "Invalid data found when processing input"},
               {AVERROR_EOF, "End of file"},
               {AVERROR(EDOM), "Number syntax expected in filename"},
               {AVERROR(EILSEQ), "Unknown format"},
               {AVERROR_PROTOCOL_NOT_FOUND, "Unsupported network protocol"},
               {AVERROR_PATCHWELCOME, "Not yet implemented in FFmpeg"}};
  for (auto c : cases) EXPECT_EQ(FormatLibraryError("in.mp4", c.code), std::string("in.mp4: ") + c.text);

  // Other codes: the library's own text, else the number.
  LoadSystemLibraries();
  EXPECT_EQ(FormatLibraryError("x", AVERROR(EACCES)), "x: Permission denied");
  EXPECT_EQ(FormatLibraryError("x", -987654), "x: Error number -987654 occurred");
}

TEST(TextHelpers, MediaTypeAndSplit) {
  EXPECT_EQ(MediaTypeName(0), "Video");
  EXPECT_EQ(MediaTypeName(4), "Attachment");
  EXPECT_EQ(MediaTypeName(-1), "Unknown");
  EXPECT_EQ(MediaTypeName(9), "Unknown");

  std::string s = "a=b=c";
  EXPECT_EQ(SplitAtDelimiter(s, "=", true), "a");
  EXPECT_EQ(s, "b=c");
  EXPECT_EQ(SplitAtDelimiter(s, "=", false), "b");
  EXPECT_EQ(s, "b=c");
  std::string none = "abc";
  EXPECT_EQ(SplitAtDelimiter(none, "=", true), "abc");
  EXPECT_EQ(none, "");
}

TEST(TextHelpers, CodecNames) {
  LoadSystemLibraries();
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_MP2, 0, nullptr, false), "mp2(MP2 (MPEG audio layer 2))");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_MPEG2TS, 0, nullptr, false), "mpeg2ts");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_NONE, MKTAG('a', 'b', 'c', 'd'), nullptr, false),
            "abcd / 0x64636261");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_NONE, 0x1234, nullptr, false), "0x1234");
  EXPECT_EQ(CodecNameText(AV_CODEC_ID_NONE, 0x1234, "  own  ", false), "own");
}

TEST(FileHelpers, PathsSizesAndWholeFiles) {
  TempDir dir;
  const std::string f = dir.file("data.bin");
  WriteTextFile(f, "hello");
  EXPECT_EQ(WideFileSize(f), 5);
  EXPECT_EQ(WideFileSize(dir.path()), -1);
  EXPECT_EQ(WideFileSize(dir.file("missing")), -1);
  EXPECT_TRUE(WideFileExists(f));
  EXPECT_FALSE(WideFileExists(dir.path()));
  EXPECT_EQ(ExtractFileName(f), "data.bin");
  EXPECT_EQ(ExtractFilePath(f), dir.path() + "/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");

  LoadSystemLibraries();
  uint8_t* buffer = nullptr;
  int64_t size = 0;
  ASSERT_EQ(ReadWholeFile(f, buffer, size), 0);
  EXPECT_EQ(size, 6);  // the data and its closing 0
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "hello");
  lavu.av_free(buffer);
  EXPECT_EQ(ReadWholeFile(dir.file("missing"), buffer, size), -1);

  TSearchRec rec;
  WriteTextFile(dir.file("b.bmp"), "x");
  std::vector<std::string> found;
  for (int r = FindFirst(dir.file("*.bmp"), faAnyFile, rec); r == 0; r = FindNext(rec))
    found.push_back(rec.Name);
  FindClose(rec);
  EXPECT_EQ(found, std::vector<std::string>{"b.bmp"});
}

TEST(OptionContexts, SearchOrderPrefixFallbackAndFailures) {
  LoadSystemLibraries();
  TOptionContexts c;
  AllocOptionContexts(c, SWS_BICUBIC);

  // "vqmin" is no option; without its "v" it is the video codec's qmin.
  EXPECT_TRUE(SetDefaultOption(c, "vqmin", "7"));
  EXPECT_EQ(c.CodecOpts[AVMEDIA_TYPE_VIDEO]->qmin, 7);
  EXPECT_NE(c.CodecOpts[AVMEDIA_TYPE_AUDIO]->qmin, 7);
  // A codec option on every media type that has it.
  EXPECT_TRUE(SetDefaultOption(c, "b", "300k"));
  EXPECT_EQ(c.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 300000);
  EXPECT_EQ(c.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 300000);
  // Format, then scaler options.
  EXPECT_TRUE(SetDefaultOption(c, "probesize", "123456"));
  EXPECT_EQ(c.FormatOpts->probesize, 123456);
  EXPECT_TRUE(SetDefaultOption(c, "sws_flags", "bilinear"));
  EXPECT_EQ(c.OptNames, (std::vector<std::string>{"qmin", "b", "probesize", "sws_flags"}));
  EXPECT_EQ(c.OptNameCount, 4);

  std::vector<std::string> logged;
  FFLogger().SetTriggerEventInMainThread(false);
  FFLogger().SetOnLog([&](TFFBaseComponent*, uint32_t, TLogLevel, const std::string& l) {
    logged.push_back(l);
  });
  EXPECT_FALSE(SetDefaultOption(c, "qmin", "lots"));
  EXPECT_FALSE(SetDefaultOption(c, "no_such_option", "1"));
  EXPECT_FALSE(SetDefaultOption(c, "  ", "1"));
  EXPECT_FALSE(SetDefaultOption(c, "qmin", " "));
  FFLogger().SetOnLog(nullptr);
  FFLogger().SetTriggerEventInMainThread(true);
  // The library explains the parse failure first; our line closes the report.
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), "Invalid value \"lots\" for option \"qmin\"");
  EXPECT_EQ(c.OptNameCount, 4);

  // The recorded names reach a real codec context, filtered by flags.
  AVCodecContext* target = lavc.avcodec_alloc_context3(nullptr);
  ApplyContextOptions(c, target, c.CodecOpts[AVMEDIA_TYPE_VIDEO], AV_OPT_FLAG_VIDEO_PARAM);
  EXPECT_EQ(target->qmin, 7);
  EXPECT_EQ(target->bit_rate, 300000);
  AVDictionary* dict = nullptr;
  ApplyContextOptions(c, &dict, c.CodecOpts[AVMEDIA_TYPE_AUDIO], AV_OPT_FLAG_AUDIO_PARAM);
  EXPECT_STREQ(lavu.av_dict_get(dict, "b", nullptr, 0)->value, "300000");
  EXPECT_EQ(lavu.av_dict_get(dict, "qmin", nullptr, 0), nullptr);  // no audio option
  lavu.av_dict_free(&dict);
  lavc.avcodec_free_context(&target);

  FreeOptionContexts(c);
  EXPECT_EQ(c.FormatOpts, nullptr);
  EXPECT_EQ(c.OptNameCount, 0);
}

// A BGR picture whose rows are laid out like the bitmap's is copied as it is;
// anything else goes through the scaler.
TEST(BitmapConverter, CopiesMatchingPicturesAndConvertsTheRest) {
  LoadSystemLibraries();
  TBitmapConverter conv;
  const int w = 4, h = 2;
  std::vector<uint8_t> bgr(static_cast<size_t>(TBitmap::RowBytes(w)) * h);
  for (size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<uint8_t>(i * 7);
  const uint8_t* data[4] = {bgr.data()};
  int linesize[4] = {TBitmap::RowBytes(w)};
  ASSERT_TRUE(PictureToBitmap(conv, data, linesize, AV_PIX_FMT_BGR24, w, h));
  EXPECT_EQ(conv.Scaler, nullptr);
  EXPECT_EQ(conv.InUseData, data);
  EXPECT_EQ(0, memcmp(conv.Bitmap->ScanLine(1), bgr.data() + linesize[0], w * 3));

  // Odd width: scaled even though the format matches.
  const int ow = 5;
  std::vector<uint8_t> odd(static_cast<size_t>(TBitmap::RowBytes(ow)) * h, 200);
  const uint8_t* oddData[4] = {odd.data()};
  int oddLines[4] = {TBitmap::RowBytes(ow)};
  ASSERT_TRUE(PictureToBitmap(conv, oddData, oddLines, AV_PIX_FMT_BGR24, ow, h));
  EXPECT_NE(conv.Scaler, nullptr);
  EXPECT_EQ(conv.Bitmap->Width(), ow);

  // A grey YUV picture becomes grey BGR.
  std::vector<uint8_t> y(16 * 4, 128), u(8 * 2, 128), v(8 * 2, 128);
  const uint8_t* yuv[4] = {y.data(), u.data(), v.data()};
  int yuvLines[4] = {16, 8, 8};
  ASSERT_TRUE(PictureToBitmap(conv, yuv, yuvLines, AV_PIX_FMT_YUV420P, 16, 4));
  const uint8_t* px = conv.Bitmap->ScanLine(3) + 15 * 3;
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(px[i], 128, 3);
}

TEST(MainThreadHandOff, WorkerWaitsForTheMainThreadAndSeesItsExceptions) {
  ASSERT_TRUE(IsMainThread());
  std::atomic<bool> finished{false};
  std::thread::id ranOn;
  bool rethrown = false;
  std::thread worker([&] {
    CallInMainThread([&] { ranOn = std::this_thread::get_id(); });
    try {
      CallInMainThread([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error&) {
      rethrown = true;
    }
    finished = true;
  });
  while (!finished) WaitAndProcessPendingMessages(std::chrono::milliseconds(20));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(rethrown);
}

}  // namespace
