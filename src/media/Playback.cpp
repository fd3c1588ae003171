#include "Playback.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <system_error>

#include "FFUtils.h"
#include "FFmpegLoader.h"
#include "FFmpegLogger.h"
#include "MainThread.h"
#include "MediaPlay.h"
#include "UnicodeProtocol.h"

namespace {

constexpr auto kSlice = std::chrono::milliseconds(10);

int InterruptCallback(void* opaque) {
  return static_cast<TPlayback*>(opaque)->AbortRequest.load() ? 1 : 0;
}

// Waits until done() holds; the main thread serves its hand-off queue meanwhile.
template <typename Done>
void WaitServing(Done done) {
  const bool main = IsMainThread();
  while (!done()) {
    if (main)
      WaitAndProcessPendingMessages(kSlice);
    else
      std::this_thread::sleep_for(kSlice);
  }
}

int64_t ToMicroseconds(int64_t value, AVRational timeBase) {
  return lavu.av_rescale_q(value, timeBase, AVRational{1, 1000000});
}

}  // namespace

double PlayerNow() { return static_cast<double>(lavu.av_gettime_relative()) / 1000000.0; }

TDisplayRect ComputeDisplayRect(float aspectSetting, int width, int height, int sarNum, int sarDen,
                                int areaWidth, int areaHeight, int areaLeft, int areaTop) {
  double aspect;
  if (aspectSetting > 0) {
    aspect = aspectSetting;
  } else if (aspectSetting < 0 && areaWidth > 0 && areaHeight > 0) {
    aspect = static_cast<double>(areaWidth) / areaHeight;
  } else {
    double sar = (sarNum > 0 && sarDen > 0) ? static_cast<double>(sarNum) / sarDen : 0.0;
    if (sar <= 0) sar = 1.0;
    aspect = height > 0 ? sar * width / height : 1.0;
  }
  if (!(aspect > 0)) aspect = 1.0;
  int h = areaHeight;
  int w = static_cast<int>(std::lround(h * aspect)) & ~1;
  if (w > areaWidth) {
    w = areaWidth;
    h = static_cast<int>(std::lround(w / aspect)) & ~1;
  }
  TDisplayRect r;
  r.Left = (areaWidth - w) / 2 + areaLeft;
  r.Top = (areaHeight - h) / 2 + areaTop;
  r.Width = std::max(w, 0);
  r.Height = std::max(h, 0);
  return r;
}

// ---- subtitle pictures

namespace {
// Studio-range conversion in 10-bit fixed point.
constexpr int kScaleBits = 10;
constexpr int Fix(double x) { return static_cast<int>(x * (1 << kScaleBits) + 0.5); }
constexpr int kOneHalf = 1 << (kScaleBits - 1);

int RgbToY(int r, int g, int b) {
  return (Fix(0.29900 * 219.0 / 255.0) * r + Fix(0.58700 * 219.0 / 255.0) * g +
          Fix(0.11400 * 219.0 / 255.0) * b + (kOneHalf + (16 << kScaleBits))) >>
         kScaleBits;
}
int RgbToU(int r, int g, int b) {
  return ((-Fix(0.16874 * 224.0 / 255.0) * r - Fix(0.33126 * 224.0 / 255.0) * g +
           Fix(0.50000 * 224.0 / 255.0) * b + kOneHalf - 1) >>
          kScaleBits) +
         128;
}
int RgbToV(int r, int g, int b) {
  return ((Fix(0.50000 * 224.0 / 255.0) * r - Fix(0.41869 * 224.0 / 255.0) * g -
           Fix(0.08131 * 224.0 / 255.0) * b + kOneHalf - 1) >>
          kScaleBits) +
         128;
}
}  // namespace

void PaletteToYUVA(uint32_t* palette, int count) {
  for (int i = 0; i < count; ++i) {
    const uint32_t c = palette[i];
    const int a = (c >> 24) & 0xFF, r = (c >> 16) & 0xFF, g = (c >> 8) & 0xFF, b = c & 0xFF;
    const int y = std::clamp(RgbToY(r, g, b), 0, 255);
    const int u = std::clamp(RgbToU(r, g, b), 0, 255);
    const int v = std::clamp(RgbToV(r, g, b), 0, 255);
    palette[i] = (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(y) << 16) |
                 (static_cast<uint32_t>(u) << 8) | static_cast<uint32_t>(v);
  }
}

void BlendSubtitleRect(uint8_t* const data[3], const int linesize[3], int width, int height,
                       const AVSubtitleRect& rect) {
  if (rect.type != SUBTITLE_BITMAP || !rect.data[0] || !rect.data[1]) return;
  const auto* palette = reinterpret_cast<const uint32_t*>(rect.data[1]);
  const int x0 = std::max(rect.x, 0), y0 = std::max(rect.y, 0);
  const int x1 = std::min(rect.x + rect.w, width), y1 = std::min(rect.y + rect.h, height);
  if (x0 >= x1 || y0 >= y1) return;
  auto entry = [&](int x, int y) {
    const int index = rect.data[0][static_cast<ptrdiff_t>(y - rect.y) * rect.linesize[0] + (x - rect.x)];
    return index < rect.nb_colors ? palette[index] : 0u;
  };
  for (int y = y0; y < y1; ++y) {
    uint8_t* row = data[0] + static_cast<ptrdiff_t>(y) * linesize[0];
    for (int x = x0; x < x1; ++x) {
      const uint32_t c = entry(x, y);
      const int a = c >> 24, luma = (c >> 16) & 0xFF;
      row[x] = static_cast<uint8_t>((row[x] * (255 - a) + luma * a + 127) / 255);
    }
  }
  // Chroma: each sample covers 2x2 pixels; pixels outside the rectangle
  // count as transparent, so edges blend partially.
  for (int cy = y0 / 2; cy <= (y1 - 1) / 2; ++cy) {
    uint8_t* urow = data[1] + static_cast<ptrdiff_t>(cy) * linesize[1];
    uint8_t* vrow = data[2] + static_cast<ptrdiff_t>(cy) * linesize[2];
    for (int cx = x0 / 2; cx <= (x1 - 1) / 2; ++cx) {
      int sumA = 0, sumU = 0, sumV = 0;
      for (int dy = 0; dy < 2; ++dy)
        for (int dx = 0; dx < 2; ++dx) {
          const int x = cx * 2 + dx, y = cy * 2 + dy;
          if (x < x0 || x >= x1 || y < y0 || y >= y1) continue;
          const uint32_t c = entry(x, y);
          const int a = c >> 24;
          sumA += a;
          sumU += ((c >> 8) & 0xFF) * a;
          sumV += (c & 0xFF) * a;
        }
      if (sumA == 0) continue;
      constexpr int kFull = 255 * 4;
      urow[cx] = static_cast<uint8_t>((urow[cx] * (kFull - sumA) + sumU + kFull / 2) / kFull);
      vrow[cx] = static_cast<uint8_t>((vrow[cx] * (kFull - sumA) + sumV + kFull / 2) / kFull);
    }
  }
}

// ---- record

TPlayback::TPlayback(TCustomPlayer* player) : Player(player) {
  SampleArray.assign(SampleArraySize, 0);
  AudioBuf.assign(AudioBufferSize, 0);
  for (TQueuedPicture& p : Pictq) p.Frame = lavu.av_frame_alloc();
  Shown = lavu.av_frame_alloc();
  AudioPkt = lavc.av_packet_alloc();
  AudioFrame = lavu.av_frame_alloc();
  VideoPkt = lavc.av_packet_alloc();
}

