// The job builder: turns a file's job record, the chosen format's choices and
// profile, and what the probe knows of the source into the engine's input and
// output records and the output file name.
#pragma once

#include <functional>

#include <QString>

#include "EngineTypes.h"
#include "FilesRecord.h"
#include "GlobalUnit.h"
#include "ProfileStore.h"

class TAVProbe;

// What the builder needs to know of the source.
struct TSourceFacts {
  int VideoStreamCount = 0;
  int Width = 0, Height = 0;  // first video stream
  int VideoBitRate = -1;      // first video stream, bits/s; -1 unknown
  int SampleRate = -1;        // first audio stream, Hz
  int AudioBitRate = -1;      // first audio stream, bits/s
};
// From a probe with its file open.
TSourceFacts SourceFactsFromProbe(TAVProbe& probe);

// The questions the builder may ask. The program answers them with message
// boxes; the command line answers with its defaults and says what it chose.
// All calls come from the thread that runs the builder.
class TJobQuestions {
 public:
  virtual ~TJobQuestions() = default;
  // text is "Error output Video Size.Use the default size 320x240?"; true = Yes.
  virtual bool AskDefaultFrameSize(const QString& text) = 0;
  // The output folder cannot be made; text names the default folder used instead.
  virtual void WarnOutputFolder(const QString& text) = 0;
  // A decision taken without asking (an encoder replaced).
  virtual void Notice(const QString& text) = 0;
};

// The usable encoder for a stored name: the name itself when the libraries
// have it and it is not experimental, else the nearest one they have (empty
// when there is none). *why says what was replaced, when anything was.
using TEncoderResolver = std::function<QString(const QString& name, bool video, QString* why)>;
// Asks the loaded media libraries; names stay as they are while the
// libraries are not loaded.
QString ResolveEncoderWithLibraries(const QString& name, bool video, QString* why);

enum class TValueKind { SampleRate, AudioBitRate, VideoBitRate };

// Output names: D + N + "_(new)" + tail, or "_(new_" k ")" for the first k
// whose name is free.
QString NextFreeOutputName(const QString& folder, const QString& source, const QString& tail);

// True when the record asks for the frame-effects hook: any effect away from
// neutral, or a first watermark with a text or an image.
bool NeedsCustomHook(const TlvFilesRecord& record);

class TJobBuilder {
 public:
  TJobBuilder(TSettingsStore& settings, const TProfileStore& profile, TJobQuestions& questions);

  void SetEncoderResolver(TEncoderResolver resolver) { resolver_ = std::move(resolver); }
  // A folder used in place of the settings' "OutPutDir" (not saved).
  void SetOutputFolder(const QString& folder) { outputFolder_ = folder; }

  // The output name for source in the output folder; a folder that cannot be
  // made is replaced by the default one, with a warning.
  QString MakeOutputFileName(const QString& source, const QString& tail);
  // Whether value (Hz, or bits/s for bit rates) lies in the range of the
  // format's profile list of that kind.
  bool SourceValueInRange(int code, TValueKind kind, double value) const;

  // The fields set before the builder: input name and start time, output
  // name, crops and recording time from the record, and the record's zoom
  // from the format's saved choice.
  void PrepareOptions(int code, TlvFilesRecord& record, TInputOptions& in, TOutputOptions& out);
  // Fills both records for the format; throws TJobError when the files hold
  // a value that cannot be used.
  void BuildConversionOptions(int code, TOutputOptions& out, const TSourceFacts& source,
                              const TlvFilesRecord& record, TInputOptions& in);

 private:
  void SampleRateStep(const TFormatChoiceReader& choices, int code, const TSourceFacts& source, bool audioOnly,
                      TOutputOptions& out) const;
  void AudioBitRateStep(const TFormatChoiceReader& choices, int code, const TSourceFacts& source, bool audioOnly,
                        TOutputOptions& out) const;
  QString Resolve(const QString& name, bool video);

  TSettingsStore& settings_;
  const TProfileStore& profile_;
  TJobQuestions& questions_;
  TEncoderResolver resolver_;
  QString outputFolder_;
};
