// Legacy VTK reader, versions 2.0 to 5.1, ASCII and BINARY: a parser over the
// whole file held in memory that returns the hexahedra and the two material
// arrays as host data.
#include "IO/ReadMesh.hpp"

#include "IO/TextFile.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

namespace {

constexpr int kHexahedronCellType = 12;

// Space, tab, CR, LF, VT and FF, looked up in one table: the tokeniser asks
// this of every character of an ASCII file.
constexpr auto kBlankTable = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\r', '\n', '\v', '\f'}) table[c] = true;
    return table;
}();

bool isBlank(char c) { return kBlankTable[static_cast<unsigned char>(c)]; }

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// ---------------------------------------------------------------------------
// Cell types: what is kept, what is skipped, what is refused.

struct CellTypeInfo {
    int type;
    const char* name;
    bool volume;
};

constexpr CellTypeInfo kCellTypes[] = {
    {0, "empty", false},
    {1, "vertex", false},
    {2, "poly-vertex", false},
    {3, "line", false},
    {4, "poly-line", false},
    {5, "triangle", false},
    {6, "triangle strip", false},
    {7, "polygon", false},
    {8, "pixel", false},
    {9, "quad", false},
    {10, "tetra", true},
    {11, "voxel", true},
    {12, "hexahedron", true},
    {13, "wedge", true},
    {14, "pyramid", true},
    {15, "pentagonal prism", true},
    {16, "hexagonal prism", true},
    {21, "quadratic edge", false},
    {22, "quadratic triangle", false},
    {23, "quadratic quad", false},
    {24, "quadratic tetra", true},
    {25, "quadratic hexahedron", true},
    {26, "quadratic wedge", true},
    {27, "quadratic pyramid", true},
    {28, "biquadratic quad", false},
    {29, "triquadratic hexahedron", true},
    {30, "quadratic linear quad", false},
    {31, "quadratic linear wedge", true},
    {32, "biquadratic quadratic wedge", true},
    {33, "biquadratic quadratic hexahedron", true},
    {34, "biquadratic triangle", false},
    {35, "cubic line", false},
    {36, "quadratic polygon", false},
    {42, "polyhedron", true},
    {68, "Lagrange curve", false},
    {69, "Lagrange triangle", false},
    {70, "Lagrange quadrilateral", false},
    {71, "Lagrange tetrahedron", true},
    {72, "Lagrange hexahedron", true},
    {73, "Lagrange wedge", true},
    {74, "Lagrange pyramid", true},
    {75, "Bezier curve", false},
    {76, "Bezier triangle", false},
    {77, "Bezier quadrilateral", false},
    {78, "Bezier tetrahedron", true},
    {79, "Bezier hexahedron", true},
    {80, "Bezier wedge", true},
    {81, "Bezier pyramid", true},
};

const CellTypeInfo* cellType(int type) {
    for (const CellTypeInfo& info : kCellTypes)
        if (info.type == type) return &info;
    return nullptr;
}

// "3 tetra cells (VTK type 10), 1 wedge cell (VTK type 13)"
std::string describeCells(const std::map<int, long long>& counts) {
    std::string out;
    for (const auto& [type, count] : counts) {
        const CellTypeInfo* info = cellType(type);
        if (!out.empty()) out += ", ";
        out += std::to_string(count) + " " + (info ? info->name : "unknown") + (count == 1 ? " cell" : " cells") +
               " (VTK type " + std::to_string(type) + ")";
    }
    return out;
}

// ---------------------------------------------------------------------------
// Big-endian binary values (the byte order legacy VTK prescribes).

enum class Scalar { I8, U8, I16, U16, I32, U32, I64, U64, F32, F64 };

