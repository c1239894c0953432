// Faults under file synchronisation, with kivroproxy syncing a folder of its
// own with phone-sim's: the folder deleted while the engine runs (and made
// again), and the disk filling up in the middle of a file from the phone (a
// file-size limit on the kivroproxy process; a small tmpfs as well where
// mounting is permitted). Each time the engine must go on relaying and go on
// taking files, and leave nothing half-written behind.
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Rig.h"

namespace kivro::test {
namespace {

// Drops a file into the phone's folder whole (written aside, then renamed).
void DropOnPhone(const fs::path& phone, const std::string& name, const std::string& data) {
    const fs::path aside = phone.parent_path() / (name + ".tmp");
    std::ofstream(aside, std::ios::binary) << data;
    fs::rename(aside, phone / name);
}

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = char((i * seed + i / 253) & 0xFF);
    return data;
}

// CPU seconds kivroproxy has used so far (user and system).
double CpuSeconds(pid_t pid) {
    std::istringstream stat(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    // Fields 14 and 15; the command name (field 2) has no blanks here.
    for (int i = 1; i < 14 && stat >> field; ++i) {
    }
    unsigned long user = 0, system = 0;
    stat >> user >> system;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

class SyncFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        pc_ = rig_.Dir() / "pc";
        phoneDir_ = rig_.Dir() / "phone";
        NewPhone();
    }
    // Both folders made (anew) and a phone on the phone's folder behind the USB
    // name, with any further options.
    void NewPhone(std::vector<std::string> options = {}) {
        fs::create_directories(pc_);
        fs::create_directories(phoneDir_);
        options.insert(options.begin(), {"--sync-dir", phoneDir_.string()});
        phone_ = std::make_unique<PhoneSim>(options);
        ASSERT_TRUE(phone_->Started());
        ASSERT_TRUE(rig_.PointUsbAt(phone_->Pty()));
    }
    void StartProxy(std::vector<std::string> prefix = {}) {
        ASSERT_TRUE(rig_.Start({"--sync=" + pc_.string()}, std::move(prefix)));
        ASSERT_TRUE(rig_.Next(" Server connected to USB port\n"))
            << rig_.Proxy().Out() << rig_.Proxy().Err();
        ASSERT_TRUE(rig_.Next(" File synchronization enabled (up to 128 KB files)\n"))
            << rig_.Proxy().Out();
    }
    // A whole viewer session through the proxy still works.
    void ExpectViewerServed() {
        Viewer viewer;
        ASSERT_TRUE(viewer.Connect(rig_.Port()));
        int width = 0, height = 0;
        ASSERT_TRUE(viewer.Handshake(10000, width, height));
        std::vector<uint8_t> pixels;
        ASSERT_TRUE(viewer.RequestUpdate(0, 0, 240, 20));
        ASSERT_TRUE(viewer.ReadUpdate(10000, pixels));
        EXPECT_EQ(pixels.size(), 240u * 20 * 4);
        viewer.Close();
        ASSERT_TRUE(rig_.Next(" Client disconnected\n")) << rig_.Proxy().Out();
    }
    void StopWithStatus0() {
        rig_.Proxy().Signal(SIGTERM);
        EXPECT_EQ(rig_.Proxy().Wait(10000), 0) << rig_.Proxy().Err();
        EXPECT_TRUE(rig_.Proxy().Out().ends_with(" Proxy stopped\n")) << rig_.Proxy().Out();
    }

    void TearDown() override {
        if (mounted_) {
            rig_.Proxy().Signal(SIGKILL);
            rig_.Proxy().Wait(5000);
            umount(pc_.c_str());
        }
    }

    ProxyRig rig_;
    bool mounted_ = false;
    fs::path pc_, phoneDir_;
    std::unique_ptr<PhoneSim> phone_;
};

// Pumps the engine's output until done() holds, for up to timeoutMs.
template <typename Done>
bool PumpUntil(Child& proxy, Done done, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        proxy.Pump(20);
    }
    return true;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The phone's server restarts in the middle of a file it sends, over a file
// the PC already has, and keeps or forgets that transfer. At every look the
// PC's file holds its own bytes or the phone's whole file, never a part; in
// the end it holds the phone's, and the PC's files go to the phone again.
TEST_F(SyncFaults, PhoneRestartMidFileToThePcLeavesNoFragment) {
    for (const char* mode : {"keep", "forget"}) {
        SCOPED_TRACE(mode);
        NewPhone({"--restart-after-bytes", "24576", "--on-restart", mode});
        const std::string mine = "the user's own thesis";
        std::ofstream(pc_ / "thesis.txt", std::ios::binary) << mine;
        ASSERT_NO_FATAL_FAILURE(StartProxy());
        const std::string phones = Pattern(60000, 3);
        DropOnPhone(phoneDir_, "thesis.txt", phones);
        bool whole = PumpUntil(
            rig_.Proxy(),
            [&] {
                const std::string now = ReadFile(pc_ / "thesis.txt");
                if (now != mine && now != phones) {
                    ADD_FAILURE() << "a fragment of " << now.size() << " bytes";
                    return true;
                }
                return now == phones;
            },
            30000);
        ASSERT_TRUE(whole) << rig_.Proxy().Out();
        EXPECT_EQ(ReadFile(pc_ / "thesis.txt"), phones);
        // The restart's lines may come between the start and the end of this one.
        ASSERT_TRUE(rig_.Next("- ok (60000 bytes)\n")) << rig_.Proxy().Out();
        DropOnPhone(pc_, "after.txt", "sent after");
        ASSERT_TRUE(rig_.Next("Sending to server: after.txt - ok (10 bytes)\n", 20000))
            << rig_.Proxy().Out();
        StopWithStatus0();
        fs::remove_all(pc_);
        fs::remove_all(phoneDir_);
    }
}

// The phone's server restarts in the middle of a file the PC sends, and keeps
// or forgets that transfer: the phone ends up with the whole file, and the PC
// reports it sent once.
TEST_F(SyncFaults, PhoneRestartMidFileFromThePcStillGetsItWhole) {
    for (const char* mode : {"keep", "forget"}) {
        SCOPED_TRACE(mode);
        NewPhone({"--restart-after-bytes", "20000", "--on-restart", mode});
        ASSERT_NO_FATAL_FAILURE(StartProxy());
        const std::string big = Pattern(61440, 5);
        DropOnPhone(pc_, "big.bin", big);
        bool arrived = PumpUntil(
            rig_.Proxy(), [&] { return ReadFile(phoneDir_ / "big.bin") == big; }, 30000);
        EXPECT_TRUE(arrived) << rig_.Proxy().Out();
        // Other lines may come between the start of a send and its end.
        ASSERT_TRUE(rig_.Next("- ok (61440 bytes)\n")) << rig_.Proxy().Out();
        rig_.Proxy().Pump(1500);
        EXPECT_EQ(Occurrences(rig_.Proxy().Out(), "- ok (61440 bytes)"), 1u) << rig_.Proxy().Out();
        StopWithStatus0();
        fs::remove_all(pc_);
        fs::remove_all(phoneDir_);
    }
}

TEST_F(SyncFaults, SyncFolderDeletedWhileTheEngineRuns) {
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    DropOnPhone(phoneDir_, "before.txt", "in the folder while it exists");
    ASSERT_TRUE(rig_.Next("Receiving from server: before.txt - ok (29 bytes)\n"))
        << rig_.Proxy().Out();

    fs::remove_all(pc_);
    // Whatever it reports about the vanished folder, it does not keep at it.
    const double cpuBefore = CpuSeconds(rig_.Pid());
    const auto quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < quietUntil) rig_.Proxy().Pump(100);
    EXPECT_LT(CpuSeconds(rig_.Pid()) - cpuBefore, 0.5) << "busy after the folder went";
    EXPECT_LE(std::count(rig_.Proxy().Err().begin(), rig_.Proxy().Err().end(), '\n'), 2)
        << rig_.Proxy().Err();
    ASSERT_NO_FATAL_FAILURE(ExpectViewerServed());

