// Frame-hook plug-ins: shared libraries that paint on decoded pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/tolvane_framehook.h"

struct TFrameHookEntry {
  TolvaneConfigureProc Configure = nullptr;
  TolvaneProcessProc Process = nullptr;
  TolvaneReleaseProc Release = nullptr;
  void* Context = nullptr;
};

using TFrameHookList = std::vector<TFrameHookEntry>;

// Loads (once per process) and configures one plug-in instance: words[0]
// names the library. 0, or -2 (no words, missing entry point), -1 (cannot
// load), -12 (no memory), -22 (Configure refused).
int AddFrameHook(TFrameHookList& list, const std::vector<std::string>& words);
void ProcessFrameHooks(TFrameHookList& list, TolvanePicture* picture, int pixFmt, int width, int height,
                       int64_t ptsUs);
void ReleaseFrameHooks(TFrameHookList& list);

// Splits a "vhook" value at "|" when it has one, else at blanks (63 words at most).
std::vector<std::string> SplitHookWords(const std::string& value);