bool scalarFromName(std::string_view name, Scalar& out) {
    static constexpr std::pair<const char*, Scalar> kNames[] = {
        {"char", Scalar::I8},           {"signed_char", Scalar::I8},     {"unsigned_char", Scalar::U8},
        {"short", Scalar::I16},         {"unsigned_short", Scalar::U16}, {"int", Scalar::I32},
        {"unsigned_int", Scalar::U32},  {"vtkidtype", Scalar::I32},      {"long", Scalar::I64},
        {"unsigned_long", Scalar::U64}, {"long_long", Scalar::I64},      {"unsigned_long_long", Scalar::U64},
        {"vtktypeint64", Scalar::I64},  {"vtktypeuint64", Scalar::U64},  {"vtktypeint32", Scalar::I32},
        {"vtktypeuint32", Scalar::U32}, {"vtktypeint16", Scalar::I16},   {"vtktypeuint16", Scalar::U16},
        {"vtktypeint8", Scalar::I8},    {"vtktypeuint8", Scalar::U8},    {"vtktypefloat32", Scalar::F32},
        {"vtktypefloat64", Scalar::F64}, {"float", Scalar::F32},         {"double", Scalar::F64},
    };
    for (const auto& [text, scalar] : kNames)
        if (equalsNoCase(name, text)) {
            out = scalar;
            return true;
        }
    return false;
}

std::size_t scalarSize(Scalar s) {
    switch (s) {
        case Scalar::I8: case Scalar::U8: return 1;
        case Scalar::I16: case Scalar::U16: return 2;
        case Scalar::I32: case Scalar::U32: case Scalar::F32: return 4;
        default: return 8;
    }
}

template <class Bits>
Bits fromBigEndian(Bits bits) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if constexpr (sizeof(Bits) == 2) return static_cast<Bits>(__builtin_bswap16(bits));
    if constexpr (sizeof(Bits) == 4) return __builtin_bswap32(bits);
    if constexpr (sizeof(Bits) == 8) return __builtin_bswap64(bits);
#endif
    return bits;
}

template <std::size_t N> struct BitsOf;
template <> struct BitsOf<1> { using type = std::uint8_t; };
template <> struct BitsOf<2> { using type = std::uint16_t; };
template <> struct BitsOf<4> { using type = std::uint32_t; };
template <> struct BitsOf<8> { using type = std::uint64_t; };

// Src -> T; integers out of T's range saturate, so that a wild id stays
// out of range instead of wrapping into a valid one.
template <class T, class Src>
T convert(Src v) {
    if constexpr (std::is_integral_v<T> && !std::is_floating_point_v<Src>) {
        if constexpr (std::is_signed_v<Src>) {
            if (static_cast<long long>(v) < static_cast<long long>(std::numeric_limits<T>::min()))
                return std::numeric_limits<T>::min();
        }
        if (static_cast<unsigned long long>(std::max<Src>(v, 0)) >
            static_cast<unsigned long long>(std::numeric_limits<T>::max()))
            return std::numeric_limits<T>::max();
        return static_cast<T>(v);
    } else if constexpr (std::is_integral_v<T>) {
        if (!(v >= static_cast<Src>(std::numeric_limits<T>::min()))) return std::numeric_limits<T>::min();
        if (!(v <= static_cast<Src>(std::numeric_limits<T>::max()))) return std::numeric_limits<T>::max();
        return static_cast<T>(v);
    } else {
        return static_cast<T>(v);
    }
}

template <class Src, class T>
void decodeAs(const char* bytes, std::size_t count, T* out) {
    using Bits = typename BitsOf<sizeof(Src)>::type;
    for (std::size_t i = 0; i < count; ++i) {
        Bits bits;
        std::memcpy(&bits, bytes + i * sizeof(Src), sizeof(Src));
        bits = fromBigEndian(bits);
        Src value;
        std::memcpy(&value, &bits, sizeof(Src));
        out[i] = convert<T>(value);
    }
}

template <class T>
void decode(Scalar s, const char* bytes, std::size_t count, T* out) {
    switch (s) {
        case Scalar::I8: return decodeAs<std::int8_t>(bytes, count, out);
        case Scalar::U8: return decodeAs<std::uint8_t>(bytes, count, out);
        case Scalar::I16: return decodeAs<std::int16_t>(bytes, count, out);
        case Scalar::U16: return decodeAs<std::uint16_t>(bytes, count, out);
        case Scalar::I32: return decodeAs<std::int32_t>(bytes, count, out);
        case Scalar::U32: return decodeAs<std::uint32_t>(bytes, count, out);
        case Scalar::I64: return decodeAs<std::int64_t>(bytes, count, out);
        case Scalar::U64: return decodeAs<std::uint64_t>(bytes, count, out);
        case Scalar::F32: return decodeAs<float>(bytes, count, out);
        case Scalar::F64: return decodeAs<double>(bytes, count, out);
    }
}

