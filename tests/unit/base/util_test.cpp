// The path helpers every subsystem names its files with.
#include "base/util.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "base/handles.h"
#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

TEST(WriteAll, WholeBufferOrTheError) {
    TempDir dir;
    const std::string big(300000, 'x');
    struct Case {
        const char* target;  // a file name below dir, or a device
        std::string data;
        bool written;
        int error;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"file", big, true, 0},
             {"empty", "", true, 0},
             {"/dev/full", "abc", false, ENOSPC},
             {"", "abc", false, EBADF},
         }) {
        const std::string path = c.target[0] == '/' ? std::string(c.target) : dir / c.target;
        UniqueFd fd(*c.target ? open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : -1);
        errno = 0;
        EXPECT_EQ(writeAll(fd.get(), c.data), c.written) << c.target;
        if (c.written) {
            EXPECT_EQ(readFile(path), c.data) << c.target;
        } else {
            EXPECT_EQ(errno, c.error) << c.target;
        }
    }
}

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
