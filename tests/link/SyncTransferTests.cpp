// File transfers through the real engine and a scripted phone: on Linux over a
// pty pair, under Wine over a pair of COM ports. The sync folder is a real
// temporary folder; files are dropped into it by renaming them in from a
// staging folder with a last-write time in the past, so the directory monitor
// hands them out at once instead of a second later.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "engine/EngineTestSupport.h"
#include "engine/Proxy.h"
#include "link/Phone.h"
#include "platform/Files.h"
#include "platform/System.h"
#include "sync/SafeName.h"
#include "sync/TempFolder.h"
#include "text/Messages.h"
#ifdef _WIN32
#include "link/WineComPort.h"
#else
#include "link/Pty.h"
#endif

namespace kivro::test {
namespace {

namespace fs = std::filesystem;

// The phone's end of the serial line and the name the engine opens.
#ifdef _WIN32
struct PhoneLine {
    WineComPair pair;
    ComChannel channel;
    bool Open() { return pair.Create() && channel.Open(pair.PhoneSide()); }
    const char* EnginePort() const { return pair.EngineSide(); }
    ByteChannel& Channel() { return channel; }
};
#else
struct PhoneLine {
    PtyPair pty;
    bool Open() { return pty.Open(); }
    const char* EnginePort() const { return pty.SlavePath(); }
    ByteChannel& Channel() { return pty; }
};
#endif

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::vector<uint8_t> Pattern(size_t size, unsigned seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 9));
    return data;
}

std::vector<uint8_t> PhoneConfig(uint8_t flags, uint32_t limit) {
    std::vector<uint8_t> payload(5);
    payload[0] = flags;
    PutBigEndian(payload.data(), 1, 4, limit);
    return FrameBytes(LINK_SYNC_CONFIG, payload);
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool IsSyncEvent(const EngineEvent& e) {
    return e.Code == EV_SYNC_SENDING || e.Code == EV_SYNC_RECEIVING || e.Code == EV_SYNC_SENT ||
           e.Code == EV_SYNC_RECEIVED || e.Code == EV_SYSTEM_ERROR;
}

// What the PC sent of one file: the frames from its LINK_FILE_START on.
struct SentFile {
    std::string name;
    std::vector<size_t> chunks;
    std::vector<uint8_t> content;
    bool ended = false;
};

class SyncTransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(line.Open());
        sync = base.path() / "sync";
        fs::create_directories(sync);
        phone.SetAnswer([this](const LinkFrameRecord& f) { return Answer(f); });
        phone.Start();
    }
    void TearDown() override {
        if (proxy) proxy->Shutdown();
        proxy.reset();
        phone.Stop();
    }

    // The phone's default answers; `script` may answer first.
    std::vector<uint8_t> Answer(const LinkFrameRecord& f) {
        // No reply at all: the engine waits for one until it stops or times out.
        if (f.type == LINK_FILE_DATA && silentAtFileData.exchange(false)) return {};
        Script current;
        {
            std::lock_guard<std::mutex> lock(scriptMutex);
            current = script;
        }
        if (current) {
            std::vector<uint8_t> reply = current(f);
            if (!reply.empty()) return reply;
        }
        if (f.type == LINK_SYNC_CONFIG) return PhoneConfig(phoneFlags, phoneLimit);
        return FrameBytes(LINK_DATA);
    }

    Settings SyncSettings(bool doSync = true) {
        Settings s = TestSettings(FreePort());
        std::strcpy(s.USBComPort, line.EnginePort());
        s.DoSync = doSync;
        std::strcpy(s.SyncDir, sync.string().c_str());
        return s;
    }
    // Starts (or restarts) the engine and connects the phone; returns once the
    // phone's answer to the sync configuration has been handled.
    void StartEngine(const Settings& s) {
        if (!proxy) proxy = std::make_unique<Proxy>(3000);
        size_t from = sink.Count();
        ASSERT_TRUE(proxy->Start(&sink, s)) << Describe(sink.Events());
        ASSERT_GE(sink.WaitForCode(EV_USB_PORT_OPENED, 1, 5000, from), 0)
            << Describe(sink.Events());
        ASSERT_TRUE(line.Channel().Write(kUsbHello, 8));
        ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 5000, from), 0) << Describe(sink.Events());
        ASSERT_GE(
            sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYNC_LIMIT; }, 5000, from),
            0);
    }

    // Starts the engine with the phone's flags 0, then makes path a file that
    // another program holds open for writing ("content" written), and waits
    // until the engine has scanned it and its second is over. The engine tries
    // it once the phone switches to flags 1.
    void StartWithHeldFile(const std::string& path, std::shared_ptr<platform::File>& holder) {
        phoneFlags = 0;
        StartEngine(SyncSettings());
        holder = std::make_shared<platform::File>();
        ASSERT_EQ(holder->Create(path.c_str()).Code(), 0u);
        uint32_t done = 0;
        ASSERT_EQ(holder->Write("content", 7, done).Code(), 0u);
        platform::SleepMs(2200);  // scanned, and its second is over
    }

    // Puts a file into the sync folder in one step, last written a minute ago.
    // A size above the content's extends the file sparsely.
    void Drop(const std::string& name, const std::vector<uint8_t>& content, uint64_t size = 0) {
        const fs::path staged = staging.path() / name;
        {
            std::ofstream out(staged, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(content.data()),
                      static_cast<std::streamsize>(content.size()));
        }
        if (size > content.size()) fs::resize_file(staged, size);
        fs::last_write_time(staged, fs::last_write_time(staged) - std::chrono::minutes(1));
        fs::rename(staged, sync / name);
    }

    // The phone's whole file as its next replies.
    void PhoneSends(const std::string& name, const std::vector<uint8_t>& content) {
        phone.Queue(FrameBytes(LINK_FILE_START, Bytes(name)));
        for (size_t at = 0; at < content.size(); at += kLinkMaxPayload) {
            size_t n = std::min(kLinkMaxPayload, content.size() - at);
            phone.Queue(
                FrameBytes(LINK_FILE_DATA, {content.begin() + at, content.begin() + at + n}));
        }
        phone.Queue(FrameBytes(LINK_FILE_END));
    }

    // Waits for EV_SYNC_RECEIVED of `bytes` from event `from` on, then for the
    // engine's next frame: the event comes just before the file is closed, and
    // Windows lets nobody read a file the engine still holds.
    bool WaitForReceived(uint32_t bytes, size_t from, int timeoutMs) {
        if (sink.WaitForCode(EV_SYNC_RECEIVED, bytes, timeoutMs, from) < 0) return false;
        return phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, phone.Count()) >= 0;
    }

    // The PC's file frames from its next LINK_FILE_START at or after `from`,
    // waiting for the LINK_FILE_END.
    SentFile WaitForSentFile(size_t from, int timeoutMs = 8000) {
        SentFile sent;
        int start = phone.WaitForType(LINK_FILE_START, timeoutMs, from);
        if (start < 0) return sent;
        int end = phone.WaitForType(LINK_FILE_END, timeoutMs, start);
        std::vector<LinkFrameRecord> frames = phone.Frames();
        sent.name.assign(frames[start].payload.begin(), frames[start].payload.end());
        for (int i = start + 1; end >= 0 && i <= end; ++i) {
            if (frames[i].type == LINK_FILE_DATA) {
                sent.chunks.push_back(frames[i].payload.size());
                sent.content.insert(sent.content.end(), frames[i].payload.begin(),
                                    frames[i].payload.end());
            } else if (frames[i].type == LINK_FILE_END) {
                sent.ended = true;
            } else {
                ADD_FAILURE() << "frame of type " << int(frames[i].type) << " inside the transfer";
            }
        }
        return sent;
    }

    std::vector<EngineEvent> SyncEvents(size_t from = 0) {
        std::vector<EngineEvent> all = sink.Events(), out;
        for (size_t i = from; i < all.size(); ++i)
            if (IsSyncEvent(all[i])) out.push_back(all[i]);
        return out;
    }
    // The names in the sync folder, sorted.
    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(sync))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // The phone's server stops and starts again at once: the engine sees the
    // stop as this reply and finds the hello right behind it.
    static std::vector<uint8_t> RestartReply() {
        std::vector<uint8_t> reply = FrameBytes(LINK_USB_DISCONNECT);
        reply.insert(reply.end(), kUsbHello, kUsbHello + sizeof kUsbHello);
        return reply;
    }
    int CountStarts(const std::string& name) {
        int n = 0;
        for (const LinkFrameRecord& f : phone.Frames())
            n += f.type == LINK_FILE_START && f.payload == Bytes(name);
        return n;
    }

    PhoneLine line;
    ScriptedPhone phone{line.Channel()};
    RecordingSink sink;
    std::unique_ptr<Proxy> proxy;
    kivro::testing::TempFolder base, staging;
    fs::path sync;
    std::atomic<uint8_t> phoneFlags{1};
    std::atomic<uint32_t> phoneLimit{1048576};
    std::atomic<bool> silentAtFileData{false};  // the next file data frame goes unanswered
    // Answers before the defaults (an empty reply leaves the frame to them). It
    // runs on the phone's thread and must not call the phone.
    using Script = std::function<std::vector<uint8_t>(const LinkFrameRecord&)>;
    void SetScript(Script s) {
        std::lock_guard<std::mutex> lock(scriptMutex);
        script = std::move(s);
    }
    std::mutex scriptMutex;
    Script script;
};

