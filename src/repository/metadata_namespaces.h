// Namespace URIs of the repository's package lists; elements are matched by URI, never by prefix.
#pragma once

// rpm-md: the package vocabulary shared by every list, and the rpm-specific format data.
constexpr const char* kCommonNamespace = "http://linux.duke.edu/metadata/common";
constexpr const char* kRpmNamespace = "http://linux.duke.edu/metadata/rpm";
// Our vendor list: the root of the tavdata list and the format data of tavpkg payloads.
constexpr const char* kTavNamespace = "http://tav.example/metadata/tav";
