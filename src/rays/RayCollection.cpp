// Ray-set ownership on the device, the rotation of a ray set and the .ry
// file reader.
#include "rays/RayCollection.hpp"

#include "IO/TextFile.hpp"
#include "device/Buffer.hpp"
#include "device/Launch.hpp"

#include <cctype>
#include <cmath>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

// Stores the initial random state of ray i.
LVX_HD inline void initializeRandomStatesKernel(const RaysDataFlat* rays, int i) {
    rays->rngStates[i] = raySeed(static_cast<std::uint64_t>(i));
}

// Rotates ray i about the unit axis k by the angle whose cosine and sine are
// c and s (Rodrigues' formula). The origin is first moved back 10 units along
// the ray, so that a source sitting on the body surface ends up outside it
// after the turn. The direction is rotated as is: a rotation keeps its length.
LVX_HD inline void rotateRaysAroundAxisKernel(const RaysDataFlat* rays, int i, Vec3 k, float c,
                                              float s) {
    const Vec3 d = rays->getVector(i, rays->directions);
    const Vec3 q = rays->getVector(i, rays->positions) - d * 10.0f;
    const float t = 1.0f - c;
    const Vec3 rq = q * c + k.cross(q) * s + k * (k.dot(q) * t);
    const Vec3 rd = d * c + k.cross(d) * s + k * (k.dot(d) * t);
    rays->setVector(i, rq, rays->positions);
    rays->setVector(i, rd, rays->directions);
}

// A free function, because nvcc does not allow a device lambda inside a
// private member function such as allocate().
void launchInitializeRandomStates(const RaysDataFlat* rays, int n) {
    dev::forEach("initializeRandomStatesKernel", n,
                 LVX_LAMBDA(int i) { initializeRandomStatesKernel(rays, i); }, {dev::kSetupBlockSize});
    dev::synchronize();
}

// Ray arrays live in device memory, or in pinned host memory when the record's
// location is HOST.
template <class T>
dev::Buffer<T> rayArray(long long count, bool pinned) {
    const auto n = static_cast<std::size_t>(count);
    return pinned ? dev::pinnedBuffer<T>(n) : dev::deviceBuffer<T>(n);
}

}  // namespace

RayCollection::RayCollection(int n) {
    if (n < 0) throw std::runtime_error("RayCollection: negative ray count " + std::to_string(n));
    std::memset(&h_rdata, 0, sizeof(h_rdata));
    h_rdata.DEVICE = 0;
    h_rdata.HOST = 1;
    h_rdata.location = h_rdata.DEVICE;
    nRays = n;
    d_rdata = static_cast<RaysDataFlat*>(dev::malloc(sizeof(RaysDataFlat)));
    try {
        allocate();
    } catch (...) {
        dev::free(d_rdata);
        throw;
    }
}

RayCollection::~RayCollection() {
    release();
    dev::free(d_rdata);
}

void RayCollection::resize(int n) {
    if (n < 0) throw std::runtime_error("RayCollection: negative ray count " + std::to_string(n));
    const int previous = nRays;
    nRays = n;
    try {
        allocate();
    } catch (...) {
        nRays = previous;  // the old arrays are still in place
        throw;
    }
}

void RayCollection::synchronize() { dev::upload(d_rdata, &h_rdata, 1); }

// Replaces the arrays with new ones for nRays rays: face ids -1, random states
// by index. All five are allocated before the old ones are released.
void RayCollection::allocate() {
    const long long n = nRays;
    const bool pinned = h_rdata.location == h_rdata.HOST;
    auto positions = rayArray<float>(3 * n, pinned), directions = rayArray<float>(3 * n, pinned),
         payloads = rayArray<float>(n, pinned);
    auto faceIds = rayArray<int>(n, pinned);
    auto rngStates = rayArray<std::uint64_t>(n, pinned);

    release();
    h_rdata.positions = positions.release();
    h_rdata.directions = directions.release();
    h_rdata.payloads = payloads.release();
    h_rdata.faceIds = faceIds.release();
    h_rdata.rngStates = rngStates.release();
    h_rdata.nRays = nRays;
    synchronize();

    if (pinned) {
        for (long long i = 0; i < n; ++i) {
            h_rdata.faceIds[i] = -1;
            h_rdata.rngStates[i] = raySeed(static_cast<std::uint64_t>(i));
        }
        return;
    }
    dev::memset(h_rdata.faceIds, 0xFF, static_cast<std::size_t>(n) * sizeof(int));  // all -1
    launchInitializeRandomStates(d_rdata, nRays);
}

void RayCollection::saveStartPositions() {
    const std::size_t count = 3 * static_cast<std::size_t>(nRays);
    if (!d_startPositions && count > 0) d_startPositions = dev::allocArray<float>(count);
    dev::copyOnDevice(d_startPositions, h_rdata.positions, count * sizeof(float));
}

void RayCollection::restoreStartPositions() {
    if (!d_startPositions) return;
    dev::copyOnDevice(h_rdata.positions, d_startPositions, 3 * static_cast<std::size_t>(nRays) * sizeof(float));
}

