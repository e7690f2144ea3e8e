// Checks of nodal material values where they enter the engine. They run on
// the single-precision values the device will hold, so that a double such as
// 1e39 that becomes infinite when narrowed is caught too. A refractive index
// must be finite and positive (0 loses every ray, NaN spreads to the results),
// an absorptivity finite and not negative.
#pragma once

#include <cmath>
#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace lvx {

inline bool validRefractiveIndex(float n) { return std::isfinite(n) && n > 0.0f; }
inline bool validAbsorptivity(float a) { return std::isfinite(a) && a >= 0.0f; }

// "<where>: <what> <value>; it must be <rule>", the value as given (double).
[[noreturn]] inline void refuseValue(const std::string& where, const std::string& what, double value,
                                     const char* rule) {
    std::ostringstream text;
    text << where << ": " << what << " is " << value;
    const float narrowed = static_cast<float>(value);
    if (std::isfinite(value) && static_cast<double>(narrowed) != value && !std::isfinite(narrowed))
        text << " (" << narrowed << " in single precision)";
    text << "; it must be " << rule;
    throw std::runtime_error(text.str());
}

inline const char* refractiveIndexRule() { return "finite and positive"; }
inline const char* absorptivityRule() { return "finite and not negative"; }

// Narrows `count` doubles to floats, refusing the first value that fails
// `valid`, named "<what> of <item> i".
template <class Valid>
std::vector<float> narrowChecked(const double* values, std::size_t count, Valid valid, const std::string& where,
                                 const std::string& what, const char* item, const char* rule) {
    std::vector<float> out(values, values + count);
    for (std::size_t i = 0; i < count; ++i)
        if (!valid(out[i])) refuseValue(where, what + " of " + item + " " + std::to_string(i), values[i], rule);
    return out;
}

// Material of a mesh about to be loaded. Non-finite values are left to the
// loader's own finiteness check (which names them alike for every source);
// this adds the ranges a medium needs.
inline void requireValidMaterial(const std::vector<float>& refrIndex, const std::vector<float>& absorptivity,
                                 std::size_t nodes, const std::string& where) {
    // Fields of another length are not used (the loader reports and replaces them).
    if (refrIndex.size() == nodes)
        for (std::size_t i = 0; i < nodes; ++i)
            if (std::isfinite(refrIndex[i]) && !validRefractiveIndex(refrIndex[i]))
                refuseValue(where, "refractive index of node " + std::to_string(i), refrIndex[i],
                            refractiveIndexRule());
    if (absorptivity.size() == nodes)
        for (std::size_t i = 0; i < nodes; ++i)
            if (std::isfinite(absorptivity[i]) && !validAbsorptivity(absorptivity[i]))
                refuseValue(where, "absorptivity of node " + std::to_string(i), absorptivity[i], absorptivityRule());
}

}  // namespace lvx
