// Every fixed path of the device that the updater reads or writes.
// Code that tests must redirect takes the path as a parameter defaulting to one of these.
#pragma once

namespace paths {

// Configuration
constexpr char kDefaultsConfigFile[] = "/usr/share/resources/default/updater/defaults.conf";
constexpr char kConfigFile[] = "/etc/updater.conf";
constexpr char kProxyConfigFile[] = "/etc/network/tavproxy.conf";
constexpr char kCredentialsFile[] = "/etc/orvane/tavpasswd.xml";
constexpr char kOsReleaseFile[] = "/etc/os-release";
constexpr char kFallbackOsReleaseFile[] = "/usr/lib/os-release";

// Built-in "local-usb" repository locations
constexpr char kUsbUpdatesDir[] = "/var/lib/updater/mnt-usb-updates";
constexpr char kLegacyUsbUpdatesDir[] = "/media/usb1/updates";

// State of the updater
constexpr char kStatusFile[] = "/var/lib/updater/status";
constexpr char kUpdateStateFile[] = "/var/lib/updater/update-state";
// What the last run that took the lock did, as JSON for the device's operators.
constexpr char kRunReportFile[] = "/var/lib/updater/last-run.json";
// The environment variable that gives the hooks the report's path.
constexpr char kRunReportVariable[] = "UPDATER_RUN_REPORT";
// Signing time and SHA-256 of the last accepted repository index.
constexpr char kIndexRecordFile[] = "/var/lib/updater/accepted-index";
constexpr char kCacheDir[] = "/var/cache/updater/";
constexpr char kLockFile[] = "/var/lock/updater";
constexpr char kLastLogFile[] = "/var/log/updater/lastlog";
constexpr char kNoRunFile[] = "/var/run/updater.norun";
constexpr char kExternalPackagesFile[] = "/var/run/updater/external.xml";

// Device identity
constexpr char kCpuInfoFile[] = "/proc/cpuinfo";
constexpr char kI2cDriversDir[] = "/sys/bus/i2c/drivers";

// Kernel and system files
constexpr char kDevNull[] = "/dev/null";
constexpr char kDevUrandom[] = "/dev/urandom";
constexpr char kTempKeyringTemplate[] = "/tmp/updater.XXXXXX";

// Programs on the device
constexpr char kHookProgram[] = "/usr/lib/updater/hook";
constexpr char kPayloadInstaller[] = "/usr/libexec/tavpkg/install";
constexpr char kRpmProgram[] = "rpm";
constexpr char kGpgvProgram[] = "gpgv";
constexpr char kDbRecoverProgram[] = "db_recover";
constexpr char kTelinitProgram[] = "telinit";
constexpr char kShutdownProgram[] = "shutdown";

}  // namespace paths
