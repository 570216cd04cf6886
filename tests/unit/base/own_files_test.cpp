// Opening the updater's own files and clearing the places of its directories and files: what
// is planted there is refused or removed, never followed.
#include "base/own_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "fixtures/log_capture.h"
#include "fixtures/temp_dir.h"

namespace {

class OwnFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(m_dir / "victim", "victim\n");
        writeFile(m_dir / "tree/inner", "inner\n");
    }
    // Plants kind at name: "file", "link", "dangling", "dir", "fifo", "hardlink" or nothing.
    void plant(const std::string& name, const std::string& kind) {
        const std::string path = m_dir / name;
        int rc = 0;
        if (kind == "file") writeFile(path, "mine\n");
        if (kind == "link") rc = symlink((m_dir / "victim").c_str(), path.c_str());
        if (kind == "dangling") rc = symlink((m_dir / "missing").c_str(), path.c_str());
        if (kind == "dir")
            rc = mkdir(path.c_str(), 0755) || symlink((m_dir / "tree").c_str(), (path + "/link").c_str());
        if (kind == "fifo") rc = mkfifo(path.c_str(), 0644);
        if (kind == "hardlink") rc = link((m_dir / "victim").c_str(), path.c_str());
        ASSERT_EQ(rc, 0) << kind;
    }
    void expectVictimsIntact() {
        EXPECT_EQ(readFile(m_dir / "victim"), "victim\n");
        EXPECT_EQ(readFile(m_dir / "tree/inner"), "inner\n");
        EXPECT_FALSE(fileExists(m_dir / "missing"));
    }

    LogCapture m_log;
    TempDir m_dir;
};

TEST_F(OwnFilesTest, OnlyTheUpdatersOwnRegularFileOpens) {
    struct Case {
        const char* kind;
        OwnFileOpen expected;
        const char* refusal;  // the reason logged
    };
    for (const Case& c : std::initializer_list<Case>{
             {"", OwnFileOpen::Opened, nullptr},
             {"file", OwnFileOpen::Opened, nullptr},
             {"link", OwnFileOpen::Refused, "a symbolic link"},
             {"dangling", OwnFileOpen::Refused, "a symbolic link"},
             {"dir", OwnFileOpen::Refused, "a directory"},
             {"fifo", OwnFileOpen::Refused, "not a regular file"},
             {"hardlink", OwnFileOpen::Refused, "a file with more than one link"},
         }) {
        SCOPED_TRACE(c.kind);
        const std::string name = std::string("place-") + c.kind;
        plant(name, c.kind);
        UniqueFd fd;
        EXPECT_EQ(openOwnFile(m_dir / name, O_WRONLY | O_CREAT | O_TRUNC, 0644, fd), c.expected);
        EXPECT_EQ(fd.valid(), c.expected == OwnFileOpen::Opened);
        if (c.refusal) {
            EXPECT_TRUE(m_log.has("ERROR: refusing '" + (m_dir / name) + "': " + c.refusal));
        } else {
            EXPECT_EQ(readFile(m_dir / name), "");
        }
    }
    UniqueFd fd;
    EXPECT_EQ(openOwnFile(m_dir / "absent", O_RDONLY, 0, fd), OwnFileOpen::Failed);
    EXPECT_EQ(errno, ENOENT);
    expectVictimsIntact();
}

TEST_F(OwnFilesTest, StrayEntriesGoUnfollowed) {
    for (const char* kind : {"", "file", "link", "dangling", "dir", "fifo", "hardlink"}) {
        SCOPED_TRACE(kind);
        const std::string file = std::string("file-") + kind;
        const std::string dir = std::string("dir-") + kind;
        plant(file, kind);
        plant(dir, kind);
        EXPECT_TRUE(removeStrayEntry(m_dir / file));
        EXPECT_EQ(fileExists(m_dir / file), std::string(kind) == "file");
        EXPECT_TRUE(ensureOwnDirectory(m_dir / dir + "/"));
        struct stat st;
        ASSERT_EQ(lstat((m_dir / dir).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    expectVictimsIntact();
}

}  // namespace
