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

AVFrame* TCustomFFmpeg::WritableHookFrame(int w, int h, AVPixelFormat format) {
  // Encoders and filters may still hold the previous picture (look-ahead),
  // so a buffer in use is replaced rather than written over.
  if (hookFrame_ && (hookFrame_->width != w || hookFrame_->height != h || hookFrame_->format != format ||
                     !lavu.av_frame_is_writable(hookFrame_)))
    lavu.av_frame_unref(hookFrame_);
  if (!hookFrame_) hookFrame_ = lavu.av_frame_alloc();
  if (!hookFrame_) return nullptr;
  if (!hookFrame_->buf[0]) {
    hookFrame_->width = w;
    hookFrame_->height = h;
    hookFrame_->format = format;
    if (lavu.av_frame_get_buffer(hookFrame_, 0) < 0) {
      lavu.av_frame_free(&hookFrame_);
      return nullptr;
    }
  }
  return hookFrame_;
}

AVFrame* TCustomFFmpeg::PreProcessVideoFrame(TInputStreamState& ist, AVFrame* frame) {
  ++HookFrameCount;
  const int64_t pts = ist.Pts;
  const int w = frame->width, h = frame->height;
  const auto format = static_cast<AVPixelFormat>(frame->format);
  const bool customHook = CustomHookEnabled && Callbacks.hook && !hookStopped_;
  if (!S.DoDeinterlace && !customHook && !UseFrameHooks) return frame;

  // The hooks work on a copy; the decoder's own picture stays untouched.
  AVFrame* picture = frame;
  if (S.DoDeinterlace) {
    AVFrame* target = WritableHookFrame(w, h, format);
    if (!target) {
      Log(llError, "hook buf malloc error.");
      return frame;
    }
    if (Deinterlace(target, frame)) {
      lavu.av_frame_copy_props(target, frame);
      picture = target;
    } else {
      Log(llError, "Deinterlacing failed.");
    }
  }
  if (customHook) return RunCustomHook(picture, w, h, format, pts);
  if (UseFrameHooks) {
    if (picture == frame) {
      AVFrame* target = WritableHookFrame(w, h, format);
      if (!target || lavu.av_frame_copy(target, frame) < 0) {
        Log(llError, "hook buf malloc error.");
        return frame;
      }
      lavu.av_frame_copy_props(target, frame);
      picture = target;
    }
    TolvanePicture p{};
    for (int i = 0; i < 4; ++i) {
      p.data[i] = picture->data[i];
      p.linesize[i] = picture->linesize[i];
    }
    ProcessFrameHooks(FrameHooks, &p, format, w, h, pts);
  }
  return picture;
}

AVFrame* TCustomFFmpeg::RunCustomHook(AVFrame* source, int w, int h, AVPixelFormat format, int64_t pts) {
  TBitmapConverter& conv = hookConverter_;
  if (!conv.Bitmap) conv.Bitmap = std::make_unique<TBitmap>();
  TBitmap& bitmap = *conv.Bitmap;
  bitmap.SetSize(w, h);
  bool stop = false;
  AVFrame* result = source;
  if (!HookPictureToBitmap(source, w, h, bitmap, &conv.Scaler)) {
    Log(llError, "Cannot initialize the toRGB conversion context");
    stop = true;
  } else {
    bool update = true;
    try {
      Callbacks.hook(this, &bitmap, &stop, &update, pts, HookFrameCount);
    } catch (const std::exception& e) {
      Log(llError, std::string("Error occurs OnCustomHook: ") + e.what());
      update = false;
    } catch (...) {
      Log(llError, "Error occurs OnCustomHook: unknown exception");
      update = false;
    }
    AVFrame* target = update ? (source == hookFrame_ ? source : WritableHookFrame(w, h, format)) : nullptr;
    if (update && !target) Log(llError, "hook buf malloc error.");
    if (target) {
      // The properties first: the way back follows the picture's colour space.
      if (target != source) lavu.av_frame_copy_props(target, source);
      if (HookBitmapToPicture(bitmap, w, h, target, &hookBackScaler_)) {
        result = target;
      } else {
        Log(llError, "Cannot initialize the fromRGB conversion context");
        stop = true;
      }
    }
  }
  if (stop) {
    hookStopped_ = true;
    UseFrameHooks = false;
  }
  return result;
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
