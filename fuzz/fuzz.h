#pragma once
// Shared pieces of the fuzz targets: reading typed values from the input,
// the invariant check, and private scratch folders.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

// An invariant that must hold for every input; a violation aborts, which
// libFuzzer reports as a crash and saves the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, #cond);    \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Takes typed pieces off the front of the input; past the end every read
// yields zeros or empty text.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}

    size_t left() const { return n_; }

    uint8_t byte() {
        if (!n_)
            return 0;
        --n_;
        return *p_++;
    }
    // Little-endian; the reads are sequenced so that every compiler takes
    // the bytes in the same order and a saved input replays alike.
    uint16_t u16() {
        uint16_t lo = byte();
        return static_cast<uint16_t>(lo | byte() << 8);
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | static_cast<uint32_t>(u16()) << 16;
    }

    // Up to n bytes.
    std::vector<uint8_t> bytes(size_t n) {
        n = n < n_ ? n : n_;
        std::vector<uint8_t> out(p_, p_ + n);
        p_ += n;
        n_ -= n;
        return out;
    }
    // Text up to the next NUL (consumed) or the end.
    std::string text() {
        const void* nul = n_ ? std::memchr(p_, 0, n_) : nullptr;
        size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p_) : n_;
        std::string out(reinterpret_cast<const char*>(p_), len);
        size_t used = nul ? len + 1 : len;
        p_ += used;
        n_ -= used;
        return out;
    }
    std::vector<uint8_t> rest() { return bytes(n_); }

private:
    const uint8_t* p_;
    size_t n_;
};

// A fresh folder for the target's files, removed when the process exits:
// under $FUZZ_SCRATCH, else on a memory file system when there is one (the
// targets write and sync files on every run), else under $TMPDIR or /tmp.
std::string ScratchDir(const char* tag);

} // namespace fuzz
