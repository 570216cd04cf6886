#include "signature/metadata_signature.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/child_process.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

// Removes a file when the scope ends, keeping errno for the messages of the caller.
class RemoveOnExit {
public:
    explicit RemoveOnExit(std::string path) : m_path(std::move(path)) {}
    ~RemoveOnExit() {
        const int saved = errno;
        unlink(m_path.c_str());
        errno = saved;
    }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    std::string m_path;
};

// Writes all size bytes, going on after partial writes and interruptions.
bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool writeKeyring(const PublicKeyList& keys, std::string& path, const std::string& keyringTemplate) {
    std::string name = keyringTemplate;
    UniqueFd fd(mkstemp(&name[0]));
    if (!fd) return false;
    for (const std::vector<uint8_t>& key : keys) {
        if (!writeAll(fd.get(), key.data(), key.size())) {
            RemoveOnExit remove(name);
            return false;
        }
    }
    // A keyring cut short by a failed close would make gpgv reject a good signature.
    if (!fd.close()) {
        RemoveOnExit remove(name);
        return false;
    }
    path = name;
    return true;
}

bool verifyDetachedSignature(const PublicKeyList& keys, const std::string& file, const std::string& signature,
                             const std::string& keyringTemplate) {
    LOG(Debug, "verifying %s against signature %s", file.c_str(), signature.c_str());
    ChildProcess gpgv(paths::kGpgvProgram);
    if (keys.empty()) {
        LOG(Warn, "no trusted keys to verify file");
        return false;
    }

    std::string keyring;
    if (!writeKeyring(keys, keyring, keyringTemplate)) {
        LOG(Error, "failed creating temporary keyring file: %s", errnoText().c_str());
        return false;
    }
    RemoveOnExit removeKeyring(keyring);

    gpgv.addArg("--quiet");
    gpgv.addArg("--keyring");
    gpgv.addArg(keyring);
    gpgv.addArg("--ignore-time-conflict");
    gpgv.addArg(signature);
    gpgv.addArg(file);
    if (!gpgv.runBackground() || !gpgv.wait()) return false;

    if (gpgv.exited()) {
        LOG(Debug, "gpgv exited with code %i", gpgv.exitCode());
        return gpgv.exitCode() == 0;
    }
    if (gpgv.signalled()) {
        LOG(Error, "signature verifier was killed by signal %i", gpgv.exitCode());
    } else {
        LOG(Error, "signature verifier failed for unknown reason");
    }
    return false;
}
