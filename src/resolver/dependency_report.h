// The log lines and results of a dependency check; the closure's end also tells file
// dependencies apart.
#pragma once

#include <cstddef>
#include <string>

#include "package/dependency.h"
#include "package/package.h"

bool isFileDependency(const Dependency& dependency);
void reportCheckStart(size_t selected);
// A dependency nothing in the system satisfies: file dependencies are only logged (nothing
// can provide a path, rpm checks them itself), the others are added to unsatisfied. word:
// "required" or "recommended"; ownerLabel: packageLabel of the record that has it.
void reportUnsatisfied(const Dependency& dependency, const char* word, const std::string& ownerLabel,
                       DependencySet& unsatisfied);