TPlayback::~TPlayback() {
  StreamClose();
  for (TQueuedPicture& p : Pictq) lavu.av_frame_free(&p.Frame);
  lavu.av_frame_free(&Shown);
  lavc.av_packet_free(&AudioPkt);
  lavu.av_frame_free(&AudioFrame);
  lavc.av_packet_free(&VideoPkt);
  {
    std::lock_guard<std::mutex> g(SubpqLock);
    FreeSubtitles();
  }
  lavu.av_channel_layout_uninit(&AudioLayout);
  lavu.av_channel_layout_uninit(&AudioSrcLayout);
}

void TPlayback::Sleep(int ms) { abortSignal_.Wait(std::chrono::milliseconds(ms)); }

bool TPlayback::StreamOpen(const TPathFileName& fileName, const AVInputFormat* inputFormat,
                           bool openPaused) {
  bool allocated = Shown && AudioPkt && AudioFrame && VideoPkt;
  for (const TQueuedPicture& p : Pictq) allocated = allocated && p.Frame;
  if (!allocated) {
    Player->ReportError("av_mallocz() failed.", true);
    return false;
  }
  if (openPaused) {
    Paused = true;
    OpenPausedCount = 1;
    Player->stepFlag_ = false;
  }
  FileName = fileName;
  InputFormat = inputFormat;
  try {
    readThread_.Start([this] { ReadThreadMain(); });
  } catch (const std::system_error&) {
    Player->ReportError("SDL_CreateThread() failed.", true);
    return false;
  }
  WaitServing([&] { return OpenStatus.load() != 0; });
  if (OpenStatus == 1) {
    if (VideoStream < 0 && !Player->disableDisplay_) ShowMode = smWaveform;
    try {
      refreshThread_.Start([this] { RefreshThreadMain(); });
    } catch (const std::system_error&) {
      Player->ReportError("SDL_CreateThread() failed.", true);
      StreamClose();
      return false;
    }
    return true;
  }
  WaitServing([&] { return OpenStatus.load() != -1; });
  readThread_.Join();
  return false;
}

void TPlayback::StreamClose() {
  AbortRequest = true;
  abortSignal_.Set();
  readWake_.Set();
  StartReading.Set();
  readThread_.Join();
  refreshThread_.Join();
  ReleasePictures();
}

void TPlayback::ReleasePictures() {
  std::lock_guard<std::mutex> g(PictqLock);
  for (TQueuedPicture& p : Pictq) {
    if (p.Frame) lavu.av_frame_unref(p.Frame);
    p.Allocated = false;
  }
}

// ---- read thread

void TPlayback::ReadThreadMain() {
  AVPacket* packet = lavc.av_packet_alloc();
  if (packet && OpenInput()) {
    OpenStatus = 1;
    // The player adopts the open file (probe, open event) before packets flow.
    while (!StartReading.Wait(std::chrono::milliseconds(100)) && !AbortRequest) {
    }
    ReadLoop(packet);
    while (!AbortRequest) ReadSleep(100);
  } else if (!packet) {
    Player->ReportError("av_mallocz() failed.", true);
  }
  lavc.av_packet_free(&packet);
  ReadCleanup();
}

bool TPlayback::OpenInput() {
  AVFormatContext* ic = lavf.avformat_alloc_context();
  if (!ic) {
    Player->ReportError("av_mallocz() failed.", true);
    return false;
  }
  ic->interrupt_callback.callback = InterruptCallback;
  ic->interrupt_callback.opaque = this;
  AVDictionary* options = nullptr;
  const int frameWidth = Player->frameWidth_, frameHeight = Player->frameHeight_;
  if (frameWidth > 0 && frameHeight > 0)
    lavu.av_dict_set(&options, "video_size", Format("%dx%d", frameWidth, frameHeight).c_str(), 0);
  int err = lavf.avformat_open_input(&ic, FileNameToURL(FileName).c_str(), InputFormat, &options);
  lavu.av_dict_free(&options);
  if (err < 0) {
    // The library freed the context.
    Player->ReportError(FormatLibraryError(FileName, err), true);
    return false;
  }
  FormatContext = ic;
  if (Player->genPts_) ic->flags |= AVFMT_FLAG_GENPTS;
  {
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    err = lavf.avformat_find_stream_info(ic, nullptr);
  }
  if (err < 0) {
    Player->ReportError(Format("%s: could not find codec parameters", FileName.c_str()), true);
    return false;
  }
  if (ic->pb) ic->pb->eof_reached = 0;
  if (SeekByBytes < 0) SeekByBytes = (ic->iformat->flags & AVFMT_TS_DISCONT) ? 1 : 0;
  const std::string formatName = ic->iformat->name ? ic->iformat->name : "";
  IsImageSequence = formatName == "image2";
  IsCaptureDevice = formatName == "vfwcap" || formatName == "vfwcapture" ||
                    formatName == "video4linux2,v4l2";
  StartTime = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
  Duration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;

  if (Player->startTimeOption_ != AV_NOPTS_VALUE) {
    const int64_t ts = Player->startTimeOption_ + StartTime;
    if (lavf.avformat_seek_file(ic, -1, INT64_MIN, ts, INT64_MAX, 0) < 0)
      Player->ReportError(Format("%s: could not seek to position %0.3f", FileName.c_str(),
                                 static_cast<double>(ts) / 1000000.0),
                          false);
  }

  // Stream choice: the wanted one of each kind, else the one the library
  // ranks best (most frames seen while finding the stream parameters).
  int chosen[AVMEDIA_TYPE_NB] = {-1, -1, -1, -1, -1};
  int seen[AVMEDIA_TYPE_NB] = {};
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    ic->streams[i]->discard = AVDISCARD_ALL;
    const int type = ic->streams[i]->codecpar->codec_type;
    if (type < 0 || type >= AVMEDIA_TYPE_NB) continue;
    if (Player->wantedStream_[type] == seen[type]) chosen[type] = static_cast<int>(i);
    ++seen[type];
  }
  for (AVMediaType type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE})
    if (Player->wantedStream_[type] < 0)
      chosen[type] = std::max(lavf.av_find_best_stream(ic, type, -1, -1, nullptr, 0), -1);
  const bool audioOff = Player->disableAudio_ || !SoundReady;
  const bool videoOff = Player->disableVideo_;
  if (!audioOff && chosen[AVMEDIA_TYPE_AUDIO] >= 0) OpenComponent(chosen[AVMEDIA_TYPE_AUDIO]);
  if (!videoOff && chosen[AVMEDIA_TYPE_VIDEO] >= 0) OpenComponent(chosen[AVMEDIA_TYPE_VIDEO]);
  if (!videoOff && chosen[AVMEDIA_TYPE_SUBTITLE] >= 0) OpenComponent(chosen[AVMEDIA_TYPE_SUBTITLE]);
  if (VideoStream < 0 && AudioStream < 0) {
    Player->ReportError(
        Format("%s: could not open codecs, no stream to play.", FileName.c_str()), true);
    return false;
  }
  return true;
}

