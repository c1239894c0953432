// The engine's side of file synchronisation: the sync folder's watch and
// directory monitor, and the one file transfer that may run at a time, either
// way, one link message per exchange. The worker thread alone uses it; it
// allocates nothing per message.
//
// The rules it keeps, each because the other way loses or leaks a user's data:
//  - A file from the phone is written to kIncomingTempName in the sync folder
//    and put in the place of its target in one step (rename / MoveFileExA) at
//    the phone's LINK_FILE_END. Until then the target keeps its old bytes; a
//    write error or a transfer given up deletes the temporary file and leaves
//    the target alone. A temporary file left by a crash is removed at Open.
//  - An incoming transfer is given up when the phone starts another file, when
//    the engine stops, and when the phone's server came back after a loss and
//    sent nothing more of it within kIncomingResumeMs. Until then the PC sends
//    nothing (one transfer at a time).
//  - An outgoing transfer cut by the loss of the server is ended once a server
//    is there again (LINK_FILE_END, which closes whatever the phone kept) and
//    the file is sent again from its LINK_FILE_START; the broken attempt gets no
//    EV_SYNC_SENT. A file whose sending a stop cut off is offered again after
//    the next Open of the same folder (within this process).
//  - A path that does not fit kPathCapacity is never cut (it would name some
//    other file): a phone name is refused as a failed create (3018 with the
//    system's name-too-long code), a PC name is passed over.
//  - Only plain files are read: links, reparse points and pipes are neither
//    listed nor opened, and a pipe is never waited on. A file from the phone
//    replaces a link of its name, never what the link points at.
//  - A due file that does not exist any more is dropped at once; one that
//    exists but cannot be opened (held by a writer) is tried on 81 passes.
//  - When the folder itself goes (removed, or moved away) the watch is retried
//    once a second until the folder is back, then the folder is scanned again;
//    the loss is reported once (3011), not once per try.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/Events.h"
#include "platform/DirWatch.h"
#include "platform/Files.h"
#include "settings/Settings.h"
#include "sync/DirMonitor.h"

namespace kivro {

// How FileSync reports into the engine's event stream.
class FileSyncReports {
  public:
    virtual void SyncEvent(EventCode code, uint32_t value) = 0;
    virtual void SyncText(EventCode code, const char* text) = 0;
    virtual void SyncError(uint32_t messageId, uint32_t code) = 0;

  protected:
    ~FileSyncReports() = default;
};

class FileSync {
  public:
    // How long a reconnected phone may leave a broken incoming file untouched
    // before the PC gives it up and sends its own files again.
    static constexpr uint32_t kIncomingResumeMs = 5000;
    // How often a lost folder watch is tried again.
    static constexpr uint32_t kWatchRetryMs = 1000;

    explicit FileSync(FileSyncReports& reports) : reports_(reports) {}
    FileSync(const FileSync&) = delete;
    FileSync& operator=(const FileSync&) = delete;

    // The start's synchronisation step for folder dir (cut to 260 characters):
    // the watch, the monitor and its excludes. Reports its own failure (3011,
    // 3012) and returns false then.
    bool Open(const char* dir, const char* excludes, size_t excludesCapacity);
    // The worker's end: closes the watch and the transfer file, gives up an
    // incoming file, remembers an outgoing one not yet sent whole.
    void Close();
    bool IsOpen() const { return open_; }
    const char* Directory() const { return dir_; }

    // The change notification to wait on; empty while the folder is lost.
    platform::Waitable Handle() const { return watch_.Handle(); }
    // The notification fired: re-arm it and rescan (or notice the folder went).
    void DirectoryChanged();
    // At least once a second: retries a lost watch, gives up a broken incoming
    // file after its bound.
    void Tick(uint32_t now);
    // A server was (re)connected and told the sync configuration: a transfer
    // under way was broken by the loss before, if it was.
    void ServerConnected(uint32_t now);

    // The next file message of the PC into type and payload (up to
    // kLinkMaxPayload bytes); false when there is none. sendAllowed: the phone
    // agreed to take files; limit: the agreed size limit.
    bool NextMessage(bool sendAllowed, uint32_t limit, uint8_t& type, uint8_t* payload,
                     uint32_t& length);
    // The phone's file messages.
    void FileStart(const uint8_t* payload, uint32_t length);
    void FileData(const uint8_t* payload, uint32_t length);
    void FileEnd();

    bool Receiving() const { return state_ == State::Receiving; }
    bool Sending() const { return state_ == State::Sending; }

    const DirMonitor& Monitor() const { return monitor_; }

  private:
    enum class State { Idle, Sending, Receiving };

    // The folder joined with name; false (and nothing usable) when it does not fit.
    bool PathOf(char (&path)[kPathCapacity], const char* name) const;
    // Deletes the temporary file and forgets the incoming transfer.
    void AbandonIncoming();
    // The watch is lost (why: the failure that said so, or Ok when the folder
    // was found replaced): close it, report once, and retry from Tick.
    void LoseWatch(platform::Result why);
    // Watches the folder again if it is there; the failure when it is not.
    platform::Result TryWatch();

    FileSyncReports& reports_;
    bool open_ = false;
    char dir_[kPathCapacity] = {};
    platform::DirWatch watch_;
    bool watchLost_ = false;
    uint32_t lastWatchTry_ = 0;
    DirMonitor monitor_;

    platform::File file_;
    State state_ = State::Idle;

    // Outgoing: a name taken from the monitor and not yet sent whole.
    bool pending_ = false;
    bool resend_ = false;  // the server was lost mid-file: end it, send it again
    char outName_[kPathCapacity] = {};
    uint32_t openRetries_ = 0;

    // Incoming.
    char inName_[kPathCapacity] = {};
    char inPath_[kPathCapacity] = {};
    char tempPath_[kPathCapacity] = {};
    bool inBroken_ = false;  // the server came back since; the phone may not continue
    uint32_t brokenSince_ = 0;

    // An outgoing file cut off by Close, offered again by the next Open of the
    // same folder.
    char unfinished_[kPathCapacity] = {};
    char unfinishedDir_[kPathCapacity] = {};
};

}  // namespace kivro
