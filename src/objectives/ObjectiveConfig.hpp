// Typed reading of TOML configuration keys (toml++), for the objectives'
// configureFromTable and the lumivex-trace program.
//
// Host-only: include this header only in translation units compiled by the
// C++ compiler, never in one compiled by nvcc.
//
// Every reader throws std::runtime_error naming the owner and the key when a
// value is missing, of the wrong type or out of range, for example
//   render objective: key "pixel_width" must be an integer, not a string (line 4)
//
// toml++ 3.3.0 has two parser defects reachable with 2-3 byte inputs (an
// assertion in parse_key on "[`", an unreachable branch on a sequence like a
// UTF-8 byte-order mark): hand only trusted text to its parser (see
// docs/physics-and-formats.md).
#pragma once

#include <toml++/toml.h>

#include <optional>
#include <string>
#include <string_view>

static_assert(TOML_LIB_MAJOR == 3, "lumivex declares toml::v3::table; build it against toml++ 3");

namespace lvx::config {

// A string that is not empty.
std::string requireString(const toml::table& table, std::string_view key, std::string_view owner);
std::optional<std::string> optionalString(const toml::table& table, std::string_view key, std::string_view owner);

// An integer from `min` to `max`.
long long requireInteger(const toml::table& table, std::string_view key, std::string_view owner, long long min,
                         long long max);

// A finite number (integer or floating point).
double requireNumber(const toml::table& table, std::string_view key, std::string_view owner);
std::optional<double> optionalNumber(const toml::table& table, std::string_view key, std::string_view owner);

// A boolean.
std::optional<bool> optionalBool(const toml::table& table, std::string_view key, std::string_view owner);

// Thrown text for a key whose value is wrong: "<owner>: key "<key>" <what> (line N)".
[[noreturn]] void badKey(std::string_view owner, std::string_view key, const std::string& what,
                         const toml::node* node = nullptr);

// "a string", "an integer", ... for messages.
const char* typeName(const toml::node& node);

}  // namespace lvx::config
