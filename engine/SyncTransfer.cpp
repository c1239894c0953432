// File synchronisation over the link: which file message the PC sends next and
// what it does with the phone's file messages. Until the directory monitor and
// the transfer arrive these are the engine's answers with synchronisation off:
// nothing to send, received file messages ignored, no directory to rescan.
#include "engine/Proxy.h"

namespace kivro {

bool Proxy::NextSyncMessage(uint32_t& length) {
    length = 0;
    return false;
}

void Proxy::ReceiveFileStart(uint32_t) {}
void Proxy::ReceiveFileData(uint32_t) {}
void Proxy::ReceiveFileEnd() {}
void Proxy::DirectoryChanged() {}

}  // namespace kivro