    // A file from the phone cannot be created: reported, and ignored.
    DropOnPhone(phoneDir_, "lost.txt", "no folder to land in");
    ASSERT_TRUE(rig_.Next("Error creating file: No such file or directory (2)"))
        << rig_.Proxy().Out();
    ASSERT_NO_FATAL_FAILURE(ExpectViewerServed());

    // The folder back: files from the phone land in it again, and the PC's
    // files are watched and sent again.
    fs::create_directories(pc_);
    DropOnPhone(phoneDir_, "after.txt", "the folder is back");
    ASSERT_TRUE(rig_.Next("Receiving from server: after.txt - ok (18 bytes)\n", 20000))
        << rig_.Proxy().Out();
    EXPECT_EQ(ReadFile(pc_ / "after.txt"), "the folder is back");
    DropOnPhone(pc_, "from-pc.txt", "watched again");
    ASSERT_TRUE(rig_.Next("Sending to server: from-pc.txt - ok (13 bytes)\n", 20000))
        << rig_.Proxy().Out();
    for (int i = 0; i < 100 && !fs::exists(phoneDir_ / "from-pc.txt"); ++i) rig_.Proxy().Pump(50);
    EXPECT_EQ(ReadFile(phoneDir_ / "from-pc.txt"), "watched again");
    const std::string& log = rig_.Proxy().Out();
    size_t reports = 0;
    for (size_t at = log.find("Error waiting for file change"); at != std::string::npos;
         at = log.find("Error waiting for file change", at + 1))
        ++reports;
    EXPECT_EQ(reports, 1u) << log;
    EXPECT_TRUE(rig_.Proxy().Wait(0) < 0) << "the engine stopped";
    StopWithStatus0();
}

