#include "objectives/Render.hpp"

#include "device/Device.hpp"

#include <cstdio>
#include <utility>

Render::~Render() = default;

void Render::configureImage(const char* outputFile, int width, int height, double pixelSize) {
    BMPFile image(height, width);  // throws before anything changes
    image.setPixelSize(pixelSize);
    storeFileName(outputFile_, outputFile, kOutputFileLength);
    image_ = std::move(image);
}

void Render::configureOutput(const char*, int) {
    std::printf("Configuring with int size, not implemented for Render objective.\n");
}

void Render::result(const Mesh&) {
    const std::string name = numberedFileName(outputFile_, writeCount);
    ++writeCount;
    image_.write(name.c_str());
}

void Render::resultWithField(const Mesh&, const double*) {
    std::printf("Warning: result with field argument not implemented for Render objective.\n");
}

void Render::resultWithFields(const Mesh&, const double*, int) {
    std::printf("Warning: result with field argument not implemented for Render objective.\n");
}

void Render::getResult(double* hostPtr) {
    if (hostPtr == nullptr) {
        std::printf("Error: hostPtr is nullptr in getResult\n");
        return;
    }
    dev::download(hostPtr, image_.deviceImage(), image_.valueCount());
}
