// Pictures written as PNG: 8 bits per sample, grey, grey with alpha, RGB or
// RGBA as the picture's channels say, no interlacing. Each row takes the
// filter whose bytes sum smallest (as signed values); the rows go through
// zlib's deflate as they are filtered, so only two rows are held besides the
// compressed data.
#pragma once

#include <string>

#include "support/Pictures.hpp"

namespace morv {

// The whole PNG file. Raises Error when zlib fails.
std::string encodePNG(const Picture& picture);

}  // namespace morv
