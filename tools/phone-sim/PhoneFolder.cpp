// Phone-side folder: scanning for due files, sending them, storing received ones.
#include "PhoneFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Log.h"
#include "engine/LinkProtocol.h"

namespace kivro::phonesim {
namespace {

constexpr char kTempPrefix[] = ".phone-sim-incoming";
constexpr auto kScanInterval = std::chrono::milliseconds(200);
constexpr size_t kMaxNameLength = 255;

bool StatFile(const std::string& path, int64_t& size, int64_t& mtimeNs) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = st.st_size;
    mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

}  // namespace

PhoneFolder::PhoneFolder(std::string dir, bool sendExisting, std::string stateFile)
    : dir_(std::move(dir)), stateFile_(std::move(stateFile)) {
    if (stateFile_.empty()) {
        Scan(true, sendExisting);
        return;
    }
    LoadState();
    Scan(false, false);
    for (auto& [name, seen] : seen_) seen.stableScans = 1;
}

// One line per file: size, modification time in ns, name (to the line's end).
void PhoneFolder::LoadState() {
    FILE* f = std::fopen(stateFile_.c_str(), "r");
    if (!f) return;
    long long size = 0, mtime = 0;
    char name[4096];
    while (std::fscanf(f, "%lld %lld %4095[^\n]\n", &size, &mtime, name) == 3)
        inSync_[name] = Stamp{size, mtime};
    std::fclose(f);
}

// Written aside and renamed, so a kill in the middle leaves the old record.
void PhoneFolder::SaveState() const {
    if (stateFile_.empty()) return;
    const std::string aside = stateFile_ + ".new";
    FILE* f = std::fopen(aside.c_str(), "w");
    if (!f) return;
    for (const auto& [name, stamp] : inSync_)
        std::fprintf(f, "%lld %lld %s\n", static_cast<long long>(stamp.size),
                     static_cast<long long>(stamp.mtimeNs), name.c_str());
    if (std::fclose(f) == 0) std::rename(aside.c_str(), stateFile_.c_str());
}

PhoneFolder::~PhoneFolder() {
    if (outFd_ >= 0) close(outFd_);
    if (inFd_ >= 0) {
        close(inFd_);
        unlink(TempPath().c_str());
    }
}

std::string PhoneFolder::TempPath() const {
    return PathOf(kTempPrefix);
}

bool PhoneFolder::SafeName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
    if (name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == '/' || c == '\\' || c == 0x7F) return false;
    return true;
}

void PhoneFolder::Scan(bool initial, bool sendExisting) {
    lastScan_ = std::chrono::steady_clock::now();
    DIR* d = opendir(dir_.c_str());
    if (!d) {
        Log(1, "cannot read the folder %s: %s", dir_.c_str(), std::strerror(errno));
        return;
    }
    std::map<std::string, Seen> now;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        Seen entry;
        if (!SafeName(name) || !StatFile(PathOf(name), entry.stamp.size, entry.stamp.mtimeNs))
            continue;
        auto old = seen_.find(name);
        if (old != seen_.end() && old->second.stamp == entry.stamp)
            entry.stableScans = old->second.stableScans + 1;
        // Present from the start: in sync, or due at once when asked to send them.
        if (initial && !sendExisting) inSync_[name] = entry.stamp;
        if (initial && sendExisting) entry.stableScans = 1;
        now[name] = entry;
    }
    closedir(d);
    // Files gone from the folder drop out of the record, so that a file deleted
    // and dropped in again is sent again.
    for (auto it = inSync_.begin(); it != inSync_.end();)
        it = now.count(it->first) || it->first == outName_ ? std::next(it) : inSync_.erase(it);
    seen_ = std::move(now);
}