// ---------------------------------------------------------------------------

// Walks the file text by lines, by whitespace-separated tokens, or (binary
// sections) by bytes.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ >= text_.size(); }
    std::size_t remaining() const { return text_.size() - std::min(pos_, text_.size()); }
    const char* here() const { return text_.data() + pos_; }
    void advance(std::size_t bytes) { pos_ += bytes; }
    int linesRead() const { return lines_; }

    // Next line with surrounding blanks removed; false at the end of the text.
    bool nextLine(std::string_view& line) {
        if (atEnd()) return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = trim(text_.substr(pos_, end - pos_));
        pos_ = std::min(end + 1, text_.size());  // never past the end: the cursor's reads index from it
        ++lines_;
        return true;
    }

    // Whether the text at the cursor, blanks not skipped, begins with `word`.
    bool startsWith(std::string_view word) const { return text_.substr(pos_, word.size()) == word; }

    // Next token without consuming it; empty at the end of the text.
    std::string_view peekToken() {
        skipBlanks();
        std::size_t end = pos_;
        while (end < text_.size() && !isBlank(text_[end])) ++end;
        return text_.substr(pos_, end - pos_);
    }

    void consume(std::string_view token) { pos_ = static_cast<std::size_t>(token.data() + token.size() - text_.data()); }

    // Parses the next token as a number; leaves the cursor in place on failure.
    // The number is parsed straight from the text: it must end where the
    // token does, at a blank or the end of the text.
    template <class T>
    bool nextNumber(T& value) {
        skipBlanks();
        if (atEnd()) return false;
        const char* first = text_.data() + pos_;
        const char* end = text_.data() + text_.size();
        if (*first == '+' && first + 1 < end && !isBlank(first[1])) ++first;
        auto [ptr, ec] = std::from_chars(first, end, value);
        if (ec != std::errc() || (ptr != end && !isBlank(*ptr))) return false;
        pos_ = static_cast<std::size_t>(ptr - text_.data());
        return true;
    }

    static std::string_view trim(std::string_view s) {
        while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
        while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
        return s;
    }

private:
    // Skips blanks and whole comment lines ('#' first on its line), so that
    // comments may stand anywhere, also among the numbers of a section.
    void skipBlanks() {
        while (pos_ < text_.size()) {
            if (isBlank(text_[pos_])) {
                ++pos_;
            } else if (text_[pos_] == '#' && atLineStart(pos_)) {
                const std::size_t end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end;
            } else {
                break;
            }
        }
    }

    bool atLineStart(std::size_t pos) const {
        while (pos > 0 && (text_[pos - 1] == ' ' || text_[pos - 1] == '\t')) --pos;
        return pos == 0 || text_[pos - 1] == '\n';
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int lines_ = 0;
};

// Words of one header line ("POINTS 8 float" -> {"POINTS", "8", "float"}).
std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    Cursor c(line);
    for (std::string_view w = c.peekToken(); !w.empty(); w = c.peekToken()) {
        out.push_back(w);
        c.consume(w);
    }
    return out;
}

std::string readWholeFile(const std::string& path) {
    std::string text;
    if (!readTextFile(path, text)) throw std::runtime_error("Cannot open VTK file.");
    return text;
}

enum class Attributes { None, Point, Cell };

// Cells as read, before the hexahedra are picked: cell c holds the ids
// ids[offsets[c]] .. ids[offsets[c+1]-1].
struct RawCells {
    std::vector<long long> offsets{0};
    std::vector<int> ids;
    long long count() const { return static_cast<long long>(offsets.size()) - 1; }
};

// Collects everything the reader takes from one file; errors name the file.
class VtkParser {
public:
    VtkParser(std::string path, std::string_view text, VtkFileSummary& summary)
        : path_(std::move(path)), cursor_(text), text_(text), summary_(summary) {}

