// Reading the package lists: lists published by createrepo_c and modifyrepo_c from real
// packages, hand-written lists for what those tools never write, and damaged input.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/xml_util.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/repo_builder.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/run_tool.h"
#include "fixtures/temp_dir.h"
#include "repository/metadata_namespaces.h"
#include "repository/package_list.h"
#include "repository/repository.h"

namespace {

const std::string kPackagesDir = "/cache/base/packages/";

std::vector<std::string> texts(const DependencySet& set) {
    std::vector<std::string> result;
    for (const Dependency& dependency : set) result.push_back(dependency.toString());
    return result;
}

// "name-epoch:version-release" of every record, in map order.
std::vector<std::string> labels(const PackageMap& packages) {
    std::vector<std::string> result;
    for (const auto& entry : packages) result.push_back(packageLabel(entry.second));
    return result;
}

const Package& only(const PackageMap& packages, const std::string& name) {
    static const Package kNone;
    EXPECT_EQ(packages.count(name), 1u) << name;
    auto found = packages.find(name);
    return found == packages.end() ? kNone : found->second;
}

const std::string kTavdata = std::string("<tavdata xmlns=\"") + kTavNamespace + "\" xmlns:c=\"" + kCommonNamespace +
                             "\">"
                             "<c:package type=\"tavpkg\"><c:name>maps</c:name><c:arch>noarch</c:arch>"
                             "<c:version epoch=\"0\" ver=\"2024.1\" rel=\"3\"/><c:checksum type=\"sha256\">ab12"
                             "</c:checksum><c:location href=\"payload/maps-2024.1-3.tavpkg\"/><c:format>"
                             "<group>Maps</group><requires><entry name=\"navigator\" flags=\"GE\" epoch=\"0\" "
                             "ver=\"3.0\"/></requires><provides><entry name=\"map-data\"/></provides></c:format>"
                             "</c:package>"
                             "<c:package type=\"flashedfw\"><c:name>modem-fw</c:name><c:arch>noarch</c:arch>"
                             "<c:version epoch=\"0\" ver=\"5.2\"/><c:format><group>A</group><group>B</group>"
                             "</c:format></c:package></tavdata>";

class ListTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        loadRpmConfig();
        routeXmlErrorsToLog();
    }
};

// Lists published by the standard tools from real packages, built once for the suite.
class PublishedList : public ListTest {
public:
    static void SetUpTestSuite() {
        ListTest::SetUpTestSuite();
        s_dir = std::make_unique<TempDir>("updater-published");
        RpmBuilder builder(*s_dir / "build");
        RpmPackageDef alpha("alpha", "1.2", "r1");
        alpha.epoch = 3;
        alpha.group = "System/Base";
        alpha.requires = {"/bin/sh", "beta >= 2.0-1", "gamma"};
        alpha.provides = {"alpha-cap = 1.2"};
        alpha.obsoletes = {"oldalpha < 1.0"};
        alpha.recommends = {"delta"};
        alpha.files = {{"/usr/share/alpha/data", "alpha\n"}};
        RpmPackageDef betaNew("beta", "2.1", "1"), betaOld("beta", "2.0", "1"), gamma("gamma");
        betaNew.arch = betaOld.arch = machineArch();
        gamma.arch = foreignArch();
        s_repo = std::make_unique<RepoBuilder>(*s_dir / "repo");
        for (const RpmPackageDef* def : {&alpha, &betaNew, &betaOld, &gamma}) builder.build(*def, s_repo->dir());
        ASSERT_TRUE(s_repo->create());
        ASSERT_TRUE(s_repo->addTavdata(kTavdata));
    }
    static void TearDownTestSuite() {
        s_repo.reset();
        s_dir.reset();
    }

protected:
    static std::unique_ptr<TempDir> s_dir;
    static std::unique_ptr<RepoBuilder> s_repo;
};
std::unique_ptr<TempDir> PublishedList::s_dir;
std::unique_ptr<RepoBuilder> PublishedList::s_repo;

