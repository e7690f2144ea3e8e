// Three-channel image of doubles on the host and the device, written as an
// uncompressed 24-bit Windows bitmap. It is the film of the Render objective:
// kernels fill the device image, `write` copies it back and writes the file.
//
// The image is planar: value i of plane p is at p * width * height + i, with
// i = row * width + column (row 0 is the bottom line of the picture). Plane 0
// is red, 1 green, 2 blue. Values are intensities in [0, 1]; nothing clamps
// them.
//
// The object owns its pinned host buffer and its device buffer and frees them
// when it is destroyed or replaced; it is movable but not copyable.
#pragma once

#include "device/Buffer.hpp"

#include <cstddef>
#include <vector>

class BMPFile {
public:
    // 1024 x 1024 without buffers: such an image cannot be written.
    BMPFile() = default;
    // Allocates both buffers for 3 * height * width zeroed doubles (none when
    // the product is 0). Throws std::runtime_error for a negative size or one
    // whose byte count does not fit in memory.
    BMPFile(int height, int width);

    // Copies the device image to the host image and writes the bitmap. A file
    // that cannot be opened, or an image without buffers, is reported on
    // standard output and nothing is written; a failed write removes the
    // partial file. Returns whether the file was written.
    bool write(const char* path);

    int height() const { return height_; }
    int width() const { return width_; }
    double pixelSize() const { return pixelSize_; }
    void setPixelSize(double size) { pixelSize_ = size; }  // physical pixel edge; not used here
    double* hostImage() const { return hostImage_.get(); }
    double* deviceImage() const { return deviceImage_.get(); }
    // Doubles in each buffer: 3 * width * height once allocated, else 0.
    std::size_t valueCount() const { return deviceImage_.size(); }

private:
    std::size_t planeSize() const { return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_); }

    int height_ = 1024;
    int width_ = 1024;
    double pixelSize_ = 0.0;
    dev::Buffer<double> hostImage_;  // pinned
    dev::Buffer<double> deviceImage_;
};

// The bitmap bytes of a planar image of 3 * width * height doubles: 14-byte
// file header, 40-byte information header (positive height: rows bottom-up),
// then the rows in order, each pixel as blue, green, red, each row padded with
// zeros to a multiple of 4 bytes. A byte is the low 8 bits of value * 255
// truncated toward zero (1.0 gives 255); a value whose product is not a
// finite number inside the 64-bit integer range gives 0.
std::vector<unsigned char> encodeBMP(const double* planar, int height, int width);
