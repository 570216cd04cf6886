// The package types a pass leaves out, as a set.
#include <iterator>

#include <gtest/gtest.h>

#include "package/package.h"

namespace {

constexpr PackageType kAllTypes[] = {PackageType::Unknown, PackageType::Rpm, PackageType::Tavpkg,
                                     PackageType::FlashedFw};

// A set is usable where constants are made.
static_assert(PackageTypeSet{PackageType::Rpm}.contains(PackageType::Rpm));
static_assert(!PackageTypeSet{}.contains(PackageType::Rpm));
static_assert(PackageTypeSet{}.with(PackageType::Tavpkg) == PackageTypeSet{PackageType::Tavpkg});

TEST(PackageTypeSet, HoldsExactlyTheTypesPutIn) {
    const struct {
        const char* what;
        PackageTypeSet set;
        bool unknown, rpm, tavpkg, flashedFw;
    } cases[] = {
        {"empty", {}, false, false, false, false},
        {"one type", {PackageType::Rpm}, false, true, false, false},
        {"listed twice", {PackageType::Tavpkg, PackageType::Tavpkg}, false, false, true, false},
        {"by with", PackageTypeSet{}.with(PackageType::Unknown).with(PackageType::FlashedFw), true, false, false, true},
        {"all",
         {PackageType::Unknown, PackageType::Rpm, PackageType::Tavpkg, PackageType::FlashedFw},
         true,
         true,
         true,
         true},
        {"outside the enumeration",
         {static_cast<PackageType>(7), static_cast<PackageType>(-1)},
         false,
         false,
         false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool expected[] = {c.unknown, c.rpm, c.tavpkg, c.flashedFw};
        for (size_t i = 0; i < std::size(kAllTypes); ++i) EXPECT_EQ(c.set.contains(kAllTypes[i]), expected[i]) << i;
        EXPECT_EQ(c.set.empty(), !(c.unknown || c.rpm || c.tavpkg || c.flashedFw));
        EXPECT_FALSE(c.set.contains(static_cast<PackageType>(7)));
    }
}

TEST(PackageTypeSet, InsertAndWithAgree) {
    for (const PackageType first : kAllTypes) {
        for (const PackageType second : kAllTypes) {
            PackageTypeSet inserted;
            inserted.insert(first);
            inserted.insert(second);
            const PackageTypeSet built = PackageTypeSet{}.with(first).with(second);
            EXPECT_EQ(inserted, built);
            EXPECT_EQ(inserted, (PackageTypeSet{second, first}));
            EXPECT_EQ(inserted == PackageTypeSet{first}, first == second);
            EXPECT_EQ(inserted != PackageTypeSet{first}, first != second);
        }
    }
}

}  // namespace