TEST_F(PublishedList, RpmRecordCarriesEveryFieldOfTheCompressedList) {
    LogCapture log;
    PackageMap packages;
    ASSERT_TRUE(parseListToMap(s_repo->listPath("primary"), kPrimaryList, packages, kPackagesDir));
    const Package& alpha = only(packages, "alpha");
    EXPECT_EQ(alpha.type, PackageType::Rpm);
    EXPECT_EQ(packageLabel(alpha), "alpha-3:1.2-r1");
    EXPECT_EQ(alpha.group, "System/Base");
    EXPECT_EQ(texts(alpha.requires), (std::vector<std::string>{"/bin/sh", "beta >= 0:2.0-1", "gamma"}));
    EXPECT_EQ(texts(alpha.provides), (std::vector<std::string>{"alpha = 3:1.2-r1", "alpha-cap = 0:1.2"}));
    EXPECT_EQ(texts(alpha.obsoletes), (std::vector<std::string>{"oldalpha < 0:1.0"}));
    EXPECT_EQ(texts(alpha.recommends), (std::vector<std::string>{"delta"}));
    EXPECT_EQ(alpha.href, "alpha-1.2-r1.noarch.rpm");
    EXPECT_EQ(alpha.localPath, kPackagesDir + alpha.href);
    std::string sum;
    ASSERT_TRUE(runTool({"sha256sum", s_repo->dir() + "/" + alpha.href}, &sum));
    EXPECT_EQ(alpha.checksum.type, "sha256");
    EXPECT_EQ(alpha.checksum.value, sum.substr(0, 64));
    EXPECT_TRUE(log.has("TRACE: parsing rpm requires for 'alpha'"));
}

TEST_F(PublishedList, PlainCopyKeepsVersionsInDocumentOrderAndDropsForeignArch) {
    LogCapture log;
    std::string text;
    ASSERT_TRUE(runTool({"gzip", "-dc", s_repo->listPath("primary")}, &text));
    writeFile(*s_dir / "primary.xml", text);
    PackageMap packages, compressed;
    ASSERT_TRUE(parseListToMap(*s_dir / "primary.xml", kPrimaryList, packages, ""));
    ASSERT_TRUE(parseListToMap(s_repo->listPath("primary"), kPrimaryList, compressed, kPackagesDir));
    EXPECT_EQ(labels(packages), labels(compressed));
    // Without a packages directory (the external packages file) there is no local path.
    EXPECT_EQ(packages.begin()->second.localPath, "");
    EXPECT_EQ(packages.count("gamma"), 0u);
    EXPECT_TRUE(log.has("WARNING: skipping rpm package 'gamma-1.0-1." + foreignArch() +
                        ".rpm' of non-compatible arch '" + foreignArch() + "'"));
    bool newFirst = text.find("beta-2.1-1") < text.find("beta-2.0-1");
    auto beta = packages.equal_range("beta");
    ASSERT_EQ(std::distance(beta.first, beta.second), 2);
    EXPECT_EQ(beta.first->second.evr.version, newFirst ? "2.1" : "2.0");
    EXPECT_EQ(std::next(beta.first)->second.evr.version, newFirst ? "2.0" : "2.1");
}

TEST_F(PublishedList, TavdataListHoldsPayloadsAndFirmware) {
    LogCapture log;
    PackageMap packages;
    ASSERT_TRUE(parseListToMap(s_repo->listPath("tavdata"), kTavdataList, packages, kPackagesDir));
    const Package& maps = only(packages, "maps");
    EXPECT_EQ(maps.type, PackageType::Tavpkg);
    EXPECT_EQ(maps.group, "Maps");
    EXPECT_EQ(texts(maps.requires), (std::vector<std::string>{"navigator >= 0:3.0"}));
    EXPECT_EQ(texts(maps.provides), (std::vector<std::string>{"map-data"}));
    EXPECT_EQ(maps.localPath, kPackagesDir + "maps-2024.1-3.tavpkg");
    // Firmware needs no file; its format data is never read.
    const Package& firmware = only(packages, "modem-fw");
    EXPECT_EQ(firmware.type, PackageType::FlashedFw);
    EXPECT_EQ(firmware.group, "");
    EXPECT_EQ(firmware.localPath, "");
    // Each list must have its own root.
    EXPECT_FALSE(parseListToMap(s_repo->listPath("primary"), kTavdataList, packages, kPackagesDir));
    EXPECT_TRUE(log.has("ERROR: bad top-level element, 'metadata' instead of 'tavdata'"));
    EXPECT_EQ(packages.size(), 2u);
}

