#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "sync/DirMonitor.h"
#include "text/Text.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kivro {
namespace {

using std::chrono::hours;
using std::chrono::seconds;
using testing::TempFolder;

TEST(CalendarSeconds, PlainCalendarArithmetic) {
    struct Case {
        platform::CalendarTime time;
        uint32_t seconds;
    } cases[] = {
        {{1970, 1, 1, 0, 0, 0, 0}, 0u},
        {{2000, 3, 1, 0, 0, 0, 0}, 951868800u},  // leap day of a 400th year behind it
        {{2024, 2, 29, 12, 34, 56, 999}, 1709210096u},
        {{2100, 3, 1, 0, 0, 0, 0}, 4107542400u},  // 2100 has no leap day
        {{2106, 2, 7, 6, 28, 16, 0}, 0u},         // wraps modulo 2^32
        {{1969, 12, 31, 23, 59, 59, 0}, 4294967295u},
    };
    for (const Case& c : cases) EXPECT_EQ(CalendarSeconds(c.time), c.seconds) << c.time.year;
}

// A monitor on a fresh folder with a clock the test sets.
class DirMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override { platform::InitUpperTable(); }

    // The next file handed out under the limit, or "" when none is.
    std::string Next(uint32_t limit = UINT32_MAX) {
        char name[kPathCapacity];
        return monitor.NextChangedFile(limit, name, sizeof name) ? std::string(name)
                                                                 : std::string();
    }
    std::vector<std::string> Offered(uint32_t limit = UINT32_MAX) {
        std::vector<std::string> names;
        for (std::string n = Next(limit); !n.empty(); n = Next(limit)) names.push_back(n);
        return names;
    }
    const FileEntry* Node(const std::string& name) const {
        for (const FileEntry* e = monitor.Files(); e; e = e->Next)
            if (EqualNoCase(e->Name, sizeof e->Name, name.c_str(), SIZE_MAX)) return e;
        return nullptr;
    }
    std::vector<std::string> ListOrder() const {
        std::vector<std::string> names;
        for (const FileEntry* e = monitor.Files(); e; e = e->Next) names.emplace_back(e->Name);
        return names;
    }
    // Puts the clock one second after the latest file time in the list.
    void ClockAfterFiles() {
        uint32_t latest = 0;
        for (const FileEntry* e = monitor.Files(); e; e = e->Next)
            if (e->Time > latest) latest = e->Time;
        now = latest + 1;
    }

    TempFolder folder;
    uint32_t now = 0;
    DirMonitor monitor{[this] { return now; }};
};

TEST_F(DirMonitorTest, FilesPresentAtOpenAreInStepUntilTheyChange) {
    folder.Write("a.txt", 10);
    folder.Write("b.txt", 20);
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    ClockAfterFiles();
    EXPECT_EQ(Next(), "");
    monitor.Rescan();
    EXPECT_EQ(Next(), "");

    folder.ShiftTime("a.txt", -hours(1));
    monitor.Rescan();
    EXPECT_EQ(Offered(), std::vector<std::string>{"a.txt"});
}

TEST_F(DirMonitorTest, NewFileIsOfferedOnceItsSecondHasPassed) {
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    folder.Write("new.txt", 5);
    monitor.Rescan();
    const FileEntry* node = Node("new.txt");
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(node->Pending);

    now = node->Time;  // written within the current second
    EXPECT_EQ(Next(), "");
    now = node->Time - 1;  // dated ahead of the clock
    EXPECT_EQ(Next(), "");
    now = node->Time + 1;
    EXPECT_EQ(Next(), "new.txt");
    EXPECT_FALSE(node->Pending);
    EXPECT_EQ(Next(), "");
    monitor.Rescan();  // same time: not due again
    EXPECT_EQ(Next(), "");
}

// An edit within the second of the last scan keeps the time the list holds;
// only its size tells, and an extra send is cheaper than a lost edit.
TEST_F(DirMonitorTest, SameTimeOtherSizeIsSentAgain) {
    folder.Write("f.txt", 100);
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    ClockAfterFiles();
    const auto time = std::filesystem::last_write_time(folder.path() / "f.txt");
    folder.Write("f.txt", 333);
    std::filesystem::last_write_time(folder.path() / "f.txt", time);
    monitor.Rescan();
    EXPECT_EQ(Next(), "f.txt");
    ASSERT_NE(Node("f.txt"), nullptr);
    EXPECT_EQ(Node("f.txt")->Size, 333u);
    monitor.Rescan();  // nothing changed since
    EXPECT_EQ(Next(), "");
}