// Both sides announce; the phone's flags 0 stop the PC's sending (the file
// waits) but not the phone's; flags 1 again and the waiting file goes out.
TEST_F(SyncTransferTest, NegotiationBothWaysAndFlagsZeroStopOnlySending) {
    StartEngine(SyncSettings());
    EXPECT_TRUE(proxy->SyncEnabled());
    std::vector<LinkFrameRecord> frames = phone.Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].type, LINK_SYNC_CONFIG);
    // 04 00 05 01 00 02 00 00 on the wire: on, 131072 bytes.
    EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0x01, 0x00, 0x02, 0x00, 0x00}));
    int limit = sink.WaitForCode(EV_SYNC_LIMIT, 128, 0);
    ASSERT_GE(limit, 0) << "1 MB from the phone, 128 KB here: " << Describe(sink.Events());
    ASSERT_EQ(sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYNC_DIR; }, 3000),
              limit + 1);
    EXPECT_EQ(std::string(sink.Events()[limit + 1].Text), sync.string());

    size_t events = sink.Count();
    phoneFlags = 0;
    phone.Queue(PhoneConfig(0, 1048576));
    ASSERT_GE(sink.WaitForCode(EV_SYNC_LIMIT, 0, 3000, events), 0);
    platform::SleepMs(300);
    for (size_t i = events; i < sink.Count(); ++i) EXPECT_NE(sink.Events()[i].Code, EV_SYNC_DIR);

    size_t frameCount = phone.Count();
    Drop("waits.bin", Pattern(3000, 1));
    const std::vector<uint8_t> fromPhone = Pattern(6000, 2);
    PhoneSends("down.bin", fromPhone);
    ASSERT_TRUE(WaitForReceived(6000, events, 8000)) << Describe(sink.Events());
    EXPECT_EQ(ReadFile(sync / "down.bin"), fromPhone);
    platform::SleepMs(1500);
    EXPECT_LT(phone.WaitForType(LINK_FILE_START, 0, frameCount), 0) << "sent despite flags 0";

    phone.Queue(PhoneConfig(1, 1048576));
    SentFile sent = WaitForSentFile(frameCount);
    EXPECT_EQ(sent.name, "waits.bin");
    EXPECT_EQ(sent.content, Pattern(3000, 1));
    EXPECT_TRUE(sent.ended);
}

