// Reading of the XML configuration files into the run options.
#pragma once

#include <string>
#include <vector>

#include <libxml/tree.h>

#include "base/paths.h"
#include "config/updater_config.h"

// Reads one configuration file into the record; may leave partial changes on failure.
// After a site file (isDefaults false) was read, the proxy file is read as well.
[[nodiscard]] bool loadConfigFile(UpdaterConfig& config, const std::string& path, bool isDefaults,
                                  const std::string& proxyFile = paths::kProxyConfigFile);

// Walks the sibling `package` and `group` elements from first on, appending each `name`
// text to packages or groups; without a group list, group names are dropped with a warning.
[[nodiscard]] bool collectPackageNames(xmlNodePtr first, std::vector<std::string>& packages,
                                       std::vector<std::string>* groups);
