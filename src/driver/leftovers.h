// Temporary files a killed run leaves behind: a status or update-state record that was never
// moved into place, a keyring gpgv was reading. The next run, holding the lock, removes them.
#pragma once

#include <string>

#include "base/paths.h"
#include "driver/status_file.h"

// Whether name is one that mkstemp makes from the template's last component (which ends in
// "XXXXXX"): the same text before it and six letters or digits in its place.
bool madeFromTemplate(const std::string& name, const std::string& templateName);

// Removes the regular files of the updater's own user that mkstemp made from the template
// (a path whose last component ends in "XXXXXX"), in the template's directory.
void removeTempLeftovers(const std::string& templatePath);

// The leftovers of every temporary file the updater makes. Only the lock holder may call it:
// another instance's temporary files are in use.
void removeOwnLeftovers(const StatusPaths& statusPaths = StatusPaths(),
                        const char* keyringTemplate = paths::kTempKeyringTemplate);