// Lists written by hand for what the tools never produce.
class HandWrittenList : public ListTest {
protected:
    // A complete rpm record; extra goes into the package, format into its format element.
    static std::string rpm(const std::string& name, const std::string& format = "", const std::string& extra = "") {
        return "<package type=\"rpm\"><name>" + name + "</name><arch>noarch</arch><version epoch=\"0\" ver=\"1\"/>" +
               "<checksum type=\"sha256\">ab</checksum><location href=\"p/" + name + ".rpm\"/>" + extra + "<format>" +
               format + "</format></package>";
    }
    bool parse(const std::string& body, int type = kPrimaryList) {
        writeFile(m_dir / "list.xml", std::string("<metadata xmlns=\"") + kCommonNamespace + "\" xmlns:rpm=\"" +
                                          kRpmNamespace + "\">" + body + "</metadata>");
        return parseListToMap(m_dir / "list.xml", type, m_packages, kPackagesDir);
    }

    TempDir m_dir;
    PackageMap m_packages;
    LogCapture m_log;
};

TEST_F(HandWrittenList, EntriesAreFilteredAndDeduplicated) {
    ASSERT_TRUE(parse(rpm("a",
                          "<rpm:group>Base</rpm:group><rpm:requires>"
                          "<rpm:entry name=\"rpmlib(PayloadIsXz)\" flags=\"LE\" epoch=\"0\" ver=\"5.2\"/>"
                          "<rpm:entry name=\"optional\" missingok=\"1\"/>"
                          "<rpm:entry name=\"kept\" missingok=\"0\" flags=\"GE\" epoch=\"1\" ver=\"2\" pre=\"1\"/>"
                          "<rpm:entry name=\"kept\" flags=\"GE\" epoch=\"1\" ver=\"2\"/>"
                          "<rpm:entry name=\"loose\" flags=\"EQ\"/><entry name=\"other-namespace\"/>"
                          "</rpm:requires><rpm:requires><rpm:entry name=\"second\"/></rpm:requires>")));
    const Package& a = only(m_packages, "a");
    EXPECT_EQ(texts(a.requires), (std::vector<std::string>{"kept >= 1:2", "loose", "second"}));
    EXPECT_EQ(a.requires.find(Dependency("loose"))->flags, 0);
    EXPECT_TRUE(m_log.has("TRACE: skipping missingok dep 'optional'"));
}

TEST_F(HandWrittenList, OddButValidRecords) {
    // Packages at any depth; children of other namespaces are not the record's.
    ASSERT_TRUE(parse("<group>" + rpm("deep", "", "<x:name xmlns:x=\"urn:x\">dup</x:name>") + "</group>"));
    EXPECT_EQ(labels(m_packages), (std::vector<std::string>{"deep-0:1"}));
    // A list that never declares the rpm namespace has no rpm data to read.
    writeFile(m_dir / "bare.xml",
              std::string("<metadata xmlns=\"") + kCommonNamespace + "\">" + rpm("bare") + "</metadata>");
    EXPECT_TRUE(parseListToMap(m_dir / "bare.xml", kPrimaryList, m_packages, kPackagesDir));
    EXPECT_TRUE(m_log.has("DEBUG: no rpm specific data in XML doc"));
    EXPECT_EQ(m_packages.count("bare"), 1u);
}

