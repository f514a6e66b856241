// The ceilings of loading a PCD body: the least work any loader must do, written as plainly and as
// fast as this machine allows, with no header parsing, no record layout and no error reporting.
// bench/readers.py builds this file as a shared library and calls it through ctypes between the
// loads it times, so that loaders and ceilings are measured under the same load of a shared
// machine.
//
// Every ceiling reads the body from the file (the page cache, after a warm-up) into a fresh
// buffer, decodes it into another, and returns the seconds the whole job took, or -1 when the file
// cannot be read or does not decode. Freeing the buffers is not timed, as a loader's caller frees
// its arrays after the load. `step_seconds`, where given, receives the time of the decoding step
// alone, without the read.
#include <fcntl.h>
#include <lzf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <fast_float/fast_float.h>

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// An output buffer got the way veloxel gets its own: below 32 MiB from the C heap, which hands back
// pages that earlier loads already faulted in; above, fresh zero pages starting on a huge-page
// boundary and advised for transparent huge pages, which makes first touch far cheaper than with
// 4 KiB pages. data is nullptr on failure.
class Buffer {
  public:
    explicit Buffer(size_t size) : size_(size == 0 ? 1 : size) {
        if (size_ < heap_limit) {
            data_ = std::malloc(size_);
            return;
        }
        mapped_ = (size_ + huge_page - 1) / huge_page * huge_page;
        void* raw = mmap(nullptr, mapped_ + huge_page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) return;
        const auto start = reinterpret_cast<uintptr_t>(raw);
        const uintptr_t aligned = (start + huge_page - 1) & ~(uintptr_t{huge_page} - 1);
        if (aligned > start) munmap(raw, aligned - start);
        const size_t tail = huge_page - (aligned - start);
        if (tail > 0) munmap(reinterpret_cast<char*>(aligned) + mapped_, tail);
        madvise(reinterpret_cast<void*>(aligned), mapped_, MADV_HUGEPAGE);
        data_ = reinterpret_cast<void*>(aligned);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (data_ == nullptr) return;
        if (mapped_ != 0) {
            munmap(data_, mapped_);
        } else {
            std::free(data_);
        }
    }
    void* data() const { return data_; }

  private:
    static constexpr size_t huge_page = size_t{2} << 20;
    static constexpr size_t heap_limit = size_t{32} << 20;
    void* data_ = nullptr;
    size_t size_;
    size_t mapped_ = 0;
};

// Reads `size` bytes at `offset` of `path` into `out`; false on any failure or short read.
bool read_exactly(const char* path, uint64_t offset, void* out, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, static_cast<char*>(out) + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    close(fd);
    return done == size;
}

}  // namespace

// A binary body: one read of `size` bytes into a fresh buffer.
extern "C" double ceiling_read(const char* path, uint64_t offset, uint64_t size) {
    const auto start = clock_type::now();
    const Buffer out(size);
    const bool ok = out.data() != nullptr && read_exactly(path, offset, out.data(), size);
    return ok ? seconds_since(start) : -1;
}

// A binary_compressed body: the block of `compressed` bytes read into a fresh buffer, then one
// lzf_decompress into a fresh buffer of `uncompressed` bytes.
extern "C" double ceiling_lzf(const char* path, uint64_t offset, uint32_t compressed,
                              uint32_t uncompressed, double* step_seconds) {
    const auto start = clock_type::now();
    const Buffer block(compressed);
    const Buffer out(uncompressed);
    bool ok = block.data() != nullptr && out.data() != nullptr &&
              read_exactly(path, offset, block.data(), compressed);
    const auto decode_start = clock_type::now();
    ok = ok && lzf_decompress(block.data(), compressed, out.data(), uncompressed) == uncompressed;
    const double seconds = seconds_since(start);
    if (step_seconds != nullptr) *step_seconds = seconds_since(decode_start);
    return ok ? seconds : -1;
}

// An ascii body of `size` bytes of text: read into a fresh buffer, then `values` numbers parsed
// with fast_float into a fresh float array, skipping any bytes up to 0x20 between them.
extern "C" double ceiling_fast_float(const char* path, uint64_t offset, uint64_t size,
                                     uint64_t values, double* step_seconds) {
    const auto start = clock_type::now();
    const Buffer text(size);
    const Buffer floats(values * sizeof(float));
    bool ok = text.data() != nullptr && floats.data() != nullptr &&
              read_exactly(path, offset, text.data(), size);
    const auto parse_start = clock_type::now();
    uint64_t parsed = 0;
    if (ok) {
        const char* p = static_cast<const char*>(text.data());
        const char* const end = p + size;
        auto* out = static_cast<float*>(floats.data());
        for (; parsed < values; ++parsed) {
            while (p != end && static_cast<signed char>(*p) <= 0x20) ++p;
            const auto result = fast_float::from_chars(p, end, out[parsed]);
            if (result.ec != std::errc()) break;
            p = result.ptr;
        }
    }
    const double seconds = seconds_since(start);
    if (step_seconds != nullptr) *step_seconds = seconds_since(parse_start);
    return ok && parsed == values ? seconds : -1;
}