    HexMeshData parse() {
        readHeader();
        std::string_view line;
        while (cursor_.nextLine(line)) {
            if (line.empty() || line.front() == '#') continue;
            handleLine(line);
        }
        return finish();
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("Invalid VTK file '" + path_ + "': " + what);
    }

    // "# vtk DataFile Version x.y", a free-text title (possibly empty or
    // holding keywords), then ASCII or BINARY.
    void readHeader() {
        std::string_view line;
        constexpr std::string_view kHeader = "# vtk DataFile";
        if (!cursor_.nextLine(line) || !equalsNoCase(line.substr(0, kHeader.size()), kHeader))
            fail("the first line is not the \"# vtk DataFile Version ...\" header, so this is not a legacy VTK "
                 "file (other mesh formats load with lumivex_tools.load_mesh_file)");
        cursor_.nextLine(line);
        if (!cursor_.nextLine(line)) fail("the file ends before the line that says ASCII or BINARY");
        binary_ = equalsNoCase(line, "BINARY");
        if (!binary_ && !equalsNoCase(line, "ASCII"))
            fail("the third line must say ASCII or BINARY, not \"" + std::string(line.substr(0, 40)) + "\"");
    }

    long long count(const std::vector<std::string_view>& w, std::size_t index, std::string_view section) const {
        long long value = -1;
        if (w.size() > index) {
            auto [ptr, ec] = std::from_chars(w[index].data(), w[index].data() + w[index].size(), value);
            if (ec != std::errc() || ptr != w[index].data() + w[index].size()) value = -1;
        }
        if (value < 0 || value > INT_MAX / 8) fail(std::string(section) + " line has no valid count");
        return value;
    }

    // Value type of a binary section (ASCII sections read numbers as text).
    Scalar scalarType(const std::vector<std::string_view>& w, std::size_t index, std::string_view section) const {
        Scalar s = Scalar::F32;
        if (w.size() <= index || !scalarFromName(w[index], s))
            fail(std::string(section) + " has the data type \"" +
                 std::string(w.size() > index ? w[index] : std::string_view()) +
                 "\", which binary files cannot use here (numbers of 1 to 8 bytes)");
        return s;
    }

    // Refuses a count the rest of the file cannot hold, before anything is
    // allocated for it: a text number takes at least two characters with its
    // separator, a binary one its size.
    void requireRoom(long long values, std::size_t bytesPerValue, const std::string& what) const {
        const std::size_t room = cursor_.remaining();
        const bool fits = binary_ ? static_cast<unsigned long long>(values) <= room / bytesPerValue
                                  : static_cast<unsigned long long>(values) <= (room + 1) / 2;
        if (!fits)
            fail(what + " declares " + std::to_string(values) + " values, more than the remaining " +
                 std::to_string(room) + (binary_ ? " bytes of binary data hold" : " bytes of text hold"));
    }

    // Reads `count` binary values of type `s` into `out`, or skips them when
    // `out` is null.
    template <class T>
    void readBinary(Scalar s, long long count, std::vector<T>* out, const std::string& what) {
        const std::size_t size = scalarSize(s);
        requireRoom(count, size, what);
        if (out) {
            out->resize(static_cast<std::size_t>(count));
            decode(s, cursor_.here(), out->size(), out->data());
        }
        cursor_.advance(static_cast<std::size_t>(count) * size);
    }

    void handleLine(std::string_view line) {
        const auto w = words(line);
        const std::string_view key = w.front();
        if (key == "DATASET") return checkDataset(w);
        if (key == "POINTS") return readPoints(count(w, 1, "POINTS"), w);
        if (key == "CELLS") return readCells(count(w, 1, "CELLS"), w.size() > 2 ? count(w, 2, "CELLS") : 0);
        if (key == "CELL_TYPES") return readCellTypes(count(w, 1, "CELL_TYPES"));
        if (key == "POINT_DATA" || key == "CELL_DATA") {
            attributes_ = key == "POINT_DATA" ? Attributes::Point : Attributes::Cell;
            attributeCount_ = count(w, 1, key);
            return;
        }
        if (key == "SCALARS") return readScalars(w);
        if (key == "FIELD") return readField(count(w, 2, "FIELD"));
        if (key == "METADATA") return skipMetadata();
        // ASCII: any other line (title words, other attributes and their
        // numbers) is skipped. Binary: the data of other attributes must be
        // stepped over exactly.
        if (binary_) skipBinaryAttribute(w, line);
    }

