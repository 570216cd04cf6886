// The packages an update pass chooses for installation.
#pragma once

#include <map>
#include <string>

#include "package/package.h"

// One record per name; owned by the update run.
using PackageSelection = std::map<std::string, Package>;
