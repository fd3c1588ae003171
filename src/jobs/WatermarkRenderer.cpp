#include "WatermarkRenderer.h"

#include <algorithm>
#include <cstring>

#include <QCoreApplication>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QPainter>

#include "ConvertEngine.h"
#include "FFmpegLogger.h"
#include "FrameEffects.h"

namespace {

// Holds a bitmap's canvas for the lifetime of the guard.
class CanvasLock {
 public:
  explicit CanvasLock(TBitmap& b) : b_(b) { b_.Lock(); }
  ~CanvasLock() { b_.Unlock(); }
  CanvasLock(const CanvasLock&) = delete;
  CanvasLock& operator=(const CanvasLock&) = delete;

 private:
  TBitmap& b_;
};

}  // namespace

QFont WatermarkFont(const TWmFont& font) {
  QFont f(font.Family);
  // Points at 96 dpi, rounded like the window library's conversion, so the
  // size does not depend on the screen the process runs on.
  f.setPixelSize(std::max(1, (font.PointSize * 96 + 36) / 72));
  f.setBold(font.Has(TWmFont::Bold));
  f.setItalic(font.Has(TWmFont::Italic));
  f.setUnderline(font.Has(TWmFont::Underline));
  f.setStrikeOut(font.Has(TWmFont::StrikeOut));
  f.setStyleStrategy(QFont::NoAntialias);
  return f;
}

QSize WatermarkTextExtent(const QString& text, const TWmFont& font) {
  const QFontMetrics metrics(WatermarkFont(font));
  return {metrics.horizontalAdvance(text), metrics.height()};
}

bool CanDrawWatermarkText() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

void TWatermarkRenderer::EngineCustomHook(TCustomConvertEngine* sender, PHookInfo info) {
  if (!info || !info->Bitmap) return;
  const TlvFilesRecord* record = lookup_ ? lookup_(info->TaskIndex) : nullptr;
  if (!record) {
    info->Update = false;
    return;
  }
  CanvasLock lock(*info->Bitmap);
  info->Update = Render(sender, *record, *info->Bitmap, info->PTS / 1000000);
}

bool TWatermarkRenderer::Render(TFFBaseComponent* sender, const TlvFilesRecord& record, TBitmap& picture,
                                int64_t second) {
  const bool colors = record.Brightness != kNeutralBrightness || record.Contrast != kNeutralContrast ||
                      record.Saturation != kNeutralSaturation;
  const bool exposure = record.Exposure != kNeutralExposure;
  if (colors && exposure)
    AdjustColorsAndExposure(picture, record.Brightness, record.Contrast, record.Saturation,
                            static_cast<float>(record.Exposure));
  else if (colors)
    AdjustColors(picture, record.Brightness, record.Contrast, record.Saturation);
  else if (exposure)
    AdjustExposure(picture, static_cast<float>(record.Exposure));
  bool painted = colors || exposure;
  for (const TWmRec& item : record.WaterMarks) {
    if (second < item.StartSec || second > item.EndSec) continue;
    if (item.Kind == 0 && !item.Text.isEmpty())
      painted = DrawText(sender, item, picture) || painted;
    else if (item.Kind == 1 && !item.ImageFile.isEmpty())
      painted = DrawImage(sender, item, picture) || painted;
  }
  return painted;
}

bool TWatermarkRenderer::DrawText(TFFBaseComponent* sender, const TWmRec& item, TBitmap& picture) {
  if (item.TextWidth <= 0 || item.TextHeight <= 0) return false;
  if (!CanDrawWatermarkText()) {
    if (!textErrorSaid_.exchange(true)) Error(sender, "Watermark text needs a QGuiApplication; text items are skipped");
    return false;
  }
  TBitmap box(item.TextWidth, item.TextHeight);
  if (item.UseBackColor) {
    const QColor& c = item.BackColor;
    box.Fill(static_cast<uint8_t>(c.blue()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.red()));
  } else {
    // The picture's own pixels under the glyphs: after blending only the
    // glyphs change the picture. Parts outside the picture are never blended.
    const int col0 = std::max(0, -item.TextLeft), row0 = std::max(0, -item.TextTop);
    const int cols = std::min(box.Width(), picture.Width() - item.TextLeft) - col0;
    for (int r = row0; cols > 0 && r < box.Height() && item.TextTop + r < picture.Height(); ++r)
      std::memcpy(box.ScanLine(r) + col0 * 3, picture.ScanLine(item.TextTop + r) + (item.TextLeft + col0) * 3,
                  static_cast<size_t>(cols) * 3);
  }
  {
    QImage image(box.Bits(), box.Width(), box.Height(), box.Stride(), QImage::Format_BGR888);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setFont(WatermarkFont(item.Font));
    painter.setPen(item.Font.Color);
    painter.drawText(QRect(0, 0, box.Width(), box.Height()), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     item.Text);
  }
  BlendBitmap(picture, box, item.TextLeft, item.TextTop, item.TextAlpha);
  return true;
}

bool TWatermarkRenderer::DrawImage(TFFBaseComponent* sender, const TWmRec& item, TBitmap& picture) {
  const std::shared_ptr<const TBitmap> image = LoadImage(sender, item.ImageFile);
  if (!image) return false;
  BlendBitmap(picture, *image, item.ImageLeft, item.ImageTop, item.ImageAlpha);
  return true;
}

std::shared_ptr<const TBitmap> TWatermarkRenderer::LoadImage(TFFBaseComponent* sender, const QString& file) {
  const QFileInfo info(file);
  const QDateTime modified = info.exists() ? info.lastModified() : QDateTime();
  const int64_t size = info.exists() ? info.size() : -1;
  std::lock_guard<std::mutex> guard(cacheLock_);
  auto it = images_.find(file);
  // A file read before, unchanged since: its pixels (or its failure, said once).
  if (it != images_.end() && it->second.modified == modified && it->second.size == size) return it->second.bitmap;
  CachedImage entry;
  entry.modified = modified;
  entry.size = size;
  QImageReader reader(file, "bmp");
  QImage image = reader.read();
  if (image.isNull()) {
    Error(sender, "Watermark image cannot be read: " + file.toStdString() + " (" +
                      reader.errorString().toStdString() + ")");
  } else {
    image = image.convertToFormat(QImage::Format_BGR888);
    auto bitmap = std::make_shared<TBitmap>(image.width(), image.height());
    for (int r = 0; r < image.height(); ++r)
      std::memcpy(bitmap->ScanLine(r), image.constScanLine(r), static_cast<size_t>(image.width()) * 3);
    entry.bitmap = std::move(bitmap);
  }
  images_[file] = entry;
  return entry.bitmap;
}

void TWatermarkRenderer::Error(TFFBaseComponent* sender, const std::string& line) {
  FFLogger().Log(sender, llError, line);
  if (OnError) OnError(line);
}
