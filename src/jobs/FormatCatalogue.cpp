#include "FormatCatalogue.h"

#include "GlobalUnit.h"

const std::vector<TFormatGroup>& FormatCatalogue() {
  static const std::vector<TFormatGroup> catalogue = {
      {0, "Windows Meida Video", {{0, "WMV Video(*.wmv)"}}},
      {1,
       "Mobile Phone",
       {{100, "Mobile Phone 3GP h263 Video(*.3gp)"},
        {101, "Mobile Phone 3GP MPEG-4 Video(*.3gp)"},
        {102, "Mobile Phone 3GP2 h263 Video(*.3gp)"},
        {103, "Mobile Phone 3GP2 MPEG-4 Video(*.3gp)"},
        {104, "Mobile Phone MPEG-4 Video(*.mp4)"},
        {105, "Nokia N Series MPEG-4 Video(*.mp4)"}}},
      {2,
       "General Video formates",
       {{200, "MPEG-1 Video (*.mpg)"},
        {201, "MPEG-2 Video (*.mpg)"},
        {202, "MPEG-4 Video (*.mp4)"},
        {203, "H.264/MPEG-4 AVC Video (*.mp4)"},
        {204, "AVI Video (*.avi)"},
        {205, "WMV Video (*.wmv)"},
        {206, "Divx Video (*.avi)"},
        {207, "Xvid Video (*.avi)"},
        {208, "DV - NTSC -Digital Video Format (*.dv)"},
        {209, "DV - PAL -Digital Video Format (*.dv)"}}},
      {3,
       "General Audio formates",
       {{300, "MP3 MPEG Layer-3 Audio (*.mp3)"},
        {301, "AAC Advenced Audio Codec (*.aac)"},
        {302, "M4A MPEG-4 Audio (*.m4a)"},
        {303, "WMA - Windows Meida Audio (*.wma)"},
        {304, "WAV - Waveform Audio (*.wav)"},
        {305, "OGG Vorbis Audio Codec (*.ogg)"},
        {306, "AC-3 Audio Codec (*.ac3)"}}},
  };
  return catalogue;
}

QString FormatCaption(int code) {
  if (code == kDefaultFormatCode) return TSettingsStore::kDefaultFormatName;
  for (const TFormatGroup& g : FormatCatalogue())
    for (const TFormatEntry& e : g.Entries)
      if (e.Code == code) return e.Caption;
  return QString();
}

bool IsFormatCode(int code) { return !FormatCaption(code).isEmpty(); }

void FillCaptionTable(TCaptionTable& table) {
  for (auto& group : table) group.fill(QString());
  for (const TFormatGroup& g : FormatCatalogue())
    for (const TFormatEntry& e : g.Entries) table[g.Number][e.Code % 100] = e.Caption;
}

void TFormatListModel::Build(const TSettingsStore& settings, const QString& selectedCaption) {
  std::array<bool, kFormatGroupCount> folded{};
  for (int g = 0; g < kFormatGroupCount; ++g) folded[g] = settings.GroupFolded(g);
  Build(folded, selectedCaption);
}

void TFormatListModel::Build(const std::array<bool, kFormatGroupCount>& folded, const QString& selectedCaption) {
  FillCaptionTable(captions_);
  lines_.clear();
  for (int g = 0; g < kFormatGroupCount; ++g) {
    TItemInfo heading;
    heading.IsGroup = true;
    heading.Folded = folded[g];
    heading.Code = g;
    lines_.push_back(heading);
    if (heading.Folded) continue;
    for (int i = 0; i <= 30; ++i) {
      if (captions_[g][i].isEmpty()) continue;
      TItemInfo entry;
      entry.IsEntry = true;
      entry.Code = g * 100 + i;
      lines_.push_back(entry);
    }
  }
  selected_ = LineOfCaption(selectedCaption.trimmed());
}

QString TFormatListModel::LineCaption(int line) const {
  if (line < 0 || line >= LineCount()) return QString();
  const TItemInfo& item = lines_[line];
  if (item.IsGroup) {
    for (const TFormatGroup& g : FormatCatalogue())
      if (g.Number == item.Code) return g.Caption;
    return QString();
  }
  return captions_[item.Code / 100][item.Code % 100];
}

int TFormatListModel::LineOfCaption(const QString& caption) const {
  for (int line = 0; line < LineCount(); ++line)
    if (LineCaption(line) == caption) return line;
  return -1;
}

bool TFormatListModel::ToggleGroup(int line) {
  if (line < 0 || line >= LineCount() || !lines_[line].IsGroup) return false;
  const QString selectedCaption = LineCaption(selected_);
  TItemInfo& heading = lines_[line];
  const int g = heading.Code;
  if (heading.Folded) {
    heading.Folded = false;
    std::vector<TItemInfo> entries;
    for (int i = 0; i <= 49; ++i) {
      if (captions_[g][i].isEmpty()) continue;
      TItemInfo entry;
      entry.IsEntry = true;
      entry.Code = g * 100 + i;
      entries.push_back(entry);
    }
    lines_.insert(lines_.begin() + line + 1, entries.begin(), entries.end());
  } else {
    heading.Folded = true;
    auto end = lines_.begin() + line + 1;
    while (end != lines_.end() && !end->IsGroup) ++end;
    lines_.erase(lines_.begin() + line + 1, end);
  }
  // The selection follows its caption; a folded-away entry is no longer selected.
  selected_ = selectedCaption.isEmpty() ? -1 : LineOfCaption(selectedCaption);
  return true;
}

std::array<bool, kFormatGroupCount> TFormatListModel::FoldingState() const {
  std::array<bool, kFormatGroupCount> folded;
  folded.fill(true);
  for (const TItemInfo& item : lines_)
    if (item.IsGroup && item.Code >= 0 && item.Code < kFormatGroupCount) folded[item.Code] = item.Folded;
  return folded;
}

void TFormatListModel::SaveFoldingState(TSettingsStore& settings) const {
  const auto folded = FoldingState();
  for (int g = 0; g < kFormatGroupCount; ++g) settings.SetGroupFolded(g, folded[g]);
}
