#pragma once

#include <string>
#include <vector>

// The converter's commands; each returns the process exit code.
int RunRawMode(const std::vector<std::string>& args);
// Profile mode: files converted by format code; also --list-formats.
int RunProfileMode(const std::vector<std::string>& args);
// Whether a first argument starts profile mode.
bool IsProfileModeStart(const std::string& arg);

// Prints a usage error and returns 2.
int UsageError(const std::string& message);
// Loads the engine's libraries from the folder beside the program (else the
// system's); prints the loader's text and returns false on failure.
bool LoadEngineLibraries();
