#include "base/run_report.h"

#include <json-c/json.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(RunReportTest, ReasonCodesAreStableAndDistinct) {
    const std::pair<Refusal, const char*> kCodes[] = {
        {Refusal::Checksum, "checksum"},
        {Refusal::Signature, "signature"},
        {Refusal::SignatureExpired, "signature-expired"},
        {Refusal::PackageSignature, "package-signature"},
        {Refusal::SizeLimit, "size-limit"},
        {Refusal::Stall, "stall"},
        {Refusal::Deadline, "deadline"},
        {Refusal::Downgrade, "https-downgrade"},
        {Refusal::Rollback, "rollback"},
        {Refusal::MaxAge, "max-age"},
        {Refusal::Metadata, "metadata"},
        {Refusal::Download, "download"},
        {Refusal::UnsatisfiedDependency, "unsatisfied-dependency"},
        {Refusal::NewerUpdaterRequired, "newer-updater-required"},
        {Refusal::Install, "install"},
        {Refusal::Hook, "hook"},
        {Refusal::CorruptedSystem, "corrupted-system"},
        {Refusal::Database, "database"},
        {Refusal::MemoryLimit, "memory-limit"},
    };
    std::set<std::string> seen;
    for (const auto& [reason, code] : kCodes) {
        EXPECT_STREQ(refusalCode(reason), code);
        EXPECT_TRUE(seen.insert(code).second) << code;
    }
}

TEST(RunReportTest, TheDocumentParsesAndHoldsEveryField) {
    RunReport report;
    report.begin("update");
    report.setRepository("main", "http://127.0.0.1/repo/");
    report.setIndex(std::string(64, 'a'), "", 1765000000);
    report.addPass("analysis", "OK");
    report.addChosen({{"demo", 1, "2.0", "1", "noarch", "rpm"}});
    report.addChosen({{"demo", 1, "2.0", "1", "noarch", "rpm"}});  // listed once
    report.refuse(Refusal::SizeLimit, "http://x/\"quoted\"\n");
    report.addBytes(10, 20, 5, 1);
    report.addBytes(1, 1, 0, 0);

    json_object* root = json_tokener_parse(report.toJson(1, "ERROR").c_str());
    ASSERT_NE(root, nullptr);
    auto get = [](json_object* object, const char* key) {
        json_object* value = nullptr;
        return json_object_object_get_ex(object, key, &value) ? value : nullptr;
    };
    EXPECT_EQ(json_object_get_int(get(root, "schema")), RunReport::kSchemaVersion);
    EXPECT_EQ(json_object_get_int(get(get(root, "exit"), "status")), 1);
    EXPECT_STREQ(json_object_get_string(get(get(root, "exit"), "word")), "ERROR");
    json_object* index = get(get(root, "repository"), "index");
    EXPECT_STREQ(json_object_get_string(get(index, "signed")), utcTimestamp(1765000000).c_str());
    EXPECT_TRUE(json_object_is_type(get(index, "revision"), json_type_null));
    EXPECT_EQ(json_object_array_length(get(root, "chosen")), 1u);
    EXPECT_EQ(json_object_get_int(get(json_object_array_get_idx(get(root, "chosen"), 0), "epoch")), 1);
    EXPECT_EQ(json_object_array_length(get(root, "installed")), 0u);
    json_object* refusal = json_object_array_get_idx(get(root, "refusals"), 0);
    EXPECT_STREQ(json_object_get_string(get(refusal, "reason")), "size-limit");
    EXPECT_STREQ(json_object_get_string(get(refusal, "detail")), "http://x/\"quoted\"\n");
    EXPECT_EQ(json_object_get_int64(get(get(root, "bytes"), "received")), 21);
    EXPECT_EQ(json_object_get_int64(get(get(root, "bytes"), "expected")), 11);
    EXPECT_FALSE(json_object_get_boolean(get(root, "reboot_requested")));
    json_object_put(root);

    EXPECT_EQ(utcTimestamp(0), "1970-01-01T00:00:00Z");
}

// The lists are rendered a package at a time; the text must be what json-c renders for the
// whole tree, in the document and nested deeper.
TEST(RunReportTest, PackageListsRenderAsJsonCRendersTheirTree) {
    const std::vector<std::vector<ReportedPackage>> lists = {
        {},
        {{"demo", 0, "1.0", "1", "noarch", "rpm"}},
        {{"a\"b/c\\d", 4294967295u, "1.0~rc1", "1\n2", "armv7hl", "tavpkg"},
         {std::string("nul\0in", 6), 1, "\x01\x7f", "", "", "flashedfw"},
         {"\xc3\xa9t\xc3\xa9", 2, "2", "3", "noarch", "rpm"}},
    };
    const int flags = JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED | JSON_C_TO_STRING_NOSLASHESCAPE;
    auto string = [](const std::string& value) {
        return json_object_new_string_len(value.data(), static_cast<int>(value.size()));
    };
    for (const std::vector<ReportedPackage>& packages : lists) {
        for (int depth = 1; depth <= 2; ++depth) {
            json_object* array = json_object_new_array();
            for (const ReportedPackage& package : packages) {
                json_object* item = json_object_new_object();
                json_object_object_add(item, "name", string(package.name));
                json_object_object_add(item, "epoch", json_object_new_uint64(package.epoch));
                json_object_object_add(item, "version", string(package.version));
                json_object_object_add(item, "release", string(package.release));
                json_object_object_add(item, "arch", string(package.arch));
                json_object_object_add(item, "type", string(package.type));
                json_object_array_add(array, item);
            }
            json_object* root = json_object_new_object();
            json_object* holder = root;
            if (depth == 2) {
                holder = json_object_new_object();
                json_object_object_add(root, "outer", holder);
            }
            json_object_object_add(holder, "list", array);
            const std::string expected = json_object_to_json_string_ext(root, flags);
            json_object_put(root);

            std::string rendered = "{\n  \"list\": " + packageListJson(packages, 1) + "\n}";
            if (depth == 2) rendered = "{\n  \"outer\": {\n    \"list\": " + packageListJson(packages, 2) + "\n  }\n}";
            EXPECT_EQ(rendered, expected) << packages.size() << " packages at depth " << depth;
        }
    }
}

}  // namespace
