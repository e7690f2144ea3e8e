// The render objective: a shaded picture of the surfaces the rays meet.
//
// Ray p of the traced set stands for pixel p of a width x height image. When
// the ray meets its entry interface the pixel is coloured from the interface
// normal n (see `RenderDevice`): red 1 - (n.z + 1) / 2, green 1 - (n.x + 1) / 2,
// blue 1 - (n.y + 1) / 2. A later interface of the same ray overwrites the
// pixel; pixels no ray coloured keep their value (zero after configuration).
// `result` writes the image as a numbered 24-bit bitmap ("output_0.bmp" by
// default).
//
// The image buffers belong to the objective: configuring again replaces them
// and destruction frees them. Movable, not copyable.
#pragma once

#include "IO/BMPFile.hpp"
#include "objectives/Objective.hpp"

class Render : public Objective {
public:
    static constexpr int kOutputFileLength = 255;  // characters kept of the output file name

    Render() = default;
    ~Render() override;
    Render(const Render&) = delete;
    Render& operator=(const Render&) = delete;
    Render(Render&& other) noexcept = default;
    Render& operator=(Render&& other) noexcept = default;

#if defined(LVX_WITH_TOML)
    // Keys "pixel_width" and "pixel_height" (integers from 1 to 2^31 - 1),
    // "pixel_size" (a positive number) and "output_file" (a non-empty string).
    // Prints the configuration, then sizes a zeroed image. The mesh is not
    // used.
    void configureFromTable(const toml::table& table, const Mesh& mesh) override;
#endif

    // The same without a table: keeps at most 255 characters of `outputFile`
    // (null keeps the current name) and replaces the image by a zeroed one of
    // width x height pixels. Throws std::runtime_error for a negative size.
    void configureImage(const char* outputFile, int width, int height, double pixelSize);

    // Not supported: a render is sized by its pixels, not by one count.
    void configureOutput(const char* outputFile, int size) override;

    // Bitmap of the device image. Writing before the image is configured is
    // reported and writes nothing; the file number is used up either way.
    void result(const Mesh& mesh) override;
    void resultWithField(const Mesh& mesh, const double* deviceField) override;
    void resultWithFields(const Mesh& mesh, const double* fields, int count) override;

    void getResult(double* hostPtr) override;  // copies 3 * width * height doubles
    double* getResultArrayDevicePtr() override { return image_.deviceImage(); }

    RenderDevice device() const { return RenderDevice{image_.width(), image_.height(), image_.deviceImage()}; }
    const BMPFile& image() const { return image_; }
    const char* outputFile() const { return outputFile_; }

private:
    BMPFile image_;
    char outputFile_[kOutputFileLength + 1] = "output.bmp";
};
