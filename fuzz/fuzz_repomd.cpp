// The repository index repodata/repomd.xml as read from the cache directory.
#include <sys/stat.h>

#include "fuzz_input.h"
#include "repository/repository.h"

namespace {
fuzz::InputFile* input;
UpdaterConfig* options;
RepositoryEntry* entry;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogger();
    // The repository "r" keeps its index in <cache>/r/repomd.xml. The signature is not
    // checked: gpgv is not what is fuzzed here.
    input = new fuzz::InputFile("r");
    if (mkdir(input->path().c_str(), 0700) != 0) abort();
    options = new UpdaterConfig();
    options->noMdSigCheck = true;
    options->cacheDir = input->dir();
    entry = new RepositoryEntry();
    entry->id = "r";
    entry->location = "/nonexistent";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Repository repository(*options, *entry);
    const std::string index = repository.cacheDir() + "repomd.xml";
    FILE* file = fopen(index.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
    if (!repository.parseRepomd()) return 0;
    // Whatever the index says, the lists that are downloaded keep their cached copy directly
    // inside the cache directory. Entries of other types never reach the disk.
    for (const char* type : {"primary", "tavdata"}) {
        auto found = repository.dataEntries().find(type);
        if (found == repository.dataEntries().end()) continue;
        const std::string& path = found->second.localPath;
        const std::string& dir = repository.cacheDir();
        if (path.compare(0, dir.size(), dir) != 0 || path.find('/', dir.size()) != std::string::npos) abort();
    }
    return 0;
}
