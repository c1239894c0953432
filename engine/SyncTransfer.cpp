// File synchronisation's hooks into the engine: Start and ReleaseAll open and
// close it, the main loop hands it the change notification, the once-a-second
// tick and the news of a (re)connected server, and the link exchange hands it
// the phone's file messages and takes its own. The rules live in FileSync.
#include "engine/Proxy.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {

bool Proxy::OpenSync() {
    char dir[kPathCapacity];
    TextCopy(dir, sizeof dir - 1, settings_.SyncDir, sizeof settings_.SyncDir);
    dir[sizeof dir - 1] = '\0';
    if (!fileSync_.Open(dir, settings_.SyncExclude, sizeof settings_.SyncExclude)) return false;
    waits_[SLOT_DIR_CHANGE] = fileSync_.Handle();
    TextCopy(syncDir_, dir);
    syncEnabled_ = true;
    return true;
}

void Proxy::CloseSync() {
    syncEnabled_ = false;
    waits_[SLOT_DIR_CHANGE] = platform::Waitable();
    fileSync_.Close();
}

void Proxy::DirectoryChanged() {
    fileSync_.DirectoryChanged();
    // Empty while the folder is lost: a dead notification is not waited on.
    waits_[SLOT_DIR_CHANGE] = fileSync_.Handle();
}

void Proxy::SyncTick(uint32_t now) {
    if (!SyncEnabled()) return;
    fileSync_.Tick(now);
    waits_[SLOT_DIR_CHANGE] = fileSync_.Handle();
}

void Proxy::SyncServerConnected(uint32_t now) {
    fileSync_.ServerConnected(now);
}

bool Proxy::NextSyncMessage(uint8_t& type, uint32_t& length) {
    if (!SyncEnabled()) return false;
    return fileSync_.NextMessage((syncFlags_ & 1) != 0, agreedLimit_, type,
                                 frame_ + kLinkHeaderSize, length);
}

void Proxy::ReceiveFileStart(uint32_t length) {
    if (SyncEnabled()) fileSync_.FileStart(frame_ + kLinkHeaderSize, length);
}

void Proxy::ReceiveFileData(uint32_t length) {
    fileSync_.FileData(frame_ + kLinkHeaderSize, length);
}

void Proxy::ReceiveFileEnd() {
    fileSync_.FileEnd();
}

}  // namespace kivro
