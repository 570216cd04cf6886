// Version texts "[epoch:]version[-release]": two of them, split at the first newline, are
// parsed and compared.
#include <string>

#include "fuzz_input.h"
#include "package/evr.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    return 0;
}

namespace {
int sign(int value) {
    return (value > 0) - (value < 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string::size_type newline = text.find('\n');
    const EVR a = EVR::fromString(text.substr(0, newline));
    const EVR b = EVR::fromString(newline == std::string::npos ? std::string() : text.substr(newline + 1));
    if (compareEVR(a, a) != 0 || sign(compareEVR(a, b)) != -sign(compareEVR(b, a))) abort();
    // The printed form reads back as the same version.
    if (!a.version.empty()) {
        const EVR again = EVR::fromString(a.toString());
        if (again.epoch != a.epoch || again.version != a.version || again.release != a.release) abort();
    }
    return 0;
}
