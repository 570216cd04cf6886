#include "package/dependency.h"

#include <iterator>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "package/package.h"
#include "package/package_store.h"

namespace {

// "name", or "name OP [epoch:]version[-release]"; the operator "?" stands for flags 0.
Dependency dep(const std::string& text) {
    static const std::map<std::string, int32_t> kFlags = {{"", 0},  {"?", 0},   {"<", 2},  {">", 4},
                                                          {"=", 8}, {"<=", 10}, {">=", 12}};
    std::istringstream words(text);
    std::string name, op, evr;
    words >> name >> op >> evr;
    return Dependency(name, evr.empty() ? EVR() : EVR::fromString(evr), kFlags.at(op));
}

TEST(DependencyMatch, ConstraintsThatCanHoldTogether) {
    const struct {
        const char *a, *b;
        bool match;
    } cases[] = {
        {"foo = 0:1.2", "foo >= 0:1.0", true},
        {"foo = 0:1.2", "foo <= 0:1.2", true},
        {"foo = 0:1.2", "foo < 0:1.2", false},
        {"foo = 0:1.9-r1", "foo < 0:2.0", true},
        {"foo = 0:2.0-r1", "foo < 0:2.0", false},
        {"foo = 1:1.0", "foo < 0:2.0", false},
        {"foo = 4294967295:1", "foo > 0:2", true},
        {"foo = 0:1.0", "foo = 0:1.0-r1", true},
        {"foo = 0:1.0-r1", "foo = 0:1.0-r2", false},
        {"foo > 0:1.0", "foo < 0:2.0", true},
        {"foo > 0:2.0", "foo < 0:1.0", false},
        {"foo < 0:1.0", "foo < 0:2.0", true},
        {"foo > 0:1.0", "foo >= 0:1.0", true},
        {"foo >= 0:1.0", "foo <= 0:1.0", true},
        {"foo > 0:1.0", "foo < 0:1.0", false},
        {"foo > 0:1.0", "foo = 0:1.0", false},
        {"foo", "foo >= 0:2.0", true},
        {"foo ? 0:9", "foo < 0:1", true},
        {"foo ? 0:9", "foo > 1:1", true},
        {"foo", "Foo", false},
        {"lib", "libc", false},
        {"foo ? 0:9", "bar ? 0:9", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.match, dep(c.a).matches(dep(c.b))) << c.a << " with " << c.b;
        EXPECT_EQ(c.match, dep(c.b).matches(dep(c.a))) << c.b << " with " << c.a;
        // The compact entries of a store match as the full ones do.
        PackageStore store;
        Package package;
        package.provides.insert(dep(c.a));
        package.requires.insert(dep(c.b));
        const PackageStore::RecordId id = store.add(package);
        const CompactDependency& a = *store.entries(id, DependencyKind::Provides).begin();
        const CompactDependency& b = *store.entries(id, DependencyKind::Requires).begin();
        EXPECT_EQ(c.match, store.matches(a, b)) << c.a << " with " << c.b << " compact";
        EXPECT_EQ(c.match, store.matches(b, a)) << c.b << " with " << c.a << " compact";
    }
    EXPECT_TRUE(dep("foo >= 0:1.0").matches(Dependency("foo", EVR(), kSenseEqual)));
}

TEST(DependencyOrder, NamesByteWiseThenVersionsThenFlags) {
    const char* const sorted[] = {"/bin/sh",        "Foo",         "foo",
                                  "foo < 0:1.0",    "foo = 0:1.0", "foo >= 0:1.0",
                                  "foo = 0:1.0-r1", "foo = 0:1.1", "foo = 4294967295:0.1",
                                  "foo-bar",        "lib",         "libc",
                                  "libc.so.6",      "lib\xc3\xa9"};
    std::vector<Dependency> deps;
    for (const char* text : sorted) deps.push_back(dep(text));
    for (size_t i = 0; i < deps.size(); ++i)
        for (size_t j = 0; j < deps.size(); ++j)
            EXPECT_EQ(i < j, deps[i] < deps[j]) << sorted[i] << " before " << sorted[j];
    EXPECT_TRUE(Dependency("foo", EVR(), -1) < Dependency("foo"));

    DependencySet set(deps.rbegin(), deps.rend());
    set.insert(dep("foo = 0:1.0"));
    EXPECT_EQ(std::size(sorted), set.size());
    // A name alone is where the scan over that name's entries starts.
    set.erase(dep("foo"));
    EXPECT_EQ("foo < 0:1.0", set.lower_bound(Dependency("foo"))->toString());
}

TEST(DependencyText, OperatorsAndLabels) {
    const std::pair<int32_t, const char*> operators[] = {{0, "?"},   {2, "<"},   {4, ">"},  {6, "?"}, {8, "="},
                                                         {10, "<="}, {12, ">="}, {14, "?"}, {-1, "?"}};
    for (const auto& [flags, text] : operators) EXPECT_STREQ(text, senseOperator(flags)) << flags;

    EXPECT_EQ("busybox >= 0:1.20-r3", dep("busybox >= 1.20-r3").toString());
    EXPECT_EQ("busybox", dep("busybox").toString());
    EXPECT_EQ("foo ? 0:1.0", dep("foo ? 1.0").toString());
    EXPECT_EQ("foo ? 1:1", Dependency("foo", EVR::fromString("1:1"), 6).toString());
    EXPECT_EQ("foo", Dependency("foo", EVR(), kSenseGreater | kSenseEqual).toString());

    Package package;
    package.name = "busybox";
    EXPECT_EQ("busybox-", packageLabel(package));
    package.evr = EVR::fromString("1.20-r3");
    EXPECT_EQ("busybox-0:1.20-r3", packageLabel(package));
}

}  // namespace
