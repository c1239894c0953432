// File synchronisation with phone-sim's folder: files from the PC are stored
// (unsafe names refused), files dropped into the folder are sent to the PC
// only once both sides have synchronisation on, and nothing is sent back.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "TestPc.h"

namespace kivro::phonesim_test {
namespace {

using Clock = std::chrono::steady_clock;

struct Incoming {
    std::string name;
    Bytes content;
    bool complete = false;
};

// Polls until the phone has sent a whole file or the time is up; other replies
// are checked to be empty polls.
Incoming PollForFile(TestPc& pc, int timeoutMs) {
    Incoming in;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool started = false;
    while (Clock::now() < deadline && !in.complete) {
        Reply r;
        if (!pc.Exchange(LINK_DATA, {}, r)) break;
        if (r.type == LINK_FILE_START) {
            EXPECT_FALSE(started);
            started = true;
            in.name.assign(r.payload.begin(), r.payload.end());
        } else if (r.type == LINK_FILE_DATA) {
            EXPECT_TRUE(started);
            EXPECT_LE(r.length, 4096);
            in.content.insert(in.content.end(), r.payload.begin(), r.payload.end());
        } else if (r.type == LINK_FILE_END) {
            EXPECT_TRUE(started);
            in.complete = true;
        } else {
            EXPECT_EQ(r.type, LINK_DATA);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return in;
}

void SendFile(TestPc& pc, const std::string& name, const Bytes& content) {
    Reply r;
    ASSERT_TRUE(pc.Exchange(LINK_FILE_START, ToBytes(name), r));
    for (size_t at = 0; at < content.size(); at += 4096) {
        size_t n = std::min<size_t>(4096, content.size() - at);
        ASSERT_TRUE(
            pc.Exchange(LINK_FILE_DATA, Bytes(content.begin() + at, content.begin() + at + n), r));
    }
    ASSERT_TRUE(pc.Exchange(LINK_FILE_END, {}, r));
}

// Each test has phone-sim on a folder of its own: "phone" inside a scratch
// folder, so that a file name that climbs out of it would land beside it.
class PhoneSimSync : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(folder)); }

    // phone-sim on the folder with these options more; the PC reads its hello
    // and sends its sync configuration: pcFlags, and a limit of 131072 bytes.
    void Start(const std::vector<std::string>& options, uint8_t pcFlags) {
        std::vector<std::string> args{"--sync-dir", folder};
        args.insert(args.end(), options.begin(), options.end());
        sim_ = std::make_unique<PhoneSimProcess>(args);
        ASSERT_TRUE(sim_->Started());
        pc_ = std::make_unique<TestPc>(sim_->PtyPath());
        ASSERT_TRUE(pc_->ReadHello());
        Reply r;
        ASSERT_TRUE(pc_->Exchange(LINK_SYNC_CONFIG, {pcFlags, 0, 2, 0, 0}, r));
    }

    TempDir parent;
    const std::string folder = parent.File("phone");
    std::unique_ptr<PhoneSimProcess> sim_;
    std::unique_ptr<TestPc> pc_;
};

TEST_F(PhoneSimSync, FilesFromThePcAreStoredAndNotSentBack) {
    ASSERT_NO_FATAL_FAILURE(Start({}, 1));
    TestPc& pc = *pc_;

    const Bytes content = Pattern(5000, 7);
    SendFile(pc, "report.bin", content);
    SendFile(pc, "empty.txt", {});
    Bytes stored;
    ASSERT_TRUE(ReadFile(folder + "/report.bin", stored));
    EXPECT_EQ(stored, content);
    ASSERT_TRUE(ReadFile(folder + "/empty.txt", stored));
    EXPECT_TRUE(stored.empty());

    for (const char* name : {"../evil", "/tmp/phonesim-abs", "sub/x", "..", "", "a\\b", "x\ny"})
        SendFile(pc, name, ToBytes("bad"));
    EXPECT_FALSE(std::filesystem::exists(parent.File("evil")));
    EXPECT_FALSE(std::filesystem::exists("/tmp/phonesim-abs"));
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        EXPECT_TRUE(e.path().filename() == "report.bin" || e.path().filename() == "empty.txt")
            << e.path();
        ++files;
    }
    EXPECT_EQ(files, 2u);

    Incoming back = PollForFile(pc, 1500);
    EXPECT_TRUE(back.name.empty()) << "sent back: " << back.name;
}

TEST_F(PhoneSimSync, DroppedFilesGoToThePcOnceBothSidesAgree) {
    TempDir scratch;
    ASSERT_NO_FATAL_FAILURE(Start({"--sync-limit", "100000"}, 0));
    TestPc& pc = *pc_;
    Reply r;

    // Written elsewhere and moved in, as a phone's app would save it.
    const Bytes content = Pattern(8192, 3);
    ASSERT_TRUE(WriteFile(scratch.File("photo.jpg"), content));
    ASSERT_EQ(rename(scratch.File("photo.jpg").c_str(), (folder + "/photo.jpg").c_str()), 0);
    ASSERT_TRUE(WriteFile(folder + "/huge.bin", Pattern(100001, 5)));
    EXPECT_TRUE(PollForFile(pc, 1200).name.empty()) << "sent while the PC has sync off";

    ASSERT_TRUE(pc.Exchange(LINK_SYNC_CONFIG, {1, 0, 2, 0, 0}, r));
    Incoming in = PollForFile(pc, 5000);
    ASSERT_TRUE(in.complete);
    EXPECT_EQ(in.name, "photo.jpg");
    EXPECT_EQ(in.content, content);
    // The file over the limit and the one just sent stay put.
    EXPECT_TRUE(PollForFile(pc, 1200).name.empty());

    // A changed file goes again.
    const Bytes changed = Pattern(10, 9);
    ASSERT_TRUE(WriteFile(folder + "/photo.jpg", changed));
    in = PollForFile(pc, 5000);
    ASSERT_TRUE(in.complete);
    EXPECT_EQ(in.content, changed);
}

// A file the PC sends a second time, changed, is in step at once: it never
// goes back, however soon after the phone's last scan of its folder it lands.
// Each round lets the phone scan the first copy twice (scans run every 200 ms
// at most), then sends the second right after a poll, mostly before the next
// scan.
TEST_F(PhoneSimSync, FileSentAgainByThePcIsNotSentBack) {
    ASSERT_NO_FATAL_FAILURE(Start({}, 1));
    TestPc& pc = *pc_;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string name = "again" + std::to_string(round) + ".txt";
        SendFile(pc, name, Pattern(100, round));
        EXPECT_TRUE(PollForFile(pc, 1000).name.empty());
        const Bytes second = Pattern(200 + round, round + 1);
        SendFile(pc, name, second);
        Incoming back = PollForFile(pc, 600);
        EXPECT_TRUE(back.name.empty()) << "sent back: " << back.name;
        Bytes stored;
        ASSERT_TRUE(ReadFile(folder + "/" + name, stored));
        EXPECT_EQ(stored, second);
    }
}

}  // namespace
}  // namespace kivro::phonesim_test
