#include "signature/metadata_signature.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/child_process.h"
#include "base/durable_file.h"
#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"

namespace {

// The keys one after the other in a new private file made from keyringTemplate.
bool writeKeyringFile(const PublicKeyList& keys, TempFile& keyring, const std::string& keyringTemplate) {
    if (!keyring.createUnique(keyringTemplate)) return false;
    for (const std::vector<uint8_t>& key : keys) {
        if (!keyring.write(key.data(), key.size())) return false;
    }
    // A keyring cut short by a failed close would make gpgv reject a good signature.
    return keyring.close();
}

}  // namespace

bool writeKeyring(const PublicKeyList& keys, std::string& path, const std::string& keyringTemplate) {
    TempFile keyring;
    if (!writeKeyringFile(keys, keyring, keyringTemplate)) return false;
    path = keyring.release();
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

    // Removed when the check is over, whatever its outcome.
    TempFile keyring;
    if (!writeKeyringFile(keys, keyring, keyringTemplate)) {
        LOG(Error, "failed creating temporary keyring file: %s", errnoText().c_str());
        return false;
    }

    gpgv.addArg("--quiet");
    gpgv.addArg("--keyring");
    gpgv.addArg(keyring.path());
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
