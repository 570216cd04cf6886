#include "package/package_store.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

TEST(StringPool, EqualTextsShareOneIdThatStaysValid) {
    StringPool pool;
    EXPECT_EQ(StringPool::kEmpty, pool.intern(""));
    EXPECT_STREQ("", pool.c_str(StringPool::kEmpty));
    std::vector<StringPool::Id> ids;
    // Enough texts to grow the index and fill several chunks, one longer than a chunk.
    for (int i = 0; i < 20000; ++i) ids.push_back(pool.intern("capability-" + std::to_string(i)));
    const std::string longText(100000, 'x');
    const StringPool::Id longId = pool.intern(longText);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = "capability-" + std::to_string(i);
        ASSERT_EQ(ids[i], pool.intern(text));
        ASSERT_EQ(ids[i], pool.find(text));
        ASSERT_EQ(text, pool.view(ids[i]));
        ASSERT_STREQ(text.c_str(), pool.c_str(ids[i]));
    }
    EXPECT_EQ(longText, pool.view(longId));
    EXPECT_EQ(StringPool::kEmpty, pool.find("capability-20000"));
    // An appended copy is not looked up, and a later intern of it makes its own.
    const StringPool::Id copy = pool.append("file.rpm");
    EXPECT_EQ("file.rpm", pool.view(copy));
    EXPECT_EQ(StringPool::kEmpty, pool.find("file.rpm"));
    EXPECT_NE(copy, pool.intern("file.rpm"));
}

Package record(const std::string& name, const std::string& evr, const std::string& href, const std::string& localPath) {
    Package package;
    package.name = name;
    package.group = "base";
    package.arch = "armv7hl";
    package.type = PackageType::Rpm;
    package.evr = EVR::fromString(evr);
    package.href = href;
    package.localPath = localPath;
    package.checksum = {"9f86d081884c7d65", "sha256"};
    package.size = 4096;
    package.requires = {Dependency("/bin/sh"), Dependency("libc.so.6"),
                        Dependency("busybox", EVR::fromString("1.20-r3"), kSenseGreater | kSenseEqual)};
    package.recommends = {Dependency("extra")};
    package.provides = {Dependency(name, package.evr, kSenseEqual), Dependency("cap~tilde", EVR::fromString("~1"), 8)};
    package.obsoletes = {Dependency("old-" + name, EVR::fromString("2.0"), kSenseLess)};
    return package;
}

void expectSame(const Package& a, const Package& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.group, b.group);
    EXPECT_EQ(a.arch, b.arch);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.evr.toString(), b.evr.toString());
    EXPECT_EQ(a.evr.release, b.evr.release);
    EXPECT_EQ(a.requires, b.requires);
    EXPECT_EQ(a.recommends, b.recommends);
    EXPECT_EQ(a.provides, b.provides);
    EXPECT_EQ(a.obsoletes, b.obsoletes);
    EXPECT_EQ(a.href, b.href);
    EXPECT_EQ(a.localPath, b.localPath);
    EXPECT_EQ(a.checksum.value, b.checksum.value);
    EXPECT_EQ(a.checksum.type, b.checksum.type);
    EXPECT_EQ(a.size, b.size);
}

TEST(PackageStore, RecordsComeBackAsTheyWereAdded) {
    Package cases[] = {
        record("busybox", "1:1.20-r3", "armv7/busybox-1.20-r3.rpm", "/var/cache/updater/packages/busybox-1.20-r3.rpm"),
        record("app", "2.0", "app.rpm", "/var/cache/updater/packages/app.rpm"),
        record("nolocation", "0:1", "", ""),
        record("nocache", "1.0-1", "p/nocache.rpm", ""),
        record("elsewhere", "1.0-1", "p/elsewhere.rpm", "/other/place"),
        Package(),
        Package(),
        Package(),
    };
    // Digests that are not lower-case hexadecimal come back as their text.
    cases[6].name = "upper";
    cases[6].checksum = {"9F86D0", "sha256"};
    cases[7].name = "odd";
    cases[7].checksum = {"abc", "sha"};
    // More entries than a block holds.
    for (int i = 0; i < 20000; ++i) cases[7].provides.insert(Dependency("cap-" + std::to_string(i)));
    PackageStore store;
    std::vector<PackageStore::RecordId> ids;
    for (const Package& package : cases) ids.push_back(store.add(package));
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        expectSame(cases[i], store.package(ids[i]));
        EXPECT_EQ(cases[i].name, store.name(ids[i]));
        EXPECT_EQ(cases[i].requires.size(), store.entries(ids[i], DependencyKind::Requires).size());
        EXPECT_EQ(cases[i].obsoletes.size(), store.entries(ids[i], DependencyKind::Obsoletes).size());
    }
    // Names and versions are held once for every record that repeats them.
    EXPECT_EQ(store.nameId(ids[0]), store.findName("busybox"));
    EXPECT_EQ(store.entries(ids[0], DependencyKind::Requires).begin()->name,
              store.entries(ids[1], DependencyKind::Requires).begin()->name);
}

}  // namespace

namespace {

TEST(PackageStore, NamesInByteOrderWithTheirRecordsInTheOrderAdded) {
    PackageStore store;
    const char* const added[][2] = {{"libc", "2.0"}, {"Zlib", "1.0"},        {"lib", "1.0"},
                                    {"libc", "1.0"}, {"lib\xc3\xa9", "1.0"}, {"libc", "3.0"}};
    for (const auto& [name, evr] : added) store.add(record(name, evr, "", ""));
    store.sortNames();
    std::vector<std::string> seen;
    for (const PackageStore::NameGroup& group : store.names())
        for (uint32_t i = 0; i < group.count; ++i) seen.push_back(store.label(store.recordsOf(group)[i]));
    const std::vector<std::string> expected = {"Zlib-0:1.0", "lib-0:1.0",  "libc-0:2.0",
                                               "libc-0:1.0", "libc-0:3.0", "lib\xc3\xa9-0:1.0"};
    EXPECT_EQ(expected, seen);
    ASSERT_NE(nullptr, store.findGroup("libc"));
    EXPECT_EQ(3u, store.findGroup("libc")->count);
    EXPECT_EQ(nullptr, store.findGroup("li"));
    // A capability name is no package name.
    EXPECT_EQ(nullptr, store.findGroup("/bin/sh"));
}

}  // namespace
