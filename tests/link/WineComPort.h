// Windows build under Wine only: a pair of COM ports joined back to back. Wine
// maps COMn to whatever $WINEPREFIX/dosdevices/comn links to; socat (started as
// a Unix process, which Wine's CreateProcess allows) makes two ptys, relays
// between them and places those links. What one port writes, the other reads;
// neither has modem lines, as on any pty.
#pragma once

#ifdef _WIN32

#include "link/Phone.h"

namespace kivro::test {

// The phone's end of a COM port: plain synchronous I/O whose reads return at
// once with what has arrived, so the scripted phone can poll it.
class ComChannel : public ByteChannel {
  public:
    ComChannel() = default;
    ~ComChannel() override;
    ComChannel(const ComChannel&) = delete;
    ComChannel& operator=(const ComChannel&) = delete;

    bool Open(const char* name);
    bool Write(const void* data, size_t count) override;
    size_t ReadSome(void* data, size_t capacity, int timeoutMs) override;

  private:
    void* handle_ = nullptr;
};

class WineComPair {
  public:
    WineComPair() = default;
    ~WineComPair();
    WineComPair(const WineComPair&) = delete;
    WineComPair& operator=(const WineComPair&) = delete;

    // Creates the pair and waits until both ports can be opened.
    bool Create();
    const char* EngineSide() const { return first_; }  // "COMn"
    const char* PhoneSide() const { return second_; }  // "COMn+1"
    // Gives the engine side's pty these TIOCM bits through the modem shim
    // (tests/link/ModemShim.c) preloaded into Wine with $KIVRO_MODEM_DIR set.
    // Returns once the shim sees them; false without the shim, or when that
    // did not happen within seconds.
    bool SetEngineLines(int bits);
    // Through the same shim, and returning the same way: one read of the
    // engine side fails with EIO after `bytes` more have been read.
    bool FailOneEngineReadAfter(int bytes);

  private:
    bool ChangeEngineState(const char* suffix, const char* step);
    char first_[16] = {};
    char second_[16] = {};
    char pidFile_[300] = {};
    char links_[2][300] = {};
    bool started_ = false;
};

}  // namespace kivro::test

#endif
