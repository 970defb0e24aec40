// Byte buffers of the fuzz targets: exact heap blocks (AddressSanitizer sees any access outside
// them), unaligned reads and writes of fields, and filling from the fuzzer's input.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzzbytes {

struct Block {
    explicit Block(size_t n) : size(n), data(static_cast<std::uint8_t*>(std::malloc(n == 0 ? 1 : n))) {}
    ~Block() { std::free(data); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    unsigned long len() const { return static_cast<unsigned long>(size); }
    size_t size;
    std::uint8_t* data;
};

template <typename T>
T Get(const std::uint8_t* p, size_t offset) {
    T v;
    std::memcpy(&v, p + offset, sizeof v);
    return v;
}
template <typename T>
void Put(std::uint8_t* p, size_t offset, T v) {
    std::memcpy(p + offset, &v, sizeof v);
}

// Fills n bytes at p from the input, the rest (when the input runs out) with a constant.
inline void Fill(FuzzedDataProvider& fdp, std::uint8_t* p, size_t n, std::uint8_t rest) {
    std::vector<std::uint8_t> raw = fdp.ConsumeBytes<std::uint8_t>(n);
    if (!raw.empty()) std::memcpy(p, raw.data(), raw.size());
    std::memset(p + raw.size(), rest, n - raw.size());
}

}  // namespace fuzzbytes
