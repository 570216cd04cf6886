// The package record of the repository lists, read from one expanded `package` element.
#pragma once

#include <map>
#include <string>

#include <libxml/tree.h>

#include "package/dependency.h"
#include "package/evr.h"
#include "package/package.h"

// Whether rpm's platform patterns accept an architecture on the running machine. Asking rpm
// expands macros, and a list names only a few architectures: one filter per list keeps
// each answer.
class ArchFilter {
public:
    bool compatible(const std::string& arch);

private:
    std::map<std::string, bool> m_answers;
};

// 1 accepted, 0 dropped (unknown type, incompatible architecture), negative on an error
// that fails the whole list. The local path is made below packagesDir unless it is empty.
[[nodiscard]] int parsePackage(xmlNodePtr element, Package& package, const std::string& packagesDir,
                               ArchFilter& archFilter);

// Reads the group and the four dependency sets from a `format` element's children in the
// namespace namespaceUri; typeWord ("rpm", "tavpkg") names the data in log lines.
[[nodiscard]] bool parseTypeData(xmlNodePtr format, const char* namespaceUri, const char* typeWord, Package& package);

// Adds the `entry` elements in namespaceUri among first and its following siblings to target.
[[nodiscard]] bool parseEntries(xmlNodePtr first, const char* namespaceUri, DependencySet& target);

// Reads the epoch (required, decimal), ver (required) and rel (optional) attributes.
[[nodiscard]] bool parseEvr(xmlNodePtr element, EVR& evr);
