// The conversion's frame-hook handler: burns a file's picture effects and
// watermarks into every decoded picture of its task. Shared by the program's
// EngineCustomHook and tolvane-convert.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <QDateTime>
#include <QFont>
#include <QSize>
#include <QString>

#include "Bitmap.h"
#include "EngineTypes.h"
#include "FFBaseComponent.h"
#include "FilesRecord.h"

// The font a text watermark is drawn with: sizes in points at 96 dpi, as
// the watermark dialog measures them, and no anti-aliasing.
QFont WatermarkFont(const TWmFont& font);
// The extent of a text drawn in that font: the size of its text box.
// Needs a QGuiApplication.
QSize WatermarkTextExtent(const QString& text, const TWmFont& font);
// Whether the process can draw text (a QGuiApplication exists).
bool CanDrawWatermarkText();

class TWatermarkRenderer {
 public:
  // Returns the record of a task, or nullptr; called on the worker thread,
  // so the records must not change while a conversion runs.
  using TRecordLookup = std::function<const TlvFilesRecord*(int taskIndex)>;
  // Receives each error line (an unreadable image, text without a
  // QGuiApplication); optional, the line also goes to the logger.
  using TErrorEvent = std::function<void(const std::string& line)>;

  explicit TWatermarkRenderer(TRecordLookup lookup) : lookup_(std::move(lookup)) {}

  // OnCustomHook handler, on the task's worker thread. Leaves Update false
  // when it painted nothing, so the picture stays byte for byte as decoded.
  void EngineCustomHook(TCustomConvertEngine* sender, PHookInfo info);
  // Applies a record to one picture at a time in seconds; true when it painted.
  bool Render(TFFBaseComponent* sender, const TlvFilesRecord& record, TBitmap& picture, int64_t second);

  TErrorEvent OnError;

 private:
  struct CachedImage {
    QDateTime modified;
    int64_t size = -1;
    std::shared_ptr<const TBitmap> bitmap;  // null: the file could not be read
  };

  bool DrawText(TFFBaseComponent* sender, const TWmRec& item, TBitmap& picture);
  bool DrawImage(TFFBaseComponent* sender, const TWmRec& item, TBitmap& picture);
  std::shared_ptr<const TBitmap> LoadImage(TFFBaseComponent* sender, const QString& file);
  void Error(TFFBaseComponent* sender, const std::string& line);

  TRecordLookup lookup_;
  std::mutex cacheLock_;
  std::map<QString, CachedImage> images_;  // guarded by cacheLock_: decoded files by path
  std::atomic<bool> textErrorSaid_{false};
};
