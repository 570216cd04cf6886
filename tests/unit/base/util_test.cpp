// The path helpers every subsystem names its files with.
#include "base/util.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

TEST(PathHelpers, LastComponentAndExtension) {
    struct Case {
        const char* path;
        const char* last;
        const char* extension;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"", "", ""},
             {"///", "", ""},
             {"primary.xml.gz", "primary.xml.gz", ".xml.gz"},
             {"repodata/0a1b-primary.xml.gz", "0a1b-primary.xml.gz", ".xml.gz"},
             {"/var/cache/updater/base/", "base", ""},
             {"dir.d/file", "file", ""},
             {"repodata/.hidden.xml", ".hidden.xml", ""},
             {"a/b.", "b.", "."},
         }) {
        EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
        EXPECT_EQ(fileExtension(c.path), c.extension) << c.path;
    }
}

TEST(PathHelpers, ReadableAndCreatedDirectories) {
    LogCapture log;
    TempDir dir;
    writeFile(dir / "file", "x");
    EXPECT_TRUE(isReadable(dir / "file"));
    EXPECT_FALSE(isReadable(dir / "missing"));
    EXPECT_TRUE(log.has("DEBUG: file '" + (dir / "missing") + "' not readable (No such file or directory)"));

    EXPECT_TRUE(createDirectory(dir / "new"));
    EXPECT_TRUE(log.has("DEBUG: successfully created dir '" + (dir / "new") + "'"));
    EXPECT_TRUE(createDirectory(dir / "new"));    // an existing directory is fine
    EXPECT_FALSE(createDirectory(dir / "file"));  // a file in the way is not
    EXPECT_TRUE(log.has("ERROR: cannot create dir '" + (dir / "file") + "' (File exists)"));
    EXPECT_FALSE(createDirectory(dir / "missing/sub"));
}

}  // namespace