void TPlayback::ReadLoop(AVPacket* packet) {
  AVFormatContext* ic = FormatContext;
  bool lastPaused = false;
  bool eof = false;
  while (!AbortRequest) {
    // Cleared before the seek check, so a request made after it cuts the
    // next sleep short.
    readWake_.Reset();
    if (Paused != lastPaused) {
      lastPaused = Paused;
      if (lastPaused)
        ReadPauseReturn = lavf.av_read_pause(ic);
      else
        lavf.av_read_play(ic);
    }
    if (SeekRequest) DoSeek(eof);

    const int64_t total = AudioQueue.Size() + VideoQueue.Size() + SubtitleQueue.Size();
    const bool audioFull = AudioStream < 0 || AudioQueue.Size() > MinAudioQueueSize;
    const bool videoFull = VideoStream < 0 || VideoQueue.Count() > MinFramesQueued;
    const bool subtitleFull = SubtitleStream < 0 || SubtitleQueue.Count() > MinFramesQueued;
    if (total > MaxQueueSize || (audioFull && videoFull && subtitleFull)) {
      ReadSleep(10);
      continue;
    }

    if (eof || (ic->pb && lavf.avio_feof(ic->pb))) {
      if (VideoStream >= 0) {
        // An empty packet makes the video decoder give out its delayed pictures.
        AVPacket* empty = lavc.av_packet_alloc();
        if (empty) {
          VideoQueue.Put(empty);
          lavc.av_packet_free(&empty);
        }
      }
      ReadSleep(10);
      // The video thread took everything up to the end: no further picture
      // comes, so waiters for one may go.
      if (VideoStream >= 0 && VideoQueue.Size() == 0) Player->pictureQueued_.Set();
      if (AudioQueue.Size() + VideoQueue.Size() + SubtitleQueue.Size() == 0) Drained = true;
      continue;
    }

    InRead = true;
    const int err = lavf.av_read_frame(ic, packet);
    InRead = false;
    if (AbortRequest) {
      lavc.av_packet_unref(packet);
      break;
    }
    if (err < 0) {
      if (err == AVERROR(EAGAIN)) {
        ReadSleep(10);
        continue;
      }
      if (!IsImageSequence && !EofReported) {
        EofReported = true;
        if (err == AVERROR_EOF)
          FFLogger().Log(Player, llInfo, Format("reach end of file: %s", FileName.c_str()));
        else
          Player->ReportError(Format("error #%d while reading file: %s", err, FileName.c_str()),
                              false);
      }
      if (err == AVERROR_EOF) eof = true;
      if (ic->pb && ic->pb->error) break;
      ReadSleep(100);
      continue;
    }
    if (packet->stream_index == AudioStream)
      AudioQueue.Put(packet);
    else if (packet->stream_index == VideoStream)
      VideoQueue.Put(packet);
    else if (packet->stream_index == SubtitleStream)
      SubtitleQueue.Put(packet);
    lavc.av_packet_unref(packet);
  }
  // Nothing more will be read.
  if (VideoStream >= 0) Player->pictureQueued_.Set();
}

void TPlayback::ReadSleep(int ms) { readWake_.Wait(std::chrono::milliseconds(ms)); }

void TPlayback::DoSeek(bool& eof) {
  AVFormatContext* ic = FormatContext;
  const int64_t target = SeekPos, rel = SeekRel;
  const int flags = SeekFlags;
  const int64_t minimum = rel > 0 ? target - rel + 2 : INT64_MIN;
  const int64_t maximum = rel < 0 ? target - rel - 2 : INT64_MAX;
  int ret = lavf.avformat_seek_file(ic, -1, minimum, target, maximum, flags);
  if (ret < 0) ret = lavf.av_seek_frame(ic, -1, target, flags);
  if (ret < 0) ret = lavf.av_seek_frame(ic, -1, target, flags ^ AVSEEK_FLAG_BACKWARD);
  if (ret < 0) {
    Player->ReportError(Format("%s: error while seeking", FileName.c_str()), false);
    // Nothing moved: no picture is coming for the waiters or a paused video.
    SeekWhilePaused = false;
    if (VideoStream >= 0) Player->pictureQueued_.Set();
  } else {
    if (VideoStream >= 0) {
      std::lock_guard<std::mutex> g(SeekLock);
      FlushSeen = false;
      Player->pictureQueued_.Reset();
    }
    // Before the markers, so that no picture from before the seek is shown
    // while the video thread works through the queue.
    AfterSeek = true;
    // Only now may a paused video thread decode: before, it would show
    // pictures from the old position.
    SeekWhilePaused = Paused.load();
    AVPacket* marker = lavc.av_packet_alloc();
    if (marker) TPacketQueue::MakeFlushMarker(marker);
    if (AudioStream >= 0) {
      AudioQueue.Flush();
      if (marker) AudioQueue.Put(marker);
    }
    if (SubtitleStream >= 0) {
      SubtitleQueue.Flush();
      if (marker) SubtitleQueue.Put(marker);
    }
    if (VideoStream >= 0) {
      VideoQueue.Flush();
      if (marker) VideoQueue.Put(marker);
    }
    if (marker) {
      marker->data = nullptr;
      lavc.av_packet_free(&marker);
    }
  }
  EofReported = false;
  Drained = false;
  SeekRequest = false;
  Player->seekDone_.Set();
  if (VideoStream < 0) Player->seeking_ = false;
  eof = false;
}

void TPlayback::ReadCleanup() {
  if (OpenStatus != 1) OpenStatus = -1;
  if (AudioStream >= 0) CloseComponent(AudioStream);
  if (VideoStream >= 0) CloseComponent(VideoStream);
  if (SubtitleStream >= 0) CloseComponent(SubtitleStream);
  if (ProbeAttached.exchange(false)) {
    // The probe is a main-thread object.
    AVFormatContext* ic = FormatContext;
    TAVProbe& probe = Player->Probe();
    CallInMainThread([&] {
      if (probe.FormatContext() == ic) probe.CloseFile();
    });
  }
  if (FormatContext) lavf.avformat_close_input(&FormatContext);
  if (OpenStatus == -1) OpenStatus = -2;
}

int TPlayback::OpenComponent(int streamIndex) {
  AVFormatContext* ic = FormatContext;
  if (streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams)) return -1;
  AVStream* st = ic->streams[streamIndex];
  const AVCodecParameters* par = st->codecpar;
  const AVCodec* codec = lavc.avcodec_find_decoder(par->codec_id);
  AVCodecContext* ctx = codec ? lavc.avcodec_alloc_context3(codec) : nullptr;
  int ret = ctx ? lavc.avcodec_parameters_to_context(ctx, par) : -1;
  if (ret >= 0) {
    ctx->pkt_timebase = st->time_base;
    ctx->workaround_bugs = FF_BUG_AUTODETECT;
    ctx->lowres = 0;
    ctx->error_concealment = 3;
    ctx->thread_count = 1;
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    ret = lavc.avcodec_open2(ctx, codec, nullptr);
  }
  auto closeCodec = [&] {
    std::lock_guard<std::recursive_mutex> g(CodecLock());
    lavc.avcodec_free_context(&ctx);
  };
  if (ret < 0) {
    Player->ReportError("avcodec_open() failed.", false);
    closeCodec();
    return -1;
  }

  if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    const int channels = par->ch_layout.nb_channels;
    SDL_AudioSpec wanted{}, obtained{};
    wanted.freq = ctx->sample_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(channels == 1 || channels == 2 ? channels : 2);
    wanted.silence = 0;
    wanted.samples = SdlAudioBufferSamples;
    wanted.callback = &TPlayback::AudioCallback;
    wanted.userdata = this;
    AudioDevice = wanted.freq > 0 ? sdl.SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0) : 0;
    if (AudioDevice == 0) {
      Player->ReportError(std::string("SDL_OpenAudio() failed: ") +
                              (wanted.freq > 0 ? sdl.SDL_GetError() : "no sample rate"),
                          false);
      closeCodec();
      return -1;
    }
    AudioHwBufSize = static_cast<int>(obtained.size);
    AudioChannels = obtained.channels;
    AudioFreq = obtained.freq;
    lavu.av_channel_layout_default(&AudioLayout, AudioChannels);
  }

  st->discard = AVDISCARD_DEFAULT;
  switch (par->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      AudioSt = st;
      AudioDecoder = ctx;
      AudioDuration = st->duration != AV_NOPTS_VALUE ? ToMicroseconds(st->duration, st->time_base) : -1;
      AudioBufSize = 0;
      AudioBufIndex = 0;
      lavc.av_packet_unref(AudioPkt);
      AudioQueue.Init();
      AudioStream = streamIndex;
      sdl.SDL_PauseAudioDevice(AudioDevice, 0);
      break;
    case AVMEDIA_TYPE_VIDEO: {
      VideoSt = st;
      VideoDecoder = ctx;
      CodecWidth = ctx->width;
      CodecHeight = ctx->height;
      StreamSar = st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio : par->sample_aspect_ratio;
      const AVRational rate = lavf.av_guess_frame_rate(ic, st, nullptr);
      FrameDuration = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 0.04;
      VideoQueue.Init();
      VideoStream = streamIndex;
      try {
        videoThread_.Start([this] { VideoThreadMain(); });
      } catch (const std::system_error&) {
        Player->ReportError("SDL_CreateThread() failed.", false);
        VideoStream = -1;
        VideoQueue.End();
        st->discard = AVDISCARD_ALL;
        closeCodec();
        VideoDecoder = nullptr;
        return -1;
      }
      break;
    }
    case AVMEDIA_TYPE_SUBTITLE:
      SubtitleSt = st;
      SubtitleDecoder = ctx;
      SubtitleQueue.Init();
      SubtitleStream = streamIndex;
      try {
        subtitleThread_.Start([this] { SubtitleThreadMain(); });
      } catch (const std::system_error&) {
        Player->ReportError("SDL_CreateThread() failed.", false);
        SubtitleStream = -1;
        SubtitleQueue.End();
        st->discard = AVDISCARD_ALL;
        closeCodec();
        SubtitleDecoder = nullptr;
        return -1;
      }
      break;
    default:
      st->discard = AVDISCARD_ALL;
      closeCodec();
      return -1;
  }
  return 0;
}

