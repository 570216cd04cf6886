// Handlers for the elements of a configuration file, each given its expanded subtree.
// They return false when the element makes the whole file fail.
#pragma once

#include <libxml/tree.h>

#include "config/updater_config.h"

[[nodiscard]] bool applyRepositoryElement(UpdaterConfig& config, xmlNodePtr element, bool isDefaults);
[[nodiscard]] bool applyLogElement(UpdaterConfig& config, xmlNodePtr element);
[[nodiscard]] bool applyProductElement(UpdaterConfig& config, xmlNodePtr element);
[[nodiscard]] bool applyUserAgentElement(UpdaterConfig& config, xmlNodePtr element);
[[nodiscard]] bool applyNetworkElement(UpdaterConfig& config, xmlNodePtr element);
// <metadata max-age-days="N"/>: refuse repository indexes signed more than N days ago (0: off).
[[nodiscard]] bool applyMetadataElement(UpdaterConfig& config, xmlNodePtr element);

// Only element children in their parent's namespace count.
bool isChildElement(xmlNodePtr node, xmlNodePtr parent);
