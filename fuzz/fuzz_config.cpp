// The XML configuration files, read both as the defaults file and as the site file.
#include "config/config_file.h"
#include "fuzz_input.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    input = new fuzz::InputFile("updater.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = input->write(data, size);
    // A missing proxy file: the proxy file has a target of its own.
    const std::string proxyFile = input->dir() + "/no-proxy.xml";
    for (bool isDefaults : {true, false}) {
        UpdaterConfig config("/nonexistent/usb", "/nonexistent/legacy-usb");
        (void)loadConfigFile(config, path, isDefaults, proxyFile);
    }
    return 0;
}
