// Test peers for phone-sim: the phone-sim process itself (started with its own
// options, its pty path read from standard output, commands on standard input)
// and a small PC that speaks link frames over that pty. Kept to what the tests
// need; the real PC side lives in the engine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/LinkProtocol.h"

namespace kivro::phonesim_test {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// A fresh temporary folder, removed with its files when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

bool WriteFile(const std::string& path, const Bytes& data);
bool ReadFile(const std::string& path, Bytes& data);
Bytes Pattern(size_t size, uint32_t seed);

class PhoneSimProcess {
  public:
    // Starts phone-sim with these options and waits for its "PTY <path>" line.
    explicit PhoneSimProcess(const std::vector<std::string>& args);
    ~PhoneSimProcess();
    bool Started() const { return !ptyPath_.empty(); }
    const std::string& PtyPath() const { return ptyPath_; }
    // Sends a --control command and waits for its acknowledgement.
    bool Command(const std::string& line);
    // Sends SIGUSR1 and waits for its acknowledgement (needs --control).
    bool ArmBySignal();

  private:
    bool WaitLine(const std::string& expected);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string ptyPath_;
};

struct Reply {
    uint8_t type = 0;
    uint16_t length = 0;
    Bytes payload;
};

class TestPc {
  public:
    explicit TestPc(const std::string& ptyPath);
    ~TestPc();
    bool Opened() const { return fd_ >= 0; }

    // Exactly count bytes within timeoutMs.
    bool ReadExact(uint8_t* out, size_t count, int timeoutMs = 5000);
    // True when no byte arrives within ms.
    bool Quiet(int ms);
    // Finds the hello in what arrives; skipped receives the bytes before it.
    bool ReadHello(int timeoutMs = 5000, size_t* skipped = nullptr);
    bool Send(uint8_t type, const Bytes& payload = {});
    bool Receive(Reply& reply, int timeoutMs = 5000);
    bool Exchange(uint8_t type, const Bytes& payload, Reply& reply) {
        return Send(type, payload) && Receive(reply);
    }

  private:
    int fd_ = -1;
};

// An RFB viewer whose byte stream rides in LINK_DATA frames through a TestPc.
class LinkViewer {
  public:
    explicit LinkViewer(TestPc& pc) : pc_(pc) {}
    // Sends LINK_CLIENT_CONNECTED and keeps what the reply carries.
    bool Connect();
    bool Write(const Bytes& data);
    // Polls with empty LINK_DATA until count bytes of the stream are there.
    bool Read(size_t count, Bytes& out, int timeoutMs = 10000);
    // The types of replies seen that were not LINK_DATA.
    const std::vector<uint8_t>& OtherReplies() const { return others_; }

  private:
    bool Take(const Reply& reply);
    TestPc& pc_;
    Bytes stream_;
    std::vector<uint8_t> others_;
};

}  // namespace kivro::phonesim_test
