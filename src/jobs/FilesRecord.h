// The per-file job record: everything the user decided for one file of the
// list. Written by the editing dialogs, read by the job builder, the run
// control and the frame-effects hook. Nothing of it is saved to disk.
#pragma once

#include <cstdint>
#include <vector>

#include <QColor>
#include <QString>

// A watermark text's font, as plain data the renderer turns into a QFont.
struct TWmFont {
  enum Style : unsigned { Bold = 1, Italic = 2, Underline = 4, StrikeOut = 8 };
  QString Family;
  int PointSize = 0;
  unsigned Styles = 0;  // a set of Style bits
  QColor Color = Qt::black;
  bool Has(Style s) const { return (Styles & s) != 0; }
};

// One text or image watermark.
struct TWmRec {
  QString Text;  // text item: its text
  TWmFont Font;
  int32_t TextLeft = 0, TextTop = 0;  // source-picture pixels
  int32_t TextWidth = 0, TextHeight = 0;
  int32_t TextAlpha = 255;  // 0..255, 255 = opaque
  QColor BackColor = Qt::white;
  bool UseBackColor = false;  // false: transparent text box
  QString ImageFile;          // image item: full path of a bitmap file
  int32_t ImageLeft = 0, ImageTop = 0;
  int32_t ImageWidth = 0, ImageHeight = 0;
  int32_t ImageAlpha = 255;
  int32_t Kind = 0;  // 0 text item, 1 image item
  int32_t StartSec = 0, EndSec = 0;  // shown while StartSec <= t <= EndSec
};

struct TlvFilesRecord {
  int32_t AddIndex = 0;  // position among the files of one Add; informational
  QString SourceFile;
  QString DestFile;      // informational
  int32_t Duration = 0;  // whole seconds
  int64_t TrimStart = 0;   // microseconds, 0 = from the beginning
  int64_t TrimLength = 0;  // microseconds, 0 = up to the end
  QString Zoom = "lbox";   // "full", "lbox", "pan" or "center"
  int32_t CropTop = 0, CropLeft = 0, CropBottom = 0, CropRight = 0;  // source pixels, even
  int32_t MarginUp = 0, MarginLeft = 0, MarginDown = 0, MarginRight = 0;  // preview pixels
  std::vector<TWmRec> WaterMarks;  // in drawing order; owned by the record
  int32_t Brightness = 255;  // 255 = neutral
  int32_t Contrast = 0;      // 0 = neutral
  int32_t Saturation = 255;  // 255 = neutral
  int32_t Exposure = 0;      // 0 = neutral
  bool ProcessText = false;
  bool ProcessImage = false;
};
