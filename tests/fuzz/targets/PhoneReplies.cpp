// The engine's handling of phone replies. The fuzz input is everything the
// phone sends after its USB hello; the scripted port (ScriptedSerialPort.h)
// hands it to the engine's own reads, so each reply goes through the real
// LinkExchange, HandleServerMessage and file transfer, with synchronisation on
// and a private temporary folder as the sync directory. The passes are driven
// here rather than by the worker thread, whose idle second between polls would
// make every input take seconds: each pass sends what the worker would (the sync
// configuration first and after a reconnection, then a file message or an empty
// poll) and stops where the worker would stop. The first input byte chooses
// the read size and the agreed limit. After every input no descriptor may be
// left open and nothing may have been written outside the sync folder.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzTarget.h"
#include "ScriptedSerialPort.h"
#include "engine/Proxy.h"
#include "text/Text.h"

namespace kivro {
namespace {

class CountingSink : public EngineEvents {
  public:
    void Post(const EngineEvent& event) override {
        ++count;
        if (event.Code == EV_USB_SERVER && event.Value == 1) helloSeen = true;
        // A text event's text always ends inside its array.
        KIVRO_FUZZ_REQUIRE(std::memchr(event.Text, '\0', sizeof event.Text) != nullptr);
    }
    size_t count = 0;
    bool helloSeen = false;  // the phone's server (re)appeared on the USB port
};

int OpenDescriptors() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++n;
        closedir(dir);
    }
    return n;
}

// The sync folder lies at the end of a chain of otherwise empty folders, so a
// received file that lands outside it (a name that climbs with "..") is seen
// after the input that wrote it, long before a name could climb out of the
// chain. Made once per process and emptied before every input; once the
// engine watches it, one file of the PC's is saved there to be offered.
constexpr int kChainDepth = 8;

void RemoveTree(const std::string& path);

// A plain array, so that the clean-up at exit never meets a destroyed string.
char rootPath[] = "/tmp/kivro-fuzz-XXXXXX";

std::string Root() {
    static const bool made = [] {
        if (mkdtemp(rootPath) == nullptr) std::abort();
        std::string path = rootPath;
        for (int i = 0; i < kChainDepth; ++i) {
            path += "/d";
            mkdir(path.c_str(), 0700);
        }
        mkdir((path + "/sync").c_str(), 0700);
        std::atexit([] { RemoveTree(rootPath); });
        return true;
    }();
    (void)made;
    return rootPath;
}

std::string SyncFolder() {
    std::string path = Root();
    for (int i = 0; i < kChainDepth; ++i) path += "/d";
    return path + "/sync";
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

void RemoveTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        for (const std::string& name : Entries(path)) RemoveTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// True when nothing but the chain and the sync folder lies along the chain.
bool NothingOutsideSyncFolder() {
    std::string path = Root();
    for (int i = 0; i <= kChainDepth; ++i) {
        std::vector<std::string> names = Entries(path);
        const char* next = i < kChainDepth ? "d" : "sync";
        if (names.size() != 1 || names[0] != next) return false;
        path += "/";
        path += next;
    }
    return true;
}

void ResetSyncFolder(const std::string& folder) {
    for (const std::string& name : Entries(folder)) RemoveTree(folder + "/" + name);
}

// A file saved in the folder while the engine runs, which it is to send.
void SaveFileToOffer(const char* folder) {
    std::string path = std::string(folder) + "/offered.txt";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fputs("a file on the PC for the phone\n", file);
        std::fclose(file);
    }
    // Written a minute ago: a file of the current second is held back a second.
    timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 60;
    times[1] = times[0];
    utimes(path.c_str(), times);
}

}  // namespace

// Friend of Proxy: sets the engine up as Start does, without its thread and
// listener, and runs the passes of the worker's link exchange.
struct ProxyTestAccess {
    static void Run(Proxy& proxy, const Settings& settings, CountingSink* sink,
                    const uint8_t* replies, size_t size, uint32_t readLimit) {
        proxy.settings_ = settings;
        proxy.link_.Configure(settings);
        proxy.sink_ = sink;
        for (int slot :
             {SLOT_LISTENER, SLOT_CLIENT, SLOT_MODEM, SLOT_HELLO, SLOT_LINK, SLOT_STOP}) {
            if (proxy.events_[slot].Create().Failed()) std::abort();
            proxy.waits_[slot] = proxy.events_[slot].Handle();
        }
        if (!proxy.OpenSync()) {
            proxy.ReleaseAll();
            return;
        }
        proxy.localLimit_ = proxy.agreedLimit_ = static_cast<uint32_t>(settings.MaxSyncSize);
        proxy.running_ = true;
        SaveFileToOffer(settings.SyncDir);

        fuzz::SetPhoneScript(kUsbHello, sizeof kUsbHello);
        proxy.link_.OpenPorts();
        fuzz::SetPhoneScript(replies, size, readLimit);

        bool announce = true;
        for (int pass = 0; pass < 100000 && !proxy.stopFlag_; ++pass) {
            if (!proxy.ServerConnected()) break;  // the port was closed
            if (proxy.events_[SLOT_STOP].IsSignalled()) break;
            // A change in the folder (a file just received) is rescanned as the worker does.
            platform::Waitable change = proxy.waits_[SLOT_DIR_CHANGE];
            int signalled = platform::kWaitTimeout;
            if (proxy.SyncEnabled() && change && platform::WaitAny(&change, 1, 0, signalled).Ok() &&
                signalled == 0)
                proxy.DirectoryChanged();
            uint8_t type = LINK_DATA;
            uint32_t length = 0;
            if (announce) {
                type = LINK_SYNC_CONFIG;
                length = proxy.SyncConfiguration();
            } else if (!proxy.NextSyncMessage(type, length)) {
                type = LINK_DATA;
                length = 0;
            }
            sink->helloSeen = false;
            proxy.LinkExchange(type, length);
            // A phone that disconnected and said hello again is told the configuration anew.
            announce = sink->helloSeen;
        }
        proxy.ReleaseAll();
    }
};

}  // namespace kivro

using namespace kivro;

KIVRO_FUZZ_TARGET(PhoneReplies)(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t shape = in.Byte();
    static const int32_t kLimits[] = {0, 1, 100, 4096, 64 * 1024, 4096000};

    static const std::string folder = SyncFolder();
    ResetSyncFolder(folder);
    Settings settings = DefaultSettings();
    settings.TCPPort = 0;
    settings.BTComAuto = settings.USBComAuto = false;
    TextCopy(settings.BTComPort, "no-such-port");
    TextCopy(settings.USBComPort, fuzz::kScriptedPortName);
    settings.DoSync = true;
    TextCopy(settings.SyncDir, folder.c_str());
    settings.MaxSyncSize = kLimits[(shape >> 4) % std::size(kLimits)];
    TextCopy(settings.SyncExclude, "*.tmp;*.part");

    int descriptors = OpenDescriptors();
    {
        CountingSink sink;
        Proxy proxy(50);
        ProxyTestAccess::Run(proxy, settings, &sink, in.Data(), in.Size(), shape & 15);
    }
    KIVRO_FUZZ_REQUIRE(OpenDescriptors() == descriptors);
    KIVRO_FUZZ_REQUIRE(NothingOutsideSyncFolder());
    return 0;
}