TEST_F(HandWrittenList, UnknownTypeAndIncompatibleArchDropOnlyThatPackage) {
    std::string fw = std::string("<package type=\"flashedfw\"><name>fw</name><arch>") + foreignArch() +
                     "</arch><version epoch=\"0\" ver=\"2\" rel=\"1\"/></package>";
    ASSERT_TRUE(parse("<package><name>untyped</name></package><package type=\"deb\"/>" + fw +
                      "<package type=\"rpm\"><name>b</name><version epoch=\"0\" ver=\"1\"/><checksum type=\"sha\">ab"
                      "</checksum><location href=\"p/b.rpm\"/></package>" +
                      rpm("kept") + "<package type=\"flashedfw\"><name>m</name><arch>%(touch " + m_dir / "ran" +
                      ")</arch><version epoch=\"0\" ver=\"1\"/></package>"));
    EXPECT_EQ(labels(m_packages), (std::vector<std::string>{"kept-0:1"}));
    EXPECT_TRUE(m_log.has("WARNING: ignoring package of unknown type ''"));
    EXPECT_TRUE(m_log.has("WARNING: ignoring package of unknown type 'deb'"));
    EXPECT_TRUE(
        m_log.has("WARNING: skipping flashedfw package 'fw-0:2-1' of non-compatible arch '" + foreignArch() + "'"));
    EXPECT_TRUE(m_log.has("WARNING: skipping rpm package 'b.rpm' of non-compatible arch ''"));
    // The arch is list text, never expanded by rpm.
    EXPECT_FALSE(fileExists(m_dir / "ran"));
    EXPECT_TRUE(m_log.has("WARNING: skipping flashedfw package 'm-0:1' of non-compatible arch '%(touch " +
                          m_dir / "ran" + ")'"));
}

TEST_F(HandWrittenList, ErrorInAPackageFailsTheListKeepingEarlierRecords) {
    const std::string entry = "<rpm:requires><rpm:entry name=\"x\" ";
    const struct {
        std::string bad;
        std::string line;  // the line that names the fault; empty when only the outcome tells
    } kCases[] = {
        {rpm("b", entry + "flags=\"EQ\" ver=\"1\"/></rpm:requires>"), "DEBUG: failed parsing EVR in entry"},
        {rpm("b", entry + "epoch=\"0\" ver=\"1\"/></rpm:requires>"), "DEBUG: failed parsing 'flags' in 'entry'"},
        {rpm("b", entry + "flags=\"NE\" epoch=\"0\" ver=\"1\"/></rpm:requires>"),
         "DEBUG: invalid flags 'NE' in 'entry'"},
        {rpm("b", "<rpm:provides><rpm:entry flags=\"EQ\"/></rpm:provides>"),
         "DEBUG: failed getting 'name' from 'entry'"},
        {rpm("b", entry + "missingok=\"yes\"/></rpm:requires>"),
         "ERROR: invalid or repeated 'format' element in the package record in line 1 of the package list"},
        {rpm("b", entry + "xmlns:y=\"urn:y\" y:missingok=\"1\"/></rpm:requires>"),
         "DEBUG: failed parsing 'missingok' property ''"},
        {rpm("b", "<rpm:group>A</rpm:group>", "<format><rpm:group>B</rpm:group></format>"),
         "ERROR: invalid or repeated 'format' element in the package record in line 1 of the package list"},
        {rpm("b", "", "<name>c</name>"),
         "ERROR: invalid or repeated 'name' element in the package record in line 1 of the package list"},
        {"<package type=\"rpm\"><name>b</name><version epoch=\"0\" ver=\"1\"/><location href=\"b\"/></package>",
         "ERROR: the package record in line 1 of the package list has no 'checksum' element"},
        {"<package type=\"flashedfw\"><name>b</name><version epoch=\"-1\" ver=\"1\"/></package>",
         "ERROR: invalid or repeated 'version' element in the package record in line 1 of the package list"},
        {"<package type=\"rpm\"><name>b</name><checksum type=\"sha\"/></package>",
         "DEBUG: failed parsing 'checksum' element"},
    };
    for (const auto& test : kCases) {
        m_packages.clear();
        EXPECT_FALSE(parse(rpm("a") + test.bad + rpm("c"))) << test.bad;
        EXPECT_EQ(labels(m_packages), (std::vector<std::string>{"a-0:1"})) << test.bad;
        EXPECT_TRUE(test.line.empty() || m_log.has(test.line)) << test.line;
    }
    EXPECT_TRUE(m_log.has("DEBUG: failed parsing 'version' element"));
}

TEST_F(HandWrittenList, TheDeclaredFileSizeIsReadAndAWrongOneFailsTheList) {
    ASSERT_TRUE(parse(rpm("sized", "", "<size package=\"6144\" installed=\"1\"/>") + rpm("unsized", "", "<size/>")));
    EXPECT_EQ(m_packages.find("sized")->second.size, 6144u);
    EXPECT_EQ(m_packages.find("unsized")->second.size, 0u);
    for (const char* size : {"0", "-1", "1.5", "18446744073709551616"}) {
        m_packages.clear();
        EXPECT_FALSE(parse(rpm("bad", "", "<size package=\"" + std::string(size) + "\"/>"))) << size;
    }
}

