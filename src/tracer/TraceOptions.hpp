// Choices a volumetric trace is launched with, and the work it reports.
#pragma once

// How the steps of an element visit are sized. FollowElement (the default)
// sizes every step from the ray's distance to the exit face in natural
// coordinates, so a visit costs the same few steps whatever the element's size
// or the mesh's length unit. FixedStart is the earlier rule, kept for
// comparisons: every visit starts at h = 0.1 in the ray parameter and halves h
// on each overshoot.
enum class StepRule : int { FollowElement = 0, FixedStart = 1 };

struct TraceOptions {
    StepRule stepRule = StepRule::FollowElement;
    // On the CPU backend, use the trace compiled for x86-64-v3 (AVX2 + FMA)
    // when the processor has it. Off: the baseline x86-64 build.
    bool wideCpuTrace = true;
};

// Work of a trace: element visits, integration steps (accepted and rejected)
// and evaluations of the ray equation's right-hand side; rays ended because
// they stopped making progress.
struct TraceCounts {
    long long visits = 0;
    long long steps = 0;
    long long evaluations = 0;
    long long stalled = 0;
};
