// Resolver decisions as data: each scenario of tests/unit/resolver/scenarios/*.txt describes
// an installed system, a repository, external packages and a pass, and what the resolver must
// choose, pull and log. The package sets go through real primary lists read by parseList.
//
// Scenario syntax, one statement a line ('#' starts a comment line):
//   scenario NAME                          starts a scenario (letters, digits, '_')
//   installed|repo|external NAME EVR [type=rpm|tavpkg|flashedfw] [group=G]
//     requires|recommends|provides|obsoletes DEP     (indented, for the package above)
//   request [mask=N] [include=a,b] [exclude=a,b] [groups=a,b] [addons=a,b] [ignore-recommends]
//                                          mask: the types the pass leaves out, one bit per
//                                          PackageType value (5: unknown and tavpkg)
//   expect-select LABEL...                 selectNewer's result, in name order
//   expect-closure ok|failed               runs the closure and checks its result
//   expect-final LABEL...                  the selection after the closure (default: as selected)
//   expect-unsatisfied DEP                 one line per unsatisfied requirement after the closure
//   expect-recommends DEP                  unsatisfied recommendations (checked when given)
//   expect-unmet DEP                       findUnmetRequirements of updater-running = 1.10 over the
//   expect-no-unmet                        final selection: each unmet entry, or none
//   log LEVEL: message                     lines that must appear, in this order
//   nolog TEXT                             text that no line may contain
// DEP is "name" or "name OP [epoch:]version[-release]" with OP one of < > = <= >=.
// Installed records are reduced to what the rpm database gives: type rpm, no group, no
// recommendations and no obsoletes.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/version.h"
#include "fixtures/log_capture.h"
#include "fixtures/package_maps.h"
#include "fixtures/rpm_builder.h"
#include "fixtures/temp_dir.h"
#include "repository/metadata_namespaces.h"
#include "repository/package_list.h"
#include "resolver/external_packages.h"
#include "resolver/resolver.h"

namespace {

struct PackageDef {
    std::string name;
    std::string evr;
    std::string type = "rpm";
    std::string group;
    std::vector<std::pair<std::string, std::string>> dependencies;  // kind, DEP text
};

struct Scenario {
    std::string name;
    std::string source;  // file:line, for failure messages
    std::vector<PackageDef> installed, repository, external;
    PackageTypeSet excludedTypes;
    NameSet include, exclude, groups, addons;
    bool ignoreRecommends = false;
    std::vector<std::string> expectSelect;
    std::optional<bool> expectClosure;
    std::optional<std::vector<std::string>> expectFinal;
    std::vector<std::string> expectUnsatisfied;
    std::optional<std::vector<std::string>> expectRecommends;
    std::optional<std::vector<std::string>> expectUnmet;
    std::vector<std::string> logLines;
    std::vector<std::string> absentTexts;
};

std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) result.push_back(word);
    return result;
}

NameSet commaList(const std::string& text) {
    NameSet result;
    std::istringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');)
        if (!item.empty()) result.insert(item);
    return result;
}

std::string restAfter(const std::string& line, const std::string& keyword) {
    const size_t start = line.find_first_not_of(' ', keyword.size());
    return start == std::string::npos ? "" : line.substr(start);
}

PackageTypeSet typesOfMask(unsigned long mask) {
    PackageTypeSet types;
    for (const PackageType type : {PackageType::Unknown, PackageType::Rpm, PackageType::Tavpkg, PackageType::FlashedFw})
        if ((mask & (1ul << static_cast<int>(type))) != 0) types.insert(type);
    return types;
}

