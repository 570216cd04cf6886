#include "network/device_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "base/handles.h"
#include "base/logger.h"
#include "base/util.h"
#include "network/device_secrets.h"

namespace {

using namespace device_secrets;

// Tried in this order for every board; the first ones are the Vorlan core and carrier EEPROMs.
const char* const kEepromFiles[] = {
    "Vorlan-EEPROM/0-0050/data", "Vorlan-EEPROM/0-0052/data", "Vorlan-EEPROM/0-0053/data",
    "tav-eeprom/1-0052/data",    "tav-eeprom/1-001e/data",
};

constexpr std::size_t kMaxBlocks = 2;
constexpr std::size_t kMd5Size = 16;

// Key material is wiped when it goes out of scope, on every path.
template <std::size_t N>
struct SecretBytes {
    unsigned char data[N] = {};
    SecretBytes() = default;
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { OPENSSL_cleanse(data, N); }
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The third blank-separated word of a line ("Serial : 0123" gives "0123"), cut to maxLength.
std::optional<std::string> thirdWord(std::string_view line, std::size_t maxLength) {
    std::size_t pos = 0;
    for (int word = 0;; ++word) {
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        if (pos == line.size()) return std::nullopt;
        std::size_t end = pos;
        while (end < line.size() && !isBlank(line[end])) ++end;
        if (word == 2) return std::string(line.substr(pos, std::min(end - pos, maxLength)));
        pos = end;
    }
}

bool startsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

void parseCpuInfoLine(std::string_view line, DeviceIdentity& identity, const char* path) {
    if (startsWith(line, "Serial")) {
        if (auto word = thirdWord(line, DeviceIdentity::kMaxSerial))
            identity.serial = *word;
        else
            LOG(Debug, "malformed Serial line in '%s'", path);
    } else if (startsWith(line, "Revision")) {
        if (auto word = thirdWord(line, DeviceIdentity::kMaxRevision))
            identity.revision = *word;
        else
            LOG(Debug, "malformed Revision line in '%s'", path);
    } else if (startsWith(line, "Hardware")) {
        auto word = thirdWord(line, DeviceIdentity::kMaxHardware);
        if (!word) {
            LOG(Debug, "malformed Hardware line in '%s'", path);
        } else if (*word == "Vorlan") {
            identity.hardwareType = HardwareType::Vorlan;
        } else if (*word == "Mirest") {
            identity.hardwareType = HardwareType::Mirest;
        } else if (*word == "tresca") {
            identity.hardwareType = HardwareType::Tresca;
        } else {
            LOG(Warn, "unknown hardware '%s'", word->c_str());
            identity.hardwareType = HardwareType::Other;
        }
    }
}

// Reads the first block of an EEPROM file; a shorter file contributes nothing.
bool readBlock(const std::string& path, unsigned char* block) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOG(Debug, "failed opening secret data file '%s': %s", path.c_str(), errnoText().c_str());
        return false;
    }
    std::size_t got = 0;
    while (got < kBlockSize) {
        ssize_t n = read(fd.get(), block + got, kBlockSize - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < kBlockSize) {
        LOG(Debug, "failed reading data from '%s'", path.c_str());
        return false;
    }
    return true;
}

// Known faults of Vorlan EEPROMs, mended so that the hash matches the intended contents.
void correctVorlanBlocks(unsigned char* input) {
    unsigned char* core = input;
    unsigned char* carrier = input + kBlockSize;
    if (memcmp(carrier + kMarkerOffset, kRevision212Marker, 5) == 0 &&
        memcmp(core + kMarkerOffset, kBadCoreMarker, 5) == 0) {
        LOG(Trace, "bad core EEPROM data, using workaround for HW rev 2.12");
        memcpy(core + kCoreFixOffset, kCoreFixDigits, 2);
    }
    if (memcmp(carrier + kCarrierFixedOffset, kCarrierFixedString, 5) != 0) {
        LOG(Trace, "bad carrier EEPROM data, using workaround for missing fixed string");
        memcpy(carrier + kCarrierFixedOffset, kCarrierFixedString, 5);
    }
}

bool md5(const unsigned char* input, std::size_t size, unsigned char* digest) {
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        LOG(Debug, "failed initializing hash function");
        return false;
    }
    unsigned int digestSize = 0;
    if (EVP_DigestUpdate(context.get(), input, size) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &digestSize) != 1 || digestSize != kMd5Size) {
        LOG(Debug, "failed computing hash");
        return false;
    }
    return true;
}

}  // namespace

