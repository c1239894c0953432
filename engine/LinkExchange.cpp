// The link protocol's one exchange: the PC writes the frame built in the frame
// buffer, reads exactly one reply frame into the same buffer and acts on it. The
// buffer is shared by both directions so the hot path never allocates; a reply
// overwrites the frame just sent. After a failed transfer the byte stream may be
// out of step: the channel closes both ports (reopened at the end of the same
// pass) and throws away what had arrived on the Bluetooth port by the first
// exchange on it. The frames carry no marker to search for, so this is the only
// resynchronisation there is.
#include "engine/Proxy.h"
#include "text/Messages.h"

#include <cstring>

namespace kivro {

Proxy::Reply Proxy::LinkExchange(uint8_t type, uint32_t length) {
    link_.BeforeExchange();
    frame_[0] = type;
    PutBigEndian(frame_, 1, 2, length);
    uint32_t messageId = MSG_ERR_SEND_SERVER;
    LinkOutcome outcome = link_.Transfer(frame_, length + kLinkHeaderSize, true);
    if (outcome.ok) {
        sentTotal_ += length + uint32_t{kLinkHeaderSize};
        messageId = MSG_ERR_RECV_SERVER;
        outcome = link_.Transfer(frame_, kLinkHeaderSize, false);
    }
    uint32_t replyLength = 0;
    if (outcome.ok) {
        receivedTotal_ += kLinkHeaderSize;
        replyLength = GetBigEndian(frame_, 1, 2);
        if (replyLength > kLinkMaxPayload) {
            PostEvent(EV_LINK_ERROR, MSG_ERR_TOO_LONG);
            stopFlag_ = true;
            return {0, false};
        }
        if (replyLength > 0) outcome = link_.Transfer(frame_ + kLinkHeaderSize, replyLength, false);
    }
    if (outcome.stopped) stopFlag_ = true;
    if (!outcome.ok) {
        // A stop request ends the transfer without a report; the engine is going.
        if (!stopFlag_) {
            ReportSystemError(messageId, outcome.code);
            link_.ExchangeFailed();
        }
        return {0, false};
    }
    receivedTotal_ += replyLength;
    const uint8_t reply = frame_[0];
    bool more = (reply == LINK_DATA && replyLength > 0) || reply == LINK_FILE_DATA;
    if (!stopFlag_) HandleServerMessage(reply, replyLength);
    return {reply, more};
}

uint32_t Proxy::SyncConfiguration() {
    syncFlags_ = SyncEnabled() ? 1 : 0;
    frame_[kLinkHeaderSize] = static_cast<uint8_t>(syncFlags_);
    PutBigEndian(frame_, kLinkHeaderSize + 1, 4, localLimit_);
    return 5;
}

void Proxy::HandleServerMessage(uint8_t type, uint32_t length) {
    uint8_t* payload = frame_ + kLinkHeaderSize;
    switch (type) {
        case LINK_DATA:
            viewer_.Send(payload, length);
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
            link_.UsbServerLeft();
            break;
        case LINK_CLOSE_CLIENT:
            viewer_.Close();
            break;
        default:
            PostEvent(EV_LINK_ERROR, MSG_ERR_INVALID_TYPE);
            Stop();
            break;
    }
}

}  // namespace kivro