TEST_F(DirMonitorTest, OversizedFileStaysDueUntilTheLimitAllowsIt) {
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    folder.Write("big.bin", 5000);
    monitor.Rescan();
    ClockAfterFiles();
    EXPECT_EQ(Next(4096), "");
    EXPECT_TRUE(Node("big.bin")->Pending);
    EXPECT_EQ(Next(5000), "");  // the cursor has passed it: only a Rescan goes back
    monitor.Rescan();
    EXPECT_EQ(Next(4999), "");
    monitor.Rescan();
    EXPECT_EQ(Next(5000), "big.bin");
}

TEST_F(DirMonitorTest, FileOfTheCurrentSecondHoldsBackThoseBehindIt) {
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    folder.Write("old.txt", 1);
    folder.ShiftTime("old.txt", -hours(2));
    monitor.Rescan();
    folder.Write("fresh.txt", 1);
    monitor.Rescan();
    ASSERT_EQ(ListOrder(), (std::vector<std::string>{"fresh.txt", "old.txt"}));  // newest in front

    now = Node("fresh.txt")->Time;
    EXPECT_EQ(Next(), "");
    ASSERT_NE(monitor.Cursor(), nullptr);
    EXPECT_STREQ(monitor.Cursor()->Name, "fresh.txt");
    EXPECT_TRUE(Node("old.txt")->Pending);

    ++now;
    EXPECT_EQ(Offered(), (std::vector<std::string>{"fresh.txt", "old.txt"}));
}

TEST_F(DirMonitorTest, NewestFilesAreOfferedFirstAndRescanStartsAgain) {
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    for (const char* name : {"1.txt", "2.txt", "3.txt"}) {
        folder.Write(name, 1);
        folder.ShiftTime(name, -hours(1));
        monitor.Rescan();
    }
    ClockAfterFiles();
    EXPECT_EQ(Next(), "3.txt");
    monitor.Rescan();
    EXPECT_EQ(monitor.Cursor(), monitor.Files());
    EXPECT_EQ(Offered(), (std::vector<std::string>{"2.txt", "1.txt"}));
}

TEST_F(DirMonitorTest, PassesOverHiddenSystemFoldersAndExcluded) {
    monitor.AddExcludes("*.bak; *~");
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    struct Case {
        const char* name;
        bool offered;
        unsigned long attributes;  // Windows attributes to set, 0 for none
    } cases[] = {
        {"plain.txt", true, 0},
        {"report.BAK", false, 0},
        {"notes.doc~", false, 0},
        {"x.bak.txt", true, 0},
        {kIncomingTempName, false, 0},  // a file from the phone, not yet whole
#if defined(_WIN32)
        {"hidden.txt", false, FILE_ATTRIBUTE_HIDDEN},
        {"system.txt", false, FILE_ATTRIBUTE_SYSTEM},
#else
        {".hidden", false, 0},
#endif
    };
    for (const Case& c : cases) {
        folder.Write(c.name, 3);
#if defined(_WIN32)
        if (c.attributes) {
            ASSERT_TRUE(SetFileAttributesA((folder / c.name).c_str(), c.attributes));
        }
#endif
    }
    std::filesystem::create_directory(folder.path() / "sub");
    folder.Write("sub/inner.txt", 3);
    for (const Case& c : cases) folder.ShiftTime(c.name, -hours(1));
    monitor.Rescan();
    ClockAfterFiles();
    std::vector<std::string> offered = Offered();
    for (const Case& c : cases) {
        bool found = std::find(offered.begin(), offered.end(), c.name) != offered.end();
        EXPECT_EQ(found, c.offered) << c.name;
    }
    EXPECT_EQ(offered.size(), 2u);
}

TEST_F(DirMonitorTest, NewExcludeForgetsTheFileAndDroppingItMakesItNew) {
    folder.Write("keep.log", 1);
    folder.ShiftTime("keep.log", -hours(1));
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    ClockAfterFiles();
    monitor.AddExcludes("*.LOG");
    monitor.Rescan();
    EXPECT_EQ(Node("keep.log"), nullptr);
    monitor.ClearExcludes();
    monitor.Rescan();
    EXPECT_EQ(Next(), "keep.log");
}

