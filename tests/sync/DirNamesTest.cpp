// The allocation-free folder listing: every name once, over more names than one
// read of the folder returns, and the folder identity that links share.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "TempFolder.h"
#include "platform/DirNames.h"

namespace kivro::platform {
namespace {

using kivro::testing::TempFolder;

TEST(DirNames, ListsEveryNameOnceBeyondOneBufferful) {
    TempFolder folder;
    std::set<std::string> made;
    // Long names, so that the listing needs several reads of its 4 KB buffer.
    for (int i = 0; i < 300; ++i) {
        std::string name = "entry-" + std::to_string(i) + std::string(60, 'x');
        folder.Write(name.c_str(), 0);
        made.insert(name);
    }
    std::filesystem::create_directory(folder.path() / "sub");
    made.insert("sub");

    DirNames names;
    ASSERT_TRUE(names.Open(folder.str().c_str()).Ok());
    std::multiset<std::string> seen;
    while (const char* name = names.Next()) seen.insert(name);
    EXPECT_EQ(seen, std::multiset<std::string>(made.begin(), made.end()));
    EXPECT_EQ(names.Next(), nullptr);  // the end stays the end

    EXPECT_TRUE(names.Open((folder / "none").c_str()).Failed());
    EXPECT_TRUE(names.Open("").Failed());
    EXPECT_EQ(names.Next(), nullptr);
}

TEST(DirNames, SameFolderFollowsLinksAndTellsFoldersApart) {
    TempFolder folder;
    std::filesystem::create_directory(folder.path() / "a");
    std::filesystem::create_directory(folder.path() / "b");
    folder.Write("file", 1);
    EXPECT_TRUE(SameFolder((folder / "a").c_str(), (folder / "a").c_str()));
    EXPECT_FALSE(SameFolder((folder / "a").c_str(), (folder / "b").c_str()));
    EXPECT_FALSE(SameFolder((folder / "file").c_str(), (folder / "file").c_str()));
    EXPECT_FALSE(SameFolder((folder / "none").c_str(), (folder / "none").c_str()));
#if !defined(_WIN32)
    std::filesystem::create_directory_symlink("a", folder.path() / "link");
    EXPECT_TRUE(SameFolder((folder / "link").c_str(), (folder / "a").c_str()));
#endif
}

}  // namespace
}  // namespace kivro::platform
