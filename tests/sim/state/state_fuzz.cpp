// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the bench state-file reader: any bytes found at the state
// file's path must be read or refused with a message, never crash or hang,
// and a file that is read gives finite numbers and the point count it
// announced. Built as a libFuzzer target with clang (LABBENCH_FUZZ=ON) and,
// always, into sim_state_replay, which runs it over the seed corpus as a test.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_state.h"

namespace {

std::string folder;
std::string path;

void remove_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "labbench-state-fuzz-XXXXXX");
    if (!mkdtemp(pattern.data())) std::abort();
    folder = pattern;
    path = folder + "/bench.state";
    std::atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) std::abort();
        done += size_t(n);
    }
    close(fd);
    benchsim::BenchOutput output;
    std::string error;
    if (benchsim::read_bench_state(path, output, error)) {
        if (!std::isfinite(output.frequency_hz) || !std::isfinite(output.amplitude_vpp))
            std::abort();  // the board would convert them to integers
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}
