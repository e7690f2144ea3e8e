// The .ry reader. The whole file is read into memory and parsed with
// std::from_chars, which is locale-free and much faster than stream
// extraction; a million rays load in a fraction of a second.
#include "IO/ReadRays.hpp"

#include "IO/TextFile.hpp"
#include "engine/Messages.hpp"
#include "tracer/mathutils.hpp"

#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

bool isBlank(char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); }

// A number that from_chars finds out of float range: a classic-locale stream
// decides, so that underflow gives zero or a subnormal and overflow fails,
// exactly as extraction from a stream would. Rare, so speed does not matter.
bool parseOutOfRange(const char* first, const char* last, float& out) {
    std::istringstream in(std::string(first, last));
    in.imbue(std::locale::classic());
    float value = 0.0f;
    if (!(in >> value)) return false;
    out = value;
    return true;
}

// Parses the decimal float after any whitespace at p and advances p past it.
// Accepts what a classic-locale stream extraction accepts (an optional sign,
// digits with an optional point and exponent) and so rejects "inf" and "nan".
bool parseFloat(const char*& p, const char* end, float& out) {
    while (p != end && isBlank(*p)) ++p;
    const char* first = p;
    if (first != end && *first == '+') ++first;  // from_chars takes only '-'
    const char* digits = first;
    if (digits != end && *digits == '-' && first == p) ++digits;
    if (digits == end || !(std::isdigit(static_cast<unsigned char>(*digits)) || *digits == '.'))
        return false;
    const auto [last, ec] = std::from_chars(first, end, out);
    if (ec == std::errc::result_out_of_range) {
        if (!parseOutOfRange(first, last, out)) return false;
    } else if (ec != std::errc()) {
        return false;
    }
    p = last;
    return true;
}

// Reads up to `count` records of seven floats from [p, end), handing each to
// store(i, values). Returns the number of complete records.
template <class Store>
long long parseRecords(const char* p, const char* end, long long count, Store&& store) {
    float v[7];
    long long found = 0;
    for (; found < count; ++found) {
        for (int k = 0; k < 7; ++k)
            if (!parseFloat(p, end, v[k])) return found;
        store(found, v);
    }
    return found;
}

// Splits off the count line: empty lines and lines starting with '#' before it
// are skipped (a trailing '\r' of Windows line ends is ignored when deciding
// whether a line is empty). Returns the count line and sets bodyStart to the
// text after it; a file with no such line gives an empty count line.
std::string findCountLine(const std::string& text, std::size_t& bodyStart) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        std::size_t len = eol - pos;
        if (len > 0 && text[pos + len - 1] == '\r') --len;
        const bool skip = len == 0 || text[pos] == '#';
        if (!skip) {
            bodyStart = eol < text.size() ? eol + 1 : eol;
            return text.substr(pos, len);
        }
        pos = eol + 1;
    }
    bodyStart = text.size();
    return std::string();
}

// Ray count from its line, as an unsigned 64-bit number (std::stoull throws
// std::invalid_argument / std::out_of_range for no digits or too many). A
// count that is negative or beyond an int is rejected here, since stoull
// silently wraps a leading '-'.
int parseCount(const std::string& line, const char* path) {
    const unsigned long long value = std::stoull(line);
    std::size_t first = 0;
    while (first < line.size() && isBlank(line[first])) ++first;
    if (line[first] == '-' && value != 0)
        throw std::runtime_error(std::string("Ray file ") + path + ": ray count -" +
                                 std::to_string(0ULL - value) + " is negative");
    if (value > static_cast<unsigned long long>(INT_MAX))
        throw std::runtime_error(std::string("Ray file ") + path + ": ray count " +
                                 std::to_string(value) + " exceeds the largest supported count " +
                                 std::to_string(INT_MAX));
    return static_cast<int>(value);
}

[[noreturn]] void truncatedFile(const char* path, long long count, long long found) {
    throw std::runtime_error(std::string("Ray file ") + path + " declares " +
                             std::to_string(count) + " rays but holds only " +
                             std::to_string(found) + " complete records");
}

}  // namespace

RayData readRayFile(const char* path) {
    std::string text;
    if (!readTextFile(path, text)) throw std::runtime_error(lvx::msg::kFileOpenFailed);
    std::size_t bodyStart = 0;
    const long long n = parseCount(findCountLine(text, bodyStart), path);
    const char* body = text.data() + bodyStart;
    const char* end = text.data() + text.size();

    // Every number takes at least one character, so a body shorter than 7n
    // characters cannot hold n records: count what is there without storage
    // (a huge count in a small file must not allocate for the count).
    if (n > (end - body) / 7)
        truncatedFile(path, n, parseRecords(body, end, n, [](long long, const float*) {}));

    RayData rays(static_cast<std::size_t>(n));
    float* pos = rays.positions.data();
    float* dir = rays.directions.data();
    float* pay = rays.payloads.data();
    const long long found = parseRecords(body, end, n, [=](long long i, const float* v) {
        pos[i] = v[0];
        pos[n + i] = v[1];
        pos[2 * n + i] = v[2];
        // Normalised in double (in single precision (0, 0, 3e19) would
        // overflow to a zero direction); zero stays zero.
        const double len = std::sqrt(double(v[3]) * v[3] + double(v[4]) * v[4] + double(v[5]) * v[5]);
        const double s = len != 0.0 ? len : 1.0;
        dir[i] = static_cast<float>(v[3] / s);
        dir[n + i] = static_cast<float>(v[4] / s);
        dir[2 * n + i] = static_cast<float>(v[5] / s);
        pay[i] = v[6];
    });
    if (found < n) truncatedFile(path, n, found);
    return rays;
}

RayData rayDataFromArrays(const double* origins, const double* directions, const double* powers, int n) {
    if (n < 0) throw std::runtime_error("ray count " + std::to_string(n) + " is negative");
    const std::size_t count = static_cast<std::size_t>(n);
    RayData rays(count);
    // Values are checked as the device will hold them (single precision), and
    // directions are normalised in double.
    for (std::size_t i = 0; i < count; ++i) {
        const double* o = origins + 3 * i;
        const double* d = directions + 3 * i;
        const std::string ray = "ray " + std::to_string(i);
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(static_cast<float>(o[c])))
                throw std::runtime_error(ray + " has an origin that is not finite in single precision");
            if (!std::isfinite(d[c])) throw std::runtime_error(ray + " has a non-finite direction");
        }
        if (!std::isfinite(static_cast<float>(powers[i])))
            throw std::runtime_error(ray + " has a power that is not finite in single precision");
        const double length = std::hypot(d[0], d[1], d[2]);  // no overflow for huge components
        // A ray without a direction cannot be traced; in a file such a record
        // is kept as (0, 0, 0), but arrays given by a program are refused.
        if (!(length > 0.0 && std::isfinite(length))) throw std::runtime_error(ray + " has a zero direction");
        for (int c = 0; c < 3; ++c) {
            rays.positions[c * count + i] = static_cast<float>(o[c]);
            rays.directions[c * count + i] = static_cast<float>(d[c] / length);
        }
        rays.payloads[i] = static_cast<float>(powers[i]);
    }
    return rays;
}
