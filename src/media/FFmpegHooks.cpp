// Picture pre-processing with deinterlacing and frame hooks, and the preview
// pictures of encoded frames.
#include <cstring>
#include <mutex>

#include "FFmpeg.h"
#include "FFmpegLogger.h"

namespace {

// Guards every task's preview state while a preview picture is made.
std::mutex gPreviewLock;

// Blends each line with its neighbours (1-2-1) so that the two fields of an
// interlaced picture merge; planar 8-bit formats only, like the deinterlacer
// of the older libraries.
bool Deinterlace(AVFrame* dst, const AVFrame* src) {
  const AVPixFmtDescriptor* d = lavu.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
  if (!d || !(d->flags & AV_PIX_FMT_FLAG_PLANAR) || (d->flags & AV_PIX_FMT_FLAG_RGB) || d->comp[0].depth != 8 ||
      d->nb_components > 3)
    return false;
  for (int p = 0; p < d->nb_components; ++p) {
    const int w = p == 0 ? src->width : AV_CEIL_RSHIFT(src->width, d->log2_chroma_w);
    const int h = p == 0 ? src->height : AV_CEIL_RSHIFT(src->height, d->log2_chroma_h);
    for (int y = 0; y < h; ++y) {
      const uint8_t* up = src->data[p] + static_cast<ptrdiff_t>(y > 0 ? y - 1 : y) * src->linesize[p];
      const uint8_t* mid = src->data[p] + static_cast<ptrdiff_t>(y) * src->linesize[p];
      const uint8_t* down = src->data[p] + static_cast<ptrdiff_t>(y + 1 < h ? y + 1 : y) * src->linesize[p];
      uint8_t* out = dst->data[p] + static_cast<ptrdiff_t>(y) * dst->linesize[p];
      for (int x = 0; x < w; ++x) out[x] = static_cast<uint8_t>((up[x] + 2 * mid[x] + down[x] + 2) >> 2);
    }
  }
  return true;
}

}  // namespace

AVFrame* TCustomFFmpeg::PreProcessVideoFrame(TInputStreamState& ist, AVFrame* frame) {
  ++HookFrameCount;
  const int64_t pts = ist.Pts;
  const int w = frame->width, h = frame->height;
  const auto format = static_cast<AVPixelFormat>(frame->format);
  const bool customHook = CustomHookEnabled && Callbacks.hook && !hookStopped_;
  if (!S.DoDeinterlace && !customHook && !UseFrameHooks) return frame;

  // The hooks paint on a copy, so the decoder's own picture stays untouched.
  if (!hookFrame_ || hookFrame_->width != w || hookFrame_->height != h || hookFrame_->format != format) {
    lavu.av_frame_free(&hookFrame_);
    hookFrame_ = lavu.av_frame_alloc();
    if (hookFrame_) {
      hookFrame_->width = w;
      hookFrame_->height = h;
      hookFrame_->format = format;
      if (lavu.av_frame_get_buffer(hookFrame_, 0) < 0) lavu.av_frame_free(&hookFrame_);
    }
    if (!hookFrame_) {
      Log(llError, "hook buf malloc error.");
      return frame;
    }
  }
  AVFrame* picture = hookFrame_;
  if (S.DoDeinterlace) {
    if (!Deinterlace(hookFrame_, frame)) {
      Log(llError, "Deinterlacing failed.");
      picture = frame;
    }
  } else if (lavu.av_frame_copy(hookFrame_, frame) < 0) {
    Log(llError, "hook buf malloc error.");
    return frame;
  }
  if (picture == hookFrame_) lavu.av_frame_copy_props(hookFrame_, frame);

  if (customHook) {
    RunCustomHook(picture, w, h, format, pts);
  } else if (UseFrameHooks) {
    TolvanePicture p{};
    for (int i = 0; i < 4; ++i) {
      p.data[i] = picture->data[i];
      p.linesize[i] = picture->linesize[i];
    }
    ProcessFrameHooks(FrameHooks, &p, format, w, h, pts);
  }
  return picture;
}

