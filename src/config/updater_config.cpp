#include "config/updater_config.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

// Current systems mount the USB stick under the state directory, older ones under the
// automounter's path. Only a definite ENOENT lets the legacy path win: a current mount
// point that merely cannot be examined must not be shadowed by a stale legacy one.
std::string usbLocation(const char* usbUpdatesDir, const char* legacyUsbUpdatesDir) {
    struct stat st;
    if (stat(usbUpdatesDir, &st) == 0 || errno != ENOENT) return usbUpdatesDir;
    if (stat(legacyUsbUpdatesDir, &st) == 0) {
        LOG(Warn, "falling back to legacy USB update source '%s'", legacyUsbUpdatesDir);
        return legacyUsbUpdatesDir;
    }
    return usbUpdatesDir;
}

}  // namespace

UpdaterConfig::UpdaterConfig() : UpdaterConfig(paths::kUsbUpdatesDir, paths::kLegacyUsbUpdatesDir) {}

UpdaterConfig::UpdaterConfig(const char* usbUpdatesDir, const char* legacyUsbUpdatesDir) {
    RepositoryEntry usb;
    usb.id = "local-usb";
    usb.name = "Updates from local USB storage";
    usb.location = usbLocation(usbUpdatesDir, legacyUsbUpdatesDir);
    usb.enabled = false;
    usb.fromDefaults = true;
    repositories.push_back(std::move(usb));
}

RepositoryEntry* UpdaterConfig::findRepository(const std::string& id) {
    for (RepositoryEntry& entry : repositories)
        if (entry.id == id) return &entry;
    return nullptr;
}