bool readDeviceIdentity(DeviceIdentity& identity, const std::string& cpuinfoPath) {
    const char* path = cpuinfoPath.c_str();
    FilePtr file(fopen(path, "re"));
    if (!file) {
        LOG(Error, "failed opening '%s' for initialization: '%s'", path, errnoText().c_str());
        return false;
    }
    char line[2048];
    while (fgets(line, sizeof line, file.get())) {
        std::size_t length = strlen(line);
        // The rest of an over-long line is dropped, so that it is never taken for a line of its own.
        if (length > 0 && line[length - 1] != '\n') {
            int c;
            while ((c = fgetc(file.get())) != EOF && c != '\n') {
            }
        }
        parseCpuInfoLine(std::string_view(line, length), identity, path);
    }
    if (ferror(file.get())) LOG(Debug, "failed reading from '%s'", path);

    if (identity.serial.empty()) LOG(Error, "no Serial in '%s'", path);
    if (identity.revision.empty()) LOG(Error, "no Revision in '%s'", path);
    if (identity.hardwareType == HardwareType::None) LOG(Error, "no Hardware in '%s'", path);
    return !identity.serial.empty() && !identity.revision.empty() && identity.hardwareType != HardwareType::None;
}

bool defaultUserName(const DeviceIdentity& identity, const std::string& productName, std::string& username) {
    username.clear();
    if (identity.revision.empty()) {
        LOG(Debug, "no HW Revision");
        return false;
    }
    username = productName + "-" + identity.revision;
    LOG(Debug, "default http user initialized to '%s'", username.c_str());
    return true;
}

bool defaultPassword(const DeviceIdentity& identity, std::string& password, const std::string& i2cDir) {
    password.clear();
    if (identity.hardwareType == HardwareType::None || identity.hardwareType == HardwareType::Other) {
        LOG(Debug, "no secret data");
        return false;
    }
    const std::size_t needed = identity.hardwareType == HardwareType::Vorlan ? 2 : 1;
    SecretBytes<kMaxBlocks * kBlockSize> input;
    std::size_t blocks = 0;
    for (const char* name : kEepromFiles) {
        if (blocks == needed) break;
        if (readBlock(i2cDir + "/" + name, input.data + blocks * kBlockSize)) ++blocks;
    }
    if (blocks < needed) {
        LOG(Debug, "failed reading secret data");
        return false;
    }
    if (identity.hardwareType == HardwareType::Vorlan) correctVorlanBlocks(input.data);

    SecretBytes<EVP_MAX_MD_SIZE> digest;
    if (!md5(input.data, needed * kBlockSize, digest.data)) return false;
    password.reserve(kPasswordLength);
    for (std::size_t i = 0; i < kPasswordLength; ++i) password += kPasswordAlphabet[digest.data[i] & 0x3f];
    return true;
}

bool setupDefaultCredentials(CredentialStore& store, const DeviceIdentity& identity, const std::string& productName,
                             const std::string& i2cDir) {
    store.clear();
    std::string password;
    std::string username;
    // Both are worked out before either is judged: each logs its own failure.
    const bool havePassword = defaultPassword(identity, password, i2cDir) && !password.empty();
    const bool haveUserName = defaultUserName(identity, productName, username) && !username.empty();
    if (!havePassword) {
        LOG(Error, "cannot recover default password for authentication");
        return false;
    }
    if (!haveUserName) {
        LOG(Error, "cannot recover default user name for authentication");
        return false;
    }
    LOG(Trace, "default user '%s'", username.c_str());
    store.append(CredentialEntry{"/", "", username, password});
    return true;
}
