#include "IO/BMPFile.hpp"

#include "device/Device.hpp"
#include "device/MemoryBudget.hpp"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

constexpr std::size_t kHeaderBytes = 54;  // file header 14 + information header 40

std::size_t paddedRowBytes(int width) {
    const std::size_t raw = 3 * static_cast<std::size_t>(width);
    return (raw + 3) / 4 * 4;
}

// Bytes of the whole file, or 0 when they do not fit the 32-bit size field.
std::size_t fileBytes(int height, int width) {
    if (height < 0 || width < 0) return 0;
    const std::size_t row = paddedRowBytes(width);
    const std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    if (height > 0 && row > (limit - kHeaderBytes) / static_cast<std::size_t>(height)) return 0;
    return row * static_cast<std::size_t>(height) + kHeaderBytes;
}

unsigned char channelByte(double value) {
    const double scaled = value * 255.0;
    // Outside this range the conversion to an integer would be undefined.
    if (!(scaled > -9.2e18 && scaled < 9.2e18)) return 0;
    return static_cast<unsigned char>(static_cast<std::uint64_t>(static_cast<std::int64_t>(scaled)) & 0xFFu);
}

void put16(std::vector<unsigned char>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<unsigned char>(v & 0xFFu);
    out[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(std::vector<unsigned char>& out, std::size_t at, std::uint32_t v) {
    for (int b = 0; b < 4; ++b) out[at + b] = static_cast<unsigned char>((v >> (8 * b)) & 0xFFu);
}

}  // namespace

std::vector<unsigned char> encodeBMP(const double* planar, int height, int width) {
    const std::size_t total = fileBytes(height, width);
    if (total == 0)
        throw std::length_error("a bitmap of " + std::to_string(width) + " x " + std::to_string(height) +
                                " pixels cannot be written");
    std::vector<unsigned char> out(total, 0);
    out[0] = 'B';
    out[1] = 'M';
    put32(out, 2, static_cast<std::uint32_t>(total));
    put32(out, 10, static_cast<std::uint32_t>(kHeaderBytes));
    put32(out, 14, 40);
    put32(out, 18, static_cast<std::uint32_t>(width));
    put32(out, 22, static_cast<std::uint32_t>(height));
    put16(out, 26, 1);   // planes
    put16(out, 28, 24);  // bits per pixel; compression, sizes and palette stay 0

    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const std::size_t rowBytes = paddedRowBytes(width);
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row) {
        unsigned char* line = out.data() + kHeaderBytes + row * rowBytes;
        for (std::size_t column = 0; column < static_cast<std::size_t>(width); ++column) {
            const std::size_t i = row * static_cast<std::size_t>(width) + column;
            line[3 * column] = channelByte(planar[2 * plane + i]);
            line[3 * column + 1] = channelByte(planar[plane + i]);
            line[3 * column + 2] = channelByte(planar[i]);
        }
    }
    return out;
}

BMPFile::BMPFile(int height, int width) : height_(height), width_(width) {
    if (height < 0 || width < 0)
        throw std::runtime_error("image size " + std::to_string(width) + " x " + std::to_string(height) +
                                 " is negative");
    const std::size_t plane = planeSize();
    if (plane == 0) return;
    if (plane > std::numeric_limits<std::size_t>::max() / (3 * sizeof(double)))
        throw std::runtime_error("image of " + std::to_string(width) + " x " + std::to_string(height) +
                                 " pixels is too large");
    const std::size_t values = 3 * plane;
    dev::requireMemory("an image of " + std::to_string(width) + " x " + std::to_string(height) + " pixels",
                       values * sizeof(double), values * sizeof(double));
    hostImage_ = dev::pinnedBuffer<double>(values);
    deviceImage_ = dev::deviceBuffer<double>(values);
    for (std::size_t i = 0; i < values; ++i) hostImage_.get()[i] = 0.0;
    dev::upload(deviceImage_.get(), hostImage_.get(), values);
}

bool BMPFile::write(const char* path) {
    const char* name = path != nullptr ? path : "";
    if (planeSize() > 0 && !deviceImage_) {
        std::printf("Error: Cannot write %s: the image has no buffers\n", name);
        return false;
    }
    if (fileBytes(height_, width_) == 0) {
        std::printf("Error: Cannot write %s: %d x %d pixels do not fit a bitmap file\n", name, width_, height_);
        return false;
    }
    dev::download(hostImage_.get(), deviceImage_.get(), valueCount());
    const std::vector<unsigned char> bytes = encodeBMP(hostImage_.get(), height_, width_);

    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        std::printf("Error: Cannot open file %s for writing\n", name);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(name);
        std::printf("Error: Cannot write file %s\n", name);
        return false;
    }
    return true;
}
