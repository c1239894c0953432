// File synchronisation's transfer and folder watch (see FileSync.h for the
// rules). Every path is built by PathOf, which refuses rather than cuts, and
// every file the phone sends goes through the temporary file, so the folder
// only ever holds files that someone wrote whole.
#include "engine/FileSync.h"

#include <cstring>

#include "engine/LinkProtocol.h"
#include "platform/System.h"
#include "sync/SafeName.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {

bool FileSync::PathOf(char (&path)[kPathCapacity], const char* name) const {
    return platform::JoinPath(path, sizeof path, dir_, name, sizeof dir_, kPathCapacity);
}

bool FileSync::Open(const char* dir, const char* excludes, size_t excludesCapacity) {
    TextCopy(dir_, sizeof dir_ - 1, dir);
    dir_[sizeof dir_ - 1] = '\0';
    watchLost_ = false;
    // The watch first: a change while the monitor reads the folder signals it.
    if (platform::Result watched = watch_.Open(dir_); watched.Failed()) {
        reports_.SyncError(MSG_ERR_FILE_CHANGE, watched.Code());
        return false;
    }
    if (platform::Result listed = monitor_.Open(dir_); listed.Failed()) {
        reports_.SyncError(MSG_ERR_READ_SYNC_DIR, listed.Code());
        watch_.Close();
        return false;
    }
    monitor_.ClearExcludes();
    monitor_.AddExcludes(excludes, excludesCapacity);
    // Left by a process that ended in the middle of a phone's file.
    char temp[kPathCapacity];
    if (PathOf(temp, kIncomingTempName)) (void)platform::RemoveFile(temp);
    if (unfinished_[0] != '\0' && std::strcmp(unfinishedDir_, dir_) == 0)
        monitor_.MarkDue(unfinished_);
    unfinished_[0] = '\0';
    state_ = State::Idle;
    pending_ = resend_ = inBroken_ = false;
    open_ = true;
    return true;
}

void FileSync::Close() {
    if (state_ == State::Receiving) AbandonIncoming();
    if (state_ == State::Sending || pending_) {
        TextCopy(unfinished_, outName_);
        TextCopy(unfinishedDir_, dir_);
    }
    file_.Close();
    watch_.Close();
    state_ = State::Idle;
    pending_ = resend_ = inBroken_ = false;
    open_ = false;
}

void FileSync::LoseWatch(platform::Result why) {
    watch_.Close();
    // The list follows the folder: empty while it is gone, and whatever a new
    // folder of that name holds once it is back.
    monitor_.Rescan();
    platform::Result again = TryWatch();
    if (again.Ok()) return;
    reports_.SyncError(MSG_ERR_FILE_CHANGE, why.Failed() ? why.Code() : again.Code());
    watchLost_ = true;
}

platform::Result FileSync::TryWatch() {
    platform::Result result = platform::DirectoryExists(dir_);
    if (result.Ok()) result = watch_.Open(dir_);
    if (result.Failed()) return result;
    monitor_.Rescan();
    watchLost_ = false;
    return result;
}

void FileSync::DirectoryChanged() {
    if (!open_ || !watch_.IsOpen()) return;
    // Re-armed before the scan, so a change made while the folder is listed
    // signals again; re-armed after it, Linux would drain such a change unseen.
    platform::Result rearmed = watch_.Rearm();
    if (rearmed.Failed() || watch_.Gone()) {
        LoseWatch(rearmed.Failed() ? rearmed : platform::DirectoryExists(dir_));
        return;
    }
    monitor_.Rescan();
}

void FileSync::Tick(uint32_t now) {
    if (!open_) return;
    if (watchLost_) {
        if (now - lastWatchTry_ >= kWatchRetryMs - 100) {
            lastWatchTry_ = now;
            (void)TryWatch();  // still gone: tried again in a second, reported once
        }
    } else if (watch_.Gone()) {
        // Windows may not signal a removed folder's notification at all.
        LoseWatch(platform::DirectoryExists(dir_));
    }
    if (state_ == State::Receiving && inBroken_ && now - brokenSince_ >= kIncomingResumeMs)
        AbandonIncoming();
}

void FileSync::ServerConnected(uint32_t now) {
    if (state_ == State::Sending) resend_ = true;
    if (state_ == State::Receiving) {
        inBroken_ = true;
        brokenSince_ = now;
    }
}