    void checkDataset(const std::vector<std::string_view>& w) const {
        if (w.size() > 1 && !equalsNoCase(w[1], "UNSTRUCTURED_GRID"))
            fail("DATASET " + std::string(w[1]) + " holds no hexahedra; only UNSTRUCTURED_GRID meshes load");
    }

    void readPoints(long long n, const std::vector<std::string_view>& w) {
        sawPoints_ = true;
        data_.points.clear();
        const std::string what = "POINTS";
        if (binary_) {
            readBinary(scalarType(w, 2, what), 3 * n, &data_.points, what);
        } else {
            requireRoom(3 * n, 0, "POINTS (" + std::to_string(n) + " points)");
            data_.points.reserve(static_cast<std::size_t>(3 * n));
            for (long long i = 0; i < 3 * n; ++i) {
                float v;
                if (!cursor_.nextNumber(v))
                    fail("POINTS declares " + std::to_string(n) + " points but the file holds " +
                         std::to_string(i / 3) + " complete points");
                data_.points.push_back(v);
            }
        }
        for (std::size_t i = 0; i < data_.points.size(); ++i)
            if (!std::isfinite(data_.points[i])) fail("point " + std::to_string(i / 3) + " has a non-finite coordinate");
    }

    // "CELLS n size" followed by either the classic list (per cell its node
    // count and ids) or, from version 5.1, OFFSETS (n values) and
    // CONNECTIVITY (size values).
    void readCells(long long n, long long size) {
        sawCells_ = true;
        cells_ = RawCells();
        if (binary_ ? cursor_.startsWith("OFFSETS") : cursor_.peekToken() == "OFFSETS")
            return readOffsetCells(n, size);
        if (binary_) return readClassicBinaryCells(n, size);
        requireRoom(n, 0, "CELLS (" + std::to_string(n) + " cells)");
        cells_.offsets.reserve(static_cast<std::size_t>(n) + 1);
        // The list holds a node count before each cell's ids.
        const long long ids = size >= n ? size - n : size;
        cells_.ids.reserve(static_cast<std::size_t>(std::min<long long>(ids, static_cast<long long>(cursor_.remaining() / 2))));
        for (long long c = 0; c < n; ++c) {
            long long k = 0;
            if (!cursor_.nextNumber(k))
                fail("CELLS declares " + std::to_string(n) + " cells but the file holds " + std::to_string(c));
            if (k < 0) fail("cell " + std::to_string(c) + " declares " + std::to_string(k) + " nodes");
            for (long long j = 0; j < k; ++j) {
                long long id;
                if (!cursor_.nextNumber(id))
                    fail("CELLS declares " + std::to_string(n) + " cells but cell " + std::to_string(c) +
                         " is incomplete");
                cells_.ids.push_back(convert<int>(id));
            }
            cells_.offsets.push_back(static_cast<long long>(cells_.ids.size()));
        }
    }

    // Per cell its node count and ids, read into the id array and then
    // compacted in place (the counts drop out, so ids only move forward).
    void readClassicBinaryCells(long long n, long long size) {
        std::vector<int>& list = cells_.ids;
        readBinary(Scalar::I32, size, &list, "CELLS");
        cells_.offsets.reserve(static_cast<std::size_t>(n) + 1);
        std::size_t at = 0, kept = 0;
        for (long long c = 0; c < n; ++c) {
            const long long k = at < list.size() ? list[at] : -1;
            if (k < 0 || static_cast<unsigned long long>(k) > list.size() - at - 1)
                fail("CELLS declares " + std::to_string(n) + " cells in " + std::to_string(size) +
                     " numbers but cell " + std::to_string(c) + " does not fit in them");
            std::copy(list.begin() + static_cast<std::ptrdiff_t>(at + 1),
                      list.begin() + static_cast<std::ptrdiff_t>(at + 1 + k), list.begin() + static_cast<std::ptrdiff_t>(kept));
            kept += static_cast<std::size_t>(k);
            cells_.offsets.push_back(static_cast<long long>(kept));
            at += static_cast<std::size_t>(k) + 1;
        }
        list.resize(kept);
    }