TEST_F(HandWrittenList, RootTypeAndFileAreChecked) {
    writeFile(m_dir / "plain.xml", "<metadata>" + rpm("a") + "</metadata>");
    EXPECT_FALSE(parseListToMap(m_dir / "plain.xml", kPrimaryList, m_packages, kPackagesDir));
    EXPECT_TRUE(m_log.has("ERROR: bad top-level element, 'metadata' instead of 'metadata'"));
    EXPECT_FALSE(parse(rpm("a"), 2));
    EXPECT_TRUE(m_log.has("ERROR: invalid metadata type"));
    EXPECT_FALSE(parseListToMap(m_dir / "missing.xml.gz", kTavdataList, m_packages, kPackagesDir));
    EXPECT_TRUE(m_log.has("ERROR: could not open tavdata file '" + m_dir / "missing.xml.gz" + "' for parsing"));
    EXPECT_TRUE(m_packages.empty());
}

TEST_F(HandWrittenList, DamagedInputFailsKeepingOnlyWhatWasRead) {
    std::string many;
    for (int i = 0; i < 10000; ++i) many += rpm("p" + std::to_string(i));
    std::string nested;
    for (int i = 0; i < 300; ++i) nested = "<n>" + nested + "</n>";
    EXPECT_FALSE(parse(many + nested));
    EXPECT_EQ(m_packages.size(), 10000u);

    // Broken after a part of the list: what came before is kept, in document order. The reader
    // parses a little ahead, so the last few complete records before the break may go too.
    const std::string head = std::string("<metadata xmlns=\"") + kCommonNamespace + "\">";
    const std::string cut = many.substr(0, many.size() / 2);
    writeFile(m_dir / "truncated", head + cut);
    writeFile(m_dir / "gzip", head + many + "</metadata>");
    ASSERT_TRUE(runTool({"gzip", "-f", m_dir / "gzip"}));
    std::string compressed = readFile(m_dir / "gzip.gz");
    for (size_t i = compressed.size() / 2; i < compressed.size() / 2 + 64; ++i) compressed[i] ^= 0x5a;
    writeFile(m_dir / "gzip.gz", compressed);
    writeFile(m_dir / "text", "not a package list\n");
    size_t complete = 0;
    for (size_t at = 0; (at = cut.find("</package>", at)) != std::string::npos; ++at) ++complete;
    const struct {
        const char* file;
        size_t minimum, maximum;
    } kCases[] = {{"truncated", complete - 10, complete}, {"gzip.gz", 1000, 9000}, {"text", 0, 0}};
    for (const auto& test : kCases) {
        m_packages.clear();
        EXPECT_FALSE(parseListToMap(m_dir / test.file, kPrimaryList, m_packages, kPackagesDir)) << test.file;
        EXPECT_GE(m_packages.size(), test.minimum) << test.file;
        EXPECT_LE(m_packages.size(), test.maximum) << test.file;
        for (size_t i = 0; i < m_packages.size(); ++i) EXPECT_EQ(m_packages.count("p" + std::to_string(i)), 1u);
    }
    EXPECT_NE(m_log.text().find("DEBUG: libxml2: "), std::string::npos);
}

TEST(Repository, AllPresentReportsTheFirstMissingName) {
    LogCapture log;
    Repository repository;
    for (const char* name : {"a", "b"}) {
        Package package;
        package.name = name;
        repository.packages().add(package);
    }
    repository.packages().sortNames();
    std::string missing;
    EXPECT_TRUE(repository.allPresent({}, &missing));
    EXPECT_TRUE(repository.allPresent({"a", "b"}));
    EXPECT_TRUE(log.has("TRACE: package 'b' is present in repository"));
    EXPECT_FALSE(repository.allPresent({"a", "x", "y"}, &missing));
    EXPECT_EQ(missing, "x");
    EXPECT_TRUE(log.has("DEBUG: package 'x' is not present in repository"));
    EXPECT_FALSE(log.has("DEBUG: package 'y' is not present in repository"));
    EXPECT_FALSE(repository.allPresent({"y"}));
}

}  // namespace
