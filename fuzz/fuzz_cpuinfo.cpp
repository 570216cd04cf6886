// The kernel's processor information, which gives the device's identity.
#include "fuzz_input.h"
#include "network/device_identity.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    input = new fuzz::InputFile("cpuinfo");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DeviceIdentity identity;
    (void)readDeviceIdentity(identity, input->write(data, size));
    if (identity.serial.size() > DeviceIdentity::kMaxSerial || identity.revision.size() > DeviceIdentity::kMaxRevision)
        abort();
    std::string username;
    (void)defaultUserName(identity, "product", username);
    return 0;
}