void TPlayback::CloseComponent(int streamIndex) {
  AVFormatContext* ic = FormatContext;
  if (streamIndex < 0 || streamIndex >= static_cast<int>(ic->nb_streams)) return;
  AVCodecContext** ctx = nullptr;
  switch (ic->streams[streamIndex]->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
      AudioQueue.Abort();
      sdl.SDL_CloseAudioDevice(AudioDevice);
      AudioDevice = 0;
      AudioQueue.End();
      if (AudioConvert) swr.swr_free(&AudioConvert);
      AudioStream = -1;
      AudioDuration = -1;
      ctx = &AudioDecoder;
      break;
    case AVMEDIA_TYPE_VIDEO:
      VideoQueue.Abort();
      {
        std::lock_guard<std::mutex> g(PictqLock);
        PictqCond.notify_all();
      }
      videoThread_.Join();
      VideoQueue.End();
      VideoStream = -1;
      ctx = &VideoDecoder;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      SubtitleQueue.Abort();
      {
        std::lock_guard<std::mutex> g(SubpqLock);
        SubtitleStreamChanged = true;
        SubpqCond.notify_all();
      }
      subtitleThread_.Join();
      SubtitleQueue.End();
      SubtitleStream = -1;
      ctx = &SubtitleDecoder;
      break;
    default:
      return;
  }
  ic->streams[streamIndex]->discard = AVDISCARD_ALL;
  std::lock_guard<std::recursive_mutex> g(CodecLock());
  lavc.avcodec_free_context(ctx);
}

// ---- video thread

void TPlayback::VideoThreadMain() {
  AVFrame* frame = lavu.av_frame_alloc();
  AVFrame* filtered = lavu.av_frame_alloc();
  while (frame && filtered) {
    while (Paused && !AbortRequest && !VideoQueue.Aborted() && !SeekWhilePaused &&
           !OpenPausedCount)
      Sleep(10);
    int ret = GetVideoFrame(frame);
    if (ret < 0) break;
    if (ret == 0) continue;
    if (!Graph || frame->width != GraphWidth || frame->height != GraphHeight ||
        frame->format != GraphFormat) {
      if (ConfigureVideoFilters(frame) < 0) break;
    }
    if (lavfi.av_buffersrc_add_frame_flags(FilterSrc, frame, 0) < 0) break;
    bool failed = false;
    for (;;) {
      ret = lavfi.av_buffersink_get_frame_flags(FilterOut, filtered, 0);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
      if (ret < 0) {
        failed = true;
        break;
      }
      if (AfterSeek && FlushSeen) {
        AfterSeek = false;
        SeekWhilePaused = false;
      }
      const AVRational tb = lavfi.av_buffersink_get_time_base(FilterOut);
      const double pts =
          filtered->pts == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(filtered->pts) * av_q2d(tb);
      const int64_t pos = filtered->pkt_pos;
      if (OutputPicture(filtered, pts, pos) < 0) {
        failed = true;
        break;
      }
      {
        std::lock_guard<std::mutex> g(SeekLock);
        // A picture decoded before a pending seek's flush does not count.
        if (FlushSeen) Player->pictureQueued_.Set();
      }
      EndReported = false;
      if (Player->seeking_ && !SeekRequest) Player->seeking_ = false;
      if (OpenPausedCount) {
        OpenPausedCount = 0;
        // psPause must follow the play thread's psPlay.
        while (!PlayStarted.Wait(kSlice) && !AbortRequest) {
        }
        Player->SetState(psPause);
      }
      // Stepping pauses a running playback after one picture; a picture that
      // arrives while paused (a seek) must not resume it.
      if (Player->stepFlag_ && !Paused) TogglePause();
    }
    if (failed) break;
  }
  FreeGraph();
  lavu.av_frame_free(&frame);
  lavu.av_frame_free(&filtered);
  VideoThreadDone = true;
}

int TPlayback::GetVideoFrame(AVFrame* frame) {
  for (;;) {
    if (!VideoDecoderDrained) {
      int ret = lavc.avcodec_receive_frame(VideoDecoder, frame);
      if (ret >= 0) {
        const int64_t dts = frame->pkt_dts, reordered = frame->pts;
        if (dts != AV_NOPTS_VALUE) {
          if (dts <= LastDtsForFault) ++FaultyDts;
          LastDtsForFault = dts;
        }
        if (reordered != AV_NOPTS_VALUE) {
          if (reordered <= LastPtsForFault) ++FaultyPts;
          LastPtsForFault = reordered;
        }
        const int reorder = Player->reorder_;
        int64_t ts = 0;
        if (reordered != AV_NOPTS_VALUE &&
            (reorder == 1 || (reorder != 0 && FaultyPts <= FaultyDts) || dts == AV_NOPTS_VALUE))
          ts = reordered;
        else if (dts != AV_NOPTS_VALUE)
          ts = dts;
        frame->pts = ts;
        SkipFramesIndex += 1;
        const float skip = SkipFrames;
        if (SkipFramesIndex >= skip) {
          SkipFramesIndex -= std::max(skip, 1.0f);
          return 1;
        }
        lavu.av_frame_unref(frame);
        ++Player->statSkipped_;
        continue;
      }
      if (ret == AVERROR_EOF) VideoDecoderDrained = true;
      // EAGAIN wants a packet; a decoding error drops this one and goes on.
    }
    const int got = VideoQueue.Get(VideoPkt, true);
    if (got < 0) return -1;
    if (got == 0) continue;
    if (TPacketQueue::IsFlushMarker(VideoPkt)) {
      VideoPkt->data = nullptr;
      FlushVideo();
      return 0;
    }
    if (VideoPkt->size == 0) {
      lavc.av_packet_unref(VideoPkt);
      if (!VideoDecoderDrained && !VideoDecoderEofSent) {
        lavc.avcodec_send_packet(VideoDecoder, nullptr);
        VideoDecoderEofSent = true;
      }
      if (!EndReported) Player->CheckPosition(*this);
      if (VideoDecoderDrained) return 0;
      continue;
    }
    lavc.avcodec_send_packet(VideoDecoder, VideoPkt);
    lavc.av_packet_unref(VideoPkt);
  }
}

