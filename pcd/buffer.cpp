#include "pcd/buffer.hpp"

#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace veloxel {
namespace {

#if defined(__linux__)
constexpr size_t huge_page = size_t{2} << 20;
// Below this, calloc is as good: the allocator reuses freed memory and the buffer is small.
constexpr size_t mmap_threshold = size_t{4} << 20;

// Maps `size` bytes of fresh zero pages starting on a huge-page boundary. Returns nullptr on
// failure.
std::byte* map_zeroed(size_t size, size_t& mapped) {
    mapped = (size + huge_page - 1) / huge_page * huge_page;
    const size_t span = mapped + huge_page;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + huge_page - 1) & ~(uintptr_t{huge_page} - 1);
    const size_t head = aligned - start;
    if (head > 0) munmap(raw, head);
    const size_t tail = span - head - mapped;
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + mapped), tail);
    // Advice only; without transparent huge pages the buffer still works with small pages.
    madvise(reinterpret_cast<void*>(aligned), mapped, MADV_HUGEPAGE);
    return reinterpret_cast<std::byte*>(aligned);
}
#endif

}  // namespace

ZeroedBuffer::ZeroedBuffer(uint64_t size) : ZeroedBuffer(size, true) {}

ZeroedBuffer ZeroedBuffer::for_overwrite(uint64_t size) {
    return ZeroedBuffer(size, false);
}

ZeroedBuffer::ZeroedBuffer(uint64_t size, bool zeroed) {
    if (size > std::numeric_limits<size_t>::max() - (size_t{8} << 20)) throw std::bad_alloc();
    const auto n = static_cast<size_t>(size);
#if defined(__linux__)
    if (n >= mmap_threshold) {
        data_ = map_zeroed(n, mapped_);
        if (data_ == nullptr) {
            mapped_ = 0;
            throw std::bad_alloc();
        }
        size_ = n;
        return;
    }
#endif
    const size_t storage = n == 0 ? 1 : n;
    data_ = static_cast<std::byte*>(zeroed ? std::calloc(storage, 1) : std::malloc(storage));
    if (data_ == nullptr) throw std::bad_alloc();
    size_ = n;
}

ZeroedBuffer::ZeroedBuffer(ZeroedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

ZeroedBuffer& ZeroedBuffer::operator=(ZeroedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

ZeroedBuffer::~ZeroedBuffer() {
    release();
}

void ZeroedBuffer::release() noexcept {
    if (data_ == nullptr) return;
#if defined(__linux__)
    if (mapped_ != 0) {
        munmap(data_, mapped_);
        data_ = nullptr;
        return;
    }
#endif
    std::free(data_);
    data_ = nullptr;
}

}  // namespace veloxel
