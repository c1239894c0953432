// The phone's side of file synchronisation: one folder (no subfolders, as on
// the PC). Files dropped into it are sent to the PC once their size and time
// have held still across two scans, so a file still being written is not sent
// half; files from the PC are written under a hidden temporary name and renamed
// when complete, then count as in sync so that they are never sent back. Scans
// are polled from the reply path rather than driven by inotify: the PC polls
// at least once a second anyway, and polling keeps the tool portable. A file
// received is in step with the folder at once, in both records (as last seen
// and as last synced), so a scan that has not run since cannot take the stamp
// it had before for a change and send the PC's file back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace kivro::phonesim {

class PhoneFolder {
  public:
    // Files already present count as in sync unless sendExisting is set. With
    // a state file the record of what is in sync outlives the process (a
    // phone that reboots remembers it): files present at start are then due
    // unless the record has them as they are.
    PhoneFolder(std::string dir, bool sendExisting, std::string stateFile = {});
    ~PhoneFolder();
    PhoneFolder(const PhoneFolder&) = delete;
    PhoneFolder& operator=(const PhoneFolder&) = delete;

    // A name the folder accepts from the PC: a plain file name, no path.
    static bool SafeName(const std::string& name);

    // Messages from the PC.
    void StartIncoming(const std::string& name);
    void IncomingData(const uint8_t* data, size_t count);
    void EndIncoming();
    bool Receiving() const { return inFd_ >= 0; }

    // Our next message for the PC while sending is allowed: LINK_FILE_START,
    // LINK_FILE_DATA or LINK_FILE_END with its payload; false when nothing is due.
    bool NextOutgoing(uint32_t limit, uint8_t& type, uint8_t* payload, size_t& length);
    bool Sending() const { return outFd_ >= 0; }
    // Gives up the file being sent; it stays due and is offered again later.
    void AbortOutgoing();
    // A server restart that loses the transfers: a file coming in is dropped
    // (its temporary file deleted), one going out is offered again later.
    void Forget();
    // File bytes moved so far, both ways together.
    uint64_t MovedBytes() const { return movedBytes_; }

  private:
    struct Stamp {
        int64_t size = -1;
        int64_t mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    void Scan(bool initial, bool sendExisting);
    std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
    std::string TempPath() const;
    void LoadState();
    void SaveState() const;

    std::string dir_;
    std::string stateFile_;
    std::map<std::string, Stamp> inSync_;  // as last sent or received
    struct Seen {
        Stamp stamp;
        int stableScans = 0;  // scans in a row that found the same stamp
    };
    std::map<std::string, Seen> seen_;  // as found by the last scan
    std::chrono::steady_clock::time_point lastScan_{};

    int inFd_ = -1;
    std::string inName_;
    uint64_t inBytes_ = 0;

    int outFd_ = -1;
    std::string outName_;
    Stamp outStamp_;
    uint64_t outBytes_ = 0;
    uint64_t movedBytes_ = 0;
};

}  // namespace kivro::phonesim
