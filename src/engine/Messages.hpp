// Engine messages: printf-style lines on stdout, short notices on stderr.
// Both are flushed at once so they interleave correctly with Python's output.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace lvx {

inline void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// Writes `text` and a newline to stderr.
inline void notice(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

}  // namespace lvx
