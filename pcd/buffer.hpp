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
    // Allocates `size` bytes whose contents are unspecified until written, for data that a read
    // is about to fill (a body's text): malloc below the mmap threshold, fresh huge-page-advised
    // pages above it. Throws std::bad_alloc when the memory cannot be had.
    static ZeroedBuffer for_overwrite(uint64_t size);
    ZeroedBuffer(ZeroedBuffer&& other) noexcept;
    ZeroedBuffer& operator=(ZeroedBuffer&& other) noexcept;
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;
    ~ZeroedBuffer();

    std::byte* data() const { return data_; }
    size_t size() const { return size_; }
    std::span<std::byte> bytes() const { return {data_, size_}; }

  private:
    ZeroedBuffer(uint64_t size, bool zeroed);
    void release() noexcept;

    std::byte* data_ = nullptr;
    size_t size_ = 0;
    size_t mapped_ = 0;  // bytes mapped with mmap, 0 for a calloc'd buffer
};

}  // namespace veloxel
