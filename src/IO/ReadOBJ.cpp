// Wavefront OBJ reader: a surface of quadrilaterals as a surface-only mesh.
#include "IO/ReadMesh.hpp"

#include "device/Device.hpp"

#include <climits>
#include <cstdio>
#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct ObjContents {
    std::vector<float> vertices;  // x, y, z per vertex
    std::vector<float> normals;   // x, y, z per "vn" line
    std::vector<int> faceNodes;   // 4 zero-based vertex ids per face
    std::vector<int> faceLines;   // line of each face, for messages
};

class ObjParser {
public:
    explicit ObjParser(const char* path) : path_(path) {}

    ObjContents parse(std::istream& in) {
        std::string line;
        while (std::getline(in, line)) {
            ++lineNo_;
            std::istringstream words(line);
            words.imbue(std::locale::classic());
            std::string keyword;
            if (!(words >> keyword)) continue;
            if (keyword == "v")
                readTriple(words, out_.vertices, "vertex");
            else if (keyword == "vn")
                readTriple(words, out_.normals, "normal");
            else if (keyword == "f")
                readFace(words);
        }
        checkFaces();
        return std::move(out_);
    }

private:
    std::string where() const { return std::string(path_) + ":" + std::to_string(lineNo_); }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("Invalid OBJ file " + where() + ": " + what);
    }

    void readTriple(std::istringstream& words, std::vector<float>& into, const char* what) {
        float v[3];
        if (!(words >> v[0] >> v[1] >> v[2])) fail(std::string(what) + " line needs three numbers");
        into.insert(into.end(), v, v + 3);
    }

    void readFace(std::istringstream& words) {
        std::vector<std::string> corners;
        for (std::string word; words >> word;) corners.push_back(word);
        if (corners.size() != 4)
            fail("face has " + std::to_string(corners.size()) +
                 " vertices; only quadrilaterals (four vertices) are supported");
        for (const std::string& corner : corners) {
            const int id = vertexReference(corner);
            if (id < 1) fail("face refers to vertex " + std::to_string(id) + ", outside the vertex list");
            out_.faceNodes.push_back(id - 1);
        }
        out_.faceLines.push_back(lineNo_);
    }

    // The vertex number before the first '/', parsed as std::stoi does; its
    // errors keep their type and gain the place in the file.
    int vertexReference(const std::string& corner) const {
        const std::string head = corner.substr(0, corner.find('/'));
        try {
            return std::stoi(head);
        } catch (const std::invalid_argument&) {
            throw std::invalid_argument("stoi: " + where() + ": face entry '" + corner + "' is not a vertex number");
        } catch (const std::out_of_range&) {
            throw std::out_of_range("stoi: " + where() + ": face entry '" + corner + "' is out of range");
        }
    }

    // Faces may refer to vertices defined further down, so references are
    // checked once every vertex is known.
    void checkFaces() {
        const std::size_t nVertices = out_.vertices.size() / 3;
        const std::size_t nFaces = out_.faceLines.size();
        for (std::size_t i = 0; i < out_.faceNodes.size(); ++i) {
            if (static_cast<std::size_t>(out_.faceNodes[i]) < nVertices) continue;
            lineNo_ = out_.faceLines[i / 4];
            fail("face refers to vertex " + std::to_string(out_.faceNodes[i] + 1) + ", outside the vertex list 1.." +
                 std::to_string(nVertices));
        }
        const std::size_t nNormals = out_.normals.size() / 3;
        if (nNormals > 0 && nNormals < nFaces) {
            lineNo_ = out_.faceLines[nNormals];
            fail("face " + std::to_string(nNormals + 1) + " has no normal: the file has " + std::to_string(nNormals) +
                 " normal lines for " + std::to_string(nFaces) + " faces");
        }
        if (nVertices > static_cast<std::size_t>(INT_MAX) || nFaces > static_cast<std::size_t>(INT_MAX / 4))
            throw std::runtime_error("Invalid OBJ file " + std::string(path_) + ": too many vertices or faces");
    }

    const char* path_;
    int lineNo_ = 0;
    ObjContents out_;
};

// Structure-of-arrays copy (all x, then all y, then all z) of `count` triples.
std::vector<float> toSoA(const std::vector<float>& triples, std::size_t count) {
    std::vector<float> soa(3 * count);
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t c = 0; c < 3; ++c) soa[c * count + i] = triples[3 * i + c];
    return soa;
}

}  // namespace

std::unique_ptr<Mesh> readOBJ(const char* path) {
    if (path == nullptr) throw std::runtime_error("Cannot open OBJ file.");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot open OBJ file.");
    const ObjContents obj = ObjParser(path).parse(in);

    const int nVertices = static_cast<int>(obj.vertices.size() / 3);
    const int nFaces = static_cast<int>(obj.faceLines.size());
    auto mesh = std::make_unique<Mesh>(nVertices, 1, nFaces);
    MeshDataFlat& m = mesh->h_mdata_devlink;
    const std::size_t v = static_cast<std::size_t>(nVertices);
    const std::size_t f = static_cast<std::size_t>(nFaces);

    dev::upload(m.nodeCoords, toSoA(obj.vertices, v).data(), 3 * v);
    // A surface has no volume: clear, non-absorbing nodes; faces belong to no element.
    dev::upload(m.refrIndex, std::vector<float>(v, 1.0f).data(), v);
    dev::upload(m.absorptivity, std::vector<float>(v, 0.0f).data(), v);
    dev::memset(m.nodalMass, 0, v * sizeof(float));
    dev::upload(m.faceNodes, obj.faceNodes.data(), 4 * f);
    dev::memset(m.faceElement, 0xFF, f * sizeof(int));
    dev::memset(m.faceLocalFace, 0xFF, f * sizeof(int));
    const bool haveNormals = !obj.normals.empty();
    if (haveNormals) dev::upload(m.faceNormals, toSoA(obj.normals, f).data(), 3 * f);
    mesh->synchronize();
    std::printf("\nFinished reading obj file, summary:\n - Faces: %d\n - Nodes: %d\n", nFaces, nVertices);
    std::fflush(stdout);

    if (!haveNormals) mesh->computeNormals();
    return mesh;
}