// Files of several sizes go out as the start, full frames, a shorter last frame
// and the end; files above the agreed limit are passed over, also one whose
// size only its upper 32 bits put above the limit.
TEST_F(SyncTransferTest, OutgoingFilesFrameByFrameAndOverLimitSkipped) {
    phoneLimit = 65536;  // the agreed limit: 64 KB
    StartEngine(SyncSettings());
    ASSERT_GE(sink.WaitForCode(EV_SYNC_LIMIT, 64, 0), 0) << Describe(sink.Events());

    struct Case {
        std::string name;
        size_t size;
        std::vector<size_t> chunks;
    };
    const Case cases[] = {
        {"five.bin", 5000, {4096, 904}},
        {"eight.bin", 8192, {4096, 4096}},
        {"empty.bin", 0, {}},
        {"limit.bin", 65536, std::vector<size_t>(16, 4096)},
    };
    size_t events = sink.Count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t from = phone.Count();
        const std::vector<uint8_t> content = Pattern(c.size, unsigned(c.size));
        Drop(c.name, content);
        SentFile sent = WaitForSentFile(from);
        EXPECT_EQ(sent.name, c.name);
        EXPECT_EQ(sent.chunks, c.chunks);
        EXPECT_TRUE(sent.content == content);
        EXPECT_TRUE(sent.ended);
    }
    std::vector<EngineEvent> log = SyncEvents(events);
    ASSERT_EQ(log.size(), 2 * std::size(cases)) << Describe(log);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(log[2 * i].Code, EV_SYNC_SENDING);
        EXPECT_EQ(std::string(log[2 * i].Text), cases[i].name);
        EXPECT_EQ(log[2 * i + 1].Code, EV_SYNC_SENT);
        EXPECT_EQ(log[2 * i + 1].Value, cases[i].size);
    }

    // One byte over the limit, and 4 GB + 100 bytes (sparse, nothing written).
    Drop("over.bin", Pattern(65537, 3));
    Drop("huge.bin", {}, (uint64_t{1} << 32) + 100);
    platform::SleepMs(2500);  // scanned and offered on the passes since
    size_t from = phone.Count();
    Drop("marker.txt", Bytes("after the skipped ones"));
    EXPECT_EQ(WaitForSentFile(from).name, "marker.txt");
    EXPECT_EQ(CountStarts("over.bin"), 0);
    EXPECT_EQ(CountStarts("huge.bin"), 0);
}

// A phone file lands byte-for-byte and is not sent back; a phone file offered
// while the PC sends is ignored with its data and end, and the PC's file
// still arrives whole.
TEST_F(SyncTransferTest, PhoneFileReceivedNotSentBackAndIgnoredWhileSending) {
    StartEngine(SyncSettings());
    size_t events = sink.Count();
    size_t from = phone.Count();
    const std::vector<uint8_t> fromPhone = Pattern(10000, 4);
    PhoneSends("down.bin", fromPhone);
    ASSERT_TRUE(WaitForReceived(10000, events, 8000)) << Describe(sink.Events());
    EXPECT_EQ(ReadFile(sync / "down.bin"), fromPhone);
    std::vector<EngineEvent> log = SyncEvents(events);
    ASSERT_EQ(log.size(), 2u) << Describe(log);
    EXPECT_EQ(log[0].Code, EV_SYNC_RECEIVING);
    EXPECT_EQ(std::string(log[0].Text), "down.bin");
    platform::SleepMs(2500);
    EXPECT_LT(phone.WaitForType(LINK_FILE_START, 0, from), 0) << "sent back";

    // Each of the PC's file frames is answered with the phone's own file.
    std::atomic<int> step{0};
    SetScript([&step](const LinkFrameRecord& f) -> std::vector<uint8_t> {
        if (f.type == LINK_FILE_START) return FrameBytes(LINK_FILE_START, Bytes("intruder.bin"));
        if (f.type == LINK_FILE_DATA && step++ == 0) return FrameBytes(LINK_FILE_DATA, Bytes("xx"));
        if (f.type == LINK_FILE_DATA) return FrameBytes(LINK_FILE_END);
        return {};
    });
    events = sink.Count();
    from = phone.Count();
    const std::vector<uint8_t> up = Pattern(9000, 5);
    Drop("up.bin", up);
    SentFile sent = WaitForSentFile(from);
    EXPECT_EQ(sent.name, "up.bin");
    EXPECT_TRUE(sent.content == up);
    EXPECT_TRUE(sent.ended);
    EXPECT_FALSE(fs::exists(sync / "intruder.bin"));
    log = SyncEvents(events);
    ASSERT_EQ(log.size(), 2u) << Describe(log);
    EXPECT_EQ(log[0].Code, EV_SYNC_SENDING);
    EXPECT_EQ(log[1].Code, EV_SYNC_SENT);
    EXPECT_EQ(log[1].Value, 9000u);
}

