// Profile mode: converts files with a format profile and the saved choices of
// its code, through the same job builder and naming rule as the program, one
// task per file.
#include <csignal>
#include <cstdio>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <vector>
#include <array>
#include <climits>
#include <map>

#include <QFileInfo>
#include <QGuiApplication>

#include "Commands.h"
#include "ConvertEngine.h"
#include "FFUtils.h"
#include "FormatCatalogue.h"
#include "GlobalUnit.h"
#include "JobBuilder.h"
#include "MainThread.h"
#include "ProgressPrinter.h"
#include "WatermarkRenderer.h"

namespace {

std::atomic<bool> gInterrupted{false};
void OnSigint(int) { gInterrupted = true; }

using Clock = std::chrono::steady_clock;

bool AllDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

// The command line answers the builder's questions with the program's
// defaults and says what it chose.
class TCliQuestions : public TJobQuestions {
 public:
  std::string file;
  bool AskDefaultFrameSize(const QString& text) override {
    Say(text + " Yes: converting at 320x240.");
    return true;
  }
  void WarnOutputFolder(const QString& text) override { Say(text); }
  // The same replacement happens for every file of a batch: said once.
  void Notice(const QString& text) override {
    if (said_.insert(text.toStdString()).second) Say(text);
  }

 private:
  std::set<std::string> said_;
  void Say(const QString& text) {
    std::fprintf(stderr, "tolvane-convert: %s%s%s\n", file.c_str(), file.empty() ? "" : ": ",
                 text.toStdString().c_str());
  }
};

struct Job {
  std::string source, output;
  int task = -1;
  bool done = false, converted = false;
  std::string result;  // "converted", "stopped" or "failed: ..."
  double seconds = -1;
};

std::string SizeText(const std::string& file, long long* bytes) {
  QFileInfo info(QString::fromStdString(file));
  *bytes = info.exists() ? info.size() : -1;
  return *bytes < 0 ? "-" : FileSizeText(*bytes);
}

void PrintSummary(ProgressStyle style, const Job& job) {
  long long bytes = -1;
  std::string size = job.output.empty() ? "-" : SizeText(job.output, &bytes);
  if (!job.converted && bytes == 0) size = "-", bytes = -1;  // an empty output is deleted
  if (style == ProgressStyle::Json) {
    std::printf(
        "{\"event\":\"file\",\"task\":%d,\"source\":\"%s\",\"output\":\"%s\",\"size\":%lld,\"time_s\":%.2f,"
        "\"result\":\"%s\"}\n",
        job.task, JsonEscape(job.source).c_str(), JsonEscape(job.output).c_str(), bytes, job.seconds,
        JsonEscape(job.result).c_str());
  } else {
    const std::string time =
        job.seconds < 0 ? "-" : TimeToText(static_cast<int64_t>(job.seconds * 1e6));
    std::printf("%s  %s  %s  %s\n", job.output.empty() ? job.source.c_str() : job.output.c_str(), size.c_str(),
                time.c_str(), job.result.c_str());
  }
  std::fflush(stdout);
}

void PrintFormatList() {
  std::printf("Default\n  %3d  %s\n", kDefaultFormatCode, FormatCaption(kDefaultFormatCode).toStdString().c_str());
  for (const TFormatGroup& g : FormatCatalogue()) {
    std::printf("%s\n", g.Caption);
    for (const TFormatEntry& e : g.Entries) std::printf("  %3d  %s\n", e.Code, e.Caption);
  }
}

// Seconds or [h:]mm:ss, each with an optional fraction of up to six digits.
bool ParseClockTime(const std::string& text, int64_t* us) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
    parts.push_back(text.substr(start, colon - start));
  parts.push_back(text.substr(start));
  if (parts.size() > 3) return false;
  // Seconds, with up to six decimals.
  std::string seconds = parts.back(), fraction;
  if (size_t dot = seconds.find('.'); dot != std::string::npos) {
    fraction = seconds.substr(dot + 1);
    seconds = seconds.substr(0, dot);
    if (!AllDigits(fraction) || fraction.size() > 6) return false;
  }
  if (!AllDigits(seconds) || seconds.size() > 9) return false;
  int64_t total = std::stoll(seconds);
  if (parts.size() > 1 && total >= 60) return false;
  int64_t scale = 60;
  for (int i = static_cast<int>(parts.size()) - 2; i >= 0; --i, scale *= 60) {
    if (!AllDigits(parts[i]) || parts[i].size() > 6) return false;
    const int64_t v = std::stoll(parts[i]);
    if (i > 0 && v >= 60) return false;  // minutes below hours
    total += v * scale;
  }
  fraction.resize(6, '0');
  *us = total * 1000000 + std::stoll(fraction);
  return true;
}

