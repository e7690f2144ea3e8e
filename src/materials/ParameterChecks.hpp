// Checks of cure-model parameters before a step: a value that is not finite,
// or negative where only a non-negative one means anything, would otherwise
// be written as NaN or nonsense into the mesh's material.
#pragma once

#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

namespace lvx {

enum class Allowed { Finite, NonNegative, Positive };

inline void requireParameter(const char* owner, const char* name, double value, Allowed allowed) {
    const bool ok = std::isfinite(value) && (allowed == Allowed::Finite || (allowed == Allowed::NonNegative && value >= 0.0) ||
                                             (allowed == Allowed::Positive && value > 0.0));
    if (ok) return;
    static const char* const rules[] = {"finite", "finite and not negative", "finite and positive"};
    std::ostringstream text;
    text << owner << ": " << name << " is " << value << "; it must be " << rules[static_cast<int>(allowed)];
    throw std::runtime_error(text.str());
}

}  // namespace lvx
