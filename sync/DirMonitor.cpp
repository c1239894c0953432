// The directory monitor (see DirMonitor.h). Nodes are owned through the list
// alone: AddFront allocates, Rescan's sweep and FreeFiles delete, and the index
// only points at them. No recursion over the list, so long lists cannot exhaust
// the stack on destruction.
#include "sync/DirMonitor.h"

#include <cstring>
#include <utility>

#include "platform/Files.h"
#include "text/Text.h"

namespace kivro {

uint32_t CalendarSeconds(const platform::CalendarTime& t) {
    static constexpr int kDaysBeforeMonth[12] = {0,   31,  59,  90,  120, 151,
                                                 181, 212, 243, 273, 304, 334};
    auto floorDiv = [](int64_t a, int64_t b) {
        return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
    };
    // Leap years in [0, y).
    auto leapsBefore = [&](int64_t y) {
        return floorDiv(y + 3, 4) - floorDiv(y + 99, 100) + floorDiv(y + 399, 400);
    };
    const int64_t year = t.year;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int month = t.month < 1 ? 1 : t.month > 12 ? 12 : t.month;
    int64_t days = 365 * (year - 1970) + leapsBefore(year) - leapsBefore(1970);
    days += kDaysBeforeMonth[month - 1] + ((month > 2 && leap) ? 1 : 0) + (t.day - 1);
    const int64_t seconds = ((days * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
    return static_cast<uint32_t>(static_cast<uint64_t>(seconds));
}

bool SameFileName(const char* a, const char* b) {
    if (platform::kNamesFoldCase) return EqualNoCase(a, kPatternCapacity, b, kPatternCapacity);
    return std::strncmp(a, b, kPatternCapacity) == 0;
}

size_t DirMonitor::NameHash::operator()(const char* name) const {
    // FNV-1a over the characters, upper-cased where the file system folds case.
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < kPatternCapacity && name[i] != '\0'; ++i) {
        const char c = platform::kNamesFoldCase ? UpperChar(name[i]) : name[i];
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
}

bool DirMonitor::NameEqual::operator()(const char* a, const char* b) const {
    return SameFileName(a, b);
}

DirMonitor::DirMonitor() : DirMonitor([] { return CalendarSeconds(platform::LocalNow()); }) {}

DirMonitor::DirMonitor(Clock now) : now_(std::move(now)) {}

DirMonitor::~DirMonitor() {
    FreeFiles();
    ClearExcludes();
}

FileEntry* DirMonitor::Find(const char* name) {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : it->second;
}

FileEntry* DirMonitor::AddFront(const char* name) {
    FileEntry* node = new FileEntry{};
    TextCopy(node->Name, sizeof node->Name, name, kPatternCapacity);
    node->Next = files_;
    files_ = node;
    index_.emplace(node->Name, node);
    return node;
}

void DirMonitor::FreeFiles() {
    index_.clear();
    cursor_ = nullptr;
    while (files_ != nullptr) {
        FileEntry* next = files_->Next;
        delete files_;
        files_ = next;
    }
}

platform::Result DirMonitor::Open(const char* dir) {
    if (platform::Result exists = platform::DirectoryExists(dir); exists.Failed()) return exists;
    FreeFiles();
    TextCopy(dir_, sizeof dir_ - 1, dir);
    dir_[sizeof dir_ - 1] = '\0';
    Rescan();
    for (FileEntry* node = files_; node != nullptr; node = node->Next) node->Pending = false;
    cursor_ = nullptr;
    return {};
}

void DirMonitor::ClearExcludes() {
    excludes_.Clear();
}

void DirMonitor::AddExcludes(const char* list, size_t capacity) {
    excludes_.Add(list, capacity);
}

void DirMonitor::Rescan() {
    for (FileEntry* node = files_; node != nullptr; node = node->Next) node->Seen = false;

    platform::DirListing listing;
    if (dir_[0] != '\0' && listing.Open(dir_).Ok()) {
        platform::DirEntry entry;
        char name[kPatternCapacity];
        while (listing.Next(entry)) {
            if (entry.Directory || entry.Special || entry.Hidden || entry.System) continue;
            TextCopy(name, sizeof name, entry.Name, sizeof entry.Name);
            if (SameFileName(name, kIncomingTempName)) continue;
            if (excludes_.Matches(name, sizeof name)) continue;
            const uint32_t time = CalendarSeconds(entry.LastWrite);
            FileEntry* node = Find(name);
            if (node == nullptr) {
                node = AddFront(name);
                node->Pending = true;
            } else if (node->Time != time || node->Size != static_cast<uint32_t>(entry.Size)) {
                node->Pending = true;
            }
            node->Time = time;
            node->Size = static_cast<uint32_t>(entry.Size);
            node->Seen = true;
        }
    }

    for (FileEntry** link = &files_; *link != nullptr;) {
        FileEntry* node = *link;
        if (node->Seen) {
            link = &node->Next;
            continue;
        }
        *link = node->Next;
        index_.erase(node->Name);
        delete node;
    }
    cursor_ = files_;
}

bool DirMonitor::NextChangedFile(uint32_t maxSize, char* name, size_t capacity) {
    if (cursor_ == nullptr) return false;
    const uint32_t now = now_();
    while (cursor_ != nullptr && (!cursor_->Pending || cursor_->Size > maxSize))
        cursor_ = cursor_->Next;
    if (cursor_ == nullptr) return false;
    // Written in this second (or dated ahead): it may still be being written.
    if (cursor_->Time >= now) return false;
    TextCopy(name, capacity, cursor_->Name, sizeof cursor_->Name);
    cursor_->Pending = false;
    return true;
}

void DirMonitor::MarkInSync(const char* name) {
    char key[kPatternCapacity];
    TextCopy(key, sizeof key, name);
    FileEntry* node = Find(key);
    if (node == nullptr) node = AddFront(key);
    node->Time = 0;
    node->Size = 0;
    node->Pending = false;
    if (dir_[0] == '\0') return;
    char path[kPathCapacity];
    platform::DirEntry entry;
    if (platform::JoinPath(path, sizeof path, dir_, name) && platform::FindFile(path, entry).Ok()) {
        node->Time = CalendarSeconds(entry.LastWrite);
        node->Size = static_cast<uint32_t>(entry.Size);
    }
}

bool DirMonitor::MarkDue(const char* name) {
    char key[kPatternCapacity];
    TextCopy(key, sizeof key, name);
    FileEntry* node = Find(key);
    if (node == nullptr) return false;
    node->Pending = true;
    cursor_ = files_;
    return true;
}

}  // namespace kivro