void TPlayback::FlushVideo() {
  lavc.avcodec_flush_buffers(VideoDecoder);
  VideoDecoderDrained = false;
  VideoDecoderEofSent = false;
  // The graph may hold pictures from before; it is made anew from the next one.
  FreeGraph();
  {
    std::unique_lock<std::mutex> g(PictqLock);
    for (TQueuedPicture& p : Pictq) p.TargetTime = 0;
    while (PictqSize > 0 && !VideoQueue.Aborted())
      PictqCond.wait_for(g, std::chrono::milliseconds(100));
    lavu.av_frame_unref(Shown);
    FrameLastPts = static_cast<double>(AV_NOPTS_VALUE);
    FrameLastDelay = 0;
    FrameTimer = PlayerNow();
  }
  VideoCurrentPos = -1;
  LastDtsForFault = LastPtsForFault = INT64_MIN;
  SkipFrames = 1.0f;
  SkipFramesIndex = 0;
  FlushSeen = true;
}

int TPlayback::ConfigureVideoFilters(const AVFrame* frame) {
  FreeGraph();
  Graph = lavfi.avfilter_graph_alloc();
  if (!Graph) return -1;
  Graph->scale_sws_opts = lavu.av_strdup(Format("flags=%d", Player->scalerFlags_).c_str());
  const AVRational tb = VideoSt->time_base;
  AVRational sar = StreamSar.num > 0 && StreamSar.den > 0 ? StreamSar : frame->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = AVRational{0, 1};
  const std::string args =
      Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
             frame->height, frame->format, tb.num, tb.den, sar.num, sar.den);
  int ret = lavfi.avfilter_graph_create_filter(&FilterSrc, lavfi.avfilter_get_by_name("buffer"),
                                               "src", args.c_str(), nullptr, Graph);
  if (ret >= 0)
    ret = lavfi.avfilter_graph_create_filter(&FilterOut, lavfi.avfilter_get_by_name("buffersink"),
                                             "out", nullptr, nullptr, Graph);
  if (ret >= 0) {
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P};
    ret = lavu.av_opt_set_bin(FilterOut, "pix_fmts", reinterpret_cast<const uint8_t*>(formats),
                              sizeof formats, AV_OPT_SEARCH_CHILDREN);
  }
  const std::string filters = Player->VideoFilters();
  if (ret >= 0) {
    if (filters.empty()) {
      ret = lavfi.avfilter_link(FilterSrc, 0, FilterOut, 0);
    } else {
      AVFilterInOut* outputs = lavfi.avfilter_inout_alloc();
      AVFilterInOut* inputs = lavfi.avfilter_inout_alloc();
      if (outputs && inputs) {
        outputs->name = lavu.av_strdup("in");
        outputs->filter_ctx = FilterSrc;
        outputs->pad_idx = 0;
        outputs->next = nullptr;
        inputs->name = lavu.av_strdup("out");
        inputs->filter_ctx = FilterOut;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        ret = lavfi.avfilter_graph_parse_ptr(Graph, filters.c_str(), &inputs, &outputs, nullptr);
      } else {
        ret = AVERROR(ENOMEM);
      }
      lavfi.avfilter_inout_free(&outputs);
      lavfi.avfilter_inout_free(&inputs);
    }
  }
  if (ret >= 0) ret = lavfi.avfilter_graph_config(Graph, nullptr);
  if (ret < 0) {
    Player->ReportError(FormatLibraryError("Cannot configure the video filters", ret), false);
    FreeGraph();
    return ret;
  }
  GraphWidth = frame->width;
  GraphHeight = frame->height;
  GraphFormat = frame->format;
  return 0;
}

void TPlayback::FreeGraph() {
  if (Graph) lavfi.avfilter_graph_free(&Graph);
  Graph = nullptr;
  FilterSrc = FilterOut = nullptr;
  GraphWidth = GraphHeight = 0;
  GraphFormat = -1;
}

int TPlayback::OutputPicture(AVFrame* frame, double pts, int64_t pos) {
  if (pts != 0)
    VideoClock = pts;
  else
    pts = VideoClock;
  double delay = FrameDuration;
  delay += frame->repeat_pict * (delay * 0.5);
  VideoClock = VideoClock + delay;
  return QueuePicture(frame, pts, pos);
}

int TPlayback::QueuePicture(AVFrame* frame, double pts, int64_t pos) {
  {
    std::unique_lock<std::mutex> g(PictqLock);
    if (PictqSize >= PictureQueueSize && !RefreshPending)
      SkipFrames = std::max(0.95f, SkipFrames * 0.95f);
    while (PictqSize >= PictureQueueSize && !VideoQueue.Aborted())
      PictqCond.wait_for(g, std::chrono::milliseconds(100));
    if (VideoQueue.Aborted()) {
      lavu.av_frame_unref(frame);
      return -1;
    }
  }
  // The entry at the write index is not queued, so nobody else reads it
  // until the queue size grows below.
  TQueuedPicture& vp = Pictq[PictqWindex];
  lavu.av_frame_unref(vp.Frame);
  lavu.av_frame_move_ref(vp.Frame, frame);
  vp.Width = vp.Frame->width & ~1;
  vp.Height = vp.Frame->height & ~1;
  vp.PixelFormat = static_cast<AVPixelFormat>(vp.Frame->format);
  vp.Allocated = true;
  OutWidth = vp.Width;
  OutHeight = vp.Height;
  if (Player->hook_ && Player->HookHandler()) {
    // Decoded pictures may still be the decoder's references: write into a copy.
    if (lavu.av_frame_make_writable(vp.Frame) >= 0) Player->ProcessHook(vp.Frame, pts, StartTime);
  }
  BlendSubtitles(vp, pts);
  vp.Pts = pts;
  vp.Pos = pos;
  PictqWindex = (PictqWindex + 1) % PictureQueueSize;
  {
    std::lock_guard<std::mutex> g(PictqLock);
    vp.TargetTime = ComputeTargetTime(pts);
    ++PictqSize;
  }
  PictqCond.notify_all();
  ++Player->statQueued_;
  return 0;
}

double TPlayback::ComputeTargetTime(double pts) {
  double delay = pts - FrameLastPts;
  if (delay <= 0 || delay >= AVNoSyncThreshold)
    delay = FrameLastDelay;
  else
    FrameLastDelay = delay;
  FrameLastPts = pts;
  if (AudioStream >= 0) {
    const double diff = GetVideoClock() - GetMasterClock();
    const double threshold = std::max(AVSyncThreshold, delay);
    if (std::fabs(diff) < AVNoSyncThreshold) {
      if (diff <= -threshold)
        delay = 0;
      else if (diff >= threshold)
        delay = 2 * delay;
    }
  }
  FrameTimer += delay;
  return FrameTimer;
}

// ---- subtitle thread

