// The key owner of RegistryReader.h; backend-neutral, so it lives beside the
// contract rather than in each backend.
#include "platform/RegistryReader.h"

#include <algorithm>
#include <utility>

namespace kivro::platform {

RegistryKey RegistryKey::Open(RegistryReader& reader, RegistryRoot root, const char* path) {
    RegistryReader::Key key = 0;
    if (!reader.OpenKey(root, path, key)) return {};
    return RegistryKey(&reader, key);
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : reader_(std::exchange(other.reader_, nullptr)), key_(std::exchange(other.key_, 0)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
    if (this != &other) {
        reset();
        reader_ = std::exchange(other.reader_, nullptr);
        key_ = std::exchange(other.key_, 0);
    }
    return *this;
}

void RegistryKey::reset() {
    if (key_ != 0) reader_->CloseKey(key_);
    key_ = 0;
    reader_ = nullptr;
}

RegistryKey RegistryKey::OpenSubKey(const char* path) const {
    RegistryReader::Key key = 0;
    if (key_ == 0 || !reader_->OpenSubKey(key_, path, key)) return {};
    return RegistryKey(reader_, key);
}

RegistryEnum RegistryKey::EnumValue(uint32_t index, char* name, uint32_t& nameSize, uint8_t* data,
                                    uint32_t& dataSize) const {
    const uint32_t nameCapacity = nameSize, dataCapacity = dataSize;
    RegistryEnum step = reader_->EnumValue(key_, index, name, nameSize, data, dataSize);
    nameSize = std::min(nameSize, nameCapacity);
    dataSize = std::min(dataSize, dataCapacity);
    return step;
}

bool RegistryKey::QueryValue(const char* name, uint8_t* data, uint32_t& dataSize) const {
    const uint32_t capacity = dataSize;
    bool ok = reader_->QueryValue(key_, name, data, dataSize);
    dataSize = std::min(dataSize, capacity);
    return ok;
}

}  // namespace kivro::platform