// Every name that could leave the folder, or is no plain file on this system,
// is refused as a file that cannot be created; its data and end are ignored
// and nothing appears outside the folder (nor inside it).
TEST_F(SyncTransferTest, RefusedNamesLeaveNothingOutsideTheFolder) {
    StartEngine(SyncSettings());
    std::vector<std::string> names = {
        "",
        ".",
        "..",
        "../outside.txt",
        "..\\outside.txt",
        (base.path() / "absolute.txt").string(),
        "sub/file.txt",
        "a:b",
        "tab\there",
        std::string("nul\0cut", 7),
        "esc\x1B",
    };
    if (kHostFileNameRules == FileNameRules::Windows)
        names.insert(names.end(), {"CON", "nul.txt", "COM1", "lpt9.log", "a?b", "a*b", "a<b", "a>b",
                                   "a|b", "a\"b", "dot.", "blank "});
    size_t events = sink.Count();
    // A start is answered by the engine's next pass, up to a second later; the
    // data after it comes at once. The first few names come with their end too.
    for (size_t i = 0; i < names.size(); ++i) {
        phone.Queue(FrameBytes(LINK_FILE_START, Bytes(names[i])));
        phone.Queue(FrameBytes(LINK_FILE_DATA, Bytes("should not be written")));
        if (i < 3) phone.Queue(FrameBytes(LINK_FILE_END));
    }
    const std::vector<uint8_t> good = Pattern(100, 6);
    PhoneSends("good.txt", good);
    ASSERT_TRUE(WaitForReceived(100, events, int(names.size()) * 1200 + 8000))
        << Describe(sink.Events());

    std::vector<EngineEvent> log = SyncEvents(events);
    ASSERT_EQ(log.size(), names.size() + 2) << Describe(log);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE("name \"" + names[i] + "\"");
        EXPECT_EQ(log[i].Code, EV_SYSTEM_ERROR);
        EXPECT_EQ(log[i].Error.MessageId, uint32_t(MSG_ERR_CREATE_FILE));
        EXPECT_EQ(log[i].Error.Code, platform::ErrorCodes::InvalidName);
    }
    EXPECT_EQ(log[names.size()].Code, EV_SYNC_RECEIVING);
    EXPECT_EQ(std::string(log[names.size()].Text), "good.txt");
    std::vector<std::string> present;
    for (const auto& entry : fs::recursive_directory_iterator(base.path()))
        present.push_back(fs::relative(entry.path(), base.path()).generic_string());
    std::sort(present.begin(), present.end());
    EXPECT_EQ(present, (std::vector<std::string>{"sync", "sync/good.txt"}));
    EXPECT_EQ(ReadFile(sync / "good.txt"), good);
}

// Without DoSync: no watch (SyncEnabled false), flags 0 announced, the phone's
// configuration still agreed and shown, and its files ignored without a word.
TEST_F(SyncTransferTest, DoSyncOffAcceptsAndSendsNothing) {
    StartEngine(SyncSettings(false));
    EXPECT_FALSE(proxy->SyncEnabled());
    EXPECT_EQ(phone.Frames()[0].payload, (std::vector<uint8_t>{0x00, 0x00, 0x02, 0x00, 0x00}));
    ASSERT_GE(sink.WaitForCode(EV_SYNC_LIMIT, 128, 0), 0);
    size_t events = sink.Count();
    size_t from = phone.Count();
    PhoneSends("ignored.bin", Pattern(50, 8));
    Drop("new.bin", Pattern(100, 9));
    // The phone's start, data and end were all replies.
    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 8000, from + 3), 0);
    platform::SleepMs(1500);
    EXPECT_FALSE(fs::exists(sync / "ignored.bin"));
    EXPECT_LT(phone.WaitForType(LINK_FILE_START, 0, from), 0);
    EXPECT_TRUE(SyncEvents(events).empty()) << Describe(SyncEvents(events));
}

// A file another program holds open for writing is tried on 81 passes and then
// left until it changes: released after the 80th failure it is sent, after the
// 81st it is not, until it is written again. Released while the phone sends a
// file of the same name, the phone's file takes its place and is not sent
// back. The attempts are counted from the phone's switch to flags 1, each pass
// after it trying once.
TEST_F(SyncTransferTest, HeldFileIsTriedOn81PassesThenDropped) {
    enum Outcome { Sent, Dropped, ReplacedByPhone };
    struct Case {
        int releaseAfter;
        Outcome outcome;
    };
    for (Case c : {Case{80, Sent}, Case{81, Dropped}, Case{5, ReplacedByPhone}}) {
        SCOPED_TRACE(c.releaseAfter);
        const std::string name = "held" + std::to_string(c.releaseAfter) + ".bin";
        const std::string path = (sync / name).string();
        std::shared_ptr<platform::File> holder;
        ASSERT_NO_FATAL_FAILURE(StartWithHeldFile(path, holder));

        // Frame 0 after the switch carries the phone's flags 1; frame k follows
        // attempt k. A byte of viewer data in a reply (dropped: no viewer) makes
        // the next pass follow at once.
        auto frame = std::make_shared<std::atomic<int>>(-1);
        auto startAt = std::make_shared<std::atomic<int>>(-1);
        SetScript([frame, startAt, holder, c,
                   name](const LinkFrameRecord& f) -> std::vector<uint8_t> {
            int k = ++*frame;
            if (f.type == LINK_FILE_START && *startAt < 0) *startAt = k;
            if (k == 0) return PhoneConfig(1, 1048576);
            if (k == c.releaseAfter) holder->Close();
            if (c.outcome == ReplacedByPhone && k == c.releaseAfter)
                return FrameBytes(LINK_FILE_START, Bytes(name));
            if (c.outcome == ReplacedByPhone && k == c.releaseAfter + 1)
                return FrameBytes(LINK_FILE_DATA, Bytes("from the phone"));
            if (c.outcome == ReplacedByPhone && k == c.releaseAfter + 2)
                return FrameBytes(LINK_FILE_END);
            return k <= c.releaseAfter + 30 ? FrameBytes(LINK_DATA, {0}) : FrameBytes(LINK_DATA);
        });
        size_t from = phone.Count();
        if (c.outcome == Sent) {
            int start = phone.WaitForType(LINK_FILE_START, 5000, from);
            ASSERT_GE(start, 0);
            EXPECT_EQ(*startAt, c.releaseAfter + 1) << "the 81st attempt opens it";
            ASSERT_GE(phone.WaitForType(LINK_FILE_END, 3000, start), 0);
        } else {
            for (int i = 0; i < 500 && *frame < c.releaseAfter + 30; ++i) platform::SleepMs(20);
            EXPECT_LT(phone.WaitForType(LINK_FILE_START, 1000, from), 0) << "sent by the PC";
        }
        if (c.outcome == Dropped) {
            // Written again, it is due again.
            from = phone.Count();
            platform::File writer;
            ASSERT_EQ(writer.Create(path.c_str()).Code(), 0u);
            uint32_t done = 0;
            ASSERT_EQ(writer.Write("changed", 7, done).Code(), 0u);
            writer.Close();
            SentFile sent = WaitForSentFile(from, 5000);
            EXPECT_EQ(sent.name, name);
            EXPECT_EQ(sent.content, Bytes("changed"));
        }
        if (c.outcome == ReplacedByPhone) {
            EXPECT_EQ(ReadFile(path), Bytes("from the phone"));
            EXPECT_GE(sink.WaitForCode(EV_SYNC_RECEIVED, 14, 0), 0) << Describe(sink.Events());
        }
        proxy->Shutdown();
        ASSERT_FALSE(proxy->Running());
        SetScript(nullptr);
    }
}