bool PhoneFolder::NextOutgoing(uint32_t limit, uint8_t& type, uint8_t* payload, size_t& length) {
    if (outFd_ >= 0) {
        ssize_t n = read(outFd_, payload, kLinkMaxPayload);
        if (n > 0) {
            type = LINK_FILE_DATA;
            length = static_cast<size_t>(n);
            outBytes_ += length;
            movedBytes_ += length;
            return true;
        }
        if (n < 0) Log(0, "reading %s failed: %s", outName_.c_str(), std::strerror(errno));
        Log(1, "sent %s (%llu bytes)", outName_.c_str(),
            static_cast<unsigned long long>(outBytes_));
        close(outFd_);
        outFd_ = -1;
        inSync_[outName_] = outStamp_;
        SaveState();
        outName_.clear();
        type = LINK_FILE_END;
        length = 0;
        return true;
    }
    if (std::chrono::steady_clock::now() - lastScan_ >= kScanInterval) Scan(false, false);
    for (const auto& [name, entry] : seen_) {
        const Stamp& stamp = entry.stamp;
        auto synced = inSync_.find(name);
        if (entry.stableScans < 1 || (synced != inSync_.end() && synced->second == stamp)) continue;
        if (name.size() > 260 || stamp.size > int64_t(limit)) {
            Log(1, "not sending %s: %s", name.c_str(),
                name.size() > 260 ? "name too long for the PC" : "larger than the agreed limit");
            inSync_[name] = stamp;
            continue;
        }
        int fd = open(PathOf(name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // tried again on a later reply
        outFd_ = fd;
        outName_ = name;
        outStamp_ = stamp;
        outBytes_ = 0;
        type = LINK_FILE_START;
        length = name.size();
        std::memcpy(payload, name.data(), length);
        Log(1, "sending %s", name.c_str());
        return true;
    }
    return false;
}

void PhoneFolder::AbortOutgoing() {
    if (outFd_ < 0) return;
    Log(1, "the PC did not take %s; offering it again later", outName_.c_str());
    close(outFd_);
    outFd_ = -1;
    outName_.clear();
}

void PhoneFolder::Forget() {
    if (inFd_ >= 0) {
        Log(1, "restart: %s from the PC is lost", inName_.c_str());
        close(inFd_);
        inFd_ = -1;
        unlink(TempPath().c_str());
    }
    if (outFd_ >= 0) {
        Log(1, "restart: sending %s is lost; offered again later", outName_.c_str());
        close(outFd_);
        outFd_ = -1;
        outName_.clear();
    }
}

void PhoneFolder::StartIncoming(const std::string& name) {
    if (inFd_ >= 0) {
        Log(1, "%s was not finished; dropped", inName_.c_str());
        close(inFd_);
        inFd_ = -1;
        unlink(TempPath().c_str());
    }
    if (!SafeName(name)) {
        Log(0, "refusing a file with an unsafe name from the PC");
        return;
    }
    inFd_ = open(TempPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (inFd_ < 0) {
        Log(0, "cannot create %s: %s", TempPath().c_str(), std::strerror(errno));
        return;
    }
    inName_ = name;
    inBytes_ = 0;
    Log(1, "receiving %s", name.c_str());
}

void PhoneFolder::IncomingData(const uint8_t* data, size_t count) {
    if (inFd_ < 0) return;
    for (size_t done = 0; done < count;) {
        ssize_t n = write(inFd_, data + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            Log(0, "writing %s failed: %s", inName_.c_str(), std::strerror(errno));
            close(inFd_);
            inFd_ = -1;
            unlink(TempPath().c_str());
            return;
        }
        done += static_cast<size_t>(n);
    }
    inBytes_ += count;
    movedBytes_ += count;
}

void PhoneFolder::EndIncoming() {
    if (inFd_ < 0) return;
    close(inFd_);
    inFd_ = -1;
    std::string path = PathOf(inName_);
    if (rename(TempPath().c_str(), path.c_str()) != 0) {
        Log(0, "cannot store %s: %s", path.c_str(), std::strerror(errno));
        unlink(TempPath().c_str());
        return;
    }
    Stamp s;
    if (StatFile(path, s.size, s.mtimeNs)) {
        inSync_[inName_] = s;
        Seen& seen = seen_[inName_];
        seen.stamp = s;
        seen.stableScans = 1;
        SaveState();
    }
    Log(1, "received %s (%llu bytes)", inName_.c_str(), static_cast<unsigned long long>(inBytes_));
}

}  // namespace kivro::phonesim
