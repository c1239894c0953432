#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "TempFolder.h"
#include "WaitIndex.h"
#include "platform/DirWatch.h"
#include "platform/Files.h"
#include "text/Text.h"
#include "sync/DirMonitor.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace kivro::platform {
namespace {

using kivro::test::WaitIndex;
using kivro::testing::TempFolder;

TEST(JoinPath, SeparatorOnlyWhereNeeded) {
    const std::string sep(1, kPathSeparator);
    struct Case {
        std::string dir, name, path;
    } cases[] = {
        {"sync", "a.txt", "sync" + sep + "a.txt"},
        {"sync" + sep, "a.txt", "sync" + sep + "a.txt"},
        {"sync/", "a.txt", "sync/a.txt"},
        {"", "a.txt", "a.txt"},
#if defined(_WIN32)
        {"C:\\", "a.txt", "C:\\a.txt"},
        {"C:", "a.txt", "C:a.txt"},
        {"C:\\sync", "a.txt", "C:\\sync\\a.txt"},
#endif
    };
    for (const Case& c : cases) {
        char path[kPathCapacity];
        JoinPath(path, sizeof path, c.dir.c_str(), c.name.c_str());
        EXPECT_EQ(std::string(path), c.path) << c.dir;
    }
    char small[8];
    JoinPath(small, sizeof small, "abcd", "efghij");
    EXPECT_STREQ(small, ("abcd" + sep + "ef").c_str());  // cut, and always terminated
}

TEST(File, WriteSeekSizeReadAndReplace) {
    TempFolder folder;
    const std::string path = folder / "f.bin";
    File file;
    ASSERT_EQ(file.Create(path.c_str()).Code(), 0u);
    uint32_t done = 0;
    ASSERT_EQ(file.Write("hello world", 11, done).Code(), 0u);
    EXPECT_EQ(done, 11u);
    uint64_t value = 0;
    ASSERT_EQ(file.Position(value).Code(), 0u);
    EXPECT_EQ(value, 11u);
    ASSERT_EQ(file.Size(value).Code(), 0u);
    EXPECT_EQ(value, 11u);
    file.Close();

    ASSERT_EQ(file.OpenRead(path.c_str()).Code(), 0u);
    ASSERT_EQ(file.Seek(6, SeekOrigin::Begin, &value).Code(), 0u);
    EXPECT_EQ(value, 6u);
    char buffer[32] = {};
    ASSERT_EQ(file.Read(buffer, sizeof buffer, done).Code(), 0u);
    EXPECT_EQ(std::string(buffer, done), "world");
    ASSERT_EQ(file.Read(buffer, sizeof buffer, done).Code(), 0u);
    EXPECT_EQ(done, 0u);  // end of file
    ASSERT_EQ(file.Seek(-5, SeekOrigin::End, &value).Code(), 0u);
    EXPECT_EQ(value, 6u);
    file.Close();

    ASSERT_EQ(file.Create(path.c_str()).Code(), 0u);  // replaces the old contents
    ASSERT_EQ(file.Size(value).Code(), 0u);
    EXPECT_EQ(value, 0u);
    ASSERT_EQ(file.Write("x", 1, done).Code(), 0u);
    file.Close();
    EXPECT_EQ(std::filesystem::file_size(path), 1u);

    EXPECT_NE(file.OpenRead((folder / "missing").c_str()).Code(), 0u);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_NE(file.OpenRead(folder.str().c_str()).Code(), 0u);  // a folder is not a file
    EXPECT_NE(file.Create((folder / "no/such/dir/f").c_str()).Code(), 0u);
}

TEST(File, ReadersShareAWriterExcludesThem) {
    TempFolder folder;
    const std::string path = folder / "shared.txt";
    folder.Write("shared.txt", 3);
    File reader1, reader2, writer;
    ASSERT_EQ(reader1.OpenRead(path.c_str()).Code(), 0u);
    EXPECT_EQ(reader2.OpenRead(path.c_str()).Code(), 0u);
    EXPECT_NE(writer.Create(path.c_str()).Code(), 0u);  // readers hold it
    EXPECT_EQ(std::filesystem::file_size(path), 3u);    // and its contents stay
    reader1.Close();
    reader2.Close();
    ASSERT_EQ(writer.Create(path.c_str()).Code(), 0u);
    EXPECT_NE(reader1.OpenRead(path.c_str()).Code(), 0u);  // the writer holds it
    writer.Close();
    EXPECT_EQ(reader1.OpenRead(path.c_str()).Code(), 0u);
}

TEST(File, MovedOwnerKeepsTheHandle) {
    TempFolder folder;
    folder.Write("m.txt", 4);
    File a;
    ASSERT_EQ(a.OpenRead((folder / "m.txt").c_str()).Code(), 0u);
    File b = std::move(a);
    EXPECT_FALSE(a.IsOpen());
    ASSERT_TRUE(b.IsOpen());
    char buffer[8];
    uint32_t done = 0;
    ASSERT_EQ(b.Read(buffer, sizeof buffer, done).Code(), 0u);
    EXPECT_EQ(done, 4u);
}

TEST(DirListing, ReportsNamesKindsSizesAndLocalTimes) {
    TempFolder folder;
    folder.Write("five.txt", 5);
    std::filesystem::create_directory(folder.path() / "sub");
    folder.Write("earlier.txt", 1);
    folder.ShiftTime("earlier.txt", -std::chrono::seconds(90061));

    DirListing listing;
    ASSERT_EQ(listing.Open(folder.str().c_str()).Code(), 0u);
    DirEntry entry;
    int files = 0, dirs = 0;
    uint32_t five = 0, earlier = 0;
    while (listing.Next(entry)) {
        std::string name = entry.Name;
        if (entry.Directory) {
            ++dirs;
            EXPECT_TRUE(name == "." || name == ".." || name == "sub") << name;
            continue;
        }
        ++files;
        EXPECT_FALSE(entry.Hidden || entry.System || entry.Special) << name;
        if (name == "five.txt") {
            EXPECT_EQ(entry.Size, 5u);
            five = CalendarSeconds(entry.LastWrite);
        } else if (name == "earlier.txt") {
            earlier = CalendarSeconds(entry.LastWrite);
        }
    }
    EXPECT_EQ(files, 2);
    EXPECT_EQ(dirs, 3);
    EXPECT_NEAR(static_cast<double>(five - earlier), 90061.0, 2.0);
    // The listing's local time is the clock's local time.
    const uint32_t now = CalendarSeconds(LocalNow());
    EXPECT_LE(five, now + 2);
    EXPECT_GE(five + 60, now);

    DirEntry single;
    ASSERT_EQ(FindFile((folder / "five.txt").c_str(), single).Code(), 0u);
    EXPECT_STREQ(single.Name, "five.txt");
    EXPECT_EQ(single.Size, 5u);
    EXPECT_EQ(CalendarSeconds(single.LastWrite), five);
    EXPECT_NE(FindFile((folder / "none.txt").c_str(), single).Code(), 0u);
    EXPECT_NE(FindFile((folder / "*.txt").c_str(), single).Code(), 0u);
    EXPECT_NE(listing.Open((folder / "missing").c_str()).Code(), 0u);
    EXPECT_NE(listing.Open("").Code(), 0u);  // never the current folder
}

TEST(DirectoryExists, FoldersOnly) {
    TempFolder folder;
    folder.Write("file", 1);
    EXPECT_EQ(DirectoryExists(folder.str().c_str()).Code(), 0u);
    EXPECT_EQ(DirectoryExists((folder.str() + kPathSeparator).c_str()).Code(), 0u);
#if defined(_WIN32)
    EXPECT_EQ(DirectoryExists("C:\\").Code(), 0u);
    EXPECT_EQ(DirectoryExists((folder / "file").c_str()).Code(), 267u);  // ERROR_DIRECTORY
#else
    EXPECT_EQ(DirectoryExists("/").Code(), 0u);
    EXPECT_EQ(DirectoryExists((folder / "file").c_str()).Code(), static_cast<uint32_t>(ENOTDIR));
#endif
    EXPECT_NE(DirectoryExists((folder / "missing").c_str()).Code(), 0u);
    EXPECT_NE(DirectoryExists("").Code(), 0u);
}

// Moves the last-write time alone, as a program that sets file times does.
void SetLastWriteBackOneHour(const std::string& path) {
#if defined(_WIN32)
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME time;
    ASSERT_TRUE(GetFileTime(h, nullptr, nullptr, &time));
    ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart -= 36000000000ull;  // one hour in 100 ns units
    time = {value.LowPart, value.HighPart};
    EXPECT_TRUE(SetFileTime(h, nullptr, nullptr, &time));
    CloseHandle(h);
#else
    std::filesystem::last_write_time(
        path, std::filesystem::last_write_time(path) - std::chrono::hours(1));
#endif
}

// A watch on a fresh folder that starts unsignalled.
class DirWatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder.Write("existing.txt", 1);
        std::filesystem::create_directory(folder.path() / "sub");
        ASSERT_EQ(watch.Open(folder.str().c_str()).Code(), 0u);
        ASSERT_TRUE(watch.Handle());
        EXPECT_FALSE(watch.Wait(100));
    }
    // True when the change signalled, and re-arms for the next one.
    bool Signalled() {
        bool signalled = watch.Wait(3000);
        EXPECT_EQ(watch.Rearm().Code(), 0u);
        // Some systems report one change in several steps; let them all arrive.
        while (watch.Wait(200)) EXPECT_EQ(watch.Rearm().Code(), 0u);
        return signalled;
    }

    TempFolder folder;
    DirWatch watch;
};

