#include "repository/transfer_limits.h"

#include <gtest/gtest.h>

#include "repository/repository.h"

namespace {

TEST(TransferLimitsTest, DeclaredSizesArePositiveDecimalsWithin64Bits) {
    const struct {
        const char* text;
        bool valid;
        uint64_t size;
    } kCases[] = {
        {"1", true, 1},
        {"6144", true, 6144},
        {"18446744073709551615", true, UINT64_MAX},
        {"0", false, 0},
        {"-1", false, 0},
        {"+5", false, 0},
        {" 5", false, 0},
        {"5 ", false, 0},
        {"1e3", false, 0},
        {"18446744073709551616", false, 0},
        {"000000000000000000001", false, 0},
        {"", false, 0},
    };
    for (const auto& test : kCases) {
        uint64_t size = 0;
        EXPECT_EQ(parseDeclaredSize(test.text, size), test.valid) << test.text;
        if (test.valid) {
            EXPECT_EQ(size, test.size) << test.text;
        }
    }
}

TEST(TransferLimitsTest, DeclaredSizesBoundFilesAndTheConfigurationTheRest) {
    TransferPolicy policy;
    EXPECT_EQ(indexLimit(policy).maxBytes, 1024u * 1024);
    EXPECT_EQ(indexSignatureLimit(policy).maxBytes, 64u * 1024);

    RepoData list;
    EXPECT_EQ(listLimit(list, policy).maxBytes, 256u * 1024 * 1024);
    EXPECT_EQ(listContentLimit(list, policy).maxBytes, 256u * 1024 * 1024);
    list.size = 5000;
    EXPECT_EQ(listLimit(list, policy).maxBytes, 5000u);
    EXPECT_EQ(listLimit(list, policy).origin, "declared by the repository");
    EXPECT_EQ(listContentLimit(list, policy).maxBytes, 256u * 1024 * 1024);
    list.openSize = 40000;
    EXPECT_EQ(listLimit(list, policy).maxBytes, 40000u);  // the larger: a list stored uncompressed
    EXPECT_EQ(listContentLimit(list, policy).maxBytes, 40000u);
    EXPECT_EQ(listLimit(list, policy).declaredSize, 0u);  // recompressed lists may differ a little

    Package package;
    EXPECT_EQ(packageLimit(package, policy).maxBytes, 1024u * 1024 * 1024);
    package.size = 6144;
    EXPECT_EQ(packageLimit(package, policy).maxBytes, 6144u);
    EXPECT_EQ(packageLimit(package, policy).declaredSize, 6144u);

    policy.undeclaredPackageMaxBytes = 10;
    package.size = 0;
    EXPECT_EQ(packageLimit(package, policy).maxBytes, 10u);
}

}  // namespace