void TPlayback::SubtitleThreadMain() {
  AVPacket* packet = lavc.av_packet_alloc();
  while (packet) {
    while (Paused && !AbortRequest && !SubtitleQueue.Aborted() && !SeekWhilePaused) Sleep(10);
    const int got = SubtitleQueue.Get(packet, true);
    if (got < 0) break;
    if (got == 0) continue;
    if (TPacketQueue::IsFlushMarker(packet)) {
      packet->data = nullptr;
      lavc.avcodec_flush_buffers(SubtitleDecoder);
      continue;
    }
    {
      std::unique_lock<std::mutex> g(SubpqLock);
      while (SubpqSize >= SubpictureQueueSize && !SubtitleQueue.Aborted())
        SubpqCond.wait_for(g, std::chrono::milliseconds(100));
    }
    if (SubtitleQueue.Aborted()) {
      lavc.av_packet_unref(packet);
      break;
    }
    const double pts = packet->pts != AV_NOPTS_VALUE
                           ? static_cast<double>(packet->pts) * av_q2d(SubtitleSt->time_base)
                           : 0.0;
    AVSubtitle sub{};
    int gotSubtitle = 0;
    const int ret = lavc.avcodec_decode_subtitle2(SubtitleDecoder, &sub, &gotSubtitle, packet);
    if (ret >= 0 && gotSubtitle) {
      if (sub.format == 0) {
        for (unsigned i = 0; i < sub.num_rects; ++i) {
          AVSubtitleRect* r = sub.rects[i];
          if (r->type == SUBTITLE_BITMAP && r->data[1])
            PaletteToYUVA(reinterpret_cast<uint32_t*>(r->data[1]), r->nb_colors);
        }
        std::lock_guard<std::mutex> g(SubpqLock);
        Subpq[SubpqWindex].Pts = pts;
        Subpq[SubpqWindex].Sub = sub;
        SubpqWindex = (SubpqWindex + 1) % SubpictureQueueSize;
        ++SubpqSize;
      } else {
        lavc.avsubtitle_free(&sub);
      }
    }
    lavc.av_packet_unref(packet);
  }
  lavc.av_packet_free(&packet);
}

void TPlayback::FreeSubtitles() {
  while (SubpqSize > 0) {
    lavc.avsubtitle_free(&Subpq[SubpqRindex].Sub);
    SubpqRindex = (SubpqRindex + 1) % SubpictureQueueSize;
    --SubpqSize;
  }
}

void TPlayback::UpdateSubtitles() {
  std::lock_guard<std::mutex> g(SubpqLock);
  if (SubtitleStreamChanged) {
    FreeSubtitles();
    SubtitleStreamChanged = false;
    SubpqCond.notify_all();
    return;
  }
  if (SubpqSize == 0) return;
  const TQueuedSubtitle& sp = Subpq[SubpqRindex];
  const TQueuedSubtitle* next =
      SubpqSize > 1 ? &Subpq[(SubpqRindex + 1) % SubpictureQueueSize] : nullptr;
  const double current = VideoCurrentPts;
  if (current > sp.Pts + sp.Sub.end_display_time / 1000.0 ||
      (next && current > next->Pts + next->Sub.start_display_time / 1000.0)) {
    lavc.avsubtitle_free(&Subpq[SubpqRindex].Sub);
    SubpqRindex = (SubpqRindex + 1) % SubpictureQueueSize;
    --SubpqSize;
    SubpqCond.notify_all();
  }
}

void TPlayback::BlendSubtitles(TQueuedPicture& vp, double pts) {
  if (SubtitleStream < 0) return;
  std::lock_guard<std::mutex> g(SubpqLock);
  if (SubpqSize == 0) return;
  const TQueuedSubtitle& sp = Subpq[SubpqRindex];
  const double start = sp.Pts + sp.Sub.start_display_time / 1000.0;
  const double end = sp.Pts + sp.Sub.end_display_time / 1000.0;
  if (pts < start || (sp.Sub.end_display_time > 0 && pts >= end)) return;
  if (lavu.av_frame_make_writable(vp.Frame) < 0) return;
  for (unsigned i = 0; i < sp.Sub.num_rects; ++i)
    BlendSubtitleRect(vp.Frame->data, vp.Frame->linesize, vp.Width, vp.Height, *sp.Sub.rects[i]);
  vp.SubtitleBlended = true;
}

// ---- refresh thread and display (play thread)

void TPlayback::RefreshThreadMain() {
  while (!AbortRequest) {
    if (!RefreshPending.exchange(true)) Player->PostPlayEvent({TCustomPlayer::pePlayRefresh});
    Sleep(ShowMode == smWaveform ? 20 : 5);
  }
}

void TPlayback::RefreshVideo(bool consume) {
  bool dropped = false;
  if (VideoStream >= 0) {
    for (;;) {
      std::unique_lock<std::mutex> g(PictqLock);
      if (PictqSize == 0) {
        g.unlock();
        if (!consume) DisplayPicture();
        break;
      }
      TQueuedPicture& vp = Pictq[PictqRindex];
      const double now = PlayerNow();
      if (now < vp.TargetTime) return;
      VideoCurrentPts = vp.Pts;
      VideoCurrentPtsDrift = vp.Pts - now;
      VideoCurrentPos = vp.Pos;
      double nextTarget;
      if (PictqSize > 1)
        nextTarget = std::max(Pictq[(PictqRindex + 1) % PictureQueueSize].TargetTime, vp.TargetTime);
      else
        nextTarget = vp.TargetTime + VideoClock - vp.Pts;
      const bool late = AfterSeek || (Player->dropLate_ && !IsCaptureDevice && now > nextTarget);
      if (late) {
        SkipFrames = SkipFrames * 1.05f;
        if (PictqSize > 1 || now > nextTarget + 0.5 || AfterSeek) {
          lavu.av_frame_unref(vp.Frame);
          PictqRindex = (PictqRindex + 1) % PictureQueueSize;
          --PictqSize;
          g.unlock();
          PictqCond.notify_all();
          dropped = true;
          ++Player->statDropped_;
          continue;
        }
      }
      g.unlock();
      UpdateSubtitles();
      // The entry stays queued while it is drawn, so the video thread leaves it alone.
      ShowFrame(vp.Frame, vp.Width, vp.Height, vp.Pts);
      if (consume) {
        // Once consumed, the entry may be refilled at any moment.
        const double shownPts = vp.Pts;
        {
          std::lock_guard<std::mutex> g2(PictqLock);
          lavu.av_frame_unref(Shown);
          lavu.av_frame_ref(Shown, vp.Frame);
          ShownPts = vp.Pts;
          ShownWidth = vp.Width;
          ShownHeight = vp.Height;
          PictqRindex = (PictqRindex + 1) % PictureQueueSize;
          --PictqSize;
        }
        PictqCond.notify_all();
        ++Player->statShown_;
        if (AudioStream >= 0) Player->RecordAvDiff(shownPts - GetAudioClock());
      }
      break;
    }
  } else if (AudioStream >= 0) {
    DisplayPicture();
  }
  if (!dropped) Player->CheckPosition(*this);
}

void TPlayback::DisplayPicture() {
  TPlayerDisplay* display = Player->Display();
  if (!display) return;
  OpenDisplay(false);
  if (AudioStream >= 0 && ShowMode == smWaveform) {
    DrawWaveform();
    return;
  }
  if (VideoStream < 0) return;
  AVFrame* current = lavu.av_frame_alloc();
  if (!current) return;
  double pts = 0;
  int width = 0, height = 0;
  {
    std::lock_guard<std::mutex> g(PictqLock);
    if (Shown->buf[0] && lavu.av_frame_ref(current, Shown) >= 0) {
      pts = ShownPts;
      width = ShownWidth;
      height = ShownHeight;
    }
  }
  if (current->buf[0]) ShowFrame(current, width, height, pts);
  lavu.av_frame_free(&current);
}