TEST_F(DirMonitorTest, DeletedFileIsForgottenAndNewWhenRecreated) {
    folder.Write("gone.txt", 1);
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    std::filesystem::remove(folder.path() / "gone.txt");
    monitor.Rescan();
    EXPECT_EQ(monitor.Files(), nullptr);
    EXPECT_EQ(monitor.Cursor(), nullptr);
    folder.Write("gone.txt", 1);
    monitor.Rescan();
    ClockAfterFiles();
    EXPECT_EQ(Next(), "gone.txt");
}

// Names compare as the file system compares them: Windows folds case, so the
// phone's spelling of a file is that file; Linux keeps A.txt and a.txt apart,
// and each is sent once, and again when it alone changes.
TEST_F(DirMonitorTest, NamesCompareAsTheFileSystemDoes) {
#if defined(_WIN32)
    folder.Write("ReadMe.TXT", 1);
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    monitor.MarkInSync("README.txt");
    EXPECT_EQ(ListOrder(), std::vector<std::string>{"ReadMe.TXT"});
#else
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    folder.Write("A.txt", 1, 'A');
    folder.Write("a.txt", 2, 'a');
    folder.ShiftTime("A.txt", -hours(2));
    folder.ShiftTime("a.txt", -hours(1));
    monitor.Rescan();
    ClockAfterFiles();
    std::vector<std::string> offered = Offered();
    std::sort(offered.begin(), offered.end());
    EXPECT_EQ(offered, (std::vector<std::string>{"A.txt", "a.txt"}));
    monitor.Rescan();
    EXPECT_EQ(Offered(), std::vector<std::string>{}) << "sent again unchanged";
    for (const char* name : {"a.txt", "A.txt"}) {
        folder.ShiftTime(name, hours(3));
        monitor.Rescan();
        ClockAfterFiles();
        EXPECT_EQ(Offered(), std::vector<std::string>{name});
    }
#endif
}

TEST_F(DirMonitorTest, MarkInSyncKeepsAWrittenFileFromBeingSentBack) {
    ASSERT_TRUE(monitor.Open(folder.str().c_str()).Ok());
    folder.Write("from-phone.txt", 1234);
    folder.ShiftTime("from-phone.txt", -hours(1));
    monitor.MarkInSync("from-phone.txt");
    const FileEntry* node = Node("from-phone.txt");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Size, 1234u);
    EXPECT_FALSE(node->Pending);
    monitor.Rescan();
    ClockAfterFiles();
    EXPECT_EQ(Next(), "");

    // A name whose file is not there keeps time and size 0: new once it appears.
    monitor.MarkInSync("later.txt");
    EXPECT_EQ(Node("later.txt")->Time, 0u);
    EXPECT_EQ(Node("later.txt")->Size, 0u);
    folder.Write("later.txt", 2);
    folder.ShiftTime("later.txt", -hours(1));
    monitor.Rescan();
    EXPECT_EQ(Next(), "later.txt");
}

TEST_F(DirMonitorTest, OpenNeedsAnExistingFolderAndStartsAfresh) {
    EXPECT_EQ(Next(), "");  // nothing before Open
    folder.Write("a.txt", 1);
    for (const std::string& bad : {std::string(), folder / "missing", folder / "a.txt"}) {
        EXPECT_NE(monitor.Open(bad.c_str()).Code(), 0u) << bad;
        EXPECT_STREQ(monitor.Directory(), "");
    }

    monitor.AddExcludes("*.bak");
    const std::string withSeparator = folder.str() + platform::kPathSeparator;
    ASSERT_TRUE(monitor.Open(withSeparator.c_str()).Ok());
    EXPECT_EQ(std::string(monitor.Directory()), withSeparator);
    EXPECT_EQ(ListOrder(), std::vector<std::string>{"a.txt"});

    TempFolder other;
    other.Write("b.txt", 1);
    other.Write("b.bak", 1);
    ASSERT_TRUE(monitor.Open(other.str().c_str()).Ok());
    EXPECT_EQ(ListOrder(), std::vector<std::string>{"b.txt"});  // patterns outlive Open
    EXPECT_EQ(monitor.Cursor(), nullptr);

    std::filesystem::remove_all(other.path());
    monitor.Rescan();  // a folder that cannot be listed empties the list
    EXPECT_EQ(monitor.Files(), nullptr);
}

}  // namespace
}  // namespace kivro
