// Zero-filled heap buffers for point data and body text. Large buffers come from memory that the
// system hands out already zeroed, so pages that are never written cost nothing, and on Linux they
// are aligned and advised for transparent huge pages, which makes first touch about ten times
// cheaper than with 4 KiB pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace veloxel {

class ZeroedBuffer {
  public:
    ZeroedBuffer() = default;
    // Allocates `size` zero bytes (at least one byte of storage, so data() is never null).
    // Throws std::bad_alloc when the memory cannot be had.
    explicit ZeroedBuffer(uint64_t size);
    // Allocates `size` bytes whose contents are unspecified until the caller has overwritten a
    // prefix and called zero_rest() with its length. Medium sizes come from the C heap, which
    // reuses memory that is already mapped in, so a caller that overwrites nearly everything
    // pays one pass over memory. Throws std::bad_alloc.
    static ZeroedBuffer for_overwrite(uint64_t size);
    // Zeroes the bytes from `filled` to the end, unless they are known to be zero already.
    void zero_rest(size_t filled);

    ZeroedBuffer(ZeroedBuffer&& other) noexcept;
    ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept;
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;
    ~ZeroedBuffer();

    std::byte* data() const { return data_; }
    size_t size() const { return size_; }
    std::span<std::byte> bytes() const { return {data_, size_}; }

  private:
    void release() noexcept;

    std::byte* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;   // bytes mapped with mmap, 0 for a buffer from the C heap
    bool dirty_ = false;  // from for_overwrite and not yet zeroed
};

}  // namespace veloxel
