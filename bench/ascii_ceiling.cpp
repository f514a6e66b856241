// The ceiling for ascii bodies: fast_float alone turning the body text of a PCD file, already in
// memory, into a flat float array. No record layout, no type dispatch, no file reading timed.
//
// Usage: ascii_ceiling FILE VALUES REPS
// Prints the body size in bytes and the median parse time in seconds of REPS runs after one
// warm-up run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fast_float/fast_float.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE VALUES REPS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t data = file.find("\nDATA");
    const size_t body = data == std::string::npos ? 0 : file.find('\n', data + 1) + 1;
    const char* const begin = file.data() + body;
    const char* const end = file.data() + file.size();
    const size_t values = std::strtoull(argv[2], nullptr, 10);
    const int reps = std::atoi(argv[3]);
    std::vector<float> out(values);

    std::vector<double> times;
    for (int r = 0; r <= reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const char* p = begin;
        for (size_t i = 0; i < values; ++i) {
            while (p != end && static_cast<signed char>(*p) <= 0x20) ++p;
            if (p == end) break;
            p = fast_float::from_chars(p, end, out[i]).ptr;
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (r > 0) times.push_back(elapsed.count());
    }
    std::sort(times.begin(), times.end());
    double checksum = 0;
    for (float v : out) checksum += v;
    std::printf("%zu %.9f %g\n", file.size() - body, times[times.size() / 2], checksum);
    return 0;
}