// A whole number from lo to hi.
bool ParseRanged(const std::string& text, int lo, int hi, int* value) {
  const std::string digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  if (!AllDigits(digits) || digits.size() > 10) return false;
  const long long v = std::stoll(text);
  if (v < lo || v > hi) return false;
  *value = static_cast<int>(v);
  return true;
}

bool ParseColor(const std::string& text, QColor* color) {
  if (text.size() != 7 || text[0] != '#' ||
      text.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos)
    return false;
  const int rgb = std::stoi(text.substr(1), nullptr, 16);
  *color = QColor((rgb >> 16) & 255, (rgb >> 8) & 255, rgb & 255);
  return true;
}

// FAMILY,SIZE[,bold][,italic]
bool ParseFont(const std::string& text, TWmFont* font) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  int size = 0;
  if (parts.size() < 2 || parts[0].empty() || !ParseRanged(parts[1], 1, 1000, &size)) return false;
  TWmFont f = *font;
  f.Family = QString::fromStdString(parts[0]);
  f.PointSize = size;
  f.Styles = 0;
  for (size_t i = 2; i < parts.size(); ++i) {
    if (parts[i] == "bold")
      f.Styles |= TWmFont::Bold;
    else if (parts[i] == "italic")
      f.Styles |= TWmFont::Italic;
    else
      return false;
  }
  *font = f;
  return true;
}

// The picture effects and watermark items given on the command line; the
// same for every file of the run.
struct EffectsArgs {
  int brightness = 255, contrast = 0, saturation = 255, exposure = 0;
  std::vector<TWmRec> marks;
  bool placed = true;  // the last item has its --at
  bool HasText() const {
    for (const TWmRec& m : marks)
      if (m.Kind == 0) return true;
    return false;
  }
};

// Reads one effect or watermark option at args[i] (advancing i past its
// value). Returns false when args[i] is none of them; sets *error on misuse.
bool ParseEffectsArg(const std::vector<std::string>& args, size_t& i, EffectsArgs& fx, std::string* error) {
  const std::string& a = args[i];
  static const std::set<std::string> known = {"--brightness", "--contrast",  "--saturation", "--exposure",
                                              "--watermark-text", "--watermark-image", "--at", "--font",
                                              "--color", "--background", "--opacity", "--from", "--to"};
  if (!known.count(a) || i + 1 >= args.size()) return false;
  const std::string& v = args[++i];
  auto ranged = [&](int lo, int hi, int* out) {
    if (!ParseRanged(v, lo, hi, out))
      *error = a + " takes a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ", got '" +
               v + "'";
  };
  if (a == "--brightness") return ranged(0, 512, &fx.brightness), true;
  if (a == "--contrast") return ranged(-100, 100, &fx.contrast), true;
  if (a == "--saturation") return ranged(0, 512, &fx.saturation), true;
  if (a == "--exposure") return ranged(-255, 512, &fx.exposure), true;
  if (a == "--watermark-text" || a == "--watermark-image") {
    if (!fx.placed) {
      *error = std::string(fx.marks.back().Kind == 0 ? "--watermark-text" : "--watermark-image") + " needs --at X,Y";
      return true;
    }
    if (v.empty()) {
      *error = a + " needs " + (a == "--watermark-text" ? "a text" : "a file");
      return true;
    }
    TWmRec m;
    m.StartSec = 0;
    m.EndSec = INT32_MAX;
    if (a == "--watermark-text") {
      m.Kind = 0;
      m.Text = QString::fromStdString(v);
      m.Font.Family = "Sans";
      m.Font.PointSize = 16;
      m.Font.Color = Qt::white;
    } else {
      m.Kind = 1;
      m.ImageFile = QFileInfo(QString::fromStdString(v)).absoluteFilePath();
    }
    fx.marks.push_back(m);
    fx.placed = false;
    return true;
  }
  if (fx.marks.empty()) {
    *error = a + " follows --watermark-text or --watermark-image";
    return true;
  }
  TWmRec& m = fx.marks.back();
  if (a == "--at") {
    const size_t comma = v.find(',');
    int x = 0, y = 0;
    if (comma == std::string::npos || !ParseRanged(v.substr(0, comma), -100000, 100000, &x) ||
        !ParseRanged(v.substr(comma + 1), -100000, 100000, &y)) {
      *error = "--at takes X,Y in pixels of the source picture, got '" + v + "'";
      return true;
    }
    (m.Kind == 0 ? m.TextLeft : m.ImageLeft) = x;
    (m.Kind == 0 ? m.TextTop : m.ImageTop) = y;
    fx.placed = true;
  } else if (a == "--opacity") {
    ranged(0, 255, m.Kind == 0 ? &m.TextAlpha : &m.ImageAlpha);
  } else if (a == "--from" || a == "--to") {
    ranged(0, INT32_MAX, a == "--from" ? &m.StartSec : &m.EndSec);
    if (error->empty() && m.StartSec > m.EndSec) *error = "--from must not come after --to";
  } else if (m.Kind != 0) {
    *error = a + " follows --watermark-text";
  } else if (a == "--font") {
    if (!ParseFont(v, &m.Font)) *error = "--font takes FAMILY,SIZE[,bold][,italic], got '" + v + "'";
  } else if (!ParseColor(v, a == "--color" ? &m.Font.Color : &m.BackColor)) {
    *error = a + " takes #RRGGBB, got '" + v + "'";
  } else if (a == "--background") {
    m.UseBackColor = true;
  }
  return true;
}

}  // namespace