// A phone that starts a new file before ending the one it was sending gave the
// first up: none of it lands (a file of that name keeps its bytes), and the new
// one gets its own data.
TEST_F(SyncTransferTest, PhoneStartDuringItsOwnFileAbandonsTheFirst) {
    const std::vector<uint8_t> mine = Bytes("the PC's own first.bin");
    Drop("first.bin", mine);
    StartEngine(SyncSettings());
    size_t events = sink.Count();
    phone.Queue(FrameBytes(LINK_FILE_START, Bytes("first.bin")));
    phone.Queue(FrameBytes(LINK_FILE_DATA, Pattern(100, 14)));
    PhoneSends("second.bin", Pattern(200, 15));
    ASSERT_TRUE(WaitForReceived(200, events, 8000)) << Describe(sink.Events());
    EXPECT_EQ(ReadFile(sync / "first.bin"), mine);
    EXPECT_EQ(ReadFile(sync / "second.bin"), Pattern(200, 15));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"first.bin", "second.bin"}));
    std::vector<EngineEvent> log = SyncEvents(events);
    ASSERT_EQ(log.size(), 3u) << Describe(log);
    EXPECT_EQ(std::string(log[0].Text), "first.bin");
    EXPECT_EQ(log[1].Code, EV_SYNC_RECEIVING);
    EXPECT_EQ(std::string(log[1].Text), "second.bin");
}

// A stop in the middle of a transfer, either way, closes the file (another
// program can then take it without sharing) and the next Start begins afresh.
TEST_F(SyncTransferTest, StopMidTransferClosesTheFileAndANewStartIsClean) {
    // Phone to PC: the start and one frame, then the stop.
    StartEngine(SyncSettings());
    size_t events = sink.Count();
    phone.Queue(FrameBytes(LINK_FILE_START, Bytes("half-in.bin")));
    phone.Queue(FrameBytes(LINK_FILE_DATA, Pattern(4096, 10)));
    ASSERT_GE(sink.WaitFor([](const EngineEvent& e) { return e.Code == EV_SYNC_RECEIVING; }, 5000,
                           events),
              0);
    size_t from = phone.Count();
    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, from + 1), 0);
    // A reply the stopped engine leaves unread is only bytes before the next hello.
    proxy->Shutdown();
    ASSERT_FALSE(proxy->Running());
    EXPECT_FALSE(fs::exists(sync / "half-in.bin")) << "a fragment of the phone's file";
    platform::File taker;
    EXPECT_EQ(taker.Create((sync / "half-in.bin").string().c_str()).Code(), 0u) << "still held";
    taker.Close();

    // PC to phone: the phone leaves the first data frame unanswered, and the
    // stop comes while the engine waits for that reply.
    StartEngine(SyncSettings());
    silentAtFileData = true;
    from = phone.Count();
    Drop("half-out.bin", Pattern(20000, 11));
    int start = phone.WaitForType(LINK_FILE_START, 5000, from);
    ASSERT_GE(start, 0);
    ASSERT_GE(phone.WaitForType(LINK_FILE_DATA, 3000, start), 0);
    platform::SleepMs(100);
    proxy->Shutdown();
    ASSERT_FALSE(proxy->Running());
    EXPECT_EQ(phone.WaitForType(LINK_FILE_END, 0, start), -1) << "not stopped mid-transfer";
    EXPECT_EQ(taker.Create((sync / "half-out.bin").string().c_str()).Code(), 0u) << "still held";
    const std::vector<uint8_t> halfOut = Pattern(20000, 11);
    uint32_t written = 0;
    EXPECT_EQ(taker.Write(halfOut.data(), uint32_t(halfOut.size()), written).Code(), 0u);
    taker.Close();

    // Afresh: the file cut off by the stop goes out again whole, then a phone
    // file is taken, and a new file goes out from its start.
    StartEngine(SyncSettings());
    events = sink.Count();
    from = phone.Count();
    SentFile resent = WaitForSentFile(from);
    EXPECT_EQ(resent.name, "half-out.bin");
    EXPECT_TRUE(resent.content == Pattern(20000, 11));
    const std::vector<uint8_t> in = Pattern(5000, 12), out = Pattern(5000, 13);
    PhoneSends("whole-in.bin", in);
    ASSERT_TRUE(WaitForReceived(5000, events, 8000)) << Describe(sink.Events());
    EXPECT_EQ(ReadFile(sync / "whole-in.bin"), in);
    from = phone.Count();
    Drop("whole-out.bin", out);
    SentFile sent = WaitForSentFile(from);
    EXPECT_EQ(sent.name, "whole-out.bin");
    EXPECT_TRUE(sent.content == out);
    EXPECT_EQ(CountStarts("half-out.bin"), 2);
}