// The disk fills up in the middle of a file from the phone: 3019 with the
// system's reason, the transfer ends and nothing of it is left in the folder
// (no fragment, no temporary file), and the engine goes on relaying and
// receiving.
TEST_F(SyncFaults, DiskFullDuringAnIncomingFile) {
    struct Case {
        const char* name;
        const char* reason;
    } cases[] = {
        {"file-size limit", "File too large (27)"},
        {"full tmpfs", "No space left on device (28)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> prefix;
        bool mounted = false;
        if (std::string(c.name) == "full tmpfs") {
            mounted = mount("tmpfs", pc_.c_str(), "tmpfs", 0, "size=64k") == 0;
            mounted_ = mounted;
            if (!mounted) {
                std::printf("no tmpfs: mounting is not permitted here (%s)\n", strerror(errno));
                continue;
            }
        } else {
            // 64 KB for every file kivroproxy writes; the signal the limit sends
            // is its own business (it must not die of it).
            prefix = {"bash", "-c", "ulimit -f 64 && exec \"$@\"", "bash"};
        }
        ASSERT_NO_FATAL_FAILURE(StartProxy(prefix));
        const std::string big = Pattern(100000, 7);
        DropOnPhone(phoneDir_, "big.bin", big);
        const std::string error = std::string("Error writing file: ") + c.reason;
        ASSERT_TRUE(rig_.Next(error, 20000)) << rig_.Proxy().Out() << rig_.Proxy().Err();
        for (int i = 0; i < 60 && rig_.Proxy().Err().find(error) == std::string::npos; ++i)
            rig_.Proxy().Pump(50);  // standard error may come a little after the log
        EXPECT_NE(rig_.Proxy().Err().find("KivroProxy: " + error + "\n"), std::string::npos)
            << rig_.Proxy().Err();
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(pc_))
            left.push_back(entry.path().filename().string());
        EXPECT_TRUE(left.empty()) << "left behind: " << left.front();

        ASSERT_NO_FATAL_FAILURE(ExpectViewerServed());
        // The next file from the phone lands.
        DropOnPhone(phoneDir_, "small.txt", "still room for this");
        ASSERT_TRUE(rig_.Next("Receiving from server: small.txt - ok (19 bytes)\n", 20000))
            << rig_.Proxy().Out();
        EXPECT_EQ(ReadFile(pc_ / "small.txt"), "still room for this");
        // Nothing of the broken file goes to the phone either.
        rig_.Proxy().Pump(2500);
        EXPECT_EQ(rig_.Proxy().Out().find("Sending to server: big.bin"), std::string::npos)
            << rig_.Proxy().Out();
        StopWithStatus0();

        if (mounted) umount(pc_.c_str());
        mounted_ = false;
        fs::remove_all(pc_);
        fs::remove_all(phoneDir_);
        NewPhone();  // a fresh phone for the next case: its folder is new
    }
}

}  // namespace
}  // namespace kivro::test
