// Namespace URIs of the repository's index and package lists; elements are matched by URI,
// never by prefix (base/xml_util and base/xml_walk compare them).
#pragma once

// rpm-md: the index, repodata/repomd.xml.
constexpr const char* kRepomdNamespace = "http://linux.duke.edu/metadata/repo";
// rpm-md: the package vocabulary shared by every list, and the rpm-specific format data.
constexpr const char* kCommonNamespace = "http://linux.duke.edu/metadata/common";
constexpr const char* kRpmNamespace = "http://linux.duke.edu/metadata/rpm";
// Our vendor list: the root of the tavdata list and the format data of tavpkg payloads.
constexpr const char* kTavNamespace = "http://tav.example/metadata/tav";