TEST_F(DirWatchTest, SignalsCreateWriteTimeRenameDelete) {
    folder.Write("created.txt", 10);
    EXPECT_TRUE(Signalled()) << "create";
    {
        File file;
        ASSERT_EQ(file.OpenRead((folder / "existing.txt").c_str()).Code(),
                  0u);  // reading is no change
    }
    EXPECT_FALSE(watch.Wait(300)) << "read";
    {
        std::ofstream out(folder.path() / "existing.txt", std::ios::binary | std::ios::app);
        out << "more";
    }
    EXPECT_TRUE(Signalled()) << "write";
    SetLastWriteBackOneHour(folder / "existing.txt");
    EXPECT_TRUE(Signalled()) << "time";
    std::filesystem::rename(folder.path() / "created.txt", folder.path() / "renamed.txt");
    EXPECT_TRUE(Signalled()) << "rename";
    std::filesystem::remove(folder.path() / "renamed.txt");
    EXPECT_TRUE(Signalled()) << "delete";
    EXPECT_FALSE(watch.Wait(200));
}

TEST_F(DirWatchTest, WaitsBesideEventsAndSurvivesAMove) {
    Event stop;
    ASSERT_TRUE(stop.Create().Ok());
    DirWatch moved = std::move(watch);
    const Waitable list[] = {stop.Handle(), moved.Handle()};
    EXPECT_EQ(WaitIndex(list, 2, 100), kWaitTimeout);
    folder.Write("x.txt", 1);
    EXPECT_EQ(WaitIndex(list, 2, 3000), 1);
    stop.Set();
    EXPECT_EQ(WaitIndex(list, 2, 0), 0);  // the lower position wins
    EXPECT_EQ(moved.Rearm().Code(), 0u);
    while (moved.Wait(200)) EXPECT_EQ(moved.Rearm().Code(), 0u);  // the rest of that one change
    stop.Reset();
    EXPECT_EQ(WaitIndex(list, 2, 100), kWaitTimeout);
}

TEST_F(DirWatchTest, SubfolderContentsAreNotWatched) {
    folder.Write("sub/inner.txt", 10);
    EXPECT_FALSE(watch.Wait(500));
}

TEST(DirWatch, FailsOnMissingFolder) {
    TempFolder folder;
    DirWatch watch;
    EXPECT_NE(watch.Open((folder / "missing").c_str()).Code(), 0u);
    EXPECT_FALSE(watch.IsOpen());
    EXPECT_NE(watch.Rearm().Code(), 0u);
}

}  // namespace
}  // namespace kivro::platform
