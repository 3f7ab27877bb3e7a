#include "app/inspect/png_montage.h"

#include <png.h>

#include "writer/output_file.h"

namespace trevik::inspect {

bool encodePng(const Montage& montage, std::vector<unsigned char>& png) {
    if (montage.width <= 0 || montage.height <= 0 ||
        montage.rgb.size() != static_cast<std::size_t>(montage.width) * static_cast<std::size_t>(montage.height) * 3)
        return false;
    // The simplified interface reports errors by its result, so no long jump
    // ever crosses this code.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(montage.width);
    image.height = static_cast<png_uint_32>(montage.height);
    image.format = PNG_FORMAT_RGB;
    // Room for the largest file this image can give: one compression pass.
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    png.resize(size);
    const bool written = png_image_write_to_memory(&image, png.data(), &size, 0, montage.rgb.data(), 0, nullptr) != 0;
    png_image_free(&image);
    png.resize(written ? size : 0);
    return written;
}

bool writePng(const std::string& path, const Montage& montage) {
    std::vector<unsigned char> png;
    if (!encodePng(montage, png)) return false;
    detail::OutputFile file;
    return file.open(path.c_str()) &&
           file.commit([&png](int fd) { return detail::writeAll(fd, png.data(), png.size()); }, png.size());
}

}  // namespace trevik::inspect
