// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: captures what the process writes to stderr (file descriptor 2,
// so output of C stdio and of libraries alike) while the object lives.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = std::tmpfile();
        saved_ = dup(2);
        dup2(fileno(file_), 2);
    }
    ~StderrCapture() {
        restore();
        std::fclose(file_);
    }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    // Ends the capture and returns everything written meanwhile.
    std::string text() {
        restore();
        std::string out;
        std::rewind(file_);
        char chunk[512];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, n);
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::FILE *file_;
    int saved_ = -1;
};

inline int line_count(const std::string &text) {
    int lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}