// The phone's server restarts in the middle of a file the PC already has. The
// PC's own file stays whole all along, nothing of the phone's is left behind,
// and the PC's sending resumes: at once when the phone starts another file,
// after the bound when it says no more of the broken one.
TEST_F(SyncTransferTest, IncomingFileBrokenByARestartLeavesTheOldFileWhole) {
    enum After { AnotherFile, Silence };
    for (After after : {AnotherFile, Silence}) {
        SCOPED_TRACE(after == AnotherFile ? "another file" : "silence");
        const std::string name = after == AnotherFile ? "thesis.txt" : "thesis2.txt";
        const std::vector<uint8_t> mine = Bytes("the user's own " + name + ", whole");
        Drop(name, mine);
        StartEngine(SyncSettings());
        size_t events = sink.Count();
        phone.Queue(FrameBytes(LINK_FILE_START, Bytes(name)));
        for (int i = 0; i < 6; ++i) phone.Queue(FrameBytes(LINK_FILE_DATA, Pattern(4096, 30 + i)));
        phone.Queue(RestartReply());
        ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 0, 8000, events), 0) << Describe(sink.Events());
        ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 1, 5000, events), 0) << Describe(sink.Events());
        EXPECT_EQ(ReadFile(sync / name), mine) << "the user's file was cut";

        std::vector<std::string> expected = {name};
        if (after == AnotherFile) {
            PhoneSends("other.txt", Bytes("another file"));
            ASSERT_TRUE(WaitForReceived(12, events, 8000)) << Describe(sink.Events());
            EXPECT_EQ(ReadFile(sync / "other.txt"), Bytes("another file"));
            expected.push_back("other.txt");
        }
        // Sending resumes: within the bound when the phone says nothing more.
        size_t from = phone.Count();
        Drop("after.txt", Bytes("sent once the broken file is given up"));
        SentFile sent = WaitForSentFile(from, 15000);
        EXPECT_EQ(sent.name, "after.txt");
        expected.push_back("after.txt");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ReadFile(sync / name), mine);
        EXPECT_EQ(Listing(), expected) << "something of the broken transfer is left";
        for (const EngineEvent& e : SyncEvents(events))
            EXPECT_FALSE(e.Code == EV_SYNC_RECEIVED && e.Value == 6 * 4096)
                << Describe(SyncEvents(events));
        proxy->Shutdown();
        ASSERT_FALSE(proxy->Running());
        fs::remove(sync / "after.txt");
        fs::remove(sync / "other.txt");
        fs::remove(sync / name);
    }
}

// The phone's server restarts while the PC sends: once it is back the PC ends
// whatever the phone kept and sends the file again from its start; the broken
// attempt is not reported as sent.
TEST_F(SyncTransferTest, OutgoingFileBrokenByARestartIsSentAgainWhole) {
    StartEngine(SyncSettings());
    auto data = std::make_shared<std::atomic<int>>(0);
    const std::vector<uint8_t> restart = RestartReply();
    SetScript([data, restart](const LinkFrameRecord& f) -> std::vector<uint8_t> {
        if (f.type == LINK_FILE_DATA && ++*data == 3) return restart;
        return {};
    });
    size_t events = sink.Count();
    size_t from = phone.Count();
    const std::vector<uint8_t> big = Pattern(61440, 21);
    Drop("big.bin", big);
    ASSERT_GE(sink.WaitForCode(EV_USB_SERVER, 0, 8000, events), 0) << Describe(sink.Events());
    int config = phone.WaitForType(LINK_SYNC_CONFIG, 5000, from);
    ASSERT_GE(config, 0);
    ASSERT_GE(phone.WaitFor([](const LinkFrameRecord&) { return true; }, 3000, config + 1), 0);
    EXPECT_EQ(phone.Frames()[config + 1].type, LINK_FILE_END) << "carried on mid-file";
    SentFile again = WaitForSentFile(config + 1);
    EXPECT_EQ(again.name, "big.bin");
    EXPECT_TRUE(again.content == big) << again.content.size() << " bytes";
    EXPECT_TRUE(again.ended);
    ASSERT_GE(sink.WaitForCode(EV_SYNC_SENT, 61440, 3000, events), 0) << Describe(sink.Events());
    int sentEvents = 0;
    for (const EngineEvent& e : SyncEvents(events)) sentEvents += e.Code == EV_SYNC_SENT;
    EXPECT_EQ(sentEvents, 1) << Describe(SyncEvents(events));
}

