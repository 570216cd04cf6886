// The report of a run, /var/lib/updater/last-run.json, as an operator's tooling reads it: read
// back with json-c's parser after whole runs of the real binary on a device with a signed
// repository.
#include <json-c/json.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/handles.h"
#include "system/signed_update_fixture.h"

namespace system_test {
namespace {

constexpr char kReport[] = "/var/lib/updater/last-run.json";
constexpr char kPackagePath[] = "/demo-2.0-1.noarch.rpm";

using JsonPtr = std::unique_ptr<json_object, CFree<json_object_put>>;

// A parsed report and the few lookups the tests need.
class Report {
public:
    explicit Report(const std::string& text) : m_root(json_tokener_parse(text.c_str())) {}
    bool valid() const { return m_root && json_object_is_type(m_root.get(), json_type_object); }
    json_object* at(const char* path) const {
        json_object* node = m_root.get();
        std::string rest = path;
        while (node && !rest.empty()) {
            const std::string::size_type dot = rest.find('.');
            const std::string key = rest.substr(0, dot);
            rest = dot == std::string::npos ? "" : rest.substr(dot + 1);
            json_object* next = nullptr;
            node = json_object_object_get_ex(node, key.c_str(), &next) ? next : nullptr;
        }
        return node;
    }
    std::string text(const char* path) const {
        json_object* node = at(path);
        return node && json_object_is_type(node, json_type_string) ? json_object_get_string(node) : "<none>";
    }
    int64_t number(const char* path) const { return at(path) ? json_object_get_int64(at(path)) : -1; }
    // "name-version-release.arch type" of each package of a list.
    std::vector<std::string> packages(const char* path) const {
        std::vector<std::string> result;
        json_object* list = at(path);
        for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
            json_object* item = json_object_array_get_idx(list, i);
            auto field = [item](const char* key) {
                json_object* value = nullptr;
                return json_object_object_get_ex(item, key, &value) ? std::string(json_object_get_string(value)) : "";
            };
            result.push_back(field("name") + "-" + field("version") + "-" + field("release") + "." + field("arch") +
                             " " + field("type"));
        }
        return result;
    }
    std::vector<std::string> field(const char* path, const char* key) const {
        std::vector<std::string> result;
        json_object* list = at(path);
        for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
            json_object* value = nullptr;
            if (json_object_object_get_ex(json_object_array_get_idx(list, i), key, &value))
                result.push_back(json_object_get_string(value));
        }
        return result;
    }

private:
    JsonPtr m_root;
};

// The vendor's demo 2.0-1 over HTTP.
class RunReportTest : public DemoUpdateTest {
protected:
    void SetUp() override {
        DemoUpdateTest::SetUp();
        publish({s_newDemo});
        serveOverHttp();
    }
    Report report() const { return Report(sandbox.readDeviceFile(kReport)); }
};

TEST_F(RunReportTest, AFullUpdateReportsWhatItChoseInstalledAndFetched) {
    // The hooks learn where the report is.
    sandbox.installScript("/usr/lib/updater/hook",
                          "printf '%s\\n' \"$UPDATER_RUN_REPORT\" >>/var/lib/sandbox-fakes/report-path\nexit 0\n");
    SandboxResult result = runUpdater({});
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
    Report run = report();
    ASSERT_TRUE(run.valid()) << sandbox.readDeviceFile(kReport);
    EXPECT_EQ(run.number("schema"), 1);
    EXPECT_EQ(run.text("mode"), "update");
    EXPECT_EQ(run.number("exit.status"), 0);
    EXPECT_EQ(run.text("exit.word"), "OK");
    EXPECT_EQ(run.field("passes", "name"), (Lines{"analysis", "all but add-ons", "add-ons"}));
    EXPECT_EQ(run.field("passes", "result"), (Lines{"OK", "REBOOT", "OK"}));
    EXPECT_EQ(run.packages("chosen"), Lines{"demo-2.0-1.noarch rpm"});
    EXPECT_EQ(run.packages("installed"), Lines{"demo-2.0-1.noarch rpm"});
    EXPECT_TRUE(run.field("refusals", "reason").empty());
    EXPECT_EQ(run.text("repository.id"), "main");
    std::string sha;
    ASSERT_TRUE(runTool({"sha256sum", sandbox.hostPath(kRepoDir) + "/repodata/repomd.xml"}, &sha));
    EXPECT_EQ(run.text("repository.index.sha256"), sha.substr(0, 64));
    EXPECT_NE(run.text("repository.index.signed"), "<none>");
    EXPECT_GE(run.number("bytes.received"), static_cast<int64_t>(readFile(s_newDemo).size()));
    EXPECT_GE(run.number("bytes.expected"), static_cast<int64_t>(readFile(s_newDemo).size()));
    EXPECT_EQ(run.number("bytes.resumed"), 0);
    EXPECT_TRUE(json_object_get_boolean(run.at("reboot_requested")));
    EXPECT_EQ(splitLines(sandbox.readDeviceFile("/var/lib/sandbox-fakes/report-path")).front(), kReport);
}