// Malformed scenario files are reported as a scenario that fails with the reason.
std::vector<Scenario> loadScenarioFile(const std::string& path) {
    std::vector<Scenario> scenarios;
    std::ifstream in(path);
    const std::string file = std::filesystem::path(path).filename();
    int lineNumber = 0;
    std::vector<PackageDef>* lastList = nullptr;
    auto fail = [&](const std::string& why) {
        Scenario broken;
        broken.name = "malformed_" + std::to_string(scenarios.size()) + "_line" + std::to_string(lineNumber);
        broken.source = file + ":" + std::to_string(lineNumber) + ": " + why;
        scenarios.push_back(broken);
    };
    for (std::string raw; std::getline(in, raw);) {
        ++lineNumber;
        const size_t first = raw.find_first_not_of(" \t");
        if (first == std::string::npos || raw[first] == '#') continue;
        const std::string line = raw.substr(first);
        const std::vector<std::string> w = words(line);
        const std::string& keyword = w[0];
        if (keyword == "scenario") {
            Scenario next;
            next.name = w.size() > 1 ? w[1] : "";
            next.source = file + ":" + std::to_string(lineNumber);
            scenarios.push_back(next);
            lastList = nullptr;
            continue;
        }
        if (scenarios.empty()) {
            fail("statement before any scenario");
            return scenarios;
        }
        Scenario& s = scenarios.back();
        if (keyword == "installed" || keyword == "repo" || keyword == "external") {
            if (w.size() < 3) {
                fail("package needs a name and a version");
                continue;
            }
            PackageDef def;
            def.name = w[1];
            def.evr = w[2];
            for (size_t i = 3; i < w.size(); ++i) {
                if (w[i].rfind("type=", 0) == 0) def.type = w[i].substr(5);
                if (w[i].rfind("group=", 0) == 0) def.group = w[i].substr(6);
            }
            lastList = keyword == "installed" ? &s.installed : keyword == "repo" ? &s.repository : &s.external;
            lastList->push_back(def);
        } else if (keyword == "requires" || keyword == "recommends" || keyword == "provides" ||
                   keyword == "obsoletes") {
            if (!lastList || first == 0) {
                fail("dependency outside a package");
                continue;
            }
            lastList->back().dependencies.emplace_back(keyword, restAfter(line, keyword));
        } else if (keyword == "request") {
            for (size_t i = 1; i < w.size(); ++i) {
                const std::string& option = w[i];
                const size_t eq = option.find('=');
                const std::string key = option.substr(0, eq);
                const std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
                if (key == "mask") s.excludedTypes = typesOfMask(std::stoul(value));
                if (key == "include") s.include = commaList(value);
                if (key == "exclude") s.exclude = commaList(value);
                if (key == "groups") s.groups = commaList(value);
                if (key == "addons") s.addons = commaList(value);
                if (key == "ignore-recommends") s.ignoreRecommends = true;
            }
        } else if (keyword == "expect-select") {
            s.expectSelect.assign(w.begin() + 1, w.end());
        } else if (keyword == "expect-closure") {
            s.expectClosure = w.size() > 1 && w[1] == "ok";
        } else if (keyword == "expect-final") {
            s.expectFinal = std::vector<std::string>(w.begin() + 1, w.end());
        } else if (keyword == "expect-unsatisfied") {
            if (w.size() > 1) s.expectUnsatisfied.push_back(restAfter(line, keyword));
        } else if (keyword == "expect-recommends") {
            if (!s.expectRecommends) s.expectRecommends.emplace();
            if (w.size() > 1) s.expectRecommends->push_back(restAfter(line, keyword));
        } else if (keyword == "expect-unmet") {
            if (!s.expectUnmet) s.expectUnmet.emplace();
            if (w.size() > 1) s.expectUnmet->push_back(restAfter(line, keyword));
        } else if (keyword == "expect-no-unmet") {
            s.expectUnmet.emplace();
        } else if (keyword == "log") {
            s.logLines.push_back(restAfter(line, keyword));
        } else if (keyword == "nolog") {
            s.absentTexts.push_back(restAfter(line, keyword));
        } else {
            fail("unknown statement '" + keyword + "'");
        }
    }
    return scenarios;
}

std::vector<Scenario> allScenarios() {
    std::vector<std::string> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(UPDATER_SOURCE_DIR) + "/tests/unit/resolver/scenarios"))
        if (entry.path().extension() == ".txt") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Scenario> result;
    for (const std::string& file : files) {
        std::vector<Scenario> some = loadScenarioFile(file);
        result.insert(result.end(), some.begin(), some.end());
    }
    return result;
}

// ---------------------------------------------------------------------------------------
// Scenario packages as a primary list.

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string versionAttributes(const std::string& text) {
    const EVR evr = EVR::fromString(text);
    std::string out = " epoch=\"" + std::to_string(evr.epoch) + "\" ver=\"" + xmlEscape(evr.version) + "\"";
    if (!evr.release.empty()) out += " rel=\"" + xmlEscape(evr.release) + "\"";
    return out;
}

