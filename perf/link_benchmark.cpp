// SPDX-License-Identifier: GPL-3.0-or-later
// What the LAN path costs: one upload (the generator's six transfers with the
// 7224-byte block) through the SCPI link library to labbench-sim-instrument
// on the loopback interface, against the same upload through the recording
// GPIB driver of the tests in its instant mode, which takes every byte at
// once. Sends on a socket return once the bytes are with the kernel, so the
// socket upload ends with a *OPC? query: its reply proves that the instrument
// has taken and run the whole upload.
// Wall time, since the instrument's work happens in its own process.
//
// Run: scripts/perf.sh, or ./link_benchmark (it starts the instrument itself).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_driver.h"
#include "harness.h"

namespace {

constexpr GpibDriverAddr kInstrument = 8;

// A driver library's routines, bound with dlopen as the programs bind them.
struct Driver {
    void *handle = nullptr;
    void (*send)(int, GpibDriverAddr, const void *, long, int) = nullptr;
    void (*receive)(int, GpibDriverAddr, void *, long, int) = nullptr;
    int (*status)() = nullptr;
    const char *(*why)(int) = nullptr;
    int (*error)() = nullptr;

    explicit Driver(const char *path) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        send = reinterpret_cast<decltype(send)>(dlsym(handle, "Send"));
        receive = reinterpret_cast<decltype(receive)>(dlsym(handle, "Receive"));
        status = reinterpret_cast<decltype(status)>(dlsym(handle, "ThreadIbsta"));
        error = reinterpret_cast<decltype(error)>(dlsym(handle, "ThreadIberr"));
        why = reinterpret_cast<decltype(why)>(dlsym(handle, "gpib_error_string"));
    }
};

std::string block;  // "data:dac volatile,#47200" and 3600 codes, low byte first

void sendText(const Driver &driver, const char *text) {
    driver.send(0, kInstrument, text, long(std::strlen(text)), GPIB_DRIVER_DABend);
}

// The generator's upload; false (with the driver's reason) when a transfer failed.
bool upload(const Driver &driver, bool confirm, std::string &failure) {
    sendText(driver, "freq 10000.000000");
    sendText(driver, "volt 4.500000");
    sendText(driver, "FORM:BORD SWAP");
    driver.send(0, kInstrument, block.data(), long(block.size()), GPIB_DRIVER_DABend);
    sendText(driver, "FUNC:USER VOLATILE");
    sendText(driver, "FUNC:SHAP USER");
    if (confirm) {
        sendText(driver, "*OPC?");
        char reply[16];
        driver.receive(0, kInstrument, reply, sizeof reply, STOPend);
    }
    if (driver.status() & ERR) {
        failure = driver.why(driver.error());
        return false;
    }
    return true;
}

void runUploads(benchmark::State &state, const Driver &driver, bool confirm) {
    if (!driver.send) {
        state.SkipWithError("the driver library could not be loaded");
        return;
    }
    std::string failure;
    for (auto _ : state) {
        if (!upload(driver, confirm, failure)) {
            state.SkipWithError(failure.c_str());
            break;
        }
    }
}

const Driver *instant;
const Driver *scpiLink;

void BM_UploadInstant(benchmark::State &state) { runUploads(state, *instant, false); }
BENCHMARK(BM_UploadInstant)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UploadThroughLinkToSocketInstrument(benchmark::State &state) {
    runUploads(state, *scpiLink, true);
}
BENCHMARK(BM_UploadThroughLinkToSocketInstrument)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Starts labbench-sim-instrument on a free loopback port; its process id, and
// the port in `port`, or -1.
pid_t startInstrument(std::string &port) {
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        unsetenv("GPIB_SIM_LOG");
        unsetenv("GPIB_SIM_BYTES_PER_S");
        execl(PERF_SIM_INSTRUMENT, PERF_SIM_INSTRUMENT, "--listen", "127.0.0.1:0", nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE *lines = fdopen(out[0], "r");
    char line[256] = "";
    bool read = lines && std::fgets(line, sizeof line, lines);
    if (lines) std::fclose(lines);
    const char *colon = read ? std::strrchr(line, ':') : nullptr;
    if (!colon) {
        std::fprintf(stderr, "link_benchmark: %s did not say its port\n", PERF_SIM_INSTRUMENT);
        if (child > 0) kill(child, SIGTERM);
        return -1;
    }
    port.assign(colon + 1, std::strcspn(colon + 1, "\r\n"));
    return child;
}

}  // namespace

int main(int argc, char **argv) {
    perf::initialise(&argc, argv);
    block = "data:dac volatile,#47200";
    for (int k = 0; k < 3600; ++k) {
        int code = (k * 37) % 4095 - 2047;
        block += char(code & 0xFF);
        block += char((code >> 8) & 0xFF);
    }
    std::string port;
    pid_t server = startInstrument(port);
    if (server < 0) return 2;
    std::string resource = "TCPIP::127.0.0.1::" + port + "::SOCKET";
    setenv("LABBENCH_INSTRUMENT_8", resource.c_str(), 1);
    if (!perf::switchOnMode(PERF_RECORDING_GPIB, "recgpib_instant")) return 2;
    Driver instantDriver(PERF_RECORDING_GPIB);
    Driver linkDriver(PERF_SCPI_LINK);
    instant = &instantDriver;
    scpiLink = &linkDriver;

    bool ran = perf::runBenchmarks();
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    if (!ran) return 2;
    const double instantUs = perf::wallSeconds("BM_UploadInstant") * 1e6;
    const double linkUs = perf::wallSeconds("BM_UploadThroughLinkToSocketInstrument") * 1e6;
    perf::share("Upload, instant driver", instantUs, "us");
    perf::share("Upload through the SCPI link to the socket instrument", linkUs, "us",
                "with *OPC? confirmation");
    perf::judge("SCPI link upload on loopback, beyond the instant driver",
                (linkUs - instantUs) / 1e3, "ms", 2);
    return perf::finish();
}
