#pragma once

// The program's name and version, as shown in the banner, the user agent and hook arguments.
// The version is the project's, set once in CMakeLists.txt.
constexpr char kUpdaterName[] = "updater";
constexpr char kUpdaterVersion[] = UPDATER_VERSION;