    void readOffsetCells(long long nOffsets, long long size) {
        cells_.offsets = readIntegerBlock<long long>("OFFSETS", nOffsets);
        cells_.ids = readIntegerBlock<int>("CONNECTIVITY", size);
        const auto& off = cells_.offsets;
        if (off.empty()) cells_.offsets.push_back(0);
        bool ordered = off.front() == 0 && off.back() == size;
        for (std::size_t i = 1; ordered && i < off.size(); ++i) ordered = off[i - 1] <= off[i];
        if (!ordered)
            fail("OFFSETS must rise from 0 to the CONNECTIVITY size " + std::to_string(size));
    }

    // "OFFSETS type" or "CONNECTIVITY type" and its `n` integers.
    template <class T>
    std::vector<T> readIntegerBlock(const char* keyword, long long n) {
        std::string_view line;
        do {
            if (!cursor_.nextLine(line)) fail(std::string("the file ends before its ") + keyword + " block");
        } while (line.empty());
        const auto w = words(line);
        if (w.front() != keyword) fail(std::string("expected ") + keyword + ", found \"" + std::string(line.substr(0, 40)) + "\"");
        std::vector<T> values;
        if (binary_) {
            readBinary(scalarType(w, 1, keyword), n, &values, keyword);
            return values;
        }
        requireRoom(n, 0, keyword);
        values.reserve(static_cast<std::size_t>(n));
        for (long long i = 0; i < n; ++i) {
            long long v;
            if (!cursor_.nextNumber(v))
                fail(std::string(keyword) + " declares " + std::to_string(n) + " values but the file holds " +
                     std::to_string(i));
            values.push_back(convert<T>(v));
        }
        return values;
    }

    void readCellTypes(long long n) {
        cellTypes_.clear();
        sawCellTypes_ = true;
        if (binary_) return readBinary(Scalar::I32, n, &cellTypes_, "CELL_TYPES");
        requireRoom(n, 0, "CELL_TYPES");
        cellTypes_.reserve(static_cast<std::size_t>(n));
        for (long long c = 0; c < n; ++c) {
            int type = 0;
            if (!cursor_.nextNumber(type))
                fail("CELL_TYPES declares " + std::to_string(n) + " types but the file holds " + std::to_string(c));
            cellTypes_.push_back(type);
        }
    }

    // The array a point-data array of this name fills, or null.
    std::vector<float>* materialTarget(std::string_view name) {
        if (name == "RefractiveIndex") return &data_.refrIndex;
        if (name == "Absorptivity") return &data_.absorptivity;
        return nullptr;
    }

    // "SCALARS name [type [components]]", an optional LOOKUP_TABLE line, values.
    void readScalars(const std::vector<std::string_view>& w) {
        const std::string_view name = w.size() > 1 ? w[1] : std::string_view();
        const bool lookup = binary_ ? cursor_.startsWith("LOOKUP_TABLE") : cursor_.peekToken() == "LOOKUP_TABLE";
        if (lookup) {
            std::string_view line;
            cursor_.nextLine(line);
            ++lookupLines_;
        }
        std::vector<float>* target = attributes_ != Attributes::Cell ? materialTarget(name) : nullptr;
        if (binary_) {
            const long long components = w.size() > 3 ? count(w, 3, "SCALARS") : 1;
            if (target && components != 1) fail(std::string(name) + " must have one component per node");
            readBinary(scalarType(w, 2, "SCALARS " + std::string(name)), attributeCount_ * components, target,
                       "SCALARS " + std::string(name));
            return;
        }
        // Text values: up to one per point, ending early at the next keyword.
        const long long limit = target ? data_.nPoints() : LLONG_MAX;
        if (target) target->clear();
        float v;
        for (long long i = 0; i < limit && cursor_.nextNumber(v); ++i)
            if (target) target->push_back(v);
    }

