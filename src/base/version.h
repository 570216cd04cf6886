#pragma once

// The program's name and version, as shown in the banner, the user agent and hook arguments.
constexpr char kUpdaterName[] = "updater";
constexpr char kUpdaterVersion[] = "1.10";