bool IsProfileModeStart(const std::string& arg) {
  for (const char* option : {"--format", "--list-formats", "--output-dir", "--trim", "--crop", "--zoom", "--jobs",
                             "--progress", "--brightness", "--contrast", "--saturation", "--exposure", "--watermark-text",
                             "--watermark-image", "--at", "--font", "--color", "--background", "--opacity", "--from", "--to"})
    if (arg == option) return true;
  return !arg.empty() && arg[0] != '-';
}

int RunProfileMode(const std::vector<std::string>& args) {
  std::optional<int> code;
  std::string outputDir, zoom;
  std::optional<std::array<int, 4>> crop;
  int64_t trimStart = 0, trimLength = 0;
  int jobs = 1;
  bool list = false;
  ProgressStyle style = DefaultProgressStyle();
  std::vector<std::string> files;
  EffectsArgs fx;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string fxError;
    if (ParseEffectsArg(args, i, fx, &fxError)) {
      if (!fxError.empty()) return UsageError(fxError);
      continue;
    }
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    const std::string* v = nullptr;
    if (a == "--") {
      files.insert(files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a == "--list-formats") {
      list = true;
    } else if (a == "--format" && (v = value())) {
      int n = 0;
      if (!IsIntegerText(QString::fromStdString(*v), &n) || !IsFormatCode(n))
        return UsageError("--format takes a format code (see --list-formats), got '" + *v + "'");
      code = n;
    } else if (a == "--output-dir" && (v = value())) {
      if (v->empty()) return UsageError("--output-dir needs a folder");
      outputDir = *v;
    } else if (a == "--trim" && (v = value())) {
      const size_t plus = v->find('+');
      if (!ParseClockTime(v->substr(0, plus), &trimStart) ||
          (plus != std::string::npos && (!ParseClockTime(v->substr(plus + 1), &trimLength) || trimLength <= 0)))
        return UsageError("--trim takes START[+LENGTH] in seconds or h:mm:ss(.fff), got '" + *v + "'");
    } else if (a == "--crop" && (v = value())) {
      std::array<int, 4> c{};
      size_t pos = 0;
      bool ok = true;
      for (int k = 0; k < 4 && ok; ++k) {
        const size_t comma = v->find(',', pos);
        const std::string item = v->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        ok = AllDigits(item) && item.size() <= 5 && (comma == std::string::npos) == (k == 3);
        if (ok) c[k] = std::stoi(item);
        ok = ok && c[k] % 2 == 0;
        pos = comma + 1;
      }
      if (!ok) return UsageError("--crop takes TOP,LEFT,BOTTOM,RIGHT as even numbers of pixels, got '" + *v + "'");
      crop = c;
    } else if (a == "--zoom" && (v = value())) {
      if (*v != "full" && *v != "lbox" && *v != "pan" && *v != "center")
        return UsageError("--zoom takes full, lbox, pan or center");
      zoom = *v;
    } else if (a == "--jobs" && (v = value())) {
      if (!AllDigits(*v) || v->size() > 2 || std::stoi(*v) < 1 || std::stoi(*v) > 16)
        return UsageError("--jobs takes a number from 1 to 16");
      jobs = std::stoi(*v);
    } else if (a == "--progress" && (v = value())) {
      if (!ParseProgressStyle(*v, &style)) return UsageError("--progress takes bar, json or none");
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown or incomplete argument '" + a + "'");
    } else {
      files.push_back(a);
    }
  }
  if (list) {
    if (args.size() != 1) return UsageError("--list-formats takes no other argument");
    PrintFormatList();
    return 0;
  }
  if (!fx.placed)
    return UsageError(std::string(fx.marks.back().Kind == 0 ? "--watermark-text" : "--watermark-image") +
                      " needs --at X,Y");
  if (files.empty()) return UsageError("no file to convert");

  // Text needs fonts, and fonts a QGuiApplication; no display is needed.
  static int guiArgc = 1;
  static char guiName[] = "tolvane-convert";
  static char* guiArgv[] = {guiName, nullptr};
  std::optional<QGuiApplication> gui;
  if (fx.HasText()) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    gui.emplace(guiArgc, guiArgv);
    // The box of each text is its extent, as the watermark dialog measures it.
    for (TWmRec& m : fx.marks) {
      if (m.Kind != 0) continue;
      const QSize extent = WatermarkTextExtent(m.Text, m.Font);
      m.TextWidth = extent.width();
      m.TextHeight = extent.height();
    }
  }

  TGlobalObject global;
  TSettingsStore settings(global.SettingsFile());
  const TProfileStore profile(global.ProfileFile());
  if (!code) {
    code = settings.FormatCode();
    if (!IsFormatCode(*code)) {
      std::fprintf(stderr, "tolvane-convert: the saved format code %d is not in the catalogue\n", *code);
      return 1;
    }
  }
  if (!profile.Ini().SectionExists(FormatSection(*code)))
    std::fprintf(stderr, "tolvane-convert: %s has no section %s; its defaults are used\n",
                 global.ProfileFile().toStdString().c_str(), FormatSection(*code).toStdString().c_str());
  if (!LoadEngineLibraries()) return 1;

  TCliQuestions questions;
  TJobBuilder builder(settings, profile, questions);
  if (!outputDir.empty()) builder.SetOutputFolder(QString::fromStdString(outputDir));
  TConvertEngine engine;
  engine.ThreadPriority = PriorityToThreadPriority(settings.Priority(), engine.ThreadPriority);

  std::vector<Job> all;
  std::vector<size_t> byTask;  // task index -> position in all
  // Task index -> its record; filled before the run and only read during it.
  std::map<int, TlvFilesRecord> records;
  int failed = 0;
  for (const std::string& file : files) {
    Job job;
    job.source = file;
    questions.file = file;
    auto fail = [&](const std::string& why) {
      job.result = "failed: " + why;
      ++failed;
      PrintSummary(style, job);
      all.push_back(job);
    };
    if (QFileInfo(QString::fromStdString(file)).isDir()) {
      fail("is a folder");
      continue;
    }
    TAVProbe& probe = engine.Probe();
    if (!probe.LoadFile(file)) {
      fail(probe.LastErrMsg());
      continue;
    }
    const TSourceFacts facts = SourceFactsFromProbe(probe);
    probe.CloseFile();
    TlvFilesRecord record;
    record.SourceFile = QString::fromStdString(file);
    record.TrimStart = trimStart;
    record.TrimLength = trimLength;
    record.Brightness = fx.brightness;
    record.Contrast = fx.contrast;
    record.Saturation = fx.saturation;
    record.Exposure = fx.exposure;
    record.WaterMarks = fx.marks;
    if (crop) {
      record.CropTop = (*crop)[0];
      record.CropLeft = (*crop)[1];
      record.CropBottom = (*crop)[2];
      record.CropRight = (*crop)[3];
    }
    TInputOptions in;
    TOutputOptions out;
    try {
      builder.PrepareOptions(*code, record, in, out);
      if (!zoom.empty()) record.Zoom = QString::fromStdString(zoom);
      builder.BuildConversionOptions(*code, out, facts, record, in);
    } catch (const TJobError& e) {
      fail(e.what());
      continue;
    }
    job.output = out.FileName;
    const int task = engine.AddTask(file, &in);
    if (task < 0) {
      job.output.clear();
      fail(engine.LastError());
      continue;
    }
    out.CustomHook = NeedsCustomHook(record);
    if (!engine.SetOutputFile(task, out.FileName, &out)) {
      const std::string why = engine.LastError();
      engine.RemoveTask(task);
      job.output.clear();
      fail(why);
      continue;
    }
    job.task = task;
    records[task] = record;
    byTask.push_back(all.size());
    all.push_back(job);
  }
  questions.file.clear();

  TWatermarkRenderer renderer([&records](int task) -> const TlvFilesRecord* {
    const auto it = records.find(task);
    return it == records.end() ? nullptr : &it->second;
  });
  renderer.OnError = [](const std::string& line) { std::fprintf(stderr, "tolvane-convert: %s\n", line.c_str()); };
  engine.OnCustomHook = [&renderer](TCustomConvertEngine* sender, PHookInfo info) {
    renderer.EngineCustomHook(sender, info);
  };

  if (!byTask.empty()) {
    TProgressPrinter printer(style);
    engine.OnProgress = [&](TCustomConvertEngine*, PProgressInfo p) { printer.Progress(*p); };
    const Clock::time_point started = Clock::now();
    std::mutex lock;
    std::vector<Clock::time_point> ends;  // guarded by lock: termination times in order
    std::atomic<bool> runOver{false};
    // Notices arrive on the engine's notice thread; their output is made in
    // the main thread, between progress lines.
    engine.OnTerminate = [&](TCustomConvertEngine*, const TTerminateInfo& info) {
      if (info.TaskIndex < 0) {
        runOver = true;
        PostToMainThread([] {});
        return;
      }
      Clock::time_point begun;
      const Clock::time_point now = Clock::now();
      {
        std::lock_guard<std::mutex> g(lock);
        // A task starts when the run starts or when an earlier one ends and
        // frees its place, in task order.
        const size_t index = static_cast<size_t>(info.TaskIndex);
        const size_t freedBy = index - static_cast<size_t>(jobs);
        begun = index < static_cast<size_t>(jobs) ? started : freedBy < ends.size() ? ends[freedBy] : now;
        ends.push_back(now);
      }
      // A task stopped before it began has no time.
      const double seconds = begun == now ? -1 : std::chrono::duration<double>(now - begun).count();
      PostToMainThread([&, info, seconds] {
        Job& job = all[byTask[info.TaskIndex]];
        job.done = true;
        job.seconds = seconds;
        job.converted = info.Finished && !info.Exception;
        job.result = job.converted      ? "converted"
                     : info.Exception   ? "failed: " + info.ExceptionMsg
                                        : "stopped";
        if (!job.converted) ++failed;
        printer.EndBar();
        printer.Terminate(info);
        PrintSummary(style, job);
      });
    };
    struct sigaction sa {};
    sa.sa_handler = OnSigint;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    engine.StartTask(jobs);
    bool stopping = false;
    while (!runOver) {
      WaitAndProcessPendingMessages(std::chrono::milliseconds(100));
      if (gInterrupted && !stopping) {
        stopping = true;
        engine.Stop(false);
      }
    }
    // The final notice comes after every task's; their summaries may still wait.
    while (WaitAndProcessPendingMessages(std::chrono::milliseconds(0)) > 0) {
    }
    printer.EndBar();
    engine.OnTerminate = nullptr;
  }

  const int converted = static_cast<int>(all.size()) - failed;
  if (style == ProgressStyle::Json)
    std::printf("{\"event\":\"done\",\"converted\":%d,\"failed\":%d}\n", converted, failed);
  else
    std::printf("%d of %zu file%s converted%s\n", converted, all.size(), all.size() == 1 ? "" : "s",
                failed ? (", " + std::to_string(failed) + " failed").c_str() : "");
  std::fflush(stdout);
  if (gInterrupted) return 130;
  return failed ? 1 : 0;
}
