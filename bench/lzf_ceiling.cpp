// The ceiling for loading a binary_compressed PCD body: one bare lzf_decompress of the block into a
// buffer, nothing else. bench_compressed.py builds this as a shared library and calls it between
// the loads it times, so that the ceiling and the loaders are measured under the same load of a
// shared machine.
#include <lzf.h>
#include <sys/mman.h>

#include <chrono>
#include <vector>

namespace {

std::vector<char> warm_buffer;

}  // namespace

// Decodes `block` (`block_size` bytes) into `size` bytes and returns the seconds the one
// lzf_decompress call took, or -1 when the block does not decode to exactly `size` bytes. With
// `fresh` 0 the output buffer has been written by an earlier call; otherwise it is freshly mapped
// and advised for huge pages, as veloxel's large buffers are, so the call also pays for faulting
// its pages in.
extern "C" double lzf_ceiling(const void* block, unsigned block_size, unsigned size, int fresh) {
    void* out = nullptr;
    if (fresh) {
        out = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (out == MAP_FAILED) return -1;
        madvise(out, size, MADV_HUGEPAGE);
    } else {
        if (warm_buffer.size() != size) {
            warm_buffer.assign(size, 0);
        }
        out = warm_buffer.data();
    }
    const auto start = std::chrono::steady_clock::now();
    const unsigned decoded = lzf_decompress(block, block_size, out, size);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (fresh) munmap(out, size);
    return decoded == size ? seconds : -1;
}
