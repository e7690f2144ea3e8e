// Legacy VTK reader: a tokenising parser over the whole file held in memory.
#include "IO/ReadMesh.hpp"

#include "IO/TextFile.hpp"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace {

constexpr int kHexahedronCellType = 12;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Walks the file text by lines and by whitespace-separated tokens.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    bool atEnd() const { return pos_ >= text_.size(); }

    // Next line with surrounding blanks removed; false at the end of the text.
    bool nextLine(std::string_view& line) {
        if (atEnd()) return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = trim(text_.substr(pos_, end - pos_));
        pos_ = end + 1;
        return true;
    }

    // Next token without consuming it; empty at the end of the text.
    std::string_view peekToken() {
        skipBlanks();
        std::size_t end = pos_;
        while (end < text_.size() && !isBlank(text_[end])) ++end;
        return text_.substr(pos_, end - pos_);
    }

    void consume(std::string_view token) { pos_ = static_cast<std::size_t>(token.data() + token.size() - text_.data()); }

    // Parses the next token as a number; leaves the cursor in place on failure.
    template <class T>
    bool nextNumber(T& value) {
        std::string_view token = peekToken();
        if (token.empty()) return false;
        const char* first = token.data();
        const char* last = first + token.size();
        if (*first == '+' && token.size() > 1) ++first;
        auto [ptr, ec] = std::from_chars(first, last, value);
        if (ec != std::errc() || ptr != last) return false;
        consume(token);
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

// Collects everything the reader takes from one file; errors name the file.
class VtkParser {
public:
    VtkParser(std::string path, std::string_view text, VtkFileSummary& summary)
        : path_(std::move(path)), cursor_(text), text_(text), summary_(summary) {}

    HexMeshData parse() {
        std::string_view line;
        // The line after the "# vtk DataFile" header is a free-text title,
        // possibly empty or starting with a keyword.
        if (cursor_.nextLine(line) && line.rfind("# vtk", 0) == 0) cursor_.nextLine(line);
        else cursor_ = Cursor(text_);
        while (cursor_.nextLine(line)) {
            if (line.empty() || line.front() == '#') continue;
            handleLine(line);
        }
        finish();
        return std::move(data_);
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("Invalid VTK file '" + path_ + "': " + what);
    }

    long long count(const std::vector<std::string_view>& w, std::size_t index, const char* section) const {
        long long value = -1;
        if (w.size() > index) {
            auto [ptr, ec] = std::from_chars(w[index].data(), w[index].data() + w[index].size(), value);
            if (ec != std::errc() || ptr != w[index].data() + w[index].size()) value = -1;
        }
        if (value < 0 || value > INT_MAX / 8)
            fail(std::string(section) + " line has no valid count");
        return value;
    }

    void handleLine(std::string_view line) {
        const auto w = words(line);
        const std::string_view key = w.front();
        if (key == "BINARY") fail("binary legacy files are not supported; write the mesh as ASCII");
        if (key == "POINTS") return readPoints(count(w, 1, "POINTS"));
        if (key == "CELLS") return readCells(count(w, 1, "CELLS"));
        if (key == "CELL_TYPES") return readCellTypes(count(w, 1, "CELL_TYPES"));
        if (key == "POINT_DATA") pointData_ = true;
        if (key == "CELL_DATA") pointData_ = false;
        if (key == "SCALARS") readScalars(w.size() > 1 ? w[1] : std::string_view());
        // Any other line (title, ASCII, DATASET, other attributes) is skipped.
    }

    void readPoints(long long n) {
        data_.points.clear();
        data_.points.reserve(static_cast<std::size_t>(3 * n));
        for (long long i = 0; i < 3 * n; ++i) {
            float v;
            if (!cursor_.nextNumber(v))
                fail("POINTS declares " + std::to_string(n) + " points but the file holds " +
                     std::to_string(i / 3) + " complete points");
            if (!std::isfinite(v)) fail("point " + std::to_string(i / 3) + " has a non-finite coordinate");
            data_.points.push_back(v);
        }
    }

    void readCells(long long n) {
        data_.cells.clear();
        data_.cells.reserve(static_cast<std::size_t>(8 * n));
        for (long long c = 0; c < n; ++c) {
            int k = 0;
            if (!cursor_.nextNumber(k)) fail("CELLS declares " + std::to_string(n) + " cells but the file holds " + std::to_string(c));
            if (k != 8)
                fail("cell " + std::to_string(c) + " has " + std::to_string(k) +
                     " nodes; only 8-node hexahedra are supported");
            for (int j = 0; j < 8; ++j) {
                int id;
                if (!cursor_.nextNumber(id))
                    fail("CELLS declares " + std::to_string(n) + " cells but cell " + std::to_string(c) + " is incomplete");
                data_.cells.push_back(id);
            }
        }
    }

    void readCellTypes(long long n) {
        for (long long c = 0; c < n; ++c) {
            int type = 0;
            if (!cursor_.nextNumber(type))
                fail("CELL_TYPES declares " + std::to_string(n) + " types but the file holds " + std::to_string(c));
            if (type != kHexahedronCellType)
                fail("cell " + std::to_string(c) + " has VTK cell type " + std::to_string(type) +
                     "; only hexahedra (type 12) are supported");
        }
        cellTypes_ = n;
    }

    // Values of one scalar field: up to nPoints numbers, ending early at the
    // next keyword. Fields other than the two material fields are skipped.
    void readScalars(std::string_view name) {
        if (cursor_.peekToken() == "LOOKUP_TABLE") {
            std::string_view lookup;
            cursor_.nextLine(lookup);
            ++lookupLines_;
        }
        std::vector<float>* target = nullptr;
        if (pointData_ && name == "RefractiveIndex") target = &data_.refrIndex;
        if (pointData_ && name == "Absorptivity") target = &data_.absorptivity;
        const long long limit = target ? data_.nPoints() : LLONG_MAX;
        if (target) target->clear();
        float v;
        for (long long i = 0; i < limit && cursor_.nextNumber(v); ++i)
            if (target) target->push_back(v);
    }

    void finish() {
        const int n = data_.nPoints();
        for (std::size_t i = 0; i < data_.cells.size(); ++i) {
            const int id = data_.cells[i];
            if (id < 0 || id >= n)
                fail("cell " + std::to_string(i / 8) + " refers to node " + std::to_string(id) +
                     " outside 0.." + std::to_string(n - 1));
        }
        if (cellTypes_ >= 0 && cellTypes_ != data_.nCells())
            fail("CELL_TYPES lists " + std::to_string(cellTypes_) + " cells but CELLS has " +
                 std::to_string(data_.nCells()));
        summary_.lineCount = countLines() - lookupLines_;
    }

    int countLines() {
        Cursor c(text());
        std::string_view line;
        int lines = 0;
        while (c.nextLine(line)) ++lines;
        return lines;
    }

    std::string_view text() const { return text_; }

    std::string path_;
    Cursor cursor_;
    std::string_view text_;
    HexMeshData data_;
    VtkFileSummary& summary_;
    bool pointData_ = true;
    long long cellTypes_ = -1;
    int lookupLines_ = 0;
};

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
    return data;
}
