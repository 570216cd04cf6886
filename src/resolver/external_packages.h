// Software on the device that the rpm database does not record, described by other software
// in a file of the primary-list format; the resolver counts it as installed.
#pragma once

#include <string>

#include "base/paths.h"
#include "package/package.h"

// Adds the packages described by the file to out. A missing file is normal and leaves out
// unchanged; an unusable one is logged and keeps what was read before the error. True when
// the whole file was read. False is no failure for a caller to handle (the run goes on
// either way), so the result may be left unused.
bool loadExternalPackages(PackageMap& out, const std::string& path = paths::kExternalPackagesFile);
