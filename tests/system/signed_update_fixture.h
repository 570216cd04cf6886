// A device that trusts a vendor key and has packages installed, and a signed repository of the
// vendor inside the device (read through file:// or served over HTTP on 127.0.0.1): the common
// ground of the tests of whole update runs.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fixtures/gpg_keys.h"
#include "fixtures/http_server.h"
#include "fixtures/repo_builder.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/rpm_database.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "system/updater_system_test.h"

namespace system_test {

using Lines = std::vector<std::string>;
using Calls = std::vector<std::vector<std::string>>;

class SignedUpdateTest : public UpdaterSystemTest {
protected:
    static constexpr char kRepoDir[] = "/var/lib/sandbox-repo";

    // The vendor key is made once for a suite: it is slow to make.
    static void SetUpTestSuite() {
        s_dir = new TempDir("signed-update");
        s_keys = new GpgKeys();
        s_key = s_keys->generate("Device Vendor <vendor@example.com>");
        ASSERT_FALSE(s_key.empty());
        makeDirs(*s_dir / "work");
    }
    static void TearDownTestSuite() {
        delete s_keys;
        delete s_dir;
        s_keys = nullptr;
        s_dir = nullptr;
    }

    // The device trusts the vendor key.
    void SetUp() override {
        UpdaterSystemTest::SetUp();
        ASSERT_TRUE(importKey(*s_keys, s_key, rpmDb(), *s_dir / ("key-" + std::to_string(++s_count) + ".asc")));
    }

    std::string rpmDb() const { return sandbox.hostPath("/var/lib/rpm"); }

    // Builds the package (signed by the vendor unless told otherwise); returns its path.
    static std::string build(const RpmPackageDef& def, bool sign = true) {
        RpmBuilder builder(*s_dir / "work");
        const std::string package = builder.build(def, *s_dir / ("pkg-" + std::to_string(++s_count)));
        if (!package.empty() && sign) {
            EXPECT_TRUE(signPackage(package, s_keys->home(), s_key));
        }
        return package;
    }

    // Records the packages as installed in the device's database (files are not written).
    void installOnDevice(const std::vector<std::string>& packages) {
        ASSERT_TRUE(installIntoDatabase(rpmDb(), packages));
    }

    // The repository in the device with these package files, its index signed by the vendor
    // key (signOptions: more options of the publishing script); with a tavdata list when the
    // text is not empty.
    void publish(const std::vector<std::string>& packages, const std::string& tavdata = "",
                 const std::vector<std::string>& signOptions = {}) {
        RepoBuilder repo(sandbox.hostPath(kRepoDir));
        for (const std::string& package : packages) {
            writeFile(repo.dir() + "/" + package.substr(package.rfind('/') + 1), readFile(package));
        }
        ASSERT_TRUE(repo.create());
        if (!tavdata.empty()) {
            ASSERT_TRUE(repo.addTavdata(tavdata));
        }
        ASSERT_TRUE(repo.signIndex(*s_keys, s_key, signOptions));
    }

    // From now on the device reads the repository over HTTP from a server on 127.0.0.1.
    HttpTestServer& serveOverHttp() {
        m_server = std::make_unique<HttpTestServer>(sandbox.hostPath(kRepoDir));
        sandbox.writeConfig(DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", m_server->url("/"))));
        return *m_server;
    }

    // "name-version-release" of each installed package of that name, "" when none.
    std::string installed(const std::string& name) const {
        std::string out;
        runTool({"rpm", "--dbpath", rpmDb(), "-q", "--qf", "%{NAME}-%{VERSION}-%{RELEASE}\\n", name}, &out);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out.find("not installed") == std::string::npos ? out : "";
    }

    // What the reboot asked of shutdown. shutdown runs detached: the updater may have ended
    // before it wrote its record.
    Calls rebootCalls() {
        waitUntil([this] { return !sandbox.fakeCalls("shutdown").empty(); }, std::chrono::seconds(30));
        return sandbox.fakeCalls("shutdown");
    }

    static TempDir* s_dir;
    static GpgKeys* s_keys;
    static std::string s_key;
    static int s_count;
    std::unique_ptr<HttpTestServer> m_server;
};

// The device has demo 1.0-1 installed; the vendor offers demo 2.0-1, signed (both built once
// for a suite). Tests publish and serve it as they need.
class DemoUpdateTest : public SignedUpdateTest {
protected:
    static void SetUpTestSuite() {
        SignedUpdateTest::SetUpTestSuite();
        s_oldDemo = build(RpmPackageDef("demo", "1.0", "1"), false);
        s_newDemo = build(RpmPackageDef("demo", "2.0", "1"));
        ASSERT_FALSE(s_oldDemo.empty() || s_newDemo.empty());
    }
    void SetUp() override {
        SignedUpdateTest::SetUp();
        installOnDevice({s_oldDemo});
    }

    static inline std::string s_oldDemo;
    static inline std::string s_newDemo;
};

inline TempDir* SignedUpdateTest::s_dir = nullptr;
inline GpgKeys* SignedUpdateTest::s_keys = nullptr;
inline std::string SignedUpdateTest::s_key;
inline int SignedUpdateTest::s_count = 0;

}  // namespace system_test