std::string entryXml(const std::string& prefix, const std::string& text) {
    static const std::map<std::string, std::string> kFlagWords = {
        {"<", "LT"}, {">", "GT"}, {"=", "EQ"}, {"<=", "LE"}, {">=", "GE"}};
    const std::vector<std::string> w = words(text);
    std::string out = "<" + prefix + ":entry name=\"" + xmlEscape(w.at(0)) + "\"";
    if (w.size() >= 3) out += " flags=\"" + kFlagWords.at(w[1]) + "\"" + versionAttributes(w[2]);
    return out + "/>";
}

std::string packageXml(const PackageDef& def) {
    const std::string prefix = def.type == "tavpkg" ? "tav" : "rpm";
    std::string xml = "<package type=\"" + def.type + "\"><name>" + xmlEscape(def.name) +
                      "</name><arch>noarch</arch><version" + versionAttributes(def.evr) +
                      "/><checksum type=\"sha256\">00</checksum><location href=\"" + xmlEscape(def.name) +
                      ".rpm\"/><format>";
    if (!def.group.empty()) xml += "<" + prefix + ":group>" + xmlEscape(def.group) + "</" + prefix + ":group>";
    for (const auto& [kind, text] : def.dependencies)
        xml += "<" + prefix + ":" + kind + ">" + entryXml(prefix, text) + "</" + prefix + ":" + kind + ">";
    return xml + "</format></package>";
}

std::string primaryXml(const std::vector<PackageDef>& defs) {
    std::string xml = std::string("<?xml version=\"1.0\"?>\n<metadata xmlns=\"") + kCommonNamespace +
                      "\" xmlns:rpm=\"" + kRpmNamespace + "\" xmlns:tav=\"" + kTavNamespace + "\">";
    for (const PackageDef& def : defs) xml += packageXml(def);
    return xml + "</metadata>\n";
}

bool loadList(const TempDir& dir, const std::string& file, const std::vector<PackageDef>& defs, PackageMap& out) {
    writeFile(dir / file, primaryXml(defs));
    return parseListToMap(dir / file, kPrimaryList, out, "");
}

std::vector<std::string> labels(const PackageSelection& selection) {
    std::vector<std::string> out;
    for (const auto& entry : selection) out.push_back(packageLabel(entry.second));
    return out;
}

// DEP texts normalised the way Dependency::toString prints them.
std::vector<std::string> normalised(const std::vector<std::string>& texts) {
    static const std::map<std::string, int32_t> kFlags = {{"<", 2}, {">", 4}, {"=", 8}, {"<=", 10}, {">=", 12}};
    DependencySet set;
    for (const std::string& text : texts) {
        const std::vector<std::string> w = words(text);
        set.insert(w.size() >= 3 ? Dependency(w[0], EVR::fromString(w[2]), kFlags.at(w[1])) : Dependency(w.at(0)));
    }
    std::vector<std::string> out;
    for (const Dependency& d : set) out.push_back(d.toString());
    return out;
}