void TPlayback::ShowFrame(const AVFrame* frame, int width, int height, double pts) {
  TPlayerDisplay* display = Player->Display();
  if (!display || width <= 0 || height <= 0) return;
  OpenDisplay(false);
  const TDisplayRect rect =
      ComputeDisplayRect(Player->aspectRatio_, width, height, frame->sample_aspect_ratio.num,
                         frame->sample_aspect_ratio.den, DisplayWidth, DisplayHeight, DisplayLeft,
                         DisplayTop);
  if (!(rect == LastRect)) {
    // The picture's place changed: clear the old borders.
    display->FillBackground({DisplayLeft, DisplayTop, DisplayWidth, DisplayHeight});
    LastRect = rect;
  }
  TDisplayPicture picture;
  for (int p = 0; p < 3; ++p) {
    picture.Data[p] = frame->data[p];
    picture.Linesize[p] = frame->linesize[p];
  }
  picture.Width = width;
  picture.Height = height;
  picture.PtsUs = std::llround(pts * 1000000.0) - StartTime;
  display->ShowPicture(picture, rect);
}

int TPlayback::OpenDisplay(bool force) {
  int width, height;
  if (Player->screenWidth_ > 0) {
    width = Player->screenWidth_;
    height = Player->screenHeight_;
  } else if (OutWidth > 0) {
    width = OutWidth;
    height = OutHeight;
  } else {
    width = 640;
    height = 480;
  }
  if (!force && DisplayOpened && DisplayWidth == width && DisplayHeight == height) return 0;
  DisplayWidth = width;
  DisplayHeight = height;
  DisplayOpened = true;
  LastRect = {};
  if (TPlayerDisplay* display = Player->Display())
    display->FillBackground({DisplayLeft, DisplayTop, DisplayWidth, DisplayHeight});
  return 0;
}

void TPlayback::ResizeDisplay(int width, int height) {
  Player->screenWidth_ = width;
  Player->screenHeight_ = height;
  OpenDisplay(true);
  if (Paused) RefreshVideo(false);
}

void TPlayback::DrawWaveform() {
  TPlayerDisplay* display = Player->Display();
  const int width = DisplayWidth & ~1, height = DisplayHeight & ~1;
  const int channels = AudioChannels;
  if (!display || width <= 0 || height <= 0 || channels <= 0) return;
  const size_t lumaSize = static_cast<size_t>(width) * height;
  WavePicture.assign(lumaSize + lumaSize / 2, 128);
  uint8_t* luma = WavePicture.data();
  std::memset(luma, 16, lumaSize);
  constexpr uint8_t kWhite = 235;
  {
    std::lock_guard<std::mutex> g(SampleLock);
    int start;
    if (!Paused) {
      int delay = AudioBufSilence ? 0 : (AudioBufSize - AudioBufIndex) / (2 * channels);
      const int64_t elapsedUs = lavu.av_gettime_relative() - Player->audioCallbackTimeUs_;
      delay -= static_cast<int>(elapsedUs * AudioFreq / 1000000);
      delay += 2 * width;
      if (delay < width) delay = width;
      const int x = ((SampleArrayIndex - delay * channels) % SampleArraySize + SampleArraySize) %
                    SampleArraySize;
      start = x;
      int best = INT_MIN;
      auto at = [&](int i) { return static_cast<int>(SampleArray[i % SampleArraySize]); };
      for (int i = 0; i < 1000; i += channels) {
        const int idx = (SampleArraySize + x - i) % SampleArraySize;
        const int b = at(idx + 4 * channels), c = at(idx + 5 * channels);
        const int score = at(idx) - at(idx + 9 * channels);
        if (best < score && (b ^ c) < 0) {
          best = score;
          start = idx;
        }
      }
      LastWaveStart = start;
    } else {
      start = LastWaveStart;
    }
    const int band = height / channels;
    const int h2 = band * 9 / 20;
    for (int ch = 0; ch < channels; ++ch) {
      int i = (start + ch) % SampleArraySize;
      const int centre = ch * band + band / 2;
      for (int x = 0; x < width; ++x) {
        int length = SampleArray[i] * h2 / 32768;
        int top = centre;
        if (length < 0) {
          length = -length;
        } else {
          top = centre - length;
        }
        for (int y = std::max(top, 0); y < std::min(top + length, height); ++y)
          luma[static_cast<size_t>(y) * width + x] = kWhite;
        i = (i + channels) % SampleArraySize;
      }
    }
  }
  for (int ch = 1; ch < channels; ++ch) {
    const int y = ch * (height / channels);
    if (y < height) std::memset(luma + static_cast<size_t>(y) * width, kWhite, width);
  }
  TDisplayPicture picture;
  picture.Data[0] = luma;
  picture.Data[1] = luma + lumaSize;
  picture.Data[2] = luma + lumaSize + lumaSize / 4;
  picture.Linesize[0] = width;
  picture.Linesize[1] = picture.Linesize[2] = width / 2;
  picture.Width = width;
  picture.Height = height;
  picture.PtsUs = -1;
  display->ShowPicture(picture, {DisplayLeft, DisplayTop, width, height});
}

bool TPlayback::CurrentPicture(AVFrame* out, double& pts, int& width, int& height) {
  std::lock_guard<std::mutex> g(PictqLock);
  const AVFrame* source = nullptr;
  if (Shown->buf[0]) {
    source = Shown;
    pts = ShownPts;
    width = ShownWidth;
    height = ShownHeight;
  } else if (PictqSize > 0 && Pictq[PictqRindex].Frame->buf[0]) {
    // After a seek, before its first picture was drawn.
    const TQueuedPicture& vp = Pictq[PictqRindex];
    source = vp.Frame;
    pts = vp.Pts;
    width = vp.Width;
    height = vp.Height;
  }
  return source && lavu.av_frame_ref(out, source) >= 0;
}

// ---- clocks and control

double TPlayback::GetAudioClock() const {
  // The sound handed over at the last callback is being played now: count
  // back from its end and forward by the time since, so that the clock runs
  // smoothly between callbacks instead of jumping a buffer at a time.
  const double handed = AudioHandedSeconds;
  const double elapsed =
      static_cast<double>(lavu.av_gettime_relative() - Player->audioCallbackTimeUs_) / 1000000.0;
  return AudioClockAtCallback - handed + std::clamp(elapsed, 0.0, handed);
}

double TPlayback::GetVideoClock() const {
  if (Paused) return VideoCurrentPts;
  const double drift = VideoCurrentPtsDrift;
  if (drift != 0) return PlayerNow() + drift;
  return static_cast<double>(StartTime) / 1000000.0;
}

double TPlayback::GetMasterClock() const {
  return AudioStream >= 0 ? GetAudioClock() : GetVideoClock();
}

void TPlayback::TogglePause() {
  if (!Player->seekDone_.Wait(std::chrono::milliseconds(250))) Player->seekDone_.Set();
  if (Paused) {
    const double now = PlayerNow();
    {
      std::lock_guard<std::mutex> g(PictqLock);
      FrameTimer += now + VideoCurrentPtsDrift - VideoCurrentPts;
    }
    if (ReadPauseReturn != AVERROR(ENOSYS)) VideoCurrentPts = now + VideoCurrentPtsDrift;
    VideoCurrentPtsDrift = VideoCurrentPts - now;
    Paused = false;
  } else {
    if (VideoStream >= 0 && !Player->pictureQueued_.Wait(std::chrono::milliseconds(250)))
      Player->pictureQueued_.Set();
    Paused = true;
  }
}