// A folder so long that a name only just fits: a longer name is never cut to
// the name of another file. Outgoing it is passed over (and that other file's
// bytes never go out under it); incoming it is refused as a file that cannot be
// created, and the other file keeps its bytes.
TEST_F(SyncTransferTest, NamesThatDoNotFitThePathAreNeverCut) {
    // Room for a name of 180 characters: the whole path is then 259 long, which
    // Windows (MAX_PATH with its terminator) and Linux both take.
    const size_t pad =
        sync.string().size() + 1 + 180 < 259 ? 259 - 180 - 1 - sync.string().size() - 1 : 0;
    if (pad > 0) sync /= std::string(pad, 'd');
    fs::create_directories(sync);
    const size_t room = 259 - sync.string().size() - 1;
    ASSERT_GE(room, 20u);
    const std::string fits(room, 'r');
    const std::string longer = fits + "eport-final.txt";
    StartEngine(SyncSettings());
    size_t events = sink.Count();
    size_t from = phone.Count();
    Drop(fits, Bytes("a private draft"));
    SentFile sent = WaitForSentFile(from);
    EXPECT_EQ(sent.name, fits);
    from = phone.Count();
    Drop(longer, Bytes("the report"));
    Drop("marker.txt", Bytes("after the long name"));
    // The marker is the newest: offered first, then the long name if ever.
    EXPECT_EQ(WaitForSentFile(from).name, "marker.txt");
    EXPECT_LT(phone.WaitFor(
                  [&](const LinkFrameRecord& f) {
                      return f.type == LINK_FILE_START && f.payload == Bytes(longer);
                  },
                  2500, from),
              0)
        << "sent under a name that does not fit";

    size_t errors = sink.Count();
    PhoneSends(longer, Bytes("the phone's report"));
    PhoneSends("good.txt", Bytes("fine"));
    ASSERT_TRUE(WaitForReceived(4, errors, 8000)) << Describe(sink.Events());
    std::vector<EngineEvent> log = SyncEvents(errors);
    ASSERT_GE(log.size(), 1u);
    EXPECT_EQ(log[0].Code, EV_SYSTEM_ERROR) << Describe(log);
    EXPECT_EQ(log[0].Error.MessageId, uint32_t(MSG_ERR_CREATE_FILE));
#ifdef _WIN32
    EXPECT_EQ(log[0].Error.Code, 206u);  // ERROR_FILENAME_EXCED_RANGE
#else
    EXPECT_EQ(log[0].Error.Code, uint32_t(ENAMETOOLONG));
#endif
    EXPECT_EQ(ReadFile(sync / fits), Bytes("a private draft"));
    (void)events;
}

// The folder removed, or moved away, and made again while the engine runs:
// one 3011 while it is gone, then the watch follows it and its files are sent
// again; and so a second time round. Wine keeps a removed folder in place until
// the last handle to it is closed (the watch holds one), so there only the
// move can take the folder away; the removal must then not disturb sync.
TEST_F(SyncTransferTest, FolderRemovedOrMovedAwayIsWatchedAgain) {
    auto isWatchError = [](const EngineEvent& e) {
        return e.Code == EV_SYSTEM_ERROR && e.Error.MessageId == uint32_t(MSG_ERR_FILE_CHANGE);
    };
    StartEngine(SyncSettings());
    for (const bool moved : {false, true, false, true}) {
        SCOPED_TRACE(moved ? "moved away" : "removed");
        size_t events = sink.Count();
        if (moved) {
            fs::rename(sync, base.path() / "moved");
        } else {
            fs::remove_all(sync);
        }
        const bool gone = !fs::exists(sync);
#ifdef _WIN32
        EXPECT_TRUE(gone || !moved) << "still there";
#else
        EXPECT_TRUE(gone) << "still there";
#endif
        if (gone) {
            ASSERT_GE(sink.WaitFor(isWatchError, 5000, events), 0) << Describe(sink.Events());
            platform::SleepMs(2500);  // several retries of the watch while the folder is gone
            fs::create_directories(sync);
        }
        size_t from = phone.Count();
        Drop("back.txt", Bytes("the folder is back"));
        SentFile sent = WaitForSentFile(from, 8000);
        EXPECT_EQ(sent.name, "back.txt");
        EXPECT_EQ(sent.content, Bytes("the folder is back"));
        int reports = 0;
        for (const EngineEvent& e : SyncEvents(events)) reports += isWatchError(e);
        EXPECT_EQ(reports, gone ? 1 : 0) << Describe(SyncEvents(events));
        fs::remove_all(base.path() / "moved");
        fs::remove(sync / "back.txt");
    }
}

