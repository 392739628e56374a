// The reference decoding of a PNG that the tests compare the program's output with.
#pragma once

#include "support.h"

#include <png.h>

#include <cstdio>
#include <filesystem>
#include <vector>

// The PNG's pixels as 8-bit RGBA by libpng alone: no gamma or colour handling, 16-bit by high byte.
inline support::Image decodePng(const std::filesystem::path &path) {
    support::Image image;
    std::vector<png_bytep> pointers;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return image;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return {};
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.width = static_cast<int>(png_get_image_width(png, info));
    image.height = static_cast<int>(png_get_image_height(png, info));
    const std::size_t stride = static_cast<std::size_t>(image.width) * 4;
    image.rgba.resize(stride * static_cast<std::size_t>(image.height));
    for (std::size_t y = 0; y < static_cast<std::size_t>(image.height); ++y)
        pointers.push_back(image.rgba.data() + y * stride);
    png_read_image(png, pointers.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return image;
}
