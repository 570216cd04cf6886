// The repository's package lists; FUZZ_LIST_TYPE picks primary or tavdata.
#include <rpm/rpmlib.h>

#include "fuzz_input.h"
#include "repository/package_list.h"

namespace {
fuzz::InputFile* input;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    // As at the program's start: the architecture check uses rpm's platform tables.
    if (rpmReadConfigFiles(nullptr, nullptr) != 0) abort();
    input = new fuzz::InputFile("list.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PackageStore packages;
    (void)parseList(input->write(data, size), FUZZ_LIST_TYPE, packages, "/var/cache/updater/fuzz/packages/");
    return 0;
}
