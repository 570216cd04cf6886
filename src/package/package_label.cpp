#include "package/package.h"

std::string packageLabel(const Package& package) {
    return package.name + "-" + package.evr.toString();
}