std::vector<std::string> texts(const DependencySet& set) {
    std::vector<std::string> out;
    for (const Dependency& d : set) out.push_back(d.toString());
    return out;
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class ResolverScenario : public ::testing::TestWithParam<Scenario> {};

TEST_P(ResolverScenario, Resolves) {
    const Scenario& s = GetParam();
    SCOPED_TRACE(s.source);
    ASSERT_EQ(s.name.rfind("malformed_", 0), std::string::npos) << s.source;
    loadRpmConfig();
    TempDir dir("updater-scenario");

    PackageMap installed, repository, external;
    std::optional<LogCapture> listLog(std::in_place);  // keeps the lists' own messages off the test output
    ASSERT_TRUE(loadList(dir, "installed.xml", s.installed, installed));
    for (auto& entry : installed) {
        Package& record = entry.second;
        record.type = PackageType::Rpm;
        record.group.clear();
        record.recommends.clear();
        record.obsoletes.clear();
    }
    ASSERT_TRUE(loadList(dir, "repo.xml", s.repository, repository));
    if (!s.external.empty()) {
        writeFile(dir / "external.xml", primaryXml(s.external));
        ASSERT_TRUE(loadExternalPackages(external, dir / "external.xml"));
    }

    listLog.reset();

    // The resolver tells more at trace level, and walks more of the repository to tell it; at
    // every level it must decide the same, and log the same lines down to that level.
    struct Outcome {
        std::vector<std::string> selected, final, requires, recommends, unmet;
        std::optional<bool> closed, met;
        std::vector<std::string> lines;
    };
    auto resolve = [&](LogLevel level) {
        Outcome out;
        LogCapture log(level);
        Resolver resolver;
        EXPECT_TRUE(resolver.initFromInstalled(installed, s.ignoreRecommends, s.excludedTypes));
        EXPECT_TRUE(resolver.addExternalPackages(external));
        PackageSelection selection =
            resolver.selectNewer(storeOf(repository), s.include, s.exclude, s.groups, s.addons);
        out.selected = labels(selection);
        if (s.expectClosure) {
            DependencySet requires, recommends;
            out.closed =
                resolver.closeDependencies(storeOf(repository), selection, requires, recommends, [] { return false; });
            out.final = labels(selection);
            out.requires = texts(requires);
            out.recommends = texts(recommends);
        }
        if (s.expectUnmet) {
            DependencySet unmet;
            out.met = findUnmetRequirements(
                Dependency("updater-running", EVR::fromString(kUpdaterVersion), kSenseEqual), selection, unmet);
            out.unmet = texts(unmet);
        }
        out.lines = log.lines();
        return out;
    };
    const Outcome traced = resolve(LogLevel::Trace);
    const Outcome quiet = resolve(LogLevel::Debug);
    const Outcome info = resolve(LogLevel::Info);

    EXPECT_EQ(traced.selected, s.expectSelect) << "selection";
    if (s.expectClosure) {
        EXPECT_EQ(traced.closed, *s.expectClosure) << "closure result";
        EXPECT_EQ(traced.final, s.expectFinal.value_or(s.expectSelect)) << "selection after closure";
        EXPECT_EQ(traced.requires, normalised(s.expectUnsatisfied)) << "unsatisfied requirements";
        if (s.expectRecommends) {
            EXPECT_EQ(traced.recommends, normalised(*s.expectRecommends)) << "recommendations";
        }
    }
    if (s.expectUnmet) {
        EXPECT_EQ(traced.met, s.expectUnmet->empty());
        EXPECT_EQ(traced.unmet, normalised(*s.expectUnmet)) << "unmet updater-running requirements";
    }
    for (const Outcome* other : {&quiet, &info}) {
        EXPECT_EQ(other->selected, traced.selected);
        EXPECT_EQ(other->closed, traced.closed);
        EXPECT_EQ(other->final, traced.final);
        EXPECT_EQ(other->requires, traced.requires);
        EXPECT_EQ(other->recommends, traced.recommends);
        EXPECT_EQ(other->met, traced.met);
        EXPECT_EQ(other->unmet, traced.unmet);
    }
    std::vector<std::string> tracedAboveTrace, tracedAboveDebug;
    for (const std::string& line : traced.lines) {
        if (line.rfind("TRACE: ", 0) == 0) continue;
        tracedAboveTrace.push_back(line);
        if (line.rfind("DEBUG: ", 0) != 0) tracedAboveDebug.push_back(line);
    }
    EXPECT_EQ(quiet.lines, tracedAboveTrace) << "lines at debug level";
    EXPECT_EQ(info.lines, tracedAboveDebug) << "lines at info level";

    const std::vector<std::string>& lines = traced.lines;
    auto position = lines.begin();
    for (const std::string& wanted : s.logLines) {
        const auto found = std::find(position, lines.end(), wanted);
        if (found == lines.end()) {
            std::string text;
            for (const std::string& line : lines) text += line + "\n";
            ADD_FAILURE() << "missing log line (or out of order): " << wanted << "\nlog:\n" << text;
            break;
        }
        position = found + 1;
    }
    for (const std::string& absent : s.absentTexts)
        for (const std::string& line : lines) EXPECT_EQ(line.find(absent), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ResolverScenario, ::testing::ValuesIn(allScenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return param.param.name; });

}  // namespace
