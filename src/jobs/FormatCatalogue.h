// The fixed catalogue of output formats in four groups, and the foldable
// format list as a model: which lines a folding state shows. The windows draw
// the lines; everything they decide on is here.
#pragma once

#include <array>
#include <vector>

#include <QString>

class TSettingsStore;

struct TFormatEntry {
  int Code;  // group * 100 + entry
  const char* Caption;
};

struct TFormatGroup {
  int Number;
  const char* Caption;
  std::vector<TFormatEntry> Entries;
};

inline constexpr int kFormatGroupCount = 4;
// The first-start format: not an entry of the list, but a profile section.
inline constexpr int kDefaultFormatCode = 1;

const std::vector<TFormatGroup>& FormatCatalogue();
// The caption of a format code ("" for an unknown code; code 1 gives the
// first-start caption).
QString FormatCaption(int code);
bool IsFormatCode(int code);

// One list line; a heading or an entry.
struct TItemInfo {
  bool IsEntry = false;
  bool IsGroup = false;
  QString Note;  // not used by the list
  bool Folded = false;
  int Code = 0;  // heading: the group number; entry: the format code
};

// The caption table every list window keeps: 51 groups of 51 slots, an empty
// slot holding no entry.
using TCaptionTable = std::array<std::array<QString, 51>, 51>;
void FillCaptionTable(TCaptionTable& table);

class TFormatListModel {
 public:
  // Builds the lines: each heading, folded as "lstformat" says, followed by
  // its entries when unfolded. Selects the line whose caption equals
  // selectedCaption (trimmed), none when no line does.
  void Build(const TSettingsStore& settings, const QString& selectedCaption);
  // The same from folding states given directly.
  void Build(const std::array<bool, kFormatGroupCount>& folded, const QString& selectedCaption);

  const std::vector<TItemInfo>& Lines() const { return lines_; }
  int LineCount() const { return static_cast<int>(lines_.size()); }
  QString LineCaption(int line) const;
  int LineOfCaption(const QString& caption) const;
  int SelectedLine() const { return selected_; }
  void SetSelectedLine(int line) { selected_ = line >= 0 && line < LineCount() ? line : -1; }

  // A press on a heading folds or unfolds its group; false for an entry line
  // (the caller chooses the entry instead) or a line out of range.
  bool ToggleGroup(int line);
  // Folding state of each group as shown now (a group not in the list counts
  // as folded).
  std::array<bool, kFormatGroupCount> FoldingState() const;
  void SaveFoldingState(TSettingsStore& settings) const;

 private:
  TCaptionTable captions_;
  std::vector<TItemInfo> lines_;
  int selected_ = -1;
};
