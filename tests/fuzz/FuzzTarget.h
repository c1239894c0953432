// One fuzz target's entry point, written once for two builds: the fuzz preset
// links each target file alone with libFuzzer, so the entry is libFuzzer's own;
// the ordinary test builds link every target into one GoogleTest that replays
// the committed corpus, so there each entry gets its own name and registers
// itself under its corpus folder's name. A crash found once stays a test that
// runs with every build, not only where clang is at hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kivro::fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

// Replay build only: remembers an entry under its corpus folder's name.
bool Register(const char* name, Entry entry);

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: does not hold: %s\n", file, line, condition);
    std::abort();
}

// Takes bytes off the front of a fuzz input; an exhausted input reads as zeros,
// so a short input is still a valid one.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
    uint32_t Number(int bytes) {
        uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value = (value << 8) | Byte();
        return value;
    }
    // The rest of the input.
    const uint8_t* Data() const { return data_; }
    size_t Size() const { return size_; }
    // Up to count bytes, taken off the front.
    size_t Take(size_t count, const uint8_t*& bytes) {
        if (count > size_) count = size_;
        bytes = data_;
        data_ += count;
        size_ -= count;
        return count;
    }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace kivro::fuzz

#ifdef KIVRO_FUZZ_REPLAY
#define KIVRO_FUZZ_TARGET(name)                             \
    static int FuzzOne_##name(const uint8_t*, size_t);      \
    [[maybe_unused]] static const bool kRegistered_##name = \
        ::kivro::fuzz::Register(#name, FuzzOne_##name);     \
    static int FuzzOne_##name
#else
#define KIVRO_FUZZ_TARGET(name) extern "C" int LLVMFuzzerTestOneInput
#endif

// A property of the code under test that must hold whatever the input; a
// failure aborts, which libFuzzer records as a crash with its input.
#define KIVRO_FUZZ_REQUIRE(condition)                                          \
    do {                                                                       \
        if (!(condition)) ::kivro::fuzz::Fail(#condition, __FILE__, __LINE__); \
    } while (0)
