#include "resolver/package_selection.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

Package named(const std::string& name, const std::string& version) {
    Package package;
    package.name = name;
    package.type = PackageType::Rpm;
    package.evr = EVR::fromString(version);
    package.provides.insert(Dependency(name, package.evr, kSenseEqual));
    return package;
}

std::vector<std::string> namesOf(const PackageSelection& selection,
                                 const std::vector<PackageSelection::Names::const_iterator>& added) {
    std::vector<std::string> names;
    for (const auto entry : added) names.push_back(entry->first + "-" + selection.store().label(entry->second));
    return names;
}

// A closure round takes in what was added since the last one: records dropped or taken
// again under their name in between are not among them, and the first of a name stays.
TEST(PackageSelectionTest, AddedSinceNamesOnlyWhatIsStillSelected) {
    PackageSelection selection{{"a", named("a", "1")}, {"b", named("b", "1")}};
    EXPECT_FALSE(selection.emplace("a", named("a", "2")).second);
    EXPECT_EQ(selection.find("a")->second.evr.version, "1");
    const size_t taken = selection.store().size();

    EXPECT_TRUE(selection.emplace("c", named("c", "1")).second);
    EXPECT_TRUE(selection.emplace("d", named("d", "1")).second);
    EXPECT_EQ(selection.erase("d"), 1u);
    EXPECT_EQ(selection.erase("d"), 0u);
    EXPECT_TRUE(selection.emplace("d", named("d", "2")).second);
    EXPECT_EQ(namesOf(selection, selection.addedSince(taken)), (std::vector<std::string>{"c-c-0:1", "d-d-0:2"}));
    EXPECT_EQ(namesOf(selection, selection.addedSince(0)).size(), 4u);

    // Whole records come back as they were added.
    const std::map<std::string, Package> whole = selection.wholeRecords();
    ASSERT_EQ(whole.size(), 4u);
    EXPECT_EQ(whole.at("d").provides, named("d", "2").provides);
}

}  // namespace
