// Progress reports and the per-frame video statistics file.
#include <atomic>
#include <cmath>

#include "FFmpeg.h"
#include "FFmpegLogger.h"

namespace {
// Quantizer histogram shared by all tasks of the process.
std::atomic<int> gQpHistogram[52];

double Psnr(double d) { return -10.0 * std::log10(d); }
}  // namespace

void TCustomFFmpeg::PrintReport(bool last, int fileIndex) {
  if (outputFiles_.empty()) return;
  AVFormatContext* oc = outputFiles_[0].Ctx;
  int64_t size = 0;
  if (oc->pb) {
    size = lavf.avio_size(oc->pb);
    if (size <= 0) size = lavf.avio_seek(oc->pb, 0, SEEK_CUR);
    if (size < 0) size = 0;
  }
  std::string text;
  double ti = 1e10;
  float quality = -1.0f;
  int fps = -1, frameNumber = -1;
  bool videoDescribed = false;
  for (const TOutputStreamState& ost : ost_) {
    const bool video = ost.Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
    const float q = ost.StreamCopy ? -1.0f : ost.LastQuality;
    if (videoDescribed && video) {
      text += Format("q=%2.1f ", q);
    } else if (!videoDescribed && video && ost.Active) {
      const double t = (lavu.av_gettime_relative() - timerStart_) / 1e6;
      frameNumber = ost.FrameNumber;
      if (frameNumber < 1) return;  // nothing to tell before the first picture
      fps = t > 1 ? static_cast<int>(frameNumber / t + 0.5) : 0;
      quality = q;
      text += Format("frame=%5d fps=%3d q=%3.1f ", frameNumber, fps, quality);
      if (last) text += "L";
      if (S.QpHist) {
        const int qp = static_cast<int>(std::lround(quality));
        if (qp >= 0 && qp < 52) ++gQpHistogram[qp];
        for (int j = 0; j < 32; ++j)
          text += Format("%X", static_cast<int>(std::lround(std::log2(gQpHistogram[j].load() + 1))));
      }
      if (ost.Enc && (ost.Enc->flags & AV_CODEC_FLAG_PSNR)) {
        const double pixels = static_cast<double>(ost.Enc->width) * ost.Enc->height * 255.0 * 255.0;
        double errSum = 0, scaleSum = 0;
        text += "PSNR=";
        for (int j = 0; j < 3; ++j) {
          double error = static_cast<double>(ost.Enc->error[j]);
          double scale = pixels * (last ? frameNumber : 1);
          if (j) scale /= 4;
          errSum += error;
          scaleSum += scale;
          text += Format("%c:%2.2f ", "YUV"[j], error > 0 ? Psnr(error / scale) : 99.99);
        }
        text += Format("*:%2.2f ", errSum > 0 ? Psnr(errSum / scaleSum) : 99.99);
      }
      videoDescribed = true;
    }
    if (ost.LastMuxEnd != AV_NOPTS_VALUE) {
      const double t = ost.LastMuxEnd * av_q2d(ost.Stream->time_base);
      if (t > 0 && t < ti) ti = t;
    }
  }
  if (ti < 0.01) ti = 0.01;
  if (ti >= 1e10) ti = 0.01;
  const bool callback = static_cast<bool>(Callbacks.progress);
  if (callback || S.Verbosity > 0 || last) {
    const double bitrate = size * 8 / ti / 1000.0;
    text += Format("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", size / 1024.0, ti, bitrate);
    if (framesDup_ || framesDrop_) {
      text += Format(" dup=%d drop=%d", framesDup_, framesDrop_);
      if (dupDropChanged_ && S.Verbosity >= 0 && callback) {
        dupDropChanged_ = false;
        Log(llVerbose, text);
      }
    }
    if (callback)
      Callbacks.progress(this, fileIndex, TotalDuration, static_cast<int64_t>(ti * 1000000), size,
                         static_cast<float>(bitrate), quality, fps, frameNumber);
    else if (S.Verbosity >= 0)
      Log(llVerbose, text);
  }
  if (last && S.Verbosity >= 0) {
    const double raw = static_cast<double>(videoSize_ + audioSize_ + extraSize_);
    Log(llVerbose, Format("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%",
                          videoSize_ / 1024.0, audioSize_ / 1024.0, extraSize_ / 1024.0,
                          raw > 0 ? (size - raw) * 100 / raw : 0.0));
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputStreamState& ost, int frameSize) {
  if (!vstatsFile_) {
    vstatsFile_ = fopen(S.VStatsFilename.c_str(), "w");
    if (!vstatsFile_) throw FFmpegException("fopen fail: " + S.VStatsFilename);
  }
  AVCodecContext* enc = ost.Enc;
  if (!enc || enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  fprintf(vstatsFile_, "frame= %5d q= %2.1f ", ost.FrameNumber, ost.LastQuality);
  if (enc->flags & AV_CODEC_FLAG_PSNR && enc->error[0] > 0)
    fprintf(vstatsFile_, "PSNR= %6.2f ",
            Psnr(enc->error[0] / (static_cast<double>(enc->width) * enc->height * 255.0 * 255.0)));
  fprintf(vstatsFile_, "f_size= %6d ", frameSize);
  double ti = ost.SyncOpts * av_q2d(enc->time_base);
  if (ti < 0.01) ti = 0.01;
  const double bitrate = frameSize * 8 / av_q2d(enc->time_base) / 1000.0;
  const double avg = videoSize_ * 8 / ti / 1000.0;
  fprintf(vstatsFile_, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ", videoSize_ / 1024.0,
          ti, bitrate, avg);
  fprintf(vstatsFile_, "type= %c\n", ost.LastPictType);
}
