// The device's proxy configuration file.
#pragma once

#include <string>

#include "base/paths.h"
#include "config/updater_config.h"

// Fills the proxy fields from the file; never fails the caller (problems are logged).
void loadProxyConfig(FetcherConfig& fetcher, const std::string& path = paths::kProxyConfigFile);
