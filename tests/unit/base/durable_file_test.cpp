// The temporary-file guard every record and download is written through.
#include "base/durable_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "fixtures/temp_dir.h"

namespace {

TEST(TempFile, PlacedOnCommitKeptOnReleaseRemovedOtherwise) {
    enum class End { Commit, Release, Drop };
    struct Case {
        End end;
        bool unique;  // a fresh name from a template, or a fixed one
        const char* target;
        const char* tempLeft;  // the temporary file after the guard, when it stays
    };
    for (const Case& c : std::initializer_list<Case>{
             {End::Commit, true, "new", ""},
             {End::Commit, false, "new", ""},
             {End::Release, false, "old", "record.tmp"},
             {End::Drop, true, "old", ""},
             {End::Drop, false, "old", ""},
         }) {
        TempDir dir;
        const std::string target = dir / "record";
        writeFile(target, "old");
        std::string tempPath;
        {
            TempFile temp;
            ASSERT_TRUE(c.unique ? temp.createUnique(durableTempTemplate(target))
                                 : temp.createAt(target + ".tmp", 0600));
            tempPath = temp.path();
            ASSERT_TRUE(temp.write(std::string("new")));
            ASSERT_TRUE(temp.setMode(0640));
            ASSERT_TRUE(temp.sync());
            if (c.end == End::Commit) {
                ASSERT_TRUE(temp.commit(target, true));
            }
            if (c.end == End::Release) {
                EXPECT_EQ(temp.release(), tempPath);
            }
            EXPECT_EQ(temp.committed(), c.end == End::Commit);
        }
        EXPECT_EQ(readFile(target), c.target);
        EXPECT_EQ(fileExists(tempPath), *c.tempLeft != '\0') << tempPath;
        if (*c.tempLeft) {
            EXPECT_EQ(tempPath, dir / c.tempLeft);
            unlink(tempPath.c_str());
        }
        struct stat info {};
        if (c.end == End::Commit) {
            ASSERT_EQ(stat(target.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0640u);
        }
    }
}

TEST(TempFile, FailuresKeepErrno) {
    TempDir dir;
    TempFile temp;
    EXPECT_FALSE(temp.createUnique(dir / "missing/record.XXXXXX"));
    EXPECT_EQ(errno, ENOENT);
    writeFile(dir / "record.tmp", "leftover");
    EXPECT_FALSE(temp.createAt(dir / "record.tmp", 0600, true));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(temp.commit(dir / "record"));
    EXPECT_EQ(readFile(dir / "record.tmp"), "leftover");
}

}  // namespace
