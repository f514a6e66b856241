// A main for compilers without libFuzzer: runs every file named on the command line through the
// target once, walking directories in name order, and prints how many inputs ran. A failed
// property aborts as it would under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool run_file(const std::filesystem::path& path, bool named) {
    std::ifstream in(path, std::ios::binary);
    // A file found in a directory that a running fuzzer has since removed is no error.
    if (!in && !named && !std::filesystem::exists(path)) return true;
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> files;
    std::vector<std::filesystem::path> named;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        // libFuzzer flags such as -runs=10 are accepted and ignored, so scripts can call either.
        if (!arg.empty() && arg.string()[0] == '-') continue;
        if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(arg)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
        } else {
            files.push_back(arg);
            named.push_back(arg);
        }
    }
    std::sort(files.begin(), files.end());
    size_t ran = 0;
    bool ok = true;
    for (const auto& path : files) {
        const bool was_named = std::find(named.begin(), named.end(), path) != named.end();
        if (run_file(path, was_named)) {
            ++ran;
        } else {
            ok = false;
        }
    }
    std::printf("replayed %zu inputs\n", ran);
    return ok ? 0 : 1;
}
