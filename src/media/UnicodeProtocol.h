// File names to media-library URLs and back.
//
// Linux file names are UTF-8 already and the format library opens them as
// they are, so no protocol of our own is needed. What remains is that the
// library reads "scheme:rest" as a URL: a local name whose leading word could
// be taken for a scheme gets "file:" in front, and URLToFileName removes it.
// A URL of a protocol the library knows ("http://…") passes through unless a
// file of that name exists.
#pragma once

#include <string>

#include "MyUtils.h"

// True when the library would not open name as a plain local file.
bool NeedsFilePrefix(const TPathFileName& name);
std::string FileNameToURL(const TPathFileName& name);
TPathFileName URLToFileName(const std::string& url);
// True when url starts with the name of an input/output protocol the loaded
// library knows, other than "file" ("http://…", "pipe:0").
bool IsLibraryProtocolURL(const std::string& url);

// Refreshes the list of protocol names from the loaded format library. The
// loader calls it after every successful load of that library.
void RegisterUnicodeProtocol();
