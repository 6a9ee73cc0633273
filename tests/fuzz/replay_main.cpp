// SPDX-License-Identifier: MIT
// Replays fuzz corpora without libFuzzer: every file of the folders (or the files) named on
// the command line goes once through the target's LLVMFuzzerTestOneInput, in name order, so
// an ordinary compiler and the sanitizer build run each committed input as a test. A crash
// or a sanitizer report fails the test; so does an empty corpus, which would prove nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replayFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    // A copy of exactly the input's length, so reading past its end shows under ASan.
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.end());
    (void)LLVMFuzzerTestOneInput(exact.data(), exact.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        const std::filesystem::path arg = argv[i];
        if (std::filesystem::is_directory(arg, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, error))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else {
            inputs.push_back(arg);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no corpus inputs\n");
        return 1;
    }
    for (const auto& input : inputs)
        if (!replayFile(input)) return 1;
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
