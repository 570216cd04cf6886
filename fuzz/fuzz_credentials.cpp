// The device's network credentials file, read for one server, then searched.
#include "fuzz_input.h"
#include "network/credential_store.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    input = new fuzz::InputFile("tavpasswd.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ne_uri server{};
    if (ne_uri_parse("https://updates.example.com/repo/", &server) != 0) abort();
    CredentialStore store(server);
    ne_uri_free(&server);
    (void)loadCredentials(store, input->write(data, size));
    // Each entry is offered at most once per authentication.
    for (const char* realm : {"", "updates"}) {
        resetCursor(store);
        size_t offered = 0;
        while (findCredential(store, realm, "/repo/repodata/repomd.xml"))
            if (++offered > store.entries().size()) abort();
    }
    return 0;
}
