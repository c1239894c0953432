// Message texts by number, from the string table generated out of
// resources/messages.txt (KivroProxyRSC), and the numbers themselves. They live
// on the lowest layer, beside the table, because every layer above reports by
// number: the engine names its errors here and only the front ends turn a
// number into a text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivro {

// Loads message `id` into buffer, cut to capacity characters terminator included.
// True when at least one character was loaded; false for a missing message.
bool LoadMessage(uint32_t id, char* buffer, size_t capacity);
template <size_t N>
inline bool LoadMessage(uint32_t id, char (&buffer)[N]) {
    return LoadMessage(id, buffer, N);
}

enum MessageId : uint32_t {
    MSG_APP_NAME = 2000,
    MSG_MAIN_TITLE = 2001,
    MSG_ABOUT_CAPTION = 2002,
    MSG_CONFIG_CAPTION = 2003,
    MSG_PROXY_STOPPED = 2004,
    MSG_PROXY_STARTED = 2005,
    MSG_CLIENT_CONNECTED = 2006,
    MSG_CLIENT_DISCONNECTED = 2007,
    MSG_BT_SERVER_CONNECTED = 2008,
    MSG_BT_SERVER_DISCONNECTED = 2009,
    MSG_SYNC_SENDING = 2010,
    MSG_SYNC_RECEIVING = 2011,
    MSG_STATS_BT = 2012,
    MSG_STATS_USB = 2013,
    MSG_TIP_DISCONNECTED = 2015,
    MSG_TIP_NO_SERVER = 2016,
    MSG_TIP_NO_CLIENT = 2017,
    MSG_TIP_CONNECTED = 2018,
    MSG_TIP_STOPPED = 2019,
    MSG_SYNC_ENABLED = 2020,
    MSG_SYNC_DISABLED = 2021,
    MSG_ASK_RESTART = 2022,
    MSG_SYNC_DIR = 2023,
    MSG_SYNC_OK = 2024,
    MSG_NO_PORTS = 2025,
    MSG_BT_PORT_ON = 2026,
    MSG_USB_PORT_ON = 2027,
    MSG_LOST_BT_PORT = 2028,
    MSG_LOST_USB_PORT = 2029,
    MSG_USB_SERVER_CONNECTED = 2030,
    MSG_USB_SERVER_DISCONNECTED = 2031,
    MSG_ERR_REGISTER_CLASS = 3000,
    MSG_ERR_OPTION = 3001,
    MSG_ERR_TCP_PORT = 3002,
    MSG_ERR_CREATE_EVENT = 3003,
    MSG_ERR_CONFIG_PORT = 3004,
    MSG_ERR_CREATE_SOCKET = 3005,
    MSG_ERR_LISTEN = 3006,
    MSG_ERR_ACCEPT = 3007,
    MSG_ERR_WAIT_CLIENT = 3008,
    MSG_ERR_SEND_CLIENT = 3009,
    MSG_ERR_RECV_CLIENT = 3010,
    MSG_ERR_FILE_CHANGE = 3011,
    MSG_ERR_READ_SYNC_DIR = 3012,
    MSG_ERR_CREATE_THREAD = 3013,
    MSG_ERR_RECV_SERVER = 3014,
    MSG_ERR_SEND_SERVER = 3015,
    MSG_ERR_SERVER_STATE = 3016,
    MSG_ERR_READ_FILE = 3017,
    MSG_ERR_CREATE_FILE = 3018,
    MSG_ERR_WRITE_FILE = 3019,
    MSG_ERR_TOO_LONG = 3020,
    MSG_ERR_INVALID_TYPE = 3021,
};

}  // namespace kivro
