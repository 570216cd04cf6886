#include "driver/update_veto.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/handles.h"

namespace {

constexpr char kVetoKey[] = "TAV_NO_UPDATE=";
constexpr size_t kVetoKeyLength = sizeof kVetoKey - 1;
constexpr int kMaxLineLength = 255;

}  // namespace

std::string unquoteVetoValue(const std::string& raw) {
    std::string value = raw;
    while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
    if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
        // The first and the last characters go, whatever the last one is.
        value = value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string();
    }
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\') {
            if (++i == value.size()) break;  // a trailing backslash ends the value
        }
        unescaped += value[i];
    }
    return unescaped;
}

bool readUpdateVeto(std::string& reason, const char* osRelease, const char* fallbackOsRelease) {
    FilePtr file(fopen(osRelease, "r"));
    if (!file && errno == ENOENT) file.reset(fopen(fallbackOsRelease, "r"));
    if (!file) return false;

    bool vetoed = false;
    // Lines are read in pieces of at most 255 characters; only a piece that starts a
    // line can carry the key.
    char buffer[kMaxLineLength + 1];
    bool atLineStart = true;
    while (fgets(buffer, sizeof buffer, file.get())) {
        size_t length = strlen(buffer);
        bool endsLine = length > 0 && buffer[length - 1] == '\n';
        if (atLineStart && strncmp(buffer, kVetoKey, kVetoKeyLength) == 0) {
            vetoed = true;
            reason = unquoteVetoValue(std::string(buffer + kVetoKeyLength, length - kVetoKeyLength));
        }
        atLineStart = endsLine;
    }
    return vetoed;
}