TEST_F(RunReportTest, ACheckReportsTheChoiceAndInstallsNothing) {
    SandboxResult result = runUpdater({"--check-only"});
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result;
    Report run = report();
    EXPECT_EQ(run.text("mode"), "check");
    EXPECT_EQ(run.field("passes", "name"), Lines{"check"});
    EXPECT_EQ(run.packages("chosen"), Lines{"demo-2.0-1.noarch rpm"});
    EXPECT_TRUE(run.packages("installed").empty());
    EXPECT_FALSE(json_object_get_boolean(run.at("reboot_requested")));
}

TEST_F(RunReportTest, RefusalsCarryTheirReasonCodes) {
    // An index changed after signing.
    const std::string index = sandbox.hostPath(kRepoDir) + "/repodata/repomd.xml";
    const std::string signedIndex = readFile(index);
    writeFile(index, signedIndex + "<!-- changed -->\n");
    SandboxResult result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(report().field("refusals", "reason"), (Lines{"signature", "metadata"}));
    EXPECT_EQ(report().number("exit.status"), 1);

    // A package larger than its record declares.
    writeFile(index, signedIndex);
    ASSERT_TRUE(m_server->setEndless(kPackagePath, 16LL * 1024 * 1024));
    result = runUpdater({"--no-reboot"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    Lines reasons = report().field("refusals", "reason");
    ASSERT_FALSE(reasons.empty());
    EXPECT_EQ(reasons.front(), "size-limit");
}

TEST_F(RunReportTest, ListsLargerThanTheDeviceMayHoldAreRefusedAndKept) {
    sandbox.writeConfig(DeviceSandbox::configXml(DeviceSandbox::repositoryXml("main", m_server->url("/")) +
                                                 "<network><limits records-bytes=\"1024\"/></network>"));
    for (int run = 0; run < 2; ++run) {
        SandboxResult result = runUpdater({"--check-only"});
        EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
        const Lines reasons = report().field("refusals", "reason");
        ASSERT_FALSE(reasons.empty());
        EXPECT_EQ(reasons.front(), "memory-limit");
    }
    // The sound list stays cached: the second run did not fetch it again.
    size_t listRequests = 0;
    for (const auto& request : m_server->requests())
        if (request.path.find("primary.xml") != std::string::npos) ++listRequests;
    EXPECT_EQ(listRequests, 1u);
}

TEST_F(RunReportTest, TheStartAfterAKilledInstallationReportsACorruptedSystem) {
    sandbox.setStatus("UPDATING");  // what a run killed while rpm installed leaves
    SandboxResult result = runUpdater({});
    EXPECT_TRUE(result.exited && result.exitCode == 2) << result;
    EXPECT_EQ(report().field("refusals", "reason"), Lines{"corrupted-system"});
    EXPECT_EQ(report().text("exit.word"), "FATAL");
}

TEST_F(RunReportTest, ARunRefusedBeforeTheLockOrKilledWhileWritingLeavesTheOldReport) {
    sandbox.writeDeviceFile(kReport, "old report\n");
    sandbox.writeDeviceFile("/var/run/updater.norun", "");
    SandboxResult result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == 1) << result;
    EXPECT_EQ(sandbox.readDeviceFile(kReport), "old report\n");
    sandbox.removeDeviceFile("/var/run/updater.norun");

    // Killed as the new report is moved into place: the rename into it is the run's last.
    auto underStrace = [this](const std::string& option) {
        return traced({"strace", "-o/dev/null", "-etrace=rename", option, sandbox.installUpdaterCopy(),
                       "--max-wait-time", "-1", "--check-only"});
    };
    ASSERT_EQ(runUpdater({"--check-only"}).exitCode, 0);  // the lists are cached from now on
    SandboxResult counted = sandbox.runCommand(underStrace("-o/run/sandbox-renames"));
    ASSERT_TRUE(counted.exited && counted.exitCode == 0) << counted;
    size_t renames = 0;
    for (const std::string& line : splitLines(sandbox.readDeviceFile("/run/sandbox-renames")))
        if (line.compare(0, 7, "rename(") == 0) ++renames;
    sandbox.writeDeviceFile(kReport, "old report\n");
    SandboxResult killed =
        sandbox.runCommand(underStrace("-einject=rename:error=EIO:signal=SIGKILL:when=" + std::to_string(renames)));
    EXPECT_FALSE(killed.exited && killed.exitCode == 0) << killed;
    EXPECT_EQ(sandbox.readDeviceFile(kReport), "old report\n");
}

TEST_F(RunReportTest, AReportPathThatIsNoFileChangesNothingAndIsNotFollowed) {
    writeFile(sandbox.hostPath("/var/lib/victim"), "must stay");
    ASSERT_EQ(symlink("/var/lib/victim", sandbox.hostPath(kReport).c_str()), 0);
    SandboxResult result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(readFile(sandbox.hostPath("/var/lib/victim")), "must stay");

    sandbox.removeDeviceFile(kReport);
    makeDirs(sandbox.hostPath(kReport));
    result = runUpdater({"--check-only"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(linesOfLevel(result, "WARNING").size(), 1u) << result;
}

TEST_F(RunReportTest, VersionPrintsTheNameAndVersion) {
    SandboxResult result = sandbox.run({"--version"});
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result;
    EXPECT_EQ(result.out, "updater 1.10\n");
    EXPECT_FALSE(fileExists(sandbox.hostPath(kReport)));
}

}  // namespace
}  // namespace system_test
