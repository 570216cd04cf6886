// The device's own veto on updates: a "TAV_NO_UPDATE=" line in os-release.
#pragma once

#include <string>

#include "base/paths.h"

// True when an update is vetoed; reason holds the value of the last such line, unquoted
// and unescaped. The fallback file is read only when the first one does not exist.
[[nodiscard]] bool readUpdateVeto(std::string& reason, const char* osRelease = paths::kOsReleaseFile,
                                  const char* fallbackOsRelease = paths::kFallbackOsReleaseFile);

// The value of a "TAV_NO_UPDATE=" line: trailing blanks dropped, one level of quotes
// removed, backslash escapes undone.
std::string unquoteVetoValue(const std::string& raw);
