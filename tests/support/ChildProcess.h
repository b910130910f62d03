#pragma once
// Runs a piece of a test in a child process, so that its peak memory can be
// measured on its own and a runaway cannot take the test program down.
#include <functional>

struct ChildResult {
    bool exited = false; // ended by itself (not by a signal)
    int exitCode = -1;
    long peakRssKb = 0; // the child's own high-water mark
};

// `body` returns the child's exit code. Call it before any thread is started.
ChildResult runInChild(const std::function<int()>& body);

// True when the build runs under a sanitizer, whose shadow memory and
// quarantine make resident sizes meaningless as bounds.
bool underSanitizer();