    // "FIELD name n", then n arrays, each "name components tuples type" and
    // its values. Point-data arrays named like a material field are taken.
    void readField(long long arrays) {
        for (long long a = 0; a < arrays; ++a) {
            std::string_view line;
            do {
                if (!cursor_.nextLine(line))
                    fail("FIELD declares " + std::to_string(arrays) + " arrays but the file holds " + std::to_string(a));
                if (line == "METADATA") {
                    skipMetadata();
                    line = {};
                }
            } while (line.empty() || line.front() == '#');
            const auto w = words(line);
            if (w.front() == "NULL_ARRAY") continue;
            const std::string what = "FIELD array " + std::string(w.front());
            const long long components = count(w, 1, what), tuples = count(w, 2, what);
            std::vector<float>* target = attributes_ == Attributes::Point ? materialTarget(w.front()) : nullptr;
            if (target && components != 1) fail(what + " must have one component per node");
            if (!binary_ && w.size() > 3 && (w[3] == "string" || w[3] == "utf8_string")) {
                skipLines(components * tuples, what);  // one string per line
                continue;
            }
            if (binary_) {
                readBinary(scalarType(w, 3, what), components * tuples, target, what);
                continue;
            }
            readTextValues(components * tuples, target, what);
        }
    }

    void readTextValues(long long n, std::vector<float>* out, const std::string& what) {
        requireRoom(n, 0, what);
        if (out) {
            out->clear();
            out->reserve(static_cast<std::size_t>(n));
        }
        for (long long i = 0; i < n; ++i) {
            double v;
            if (!cursor_.nextNumber(v))
                fail(what + " declares " + std::to_string(n) + " values but the file holds " + std::to_string(i));
            if (out) out->push_back(static_cast<float>(v));
        }
    }

    void skipLines(long long n, const std::string& what) {
        std::string_view line;
        for (long long i = 0; i < n; ++i)
            if (!cursor_.nextLine(line))
                fail(what + " declares " + std::to_string(n) + " strings but the file holds " + std::to_string(i));
    }

    // Version 5.1 information keys: lines up to the next empty one.
    void skipMetadata() {
        std::string_view line;
        while (cursor_.nextLine(line) && !line.empty()) {
        }
    }

    // Steps over the data of an attribute this reader does not use.
    void skipBinaryAttribute(const std::vector<std::string_view>& w, std::string_view line) {
        const std::string_view key = w.front();
        const std::string what(key);
        if (key == "VECTORS" || key == "NORMALS")
            return readBinary<float>(scalarType(w, 2, what), 3 * attributeCount_, nullptr, what);
        if (key == "TENSORS" || key == "TENSORS6")
            return readBinary<float>(scalarType(w, 2, what), (key == "TENSORS" ? 9 : 6) * attributeCount_, nullptr, what);
        if (key == "TEXTURE_COORDINATES")
            return readBinary<float>(scalarType(w, 3, what), count(w, 2, what) * attributeCount_, nullptr, what);
        if (key == "GLOBAL_IDS" || key == "PEDIGREE_IDS")
            return readBinary<float>(scalarType(w, 2, what), attributeCount_, nullptr, what);
        if (key == "COLOR_SCALARS")
            return readBinary<float>(Scalar::U8, count(w, 2, what) * attributeCount_, nullptr, what);
        if (key == "LOOKUP_TABLE") return readBinary<float>(Scalar::U8, 4 * count(w, 2, what), nullptr, what);
        fail("unexpected line \"" + std::string(line.substr(0, 40)) +
             "\" in a binary file (a section this reader does not know, or binary data of the wrong length)");
    }

