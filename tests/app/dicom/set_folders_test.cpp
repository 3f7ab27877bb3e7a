// The node's folders: a new file replaces whatever non-folder had its name
// without touching what a link points to, and a folder refuses it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/dicom/set_folders.h"
#include "tests/support/temp_dir.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

// A new file in `folder` holding `text`, given `name`; what had the name.
std::string give(int folder, const std::string& name, const std::string& text, Status& status) {
    dicom::NewFile file(folder, "writing");
    EXPECT_FALSE(file.path().empty()) << file.error();
    std::ofstream(file.path()) << text;
    std::string had;
    status = file.giveName(name, true, had);
    return had;
}

TEST(SetFolders, ANameIsReplacedAsANameAndAFolderRefuses) {
    TempDir dir;
    fs::create_directory(dir.file("in"));
    std::ofstream(dir.file("outside")) << "outside";
    fs::create_symlink(dir.file("outside"), dir.file("in/linked.gsd"));
    fs::create_symlink(dir.file("missing"), dir.file("in/dangling.gsd"));
    fs::create_directory(dir.file("in/folder.gsd"));
    dicom::SetFolders folders;
    std::string reason;
    ASSERT_TRUE(folders.open(dir.file("in"), "", true, reason)) << reason;
    Status status;
    EXPECT_EQ(give(folders.inbox(), "linked.gsd", "one", status), "a symbolic link");
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(give(folders.inbox(), "dangling.gsd", "two", status), "a symbolic link");
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(give(folders.inbox(), "folder.gsd", "three", status), "a folder");
    EXPECT_EQ(status.where.error, EISDIR);
    EXPECT_EQ(give(folders.inbox(), "new.gsd", "four", status), "");
    EXPECT_EQ(readFile(dir.file("outside")), "outside");
    EXPECT_FALSE(fs::exists(dir.file("missing")));
    EXPECT_EQ(readFile(dir.file("in/linked.gsd")), "one");
    EXPECT_FALSE(fs::is_symlink(dir.file("in/dangling.gsd")));
    EXPECT_TRUE(fs::is_directory(dir.file("in/folder.gsd")));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("in/new.gsd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077 & ~0640, 0u);
    // Only what the node made is left: no hidden name of its own.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("in")), fs::directory_iterator()), 4);
    // A symbolic link is not a folder to open.
    fs::create_directory_symlink(dir.file("in"), dir.file("link"));
    dicom::SetFolders linked;
    EXPECT_FALSE(linked.open(dir.file("link"), "", true, reason));
    EXPECT_NE(reason.find("symbolic link"), std::string::npos) << reason;
}

}  // namespace
}  // namespace trevik::test
