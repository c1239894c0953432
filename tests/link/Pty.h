// Test fixtures over Linux pseudo-terminals: a pty pair whose slave the code
// under test opens as its serial port while the test plays the phone on the
// master, and the modem-line state that tests/link/ModemShim.c reports for a
// slave. A pty keeps stale input between opens, so a pair is flushed on open.
#pragma once

#ifndef _WIN32

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/Phone.h"

namespace kivro::test {

class PtyPair : public ByteChannel {
  public:
    PtyPair() = default;
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Opens a new pair. rawSlave puts the slave's line discipline in raw mode
    // first so nothing written before the port is opened gets echoed or edited.
    bool Open(bool rawSlave = true);
    const char* SlavePath() const { return slave_; }
    int Master() const { return master_; }

    bool Write(const void* data, size_t count) override;
    // Reads exactly count bytes within timeoutMs (waiting through times when
    // the slave is closed). False on time-out.
    bool ReadExact(void* data, size_t count, int timeoutMs);
    // Whatever arrives within timeoutMs, up to capacity bytes.
    size_t ReadSome(void* data, size_t capacity, int timeoutMs) override;

  private:
    int master_ = -1;
    char slave_[64] = {};
};

// The state files of the modem shim: a private directory named by
// KIVRO_MODEM_DIR for this process.
class ModemLines {
  public:
    ModemLines();
    ~ModemLines();
    // Gives the tty at path these TIOCM bits (written atomically).
    void Set(const char* path, int bits);
    // The tty at path has no modem lines again.
    void Remove(const char* path);
    // Reads of the tty at path fail with EIO once `bytes` more have been read.
    void FailReadsAfter(const char* path, int bytes);
    // One read of the tty at path fails with EIO after `bytes` more; later ones work.
    void FailOneReadAfter(const char* path, int bytes);
    // The lines answer as Linux's RFCOMM tty does: readable, but TIOCMIWAIT is
    // not supported (ENOTTY).
    void SetRfcomm(bool on);
    // Starts counting the reads of the tty's lines (TIOCMGET), from 0.
    void CountReads(const char* path);
    int Reads(const char* path) const;
    // TIOCMIWAIT on the tty at path stalls ms before it takes its starting state.
    void StallWaits(const char* path, int ms);

  private:
    std::string FileFor(const char* path) const;
    void Write(const std::string& file, int value);
    std::string dir_;
};

}  // namespace kivro::test

#endif
