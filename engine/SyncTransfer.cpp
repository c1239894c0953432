// File synchronisation over the link, the engine's side: the sync folder's
// change notification and directory monitor (opened by Start, closed with the
// worker), which file message the PC sends next, and what it does with the
// phone's file messages. One transfer runs at a time in either direction, one
// message per exchange, through the single transfer file. Names from the phone
// become paths in the folder, so each is checked (sync/SafeName.h) as it lands
// in the path and refused like a file that cannot be created; the data that
// follows a refused start is then ignored because no transfer is active.
#include <cstring>

#include "app/Messages.h"
#include "engine/Proxy.h"
#include "platform/System.h"
#include "sync/SafeName.h"
#include "text/Text.h"

namespace kivro {

bool Proxy::OpenSync() {
    char dir[kPathCapacity];
    TextCopy(dir, sizeof dir - 1, settings_.SyncDir, sizeof settings_.SyncDir);
    dir[sizeof dir - 1] = '\0';
    // The watch first: a change while the monitor reads the folder signals it.
    if (uint32_t error = dirWatch_.Open(dir)) {
        ReportSystemError(MSG_ERR_FILE_CHANGE, error);
        return false;
    }
    waits_[SLOT_DIR_CHANGE] = dirWatch_.Handle();
    if (!monitor_.Open(dir)) {
        ReportSystemError(MSG_ERR_READ_SYNC_DIR);
        return false;
    }
    monitor_.ClearExcludes();
    monitor_.AddExcludes(settings_.SyncExclude, sizeof settings_.SyncExclude);
    TextCopy(syncDir_, dir);
    syncEnabled_ = true;
    return true;
}

void Proxy::CloseSync() {
    syncEnabled_ = false;
    waits_[SLOT_DIR_CHANGE] = platform::Waitable();
    dirWatch_.Close();
    transferFile_.Close();
    transferActive_ = outgoingPending_ = incoming_ = false;
}

void Proxy::SyncPath(char (&path)[kPathCapacity], const char* name) const {
    platform::JoinPath(path, sizeof path, syncDir_, name, sizeof syncDir_, kPathCapacity);
}

void Proxy::DirectoryChanged() {
    // Re-armed before the scan, so a change made while the folder is listed
    // signals again; re-armed after it, Linux would drain such a change unseen.
    if (uint32_t error = dirWatch_.Rearm()) {
        ReportSystemError(MSG_ERR_FILE_CHANGE, error);
        // A notification that cannot be re-armed may stay signalled: waiting on
        // it again would rescan and report on every pass without end.
        waits_[SLOT_DIR_CHANGE] = platform::Waitable();
    }
    monitor_.Rescan();
}

bool Proxy::NextSyncMessage(uint32_t& length) {
    length = 0;
    if ((syncFlags_ & 1) == 0 || !SyncEnabled() || incoming_) return false;
    uint8_t* payload = frame_ + kLinkHeaderSize;

    if (transferActive_) {
        frame_[0] = LINK_FILE_DATA;
        uint32_t done = 0;
        if (uint32_t error = transferFile_.Read(payload, kLinkMaxPayload, done)) {
            ReportSystemError(MSG_ERR_READ_FILE, error);
            done = 0;
        }
        if (done > 0) {
            length = done;
            return true;
        }
        // End of the file, or a read error: the phone gets what was read.
        uint64_t position = 0;
        if (transferFile_.Position(position) != 0) position = 0;
        PostEvent(EV_SYNC_SENT, static_cast<uint32_t>(position));
        transferFile_.Close();
        transferActive_ = outgoingPending_ = false;
        frame_[0] = LINK_FILE_END;
        return true;
    }

    if (!outgoingPending_) {
        // The last byte of the name stays a terminator.
        outgoingPending_ =
            monitor_.NextChangedFile(agreedLimit_, outgoingName_, sizeof outgoingName_ - 1);
        openRetries_ = 0;
    }
    if (!outgoingPending_) return false;

    char path[kPathCapacity];
    SyncPath(path, outgoingName_);
    uint64_t size = 0;
    if (transferFile_.OpenRead(path) != 0 || transferFile_.Size(size) != 0) {
        // Held by a writer, most likely: tried again on the next passes, then left
        // until the file changes again.
        transferFile_.Close();
        if (++openRetries_ > 80) outgoingPending_ = false;
        return false;
    }
    if (size > agreedLimit_) {
        transferFile_.Close();
        outgoingPending_ = false;
        return false;
    }
    transferActive_ = true;
    frame_[0] = LINK_FILE_START;
    length = static_cast<uint32_t>(TextLength(outgoingName_));
    std::memcpy(payload, outgoingName_, length);
    PostText(EV_SYNC_SENDING, outgoingName_);
    return true;
}

void Proxy::ReceiveFileStart(uint32_t length) {
    // While the PC sends, the phone's file is ignored (its data and end too).
    if (!SyncEnabled() || (transferActive_ && !incoming_)) return;
    // A new start while a phone file is open means the phone gave that one up:
    // it ends here as it stands, rather than taking the new file's data.
    if (incoming_) EndIncomingFile();
    const char* payload = reinterpret_cast<const char*>(frame_ + kLinkHeaderSize);
    const size_t n = length < kPathCapacity - 1 ? length : kPathCapacity - 1;
    std::memcpy(incomingName_, payload, n);
    incomingName_[n] = '\0';

    char path[kPathCapacity];
    SyncPath(path, incomingName_);
    // The name as it stands in the path, which a long folder may have cut.
    char prefix[kPathCapacity];
    SyncPath(prefix, "");
    const size_t prefixLength = TextLength(prefix);
    const size_t pathLength = TextLength(path);
    const char* landed = path + (pathLength < prefixLength ? pathLength : prefixLength);
    if (!IsSafeFileName(payload, n, kHostFileNameRules) ||
        !IsSafeFileName(landed, TextLength(landed, kPathCapacity), kHostFileNameRules)) {
        ReportSystemError(MSG_ERR_CREATE_FILE, platform::ErrorCodes::InvalidName);
        return;
    }
    if (uint32_t error = transferFile_.Create(path)) {
        ReportSystemError(MSG_ERR_CREATE_FILE, error);
        return;
    }
    transferActive_ = incoming_ = true;
    PostText(EV_SYNC_RECEIVING, incomingName_);
}

void Proxy::ReceiveFileData(uint32_t length) {
    if (!incoming_) return;
    uint32_t done = 0;
    if (uint32_t error = transferFile_.Write(frame_ + kLinkHeaderSize, length, done)) {
        ReportSystemError(MSG_ERR_WRITE_FILE, error);
        EndIncomingFile();
    }
}

void Proxy::ReceiveFileEnd() {
    if (!incoming_) return;
    uint64_t position = 0;
    if (transferFile_.Position(position) != 0) position = 0;
    PostEvent(EV_SYNC_RECEIVED, static_cast<uint32_t>(position));
    EndIncomingFile();
}

void Proxy::EndIncomingFile() {
    transferFile_.Close();
    transferActive_ = incoming_ = false;
    // In step as written now, so the next scan does not send it back; nor does a
    // file of that name taken from the monitor and still waiting to be opened.
    monitor_.MarkInSync(incomingName_);
    if (outgoingPending_ && EqualNoCase(outgoingName_, incomingName_)) outgoingPending_ = false;
}

}  // namespace kivro
