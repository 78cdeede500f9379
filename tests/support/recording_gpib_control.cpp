// SPDX-License-Identifier: GPL-3.0-or-later
// The test's side of the recording GPIB driver (see recording_gpib.h): opens
// the library file the binding loads and calls its recgpib_* functions.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <climits>

#include "gpib_driver.h"
#include "recording_gpib.h"

namespace {

template <typename T>
T control(void *handle, const char *path, const char *name) {
    void *symbol = handle != nullptr ? dlsym(handle, name) : nullptr;
    if (symbol == nullptr) {
        // Without its controls no test of the driver can mean anything.
        std::fprintf(stderr, "the recording GPIB driver %s lacks %s\n", path, name);
        std::abort();
    }
    return reinterpret_cast<T>(symbol);
}

}  // namespace

RecordingGpib::RecordingGpib(const char *path) : path_(path) {
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        std::fprintf(stderr, "cannot open the recording GPIB driver %s: %s\n", path, dlerror());
        std::abort();
    }
    reset();
}

RecordingGpib::~RecordingGpib() {
    if (handle_ != nullptr) dlclose(handle_);
}

void RecordingGpib::reset() { control<void (*)()>(handle_, path_, "recgpib_reset")(); }

void RecordingGpib::reply(const char *bytes, long count) {
    control<void (*)(const char *, long)>(handle_, path_, "recgpib_reply")(bytes, count);
}

void RecordingGpib::outcome(int status, int error, int first, int last) {
    control<void (*)(int, int, int, int)>(handle_, path_, "recgpib_outcome")(status, error, first,
                                                                             last);
}

void RecordingGpib::scriptStatus(int status, int error) { outcome(status, error, 0, INT_MAX); }

void RecordingGpib::fail(int error, int first, int last) { outcome(ERR, error, first, last); }

void RecordingGpib::errorReply(const char *answer) {
    control<void (*)(const char *)>(handle_, path_, "recgpib_error_reply")(answer);
}

void RecordingGpib::errorQuerySilent(int silent) {
    control<void (*)(int)>(handle_, path_, "recgpib_error_query_silent")(silent);
}

void RecordingGpib::scriptCount(long count) {
    control<void (*)(long)>(handle_, path_, "recgpib_count")(count);
}

void RecordingGpib::hook(BusCallHook hook) {
    control<void (*)(BusCallHook)>(handle_, path_, "recgpib_hook")(hook);
}

void RecordingGpib::instant(bool on) {
    control<void (*)(int)>(handle_, path_, "recgpib_instant")(on ? 1 : 0);
}

const std::vector<BusCall> &RecordingGpib::calls() const {
    return *control<const std::vector<BusCall> *(*)()>(handle_, path_, "recgpib_calls")();
}

const BusCall &RecordingGpib::last() const {
    static const BusCall none;
    EXPECT_GT(size(), 0u) << "the driver received no call";
    return size() > 0 ? calls().back() : none;
}

std::vector<BusCall> RecordingGpib::sendsFrom(std::size_t first) const {
    std::vector<BusCall> out;
    for (std::size_t i = first; i < size(); i++)
        if (at(i).routine == "Send") out.push_back(at(i));
    return out;
}