void TCustomFFmpeg::RunCustomHook(AVFrame* picture, int w, int h, AVPixelFormat format, int64_t pts) {
  bool stop = false;
  if (!PictureToBitmap(hookConverter_, picture->data, picture->linesize, format, w, h)) {
    Log(llError, "Cannot initialize the toRGB conversion context");
    stop = true;
  } else {
    bool update = true;
    try {
      Callbacks.hook(this, hookConverter_.Bitmap.get(), &stop, &update, pts, HookFrameCount);
    } catch (const std::exception& e) {
      Log(llError, std::string("Error occurs OnCustomHook: ") + e.what());
      update = false;
    } catch (...) {
      Log(llError, "Error occurs OnCustomHook: unknown exception");
      update = false;
    }
    if (update) {
      const TBitmap& bitmap = *hookConverter_.Bitmap;
      const uint8_t* const* target = hookConverter_.InUseData;
      const int* lines = hookConverter_.InUseLinesize;
      const size_t rowBytes = static_cast<size_t>(w) * 3;
      for (int r = 0; r < h; ++r)
        memcpy(const_cast<uint8_t*>(target[0]) + static_cast<ptrdiff_t>(r) * lines[0], bitmap.ScanLine(r), rowBytes);
      if (format != hookConverter_.TargetFormat || target != picture->data) {
        // A scaler of its own for the way back keeps both directions cached.
        hookBackScaler_ = sws.sws_getCachedContext(hookBackScaler_, w, h, AV_PIX_FMT_BGR24, w, h, format,
                                                   SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!hookBackScaler_) {
          Log(llError, "Cannot initialize the fromRGB conversion context");
          stop = true;
        } else {
          sws.sws_scale(hookBackScaler_, target, lines, 0, h, picture->data, picture->linesize);
        }
      }
    }
  }
  if (stop) {
    hookStopped_ = true;
    UseFrameHooks = false;
  }
}

void TCustomFFmpeg::MakePreview(const AVFrame* picture, const AVCodecContext* enc, int64_t ptsUs) {
  std::lock_guard<std::mutex> g(gPreviewLock);
  uint8_t flags = PreviewFlags();
  const bool event = (flags & pfPreviewBitmap) && Callbacks.preview;
  const bool window = !event && (flags & pfPreviewWindow) && HasPreviewWindowFactory();
  if (event || window) {
    previewTime_ = lavu.av_gettime_relative();
    if (lastPreviewTime_ == 0 || previewTime_ - lastPreviewTime_ > PreviewIntervalUs) {
      const bool converted =
          PictureToBitmap(previewConverter_, picture->data, picture->linesize, enc->pix_fmt, enc->width, enc->height);
      if (!converted) {
        Log(llError, "Cannot initialize the toRGB conversion context");
        flags &= event ? ~pfPreviewBitmap : ~pfPreviewWindow;
      } else if (event) {
        Callbacks.preview(this, previewConverter_.Bitmap.get(), ptsUs, HookFrameCount);
      } else {
        if (!previewer_) previewer_ = std::make_unique<TPreviewer>();
        if (!previewer_->ShowPicture(previewConverter_.Bitmap.get(), HookFrameCount, ptsUs))
          flags &= ~pfPreviewWindow;
      }
      lastPreviewTime_ = previewTime_;
    }
  }
  // The flags are stored without waiting on this lock elsewhere (see
  // SetPreviewFlags), so only bits cleared here are written back.
  const uint8_t now = PreviewFlags();
  if ((now & flags) != now) previewFlags_ = now & flags;
  if (!(PreviewFlags() & pfPreviewWindow)) previewer_.reset();
}

void TCustomFFmpeg::ReleaseHooks() {
  ReleaseFrameHooks(FrameHooks);
  UseFrameHooks = false;
  lavu.av_frame_free(&hookFrame_);
  ResetBitmapConverter(hookConverter_);
  if (hookBackScaler_) sws.sws_freeContext(hookBackScaler_);
  hookBackScaler_ = nullptr;
  ResetBitmapConverter(previewConverter_);
  previewer_.reset();
  lastPreviewTime_ = previewTime_ = 0;
}
