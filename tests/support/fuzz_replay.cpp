// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a fuzz target over files and folders of inputs (its seed
// corpus), so the target keeps building with the ordinary compiler and every
// corpus file is checked on each test run. A crash or abort is the failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus file or folder>...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (fs::is_directory(argv[i], error)) {
            for (const auto &entry : fs::recursive_directory_iterator(argv[i], error))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else {
            files.push_back(argv[i]);
        }
        if (error) {
            std::fprintf(stderr, "fuzz_replay: cannot list %s: %s\n", argv[i],
                         error.message().c_str());
            return 1;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "fuzz_replay: cannot read %s\n", file.c_str());
            return 1;
        }
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    std::printf("fuzz_replay: %zu inputs replayed without a finding\n", files.size());
    return files.empty() ? 1 : 0;
}
