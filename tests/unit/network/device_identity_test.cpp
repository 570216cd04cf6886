#include "network/device_identity.h"

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

const char* const kEeproms[] = {"Vorlan-EEPROM/0-0050/data", "Vorlan-EEPROM/0-0052/data", "Vorlan-EEPROM/0-0053/data",
                                "tav-eeprom/1-0052/data", "tav-eeprom/1-001e/data"};
const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// 21-byte blocks: core revision "C1.04" at offset 11; board revision "R2.12" at offset 11 and
// the fixed string "TAVCB" at offset 16 of the carrier.
const std::string kCore = "core-seria C1.04xyzwv";
const std::string kCarrier = "carrier-000R2.12TAVCB";

class DeviceIdentityTest : public testing::Test {
protected:
    DeviceIdentity cpuinfo(const std::string& content, bool complete = true) {
        writeFile(m_dir / "cpuinfo", content);
        DeviceIdentity identity;
        EXPECT_EQ(complete, readDeviceIdentity(identity, m_dir / "cpuinfo"));
        return identity;
    }
    // A fresh EEPROM tree: one entry per file of the list, absent where empty.
    std::string eeproms(const std::vector<std::string>& blocks) {
        std::string dir = m_dir / ("i2c" + std::to_string(++m_trees));
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (!blocks[i].empty()) writeFile(dir + "/" + kEeproms[i], blocks[i]);
        return dir;
    }
    std::string password(HardwareType type, const std::vector<std::string>& blocks) {
        DeviceIdentity identity{"S1", "2.1", type};
        std::string result;
        // A failure leaves the password empty, which the tests check.
        return defaultPassword(identity, result, eeproms(blocks)) ? result : std::string();
    }

    LogCapture m_log;
    TempDir m_dir;
    int m_trees = 0;
};

TEST_F(DeviceIdentityTest, CpuInfoLines) {
    DeviceIdentity identity = cpuinfo(
        "processor\t: 0\nHardware\t: Mirest\nSerial\t\t: 0001\nRevision\t: 0002\nserial : lower\nSerial :\n"
        "Serial\t\t: " +
        std::string(70, 's') + "\nRevision : 123456789\n");
    EXPECT_EQ(std::string(63, 's'), identity.serial);
    EXPECT_EQ("12345678", identity.revision);
    EXPECT_EQ(HardwareType::Mirest, identity.hardwareType);
    EXPECT_TRUE(m_log.has("DEBUG: malformed Serial line in '" + m_dir / "cpuinfo" + "'"));

    const std::pair<const char*, HardwareType> boards[] = {
        {"Vorlan", HardwareType::Vorlan}, {"tresca", HardwareType::Tresca}, {"Tresca", HardwareType::Other}};
    for (const auto& [word, type] : boards)
        EXPECT_EQ(type, cpuinfo(std::string("Serial : 1\nRevision : 1\nHardware : ") + word + " board\n").hardwareType);
    EXPECT_TRUE(m_log.has("WARNING: unknown hardware 'Tresca'"));
    cpuinfo("Serial : 1\nRevision : 1\nHardware : " + std::string(20, 'h') + "\n");
    EXPECT_TRUE(m_log.has("WARNING: unknown hardware '" + std::string(15, 'h') + "'"));
}

TEST_F(DeviceIdentityTest, OverlongLineIsOneLine) {
    // The tail past the 2048-byte buffer must not be read as a Revision line of its own.
    std::string line = "Serial : " + std::string(2038, 'x') + "Revision : 99 " + std::string(2939, 'y');
    ASSERT_EQ(5000u, line.size());
    DeviceIdentity identity = cpuinfo(line + "\nHardware : Vorlan\n", false);
    EXPECT_EQ(std::string(63, 'x'), identity.serial);
    EXPECT_EQ("", identity.revision);
    EXPECT_TRUE(m_log.has("ERROR: no Revision in '" + m_dir / "cpuinfo" + "'"));
}

TEST_F(DeviceIdentityTest, MissingIdentity) {
    cpuinfo("processor : 0\n", false);
    for (const char* part : {"Serial", "Revision", "Hardware"})
        EXPECT_TRUE(m_log.has(std::string("ERROR: no ") + part + " in '" + m_dir / "cpuinfo" + "'"));
    DeviceIdentity identity;
    EXPECT_FALSE(readDeviceIdentity(identity, m_dir / "none"));
    EXPECT_TRUE(
        m_log.has("ERROR: failed opening '" + m_dir / "none" + "' for initialization: 'No such file or directory'"));

    CredentialStore store;
    std::string i2c = eeproms({kCore});
    EXPECT_FALSE(setupDefaultCredentials(store, {"S", "", HardwareType::Mirest}, "prod", i2c));
    EXPECT_TRUE(m_log.has("DEBUG: no HW Revision"));
    EXPECT_TRUE(m_log.has("ERROR: cannot recover default user name for authentication"));
    EXPECT_FALSE(setupDefaultCredentials(store, {"S", "1", HardwareType::Other}, "prod", i2c));
    EXPECT_TRUE(m_log.has("DEBUG: no secret data"));
    EXPECT_TRUE(m_log.has("ERROR: cannot recover default password for authentication"));
    EXPECT_TRUE(store.entries().empty());
}

