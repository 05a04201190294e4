// Pixel resolutions of texture images: the resolution record {w: REAL,
// h: REAL} and the probing of BMP and Targa headers for the size.
//
// A file is tried as BMP first ("BM" at its start), then as Targa (colour-map
// type 1 with image type 1, 2, 9 or 10, or another colour-map type with image
// type 2 or 10); the name's extension is not consulted. A BMP header whose
// height is negative (rows stored top down) gives the height's magnitude. A
// width or height of 0, a negative BMP width, or a BMP size above 65535 counts
// as no resolution read. Only a regular file is opened, and at most 26 header
// bytes are read.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <utility>

#include "scene/MorvLValue.hpp"

namespace morv {

MorvLValue makeImageResolution(double w, double h);

enum class ImageProbeStatus {
    Read,            // width and height are valid
    CannotOpen,      // missing, not a regular file, or unreadable
    NotImage,        // neither a BMP nor a Targa header, or an unusable size
    BMPReadError,    // a BMP header cut short
    TargaReadError,  // a Targa header cut short
};

struct ImageProbe {
    ImageProbeStatus status = ImageProbeStatus::NotImage;
    int width = 0;
    int height = 0;
    std::string cause;  // for the read errors: which read fell short
};

// The picture file an image name leads to, for an object read from
// objectFile: the name itself when it is a file (a relative name from the
// current folder); otherwise, for a relative name, the name beside the object,
// then in each folder above the object's, up to the root. A relative object
// name gives a found name relative to the current folder. Only regular files
// count; empty when there is none.
std::optional<std::string> findImageFile(const std::string& platformName, const std::string& objectFile);

// Never throws (but for memory exhaustion).
ImageProbe probeImage(const std::string& platformName);
std::optional<std::pair<int, int>> probeImageFile(const std::string& platformName);

// The resolution for one image file (a name already rendered for the platform).
// With force the default is returned and nothing is opened or printed.
// Otherwise prints "Using pixel resolution W x H ..." to out, or, when no
// resolution can be read, the reason ("Could not open file " + name to out; a
// header cut short as the composed "Error: Could not read BMP/Targa image
// file " text on the Excn reporting stream) and the "Warning: Could not get
// resolution of the image file" line to out, and returns the default.
MorvLValue resolutionForImage(const std::string& platformName, double defaultW, double defaultH,
                              bool force, std::ostream& out);

}  // namespace morv
