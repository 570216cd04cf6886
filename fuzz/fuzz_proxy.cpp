// The device's proxy configuration file.
#include "config/proxy_config.h"
#include "fuzz_input.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    input = new fuzz::InputFile("proxy.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FetcherConfig fetcher;
    loadProxyConfig(fetcher, input->write(data, size));
    if (fetcher.proxyPort < 0 || fetcher.proxyPort > 65534) abort();
    return 0;
}