void RayCollection::release() {
    dev::freeArray(d_startPositions);
    const bool pinned = h_rdata.location == h_rdata.HOST;
    for (void* p : {static_cast<void*>(h_rdata.positions), static_cast<void*>(h_rdata.directions),
                    static_cast<void*>(h_rdata.payloads), static_cast<void*>(h_rdata.faceIds),
                    static_cast<void*>(h_rdata.rngStates)})
        dev::BufferFree{pinned}(p);
    h_rdata.positions = h_rdata.directions = h_rdata.payloads = nullptr;
    h_rdata.faceIds = nullptr;
    h_rdata.rngStates = nullptr;
    h_rdata.nRays = 0;
}

void RayCollection::rotateRaysAroundAxis(Vec3 axis, float angle) {
    if (nRays <= 0) {
        std::printf("Warning: rotateRaysAroundAxis called with nRays = %d\n", nRays);
        std::fflush(stdout);
        return;
    }
    if (!d_rdata) {
        std::printf("Error: d_rdata is NULL in rotateRaysAroundAxis\n");
        std::fflush(stdout);
        return;
    }
    const Vec3 k = axis.normalized();  // a zero axis stays zero
    const float c = std::cos(angle), s = std::sin(angle);
    const RaysDataFlat* rays = d_rdata;
    dev::forEach("rotateRaysAroundAxisKernel", nRays,
                 LVX_LAMBDA(int i) { rotateRaysAroundAxisKernel(rays, i, k, c, s); }, {dev::kSetupBlockSize});
    dev::synchronize();
}

// ---------------------------------------------------------------------------
// .ry reader. The whole file is read into memory and parsed with
// std::from_chars, which is locale-free and much faster than stream
// extraction; a million rays load in a fraction of a second.
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

std::unique_ptr<RayCollection> readRays(const char* path) {
    std::string text;
    if (!readTextFile(path, text)) throw std::runtime_error("Failed to open file");
    std::size_t bodyStart = 0;
    const long long n = parseCount(findCountLine(text, bodyStart), path);
    const char* body = text.data() + bodyStart;
    const char* end = text.data() + text.size();

    // Every number takes at least one character, so a body shorter than 7n
    // characters cannot hold n records: count what is there without staging
    // (a huge count in a small file must not allocate for the count).
    if (n > (end - body) / 7)
        truncatedFile(path, n, parseRecords(body, end, n, [](long long, const float*) {}));

    // Pinned staging arrays for one bulk copy each to the device.
    const auto count = static_cast<std::size_t>(n);
    auto positions = dev::pinnedBuffer<float>(3 * count), directions = dev::pinnedBuffer<float>(3 * count),
         payloads = dev::pinnedBuffer<float>(count);
    float* pos = positions.get();
    float* dir = directions.get();
    float* pay = payloads.get();
    const long long found = parseRecords(body, end, n, [=](long long i, const float* v) {
        pos[i] = v[0];
        pos[n + i] = v[1];
        pos[2 * n + i] = v[2];
        // Normalised by division in single precision; zero stays zero.
        const float len = std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5]);
        const float s = len != 0.0f ? len : 1.0f;
        dir[i] = v[3] / s;
        dir[n + i] = v[4] / s;
        dir[2 * n + i] = v[5] / s;
        pay[i] = v[6];
    });
    if (found < n) truncatedFile(path, n, found);

    // Face ids (-1) and random states are set by the collection itself.
    auto rays = std::make_unique<RayCollection>(static_cast<int>(n));
    dev::upload(rays->h_rdata.positions, pos, static_cast<std::size_t>(3 * n));
    dev::upload(rays->h_rdata.directions, dir, static_cast<std::size_t>(3 * n));
    dev::upload(rays->h_rdata.payloads, pay, static_cast<std::size_t>(n));
    return rays;
}

std::unique_ptr<RayCollection> raysFromArrays(const double* origins, const double* directions,
                                              const double* powers, int n) {
    if (n < 0) throw std::runtime_error("ray count " + std::to_string(n) + " is negative");
    const std::size_t count = static_cast<std::size_t>(n);
    std::vector<float> pos(3 * count), dir(3 * count), pay(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double* o = origins + 3 * i;
        const double* d = directions + 3 * i;
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(o[c]) || !std::isfinite(d[c]))
                throw std::runtime_error("ray " + std::to_string(i) + " has a non-finite origin or direction");
        }
        if (!std::isfinite(powers[i])) throw std::runtime_error("ray " + std::to_string(i) + " has a non-finite power");
        const Vec3 unit = Vec3(static_cast<float>(d[0]), static_cast<float>(d[1]), static_cast<float>(d[2])).normalized();
        for (int c = 0; c < 3; ++c) {
            pos[c * count + i] = static_cast<float>(o[c]);
            dir[c * count + i] = unit[c];
        }
        pay[i] = static_cast<float>(powers[i]);
    }
    auto rays = std::make_unique<RayCollection>(n);
    dev::upload(rays->h_rdata.positions, pos.data(), pos.size());
    dev::upload(rays->h_rdata.directions, dir.data(), dir.size());
    dev::upload(rays->h_rdata.payloads, pay.data(), pay.size());
    return rays;
}