// Links in the folder are neither listed nor sent, and a phone file of a
// link's name replaces the link, never the file outside the folder.
TEST_F(SyncTransferTest, LinksAreNeitherSentNorWrittenThrough) {
    kivro::testing::TempFolder outside;
    const std::vector<uint8_t> secret = Bytes("outside the folder");
    {
        std::ofstream out(outside.path() / "secret.txt", std::ios::binary);
        out.write(reinterpret_cast<const char*>(secret.data()), std::streamsize(secret.size()));
    }
    fs::last_write_time(
        outside.path() / "secret.txt",
        fs::last_write_time(outside.path() / "secret.txt") - std::chrono::minutes(1));
    StartEngine(SyncSettings());
    std::error_code error;
    fs::create_symlink(outside.path() / "secret.txt", sync / "link.txt", error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    fs::create_directory_symlink(outside.path(), sync / "dirlink", error);
    size_t from = phone.Count();
    Drop("marker.txt", Bytes("sent"));
    EXPECT_EQ(WaitForSentFile(from).name, "marker.txt");
    EXPECT_LT(phone.WaitFor(
                  [](const LinkFrameRecord& f) {
                      return f.type == LINK_FILE_START && f.payload != Bytes("marker.txt");
                  },
                  2500, from),
              0)
        << "a link was sent";

    size_t events = sink.Count();
    PhoneSends("link.txt", Bytes("from the phone"));
    ASSERT_TRUE(WaitForReceived(14, events, 8000)) << Describe(sink.Events());
    EXPECT_EQ(ReadFile(outside.path() / "secret.txt"), secret) << "written through the link";
    EXPECT_FALSE(fs::is_symlink(sync / "link.txt"));
    EXPECT_EQ(ReadFile(sync / "link.txt"), Bytes("from the phone"));
}

#ifndef _WIN32
// A named pipe of the phone's file's name: the engine neither blocks on it nor
// reads it; the phone's file replaces it.
TEST_F(SyncTransferTest, NamedPipeNeverBlocksTheEngine) {
    StartEngine(SyncSettings());
    ASSERT_EQ(mkfifo((sync / "pipe.txt").c_str(), 0666), 0);
    size_t events = sink.Count();
    PhoneSends("pipe.txt", Bytes("from the phone"));
    PhoneSends("next.txt", Bytes("and on"));
    bool received = WaitForReceived(6, events, 8000);
    if (!received) {
        // Unblocks an engine stuck opening the pipe, so that the test can end.
        int reader = open((sync / "pipe.txt").c_str(), O_RDONLY | O_NONBLOCK);
        proxy->Shutdown();
        proxy.reset();
        if (reader >= 0) close(reader);
    }
    ASSERT_TRUE(received) << Describe(sink.Events());
    EXPECT_TRUE(fs::is_regular_file(sync / "pipe.txt"));
    EXPECT_EQ(ReadFile(sync / "pipe.txt"), Bytes("from the phone"));
}
#endif

// A due file deleted while it could not be opened is dropped at once, not
// tried 81 times while every other file waits behind it.
TEST_F(SyncTransferTest, DeletedDueFileIsDroppedAtOnce) {
    const std::string path = (sync / "gone.bin").string();
    std::shared_ptr<platform::File> holder;
    ASSERT_NO_FATAL_FAILURE(StartWithHeldFile(path, holder));

    // Frame 0 after the switch carries flags 1; at frame 5 the held file goes
    // and another arrives. Every reply asks for the next pass at once.
    auto frame = std::make_shared<std::atomic<int>>(-1);
    auto startAt = std::make_shared<std::atomic<int>>(-1);
    auto staged = staging.path() / "next.bin";
    std::ofstream(staged) << "next";
    fs::last_write_time(staged, fs::last_write_time(staged) - std::chrono::minutes(1));
    const fs::path target = sync / "next.bin";
    SetScript([frame, startAt, holder, path, staged,
               target](const LinkFrameRecord& f) -> std::vector<uint8_t> {
        int k = ++*frame;
        if (f.type == LINK_FILE_START && *startAt < 0) *startAt = k;
        if (k == 0) return PhoneConfig(1, 1048576);
        if (k == 5) {
            holder->Close();
            fs::remove(path);
            fs::rename(staged, target);
        }
        return k < 200 ? FrameBytes(LINK_DATA, {0}) : FrameBytes(LINK_DATA);
    });
    size_t from = phone.Count();
    int start = phone.WaitForType(LINK_FILE_START, 8000, from);
    ASSERT_GE(start, 0);
    const std::vector<LinkFrameRecord> frames = phone.Frames();
    EXPECT_EQ(std::string(frames[start].payload.begin(), frames[start].payload.end()), "next.bin");
    EXPECT_LT(*startAt, 20) << "held up behind the deleted file";
    SetScript(nullptr);
}

// A sync folder that is missing, or is a file, fails Start with 3011 and leaves
// nothing open; the same engine then starts with a good folder.
TEST(SyncStart, FolderThatCannotBeWatchedFailsAndLeavesNothingOpen) {
    kivro::testing::TempFolder base;
    base.Write("file", 1);
    struct Case {
        std::string dir;
        uint32_t code;  // 0: the system's own code, whatever it is
    };
#ifdef _WIN32
    const Case cases[] = {{base / "missing", 0}, {base / "file", 0}};
#else
    const Case cases[] = {{base / "missing", ENOENT}, {base / "file", ENOTDIR}};
#endif
    Proxy proxy;
    RecordingSink sink;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dir);
        Settings s = TestSettings(FreePort());
        s.DoSync = true;
        std::strcpy(s.SyncDir, c.dir.c_str());
        size_t events = sink.Count();
        int before = OpenDescriptorCount();
        EXPECT_FALSE(proxy.Start(&sink, s));
        if (before >= 0) {
            EXPECT_EQ(OpenDescriptorCount(), before);
        }
        EXPECT_FALSE(proxy.Running());
        EXPECT_FALSE(proxy.SyncEnabled());
        std::vector<EngineEvent> log = sink.Events();
        ASSERT_EQ(log.size(), events + 1) << Describe(log);
        EXPECT_EQ(log[events].Code, EV_SYSTEM_ERROR);
        EXPECT_EQ(log[events].Error.MessageId, uint32_t(MSG_ERR_FILE_CHANGE));
        if (c.code != 0) {
            EXPECT_EQ(log[events].Error.Code, c.code);
        } else {
            EXPECT_NE(log[events].Error.Code, 0u);
        }
    }
    Settings s = TestSettings(FreePort());
    s.DoSync = true;
    std::strcpy(s.SyncDir, base.str().c_str());
    ASSERT_TRUE(proxy.Start(&sink, s)) << Describe(sink.Events());
    EXPECT_TRUE(proxy.SyncEnabled());
    proxy.Shutdown();
    EXPECT_FALSE(proxy.Running());
    EXPECT_FALSE(proxy.SyncEnabled());
}

}  // namespace
}  // namespace kivro::test
