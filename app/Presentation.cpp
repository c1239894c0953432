// Engine events and engine state turned into what the user sees (see
// Presentation.h). Every text comes from the string table, loaded at the work
// buffer's 512 characters and formatted in place, so the log reads the same on
// both front ends.
#include "app/Presentation.h"

#include <cstring>

#include "app/ErrorBox.h"
#include "resources/Resource.h"
#include "text/FormatText.h"
#include "text/Messages.h"
#include "text/Text.h"

namespace kivro {
namespace {

void LoadText(uint32_t id, char (&buffer)[512], std::initializer_list<FormatArg> args = {}) {
    if (!LoadMessage(id, buffer)) {
        // The engine posts only numbers that have a text; should one ever lack
        // it, the entry names the number as an error box would.
        char number[12];
        FormatUnsigned(id, number, sizeof number);
        ErrorText fallback;
        ErrorBoxText(id, number, fallback);
        TextCopy(buffer, fallback);
    } else if (args.size() != 0) {
        FormatText(buffer, args);
    }
    // Front ends hand the text to C interfaces: a field that filled the whole
    // buffer gives up its last character for the terminator.
    buffer[sizeof buffer - 1] = '\0';
}

// Message with the system's text for "%s" and the code, signed, for "%i".
void LoadErrorText(const EngineError& error, char (&buffer)[512]) {
    char systemText[256];
    if (!platform::SystemErrorText(error.Code, systemText, sizeof systemText))
        TextCopy(systemText, "?");
    LoadText(error.MessageId, buffer,
             {static_cast<const char*>(systemText), static_cast<int32_t>(error.Code)});
}

}  // namespace

uint32_t KiloBytes(uint32_t bytes) {
    return static_cast<uint32_t>((static_cast<uint64_t>(bytes) + 500) / 1000);
}

void Presentation::Describe(const EngineEvent& event, EventDisplay& display) {
    display = EventDisplay{};
    display.Log = true;
    const char* text = event.Text;
    switch (event.Code) {
        case EV_CLIENT:
            display.UpdateStatusFirst = true;
            if (event.Value != 0)
                LoadText(MSG_CLIENT_CONNECTED, display.Text, {text});
            else
                LoadText(MSG_CLIENT_DISCONNECTED, display.Text);
            break;
        case EV_BT_PORT_OPENED: LoadText(MSG_BT_PORT_ON, display.Text, {text}); break;
        case EV_USB_PORT_OPENED: LoadText(MSG_USB_PORT_ON, display.Text, {text}); break;
        case EV_BT_SERVER:
        case EV_USB_SERVER: {
            bool usb = event.Code == EV_USB_SERVER;
            display.UpdateStatusFirst = true;
            // Kept on disconnection: the last statistics keep their wording.
            if (event.Value != 0) serverOnUsb_ = usb;
            uint32_t id = event.Value != 0
                              ? (usb ? MSG_USB_SERVER_CONNECTED : MSG_BT_SERVER_CONNECTED)
                              : (usb ? MSG_USB_SERVER_DISCONNECTED : MSG_BT_SERVER_DISCONNECTED);
            LoadText(id, display.Text);
            break;
        }
        case EV_PROXY_RUNNING:
            display.UpdateStatusFirst = true;
            if (event.Value != 0) {
                LoadText(MSG_PROXY_STARTED, display.Text);
            } else {
                display.StartEngine = restartPending_;
                restartPending_ = false;
                LoadText(MSG_PROXY_STOPPED, display.Text);
            }
            break;
        case EV_SYNC_LIMIT:
            if (event.Value != 0)
                LoadText(MSG_SYNC_ENABLED, display.Text, {event.Value});
            else
                LoadText(MSG_SYNC_DISABLED, display.Text);
            break;
        case EV_SYNC_DIR: LoadText(MSG_SYNC_DIR, display.Text, {text}); break;
        case EV_SYNC_SENDING:
        case EV_SYNC_RECEIVING:
            // The transfer's end event finishes the line.
            display.WithLineEnd = false;
            LoadText(event.Code == EV_SYNC_SENDING ? MSG_SYNC_SENDING : MSG_SYNC_RECEIVING,
                     display.Text, {text});
            break;
        case EV_SYNC_SENT:
        case EV_SYNC_RECEIVED:
            display.WithTimeStamp = false;
            LoadText(MSG_SYNC_OK, display.Text, {event.Value});
            break;
        case EV_STATISTICS: {
            const TrafficStats& stats = event.Stats;
            display.Log = false;
            display.StatusBar = true;
            LoadText(serverOnUsb_ ? MSG_STATS_USB : MSG_STATS_BT, display.Text,
                     {KiloBytes(stats.Received), stats.ReceiveRate, KiloBytes(stats.Sent),
                      stats.SendRate});
            break;
        }
        case EV_MESSAGE: LoadText(event.Value, display.Text); break;
        case EV_SYSTEM_ERROR:
        case EV_SOCKET_ERROR:
            display.ErrorBox = true;
            LoadErrorText(event.Error, display.Text);
            break;
        case EV_LINK_ERROR:
            display.ErrorBox = true;
            LoadText(event.Value, display.Text);
            break;
        default:  // reserved or unknown codes show nothing
            display.Log = false;
            return;
    }
    if (display.ErrorBox) {
        TextCopy(display.BoxText, display.Text);
        if (char* colon = std::strchr(display.BoxText, ':')) *colon = '\0';
    }
}

void Presentation::OnEngineEvent(const EngineEvent& event, EventShell& shell) {
    EventDisplay display;
    Describe(event, display);
    if (display.UpdateStatusFirst) shell.UpdateStatus();
    if (display.StartEngine) shell.StartEngine();
    if (display.StatusBar) shell.SetStatusText(display.Text);
    if (display.Log) shell.AppendLog(display.WithTimeStamp, display.Text, display.WithLineEnd);
    if (display.ErrorBox) shell.ShowError(display.BoxText, display.Text);
}

StatusView ViewOfState(const EngineState& state) {
    StatusView view{};
    view.ClearStatusBar = !state.ServerConnected;
    view.StartEnabled = !state.Running;
    view.StopEnabled = state.Running;
    if (!state.Running) {
        view.TipMessage = MSG_TIP_STOPPED;
        view.Icon = IDI_STOPPED;
    } else if (state.ClientConnected) {
        view.TipMessage = state.ServerConnected ? MSG_TIP_CONNECTED : MSG_TIP_NO_SERVER;
        view.Icon = state.ServerConnected ? IDI_CONNECTED : IDI_NO_SERVER;
    } else {
        view.TipMessage = state.ServerConnected ? MSG_TIP_NO_CLIENT : MSG_TIP_DISCONNECTED;
        view.Icon = state.ServerConnected ? IDI_NO_CLIENT : IDI_DISCONNECTED;
    }
    LoadMessage(view.TipMessage, view.Tip);
    return view;
}

void FormatTimeStamp(const platform::CalendarTime& time, char* buffer, size_t capacity) {
    static const char kPicture[] = "%'02c.%'02c.%'04c %'02c:%'02c:%'02c ";
    auto field = [](int value) { return static_cast<uint32_t>(value); };
    // FormatText needs room for the picture while it expands, more than the
    // 20 characters of the result, so it expands here and the caller gets a cut copy.
    char whole[sizeof kPicture + 16];
    FormatText(kPicture, sizeof kPicture, whole, sizeof whole,
               {field(time.day), field(time.month), field(time.year), field(time.hour),
                field(time.minute), field(time.second)});
    TextCopy(buffer, capacity, whole);
    if (capacity != 0) buffer[capacity - 1] = '\0';
}

}  // namespace kivro