bool FileSync::NextMessage(bool sendAllowed, uint32_t limit, uint8_t& type, uint8_t* payload,
                           uint32_t& length) {
    length = 0;
    if (!open_ || !sendAllowed || state_ == State::Receiving) return false;

    if (state_ == State::Sending && resend_) {
        // Whatever the phone kept of the broken attempt ends here; the file
        // goes again from its start, and only that attempt counts as sent.
        file_.Close();
        state_ = State::Idle;
        resend_ = false;
        pending_ = true;
        openRetries_ = 0;
        type = LINK_FILE_END;
        return true;
    }

    if (state_ == State::Sending) {
        type = LINK_FILE_DATA;
        uint32_t done = 0;
        if (platform::Result read = file_.Read(payload, kLinkMaxPayload, done); read.Failed()) {
            reports_.SyncError(MSG_ERR_READ_FILE, read.Code());
            done = 0;
        }
        if (done > 0) {
            length = done;
            return true;
        }
        // End of the file, or a read error: the phone gets what was read.
        uint64_t position = 0;
        if (file_.Position(position).Failed()) position = 0;
        reports_.SyncEvent(EV_SYNC_SENT, static_cast<uint32_t>(position));
        file_.Close();
        state_ = State::Idle;
        pending_ = false;
        type = LINK_FILE_END;
        return true;
    }

    if (!pending_) {
        // The last byte of the name stays a terminator.
        pending_ = monitor_.NextChangedFile(limit, outName_, sizeof outName_ - 1);
        openRetries_ = 0;
    }
    if (!pending_) return false;

    char path[kPathCapacity];
    if (!PathOf(path, outName_)) {
        // Cut, it would name another file: passed over like a file over the limit.
        pending_ = false;
        return false;
    }
    uint64_t size = 0;
    platform::Result opened = file_.OpenPlainRead(path);
    if (opened.Ok()) opened = file_.Size(size);
    if (opened.Failed()) {
        file_.Close();
        // Gone, or no plain file (a link or pipe put in its place): dropped now.
        // Otherwise held by a writer, most likely: tried again on the next
        // passes, then left until the file changes again.
        if (platform::IsNotFound(opened) || opened.Code() == platform::kNotPlainFile ||
            ++openRetries_ > 80)
            pending_ = false;
        return false;
    }
    if (size > limit) {
        file_.Close();
        pending_ = false;
        return false;
    }
    state_ = State::Sending;
    resend_ = false;
    type = LINK_FILE_START;
    length = static_cast<uint32_t>(TextLength(outName_));
    std::memcpy(payload, outName_, length);
    reports_.SyncText(EV_SYNC_SENDING, outName_);
    return true;
}

void FileSync::FileStart(const uint8_t* payload, uint32_t length) {
    // While the PC sends, the phone's file is ignored (its data and end too).
    if (!open_ || state_ == State::Sending) return;
    // A new start while a phone file is open means the phone gave that one up.
    if (state_ == State::Receiving) AbandonIncoming();
    const char* name = reinterpret_cast<const char*>(payload);
    if (!IsSafeFileName(name, length, kHostFileNameRules)) {
        reports_.SyncError(MSG_ERR_CREATE_FILE, platform::ErrorCodes::InvalidName);
        return;
    }
    // Longer than any name a folder lists: no file can have it.
    if (length >= kPatternCapacity) {
        reports_.SyncError(MSG_ERR_CREATE_FILE, platform::ErrorCodes::NameTooLong);
        return;
    }
    std::memcpy(inName_, name, length);
    inName_[length] = '\0';
    if (SameFileName(inName_, kIncomingTempName)) {
        reports_.SyncError(MSG_ERR_CREATE_FILE, platform::ErrorCodes::InvalidName);
        return;
    }
    if (!PathOf(inPath_, inName_) || !PathOf(tempPath_, kIncomingTempName)) {
        reports_.SyncError(MSG_ERR_CREATE_FILE, platform::ErrorCodes::NameTooLong);
        return;
    }
    // Whatever holds the temporary name is ours to replace (left by a crash, or
    // put there by someone): removed, never written through.
    (void)platform::RemoveFile(tempPath_);  // nothing there is the usual case
    if (platform::Result created = file_.CreateNew(tempPath_); created.Failed()) {
        reports_.SyncError(MSG_ERR_CREATE_FILE, created.Code());
        return;
    }
    state_ = State::Receiving;
    inBroken_ = false;
    reports_.SyncText(EV_SYNC_RECEIVING, inName_);
}

void FileSync::FileData(const uint8_t* payload, uint32_t length) {
    if (state_ != State::Receiving) return;
    inBroken_ = false;  // the phone carries on with it
    uint32_t done = 0;
    if (platform::Result written = file_.Write(payload, length, done); written.Failed()) {
        // Cleaned up before the report, so that whoever reads the report finds
        // the folder as it stays.
        AbandonIncoming();
        reports_.SyncError(MSG_ERR_WRITE_FILE, written.Code());
    }
}

void FileSync::FileEnd() {
    if (state_ != State::Receiving) return;
    uint64_t position = 0;
    if (file_.Position(position).Failed()) position = 0;
    file_.Close();
    state_ = State::Idle;
    inBroken_ = false;
    if (platform::Result moved = platform::MoveReplacing(tempPath_, inPath_); moved.Failed()) {
        // The target cannot be replaced (a folder of that name, or a file
        // another program holds): it keeps what it had.
        (void)platform::RemoveFile(tempPath_);
        reports_.SyncError(MSG_ERR_CREATE_FILE, moved.Code());
        return;
    }
    reports_.SyncEvent(EV_SYNC_RECEIVED, static_cast<uint32_t>(position));
    // In step as written now, so the next scan does not send it back; nor does a
    // file of that name taken from the monitor and still waiting to be opened.
    monitor_.MarkInSync(inName_);
    if (pending_ && SameFileName(outName_, inName_)) pending_ = false;
}

void FileSync::AbandonIncoming() {
    file_.Close();
    (void)platform::RemoveFile(tempPath_);  // the old file was never touched
    state_ = State::Idle;
    inBroken_ = false;
}

}  // namespace kivro
