// The link protocol's one exchange: the PC writes the frame built in the frame
// buffer, reads exactly one reply frame into the same buffer and acts on it. The
// buffer is shared by both directions so the hot path never allocates; a reply
// overwrites the frame just sent. After a failed transfer the byte stream may be
// out of step: both ports are closed (reopened at the end of the same pass) and
// what had arrived on the Bluetooth port by the first exchange on it is thrown
// away. The frames carry no marker to search for, so this is the only
// resynchronisation there is.
#include "engine/Proxy.h"
#include "text/Messages.h"

#include <cstring>

namespace kivro {

bool Proxy::LinkExchange(uint32_t length) {
    DiscardStaleReply();
    PutBigEndian(frame_, 1, 2, length);
    uint32_t messageId = MSG_ERR_SEND_SERVER;
    LinkOutcome outcome = LinkTransfer(length + kLinkHeaderSize, 0, true);
    if (outcome.ok) {
        sentTotal_ += length + uint32_t{kLinkHeaderSize};
        messageId = MSG_ERR_RECV_SERVER;
        outcome = LinkTransfer(kLinkHeaderSize, 0, false);
    }
    uint32_t replyLength = 0;
    if (outcome.ok) {
        receivedTotal_ += kLinkHeaderSize;
        replyLength = GetBigEndian(frame_, 1, 2);
        if (replyLength > kLinkMaxPayload) {
            PostEvent(EV_LINK_ERROR, MSG_ERR_TOO_LONG);
            stopFlag_ = true;
            return false;
        }
        if (replyLength > 0) outcome = LinkTransfer(replyLength, kLinkHeaderSize, false);
    }
    if (!outcome.ok) {
        // A stop request ends the transfer without a report; the engine is going.
        if (!stopFlag_) {
            ReportSystemError(messageId, outcome.code);
            ClosePorts();
            // What the phone already sent of its reply waits in the Bluetooth
            // port when it opens again; read as a header it would stop the
            // engine. (USB's hello search throws such bytes away by itself.)
            btDiscardDue_ = true;
        }
        return false;
    }
    receivedTotal_ += replyLength;
    uint8_t type = frame_[0];
    bool more = (type == LINK_DATA && replyLength > 0) || type == LINK_FILE_DATA;
    if (!stopFlag_) HandleServerMessage(replyLength);
    return more;
}

void Proxy::HandleServerMessage(uint32_t length) {
    uint8_t* payload = frame_ + kLinkHeaderSize;
    switch (frame_[0]) {
        case LINK_DATA:
            SendToClient(frame_, kLinkHeaderSize, length);
            break;
        case LINK_SYNC_CONFIG: {
            // Always read as five bytes; a shorter payload counts as zeros, not as
            // whatever the buffer held from the frame before.
            if (length < 5) std::memset(payload + length, 0, 5 - length);
            syncFlags_ = payload[0];
            uint32_t limit = GetBigEndian(payload, 1, 4);
            if (limit > localLimit_) limit = localLimit_;
            if ((syncFlags_ & 1) == 0) limit = 0;
            agreedLimit_ = limit;
            PostEvent(EV_SYNC_LIMIT, limit >> 10);
            if (limit != 0) PostText(EV_SYNC_DIR, syncDir_);
            break;
        }
        case LINK_FILE_START:
            ReceiveFileStart(length);
            break;
        case LINK_FILE_DATA:
            ReceiveFileData(length);
            break;
        case LINK_FILE_END:
            ReceiveFileEnd();
            break;
        case LINK_USB_DISCONNECT:
            if (usbServer_) {
                SetUsbServerState(false);
                ReadHelloByte();  // the search resumes with the window as it was
            }
            break;
        case LINK_CLOSE_CLIENT:
            CloseClient();
            break;
        default:
            PostEvent(EV_LINK_ERROR, MSG_ERR_INVALID_TYPE);
            Stop();
            break;
    }
}

}  // namespace kivro
