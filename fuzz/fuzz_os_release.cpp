// The update veto line of os-release.
#include "driver/update_veto.h"
#include "fuzz_input.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    input = new fuzz::InputFile("os-release");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string reason;
    const std::string fallback = input->dir() + "/missing";
    (void)readUpdateVeto(reason, input->write(data, size).c_str(), fallback.c_str());
    (void)unquoteVetoValue(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
