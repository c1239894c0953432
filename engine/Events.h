// Engine events: how the worker tells the front end what happened. Each event
// carries a copy of its data (texts, error, statistics) rather than an address
// into the engine, so quick successive events never overwrite each other before
// the front end has shown them.
#pragma once

#include <cstdint>

#include "text/Text.h"

namespace kivro {

enum EventCode : uint8_t {
    EV_CLIENT = 0,           // Text: viewer address; Value 0 and empty text: disconnected
    EV_BT_PORT_OPENED = 1,   // Text: port name
    EV_USB_PORT_OPENED = 2,  // Text: port name
    EV_BT_SERVER = 3,        // Value 1/0
    EV_USB_SERVER = 4,       // Value 1/0
    EV_PROXY_RUNNING = 5,    // Value 1/0
    EV_SYNC_LIMIT = 6,       // Value: agreed limit in KB, 0 = off
    EV_SYNC_DIR = 7,         // Text: sync directory
    EV_SYNC_SENDING = 8,     // Text: file name
    EV_SYNC_RECEIVING = 9,   // Text: file name
    EV_SYNC_SENT = 10,       // Value: bytes
    EV_SYNC_RECEIVED = 11,   // Value: bytes
    EV_STATISTICS = 12,      // Stats
    EV_MESSAGE = 13,         // Value: message number 2025, 2028, 2029
    EV_SYSTEM_ERROR = 15,    // Error
    EV_SOCKET_ERROR = 16,    // Error
    EV_LINK_ERROR = 17,      // Value: message number 3020, 3021
};

struct EngineError {
    uint32_t MessageId;
    uint32_t Code;
};

struct TrafficStats {
    uint32_t Received;     // bytes from the server, headers included
    uint32_t Sent;         // bytes to the server
    uint32_t ReceiveRate;  // bytes per second
    uint32_t SendRate;
};

struct EngineEvent {
    EventCode Code;
    uint32_t Value;
    char Text[kPathCapacity];  // a port name or a folder path
    EngineError Error;
    TrafficStats Stats;
};

// The front end's receiver. Post is called on the worker thread (and on the
// caller's thread during Start); it must copy what it keeps and return quickly.
class EngineEvents {
  public:
    virtual ~EngineEvents() = default;
    virtual void Post(const EngineEvent& event) = 0;
};

}  // namespace kivro
