// Shared pieces of the fuzz targets: a quiet logger and a reusable input file for parsers
// that only read from a path.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/logger.h"
#include "base/xml_util.h"

namespace fuzz {

// Every message is formatted, so that its arguments are checked too, but written to
// /dev/null: output would otherwise drown libFuzzer's own. libxml2's reports go the same way.
inline void quietLogger() {
    Logger& logger = Logger::instance();
    logger.setStderr(false);
    logger.setLevel(LogLevel::Trace);
    // Without /dev/null the messages are only not formatted: nothing for a fuzz run to stop for.
    (void)logger.addFile("/dev/null", LogLevel::Trace, true);
    routeXmlErrorsToLog();
}

// Directories made by InputFile, removed with their content at a normal exit (libFuzzer
// exits normally after -max_total_time or -runs); after a crash they stay.
inline std::vector<std::string>& inputDirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

inline void removeInputDirs() {
    std::error_code ignored;
    for (const std::string& dir : inputDirs()) std::filesystem::remove_all(dir, ignored);
}

// A private directory made once per process, with one input file inside that is rewritten
// for every run. It lives in memory (/dev/shm) where it can: rewriting a file on a disk file
// system costs milliseconds a run.
class InputFile {
public:
    explicit InputFile(const char* name) {
        const char* base = getenv("TMPDIR");
        if (!base || !*base) base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/updater-fuzz-XXXXXX";
        if (!mkdtemp(tmpl.data())) abort();
        m_dir = tmpl;
        m_path = m_dir + "/" + name;
        if (inputDirs().empty()) atexit(removeInputDirs);
        inputDirs().push_back(m_dir);
    }
    const std::string& dir() const { return m_dir; }
    const std::string& path() const { return m_path; }

    const std::string& write(const uint8_t* data, size_t size) {
        FILE* file = fopen(m_path.c_str(), "wb");
        if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) abort();
        return m_path;
    }

private:
    std::string m_dir;
    std::string m_path;
};

}  // namespace fuzz