    // Picks the hexahedra (in file order), counts the skipped lower-dimensional
    // cells and refuses other volume cells. The hexahedra's ids are compacted
    // in place at the front of the id array, which then becomes the cell
    // array: a second copy of the largest array is never made.
    HexMeshData finish() {
        if (!sawPoints_) fail("the file has no POINTS section");
        if (!sawCells_) fail("the file has no CELLS section, so no hexahedra");
        const long long n = cells_.count();
        if (sawCellTypes_ && static_cast<long long>(cellTypes_.size()) != n)
            fail("CELL_TYPES lists " + std::to_string(cellTypes_.size()) + " cells but CELLS has " + std::to_string(n));
        std::map<int, long long> skipped, refused;
        std::size_t kept = 0;
        for (long long c = 0; c < n; ++c) {
            const long long k = cells_.offsets[c + 1] - cells_.offsets[c];
            const int type = sawCellTypes_ ? cellTypes_[c] : kHexahedronCellType;
            if (type == kHexahedronCellType) {
                if (k != 8)
                    fail("cell " + std::to_string(c) + " has " + std::to_string(k) +
                         " nodes; only 8-node hexahedra are supported");
                takeHexahedron(c, kept);
                kept += 8;
            } else {
                const CellTypeInfo* info = cellType(type);
                ++(info && !info->volume ? skipped : refused)[type];
            }
        }
        if (!refused.empty()) refuseVolumeCells(refused);
        if (kept == 0) fail("none of its " + std::to_string(n) + " cells is a hexahedron (VTK cell type 12)");
        cells_.ids.resize(kept);
        if (cells_.ids.capacity() - kept > kept / 8) cells_.ids.shrink_to_fit();  // many skipped cells
        data_.cells = std::move(cells_.ids);
        cells_ = RawCells();
        cellTypes_ = std::vector<int>();
        summary_.skippedCells.assign(skipped.begin(), skipped.end());
        summary_.lineCount = (binary_ ? cursor_.linesRead() : countLines()) - lookupLines_;
        return std::move(data_);
    }

    // Checks the ids of hexahedron c and moves them to ids[to..to+7]
    // (to never lies past where they are).
    void takeHexahedron(long long c, std::size_t to) {
        const int n = data_.nPoints();
        for (long long j = cells_.offsets[c]; j < cells_.offsets[c + 1]; ++j) {
            const int id = cells_.ids[j];
            if (id < 0 || id >= n)
                fail("cell " + std::to_string(c) + " refers to node " + std::to_string(id) + " outside 0.." +
                     std::to_string(n - 1));
            cells_.ids[to++] = id;
        }
    }

    [[noreturn]] void refuseVolumeCells(const std::map<int, long long>& refused) const {
        std::string what = "it holds " + describeCells(refused) +
                           "; only 8-node hexahedra (VTK type 12) can be traced: convert the mesh to hexahedra";
        if (refused.count(11))
            what += " (a voxel is a hexahedron whose nodes 2, 3 and 6, 7 are swapped: swap them and write "
                    "type 12)";
        fail(what);
    }

    int countLines() {
        Cursor c(text_);
        std::string_view line;
        int lines = 0;
        while (c.nextLine(line)) ++lines;
        return lines;
    }

    std::string path_;
    Cursor cursor_;
    std::string_view text_;
    VtkFileSummary& summary_;
    HexMeshData data_;
    bool binary_ = false;
    bool sawPoints_ = false, sawCells_ = false, sawCellTypes_ = false;
    RawCells cells_;
    std::vector<int> cellTypes_;
    Attributes attributes_ = Attributes::None;
    long long attributeCount_ = 0;
    int lookupLines_ = 0;
};

// "Skipped 30 lower-dimensional cells: 8 vertex cells (VTK type 1), ..."
void reportSkippedCells(const std::vector<std::pair<int, long long>>& skipped) {
    if (skipped.empty()) return;
    long long total = 0;
    for (const auto& entry : skipped) total += entry.second;
    const std::string list = describeCells(std::map<int, long long>(skipped.begin(), skipped.end()));
    std::printf("Skipped %lld lower-dimensional cells: %s\n", total, list.c_str());
}

}  // namespace

HexMeshData parseVTKText(const std::string& path, std::string_view text, VtkFileSummary* summary) {
    VtkFileSummary unused;
    return VtkParser(path, text, summary ? *summary : unused).parse();
}

HexMeshData parseVTK(const std::string& path, VtkFileSummary* summary) {
    return parseVTKText(path, readWholeFile(path), summary);
}

HexMeshData readVTKData(const char* path) {
    if (!path) throw std::runtime_error("Cannot open VTK file.");
    const std::string text = readWholeFile(path);
    std::printf("Reading VTK file: %s\n", path);
    std::fflush(stdout);
    VtkFileSummary summary;
    HexMeshData data = parseVTKText(path, text, &summary);
    std::printf("Read %d lines from file\n", summary.lineCount);
    reportSkippedCells(summary.skippedCells);
    return data;
}