TEST_F(DeviceIdentityTest, PasswordFromEepromBlocks) {
    // Known answers: MD5 of the blocks, low 6 bits of the first 12 bytes into the table.
    EXPECT_EQ("Opd2FdC4suTp", password(HardwareType::Mirest, {kCore}));
    EXPECT_EQ("Opd2FdC4suTp", password(HardwareType::Tresca, {kCore + "trailing bytes"}));
    EXPECT_EQ("S5_YRdCB0G1H", password(HardwareType::Vorlan, {kCore, kCarrier}));
    for (char c : password(HardwareType::Mirest, {std::string(21, '\xff')}))
        EXPECT_NE(std::string::npos, kAlphabet.find(c));

    // A 20-byte file is no block; Mirest takes the first readable file and opens no further one.
    EXPECT_EQ("Opd2FdC4suTp", password(HardwareType::Mirest, {kCore.substr(0, 20), kCore, kCore.substr(0, 20)}));
    EXPECT_TRUE(m_log.has("DEBUG: failed reading data from '" + m_dir / "i2c5/" + kEeproms[0] + "'"));
    EXPECT_FALSE(m_log.has("DEBUG: failed reading data from '" + m_dir / "i2c5/" + kEeproms[2] + "'"));
    EXPECT_EQ("Opd2FdC4suTp", password(HardwareType::Mirest, {"", "", "", "", kCore}));
    EXPECT_TRUE(m_log.has("DEBUG: failed opening secret data file '" + m_dir / "i2c6/" + kEeproms[0] +
                          "': No such file or directory"));

    EXPECT_EQ("S5_YRdCB0G1H", password(HardwareType::Vorlan, {"", kCore, kCarrier}));
    EXPECT_EQ("", password(HardwareType::Vorlan, {kCore, "", "", "", "short"}));
    EXPECT_TRUE(m_log.has("DEBUG: failed reading secret data"));
}

TEST_F(DeviceIdentityTest, VorlanCorrectionsApplyOnlyWithTheirMarkers) {
    const std::string good = password(HardwareType::Vorlan, {kCore, kCarrier});
    std::string badCore = kCore, badCarrier = kCarrier, otherRevision = kCarrier;
    badCore.replace(14, 2, "00");
    badCarrier.replace(16, 5, "?????");
    otherRevision.replace(11, 5, "R2.11");
    EXPECT_FALSE(m_log.has("TRACE: bad core EEPROM data, using workaround for HW rev 2.12"));
    EXPECT_FALSE(m_log.has("TRACE: bad carrier EEPROM data, using workaround for missing fixed string"));

    EXPECT_EQ(good, password(HardwareType::Vorlan, {badCore, kCarrier}));
    EXPECT_TRUE(m_log.has("TRACE: bad core EEPROM data, using workaround for HW rev 2.12"));
    EXPECT_EQ(good, password(HardwareType::Vorlan, {kCore, badCarrier}));
    EXPECT_TRUE(m_log.has("TRACE: bad carrier EEPROM data, using workaround for missing fixed string"));
    EXPECT_EQ(password(HardwareType::Vorlan, {kCore, otherRevision}),
              password(HardwareType::Vorlan, {kCore, otherRevision}));
    EXPECT_NE(password(HardwareType::Vorlan, {kCore, otherRevision}),
              password(HardwareType::Vorlan, {badCore, otherRevision}));
    // Boards other than Vorlan hash their block as it is.
    EXPECT_NE(password(HardwareType::Mirest, {kCore}), password(HardwareType::Mirest, {badCore}));
}

TEST_F(DeviceIdentityTest, DefaultCredentialsWithoutPasswordInLog) {
    CredentialStore store;
    store.append({"/x", "r", "old", "old"});
    ASSERT_TRUE(setupDefaultCredentials(store, {"S", "2.1", HardwareType::Vorlan}, "prod", eeproms({kCore, kCarrier})));
    ASSERT_EQ(1u, store.entries().size());
    const CredentialEntry& entry = store.entries()[0];
    EXPECT_EQ("/", entry.path);
    EXPECT_EQ("", entry.realm);
    EXPECT_EQ("prod-2.1", entry.username);
    EXPECT_EQ("S5_YRdCB0G1H", entry.password);
    EXPECT_TRUE(m_log.has("DEBUG: default http user initialized to 'prod-2.1'"));
    EXPECT_TRUE(m_log.has("TRACE: default user 'prod-2.1'"));
    EXPECT_EQ(std::string::npos, m_log.text().find(entry.password));
}

}  // namespace