void TPlayback::RequestSeek(int flags, bool wait, int64_t pos, int64_t rel) {
  if (SeekRequest) return;
  Player->seeking_ = true;
  SeekPos = pos;
  SeekRel = rel;
  SeekFlags = flags & (AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_BYTE | AVSEEK_FLAG_ANY | AVSEEK_FLAG_FRAME);
  Player->seekDone_.Reset();
  SeekRequest = true;
  readWake_.Set();
  if (!wait) return;
  WaitServing([&] { return Player->seekDone_.IsSet() || AbortRequest; });
  if (VideoStream >= 0)
    WaitServing([&] {
      return Player->pictureQueued_.IsSet() || AbortRequest || VideoThreadDone;
    });
}

// ---- sound (SDL's audio thread)

int TPlayback::AudioDecodeFrame() {
  for (;;) {
    int ret = lavc.avcodec_receive_frame(AudioDecoder, AudioFrame);
    if (ret >= 0) {
      const int size = ConvertAudioFrame();
      lavu.av_frame_unref(AudioFrame);
      if (size < 0) continue;
      return size;
    }
    // Between packets.
    if (Paused || AudioQueue.Aborted()) return -1;
    if (AudioQueue.Get(AudioPkt, false) <= 0) return -1;
    if (TPacketQueue::IsFlushMarker(AudioPkt)) {
      AudioPkt->data = nullptr;
      lavc.avcodec_flush_buffers(AudioDecoder);
      continue;
    }
    if (AudioPkt->pts != AV_NOPTS_VALUE)
      AudioClock = av_q2d(AudioSt->time_base) * static_cast<double>(AudioPkt->pts);
    ret = lavc.avcodec_send_packet(AudioDecoder, AudioPkt);
    lavc.av_packet_unref(AudioPkt);
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
      FFLogger().Log(Player, llInfo, "avcodec_decode_audio2() failed");
  }
}

int TPlayback::ConvertAudioFrame() {
  AVFrame* f = AudioFrame;
  const bool sameInput = f->format == AudioSrcFormat && f->sample_rate == AudioSrcRate &&
                         lavu.av_channel_layout_compare(&f->ch_layout, &AudioSrcLayout) == 0;
  if (!sameInput) {
    if (AudioConvert) swr.swr_free(&AudioConvert);
    AudioConvertFailed = false;
    const bool direct = f->format == AV_SAMPLE_FMT_S16 && f->sample_rate == AudioFreq &&
                        f->ch_layout.nb_channels == AudioChannels;
    if (!direct) {
      int ret = swr.swr_alloc_set_opts2(&AudioConvert, &AudioLayout, AV_SAMPLE_FMT_S16, AudioFreq,
                                        &f->ch_layout, static_cast<AVSampleFormat>(f->format),
                                        f->sample_rate, 0, nullptr);
      if (ret >= 0) ret = swr.swr_init(AudioConvert);
      if (ret < 0) {
        if (AudioConvert) swr.swr_free(&AudioConvert);
        AudioConvertFailed = true;
        const char* from = lavu.av_get_sample_fmt_name(static_cast<AVSampleFormat>(f->format));
        Player->ReportError(Format("Cannot convert %s sample format to %s sample format",
                                   from ? from : "unknown",
                                   lavu.av_get_sample_fmt_name(AV_SAMPLE_FMT_S16)),
                            false);
      }
    }
    AudioSrcFormat = f->format;
    AudioSrcRate = f->sample_rate;
    lavu.av_channel_layout_uninit(&AudioSrcLayout);
    lavu.av_channel_layout_copy(&AudioSrcLayout, &f->ch_layout);
  }
  if (AudioConvertFailed) return -1;
  if (f->pts != AV_NOPTS_VALUE)
    AudioClock = av_q2d(AudioSt->time_base) * static_cast<double>(f->pts);
  const int frameBytes = 2 * AudioChannels;
  int bytes;
  if (AudioConvert) {
    const int capacity = static_cast<int>(
        static_cast<int64_t>(f->nb_samples) * AudioFreq / std::max(f->sample_rate, 1) + 256);
    if (AudioBuf.size() < static_cast<size_t>(capacity) * frameBytes)
      AudioBuf.resize(static_cast<size_t>(capacity) * frameBytes);
    uint8_t* out = AudioBuf.data();
    const int samples = swr.swr_convert(AudioConvert, &out, capacity,
                                        const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
    if (samples < 0) {
      Player->ReportError("av_audio_convert() failed", false);
      return -1;
    }
    bytes = samples * frameBytes;
  } else {
    bytes = f->nb_samples * frameBytes;
    if (AudioBuf.size() < static_cast<size_t>(bytes)) AudioBuf.resize(bytes);
    std::memcpy(AudioBuf.data(), f->data[0], bytes);
  }
  AudioClock = AudioClock + static_cast<double>(bytes) / (frameBytes * AudioFreq);
  return bytes;
}

void TPlayback::AudioCallback(void* opaque, uint8_t* stream, int length) {
  static_cast<TPlayback*>(opaque)->FillAudio(stream, length);
}

void TPlayback::FillAudio(uint8_t* stream, int length) {
  uint8_t* const begin = stream;
  const int total = length;
  int soundBytes = 0;
  while (length > 0) {
    if (AudioBufIndex >= AudioBufSize) {
      const int size = AudioDecodeFrame();
      if (AudioQueue.Aborted()) {
        std::memset(stream, 0, length);
        break;
      }
      if (size < 0) {
        std::memset(AudioBuf.data(), 0, SilenceChunkBytes);
        AudioBufSilence = true;
        AudioBufSize = SilenceChunkBytes;
      } else {
        if (ShowMode == smWaveform) UpdateSampleArray(size);
        AudioBufSilence = false;
        AudioBufSize = size;
      }
      AudioBufIndex = 0;
    }
    const int n = std::min<int>(AudioBufSize - AudioBufIndex, length);
    const uint8_t* source = AudioBuf.data() + AudioBufIndex;
    const int volume = Player->audioVolume_;
    if (Player->mute_ || volume <= 0) {
      std::memset(stream, 0, n);
    } else if (volume >= SDL_MIX_MAXVOLUME) {
      std::memcpy(stream, source, n);
    } else {
      std::memset(stream, 0, n);
      sdl.SDL_MixAudioFormat(stream, source, AUDIO_S16SYS, static_cast<Uint32>(n), volume);
    }
    if (!AudioBufSilence) soundBytes += n;
    length -= n;
    stream += n;
    AudioBufIndex = AudioBufIndex + n;
  }
  const int bytesPerSecond = AudioFreq * 2 * AudioChannels;
  if (bytesPerSecond > 0) {
    double end = AudioClock;
    if (!AudioBufSilence) end -= static_cast<double>(AudioBufSize - AudioBufIndex) / bytesPerSecond;
    AudioClockAtCallback = end;
    AudioHandedSeconds = static_cast<double>(soundBytes) / bytesPerSecond;
  }
  Player->audioCallbackTimeUs_ = lavu.av_gettime_relative();
  Player->MonitorAudio(begin, total);
}

void TPlayback::UpdateSampleArray(int bytes) {
  const auto* samples = reinterpret_cast<const int16_t*>(AudioBuf.data());
  int count = bytes / 2;
  std::lock_guard<std::mutex> g(SampleLock);
  while (count > 0) {
    const int n = std::min(count, SampleArraySize - SampleArrayIndex);
    std::memcpy(SampleArray.data() + SampleArrayIndex, samples, static_cast<size_t>(n) * 2);
    samples += n;
    count -= n;
    SampleArrayIndex = (SampleArrayIndex + n) % SampleArraySize;
  }
}
