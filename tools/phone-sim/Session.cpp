// ByteQueue: compacts only once the consumed front outgrows what is left, so
// taking 4 KB pieces from a 300 KB screen update stays linear.
#include "Session.h"

#include <algorithm>
#include <cstring>

namespace kivro::phonesim {

size_t ByteQueue::Take(uint8_t* out, size_t capacity) {
    size_t n = std::min(capacity, Size());
    std::memcpy(out, Front(), n);
    Drop(n);
    return n;
}

void ByteQueue::Drop(size_t count) {
    head_ += std::min(count, Size());
    if (head_ == bytes_.size()) {
        Clear();
    } else if (head_ > 65536 && head_ > Size()) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

}  // namespace kivro::phonesim
