// The names of the updater's own temporary files, which the next run may remove.
#include "driver/leftovers.h"

#include <gtest/gtest.h>

namespace {

TEST(Leftovers, OnlyNamesMadeFromTheTemplateMatch) {
    struct Case {
        const char* name;
        bool matches;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"status.aB3dE9", true},
             {"status.XXXXXX", true},
             {"status", false},
             {"status.aB3dE", false},
             {"status.aB3dE9x", false},
             {"status.aB3d-9", false},
             {"status.aB3d.9", false},
             {"statuS.aB3dE9", false},
             {"update-state.000000", false},
         }) {
        EXPECT_EQ(madeFromTemplate(c.name, "status.XXXXXX"), c.matches) << c.name;
    }
    EXPECT_TRUE(madeFromTemplate("updater.Zz09aA", "updater.XXXXXX"));
    EXPECT_FALSE(madeFromTemplate("updater.Zz09aA", "updater.ABCDEF"));
    EXPECT_FALSE(madeFromTemplate("abc", "abc"));
}

}  // namespace
