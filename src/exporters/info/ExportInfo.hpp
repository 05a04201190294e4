// The inventory (--to=Info): no file is written; for each input one JSON
// object on one line of standard output (JSON Lines), so that a script or jq
// can ask which pictures are missing before converting a thousand files.
// The run's own lines go to standard error.
//
// {"file": the input as named, "format": "LWOB", "LWO2" or "Unreal.T3D",
//  "layers": [{"number", "name", "points", "faces"}] (empty for LWOB and brushes, which have none),
//  "points": count, "faces": {"plain", "subPatch", "catmullClark"},
//  "boundingBox": {"min": [x, y, z], "max": [x, y, z]} or null without points
//    (after --scale and the coordinate options, as a conversion would place it),
//  "surfaces": [{"name", "colour": [r, g, b] (0..1), "smoothingAngle": degrees
//    or null, "textures": [{"channel", "projection", "axis": "x", "y" or "z",
//    "uvMap": name or null, "picture": index into pictures or null}]}],
//  "pictures": [{"name": as the object stores it (volume, ":", the path with
//    "/"), "file": the file found or null, "format", "width", "height" (null
//    when not read)}],
//  "warnings": [the lines beginning "Warning" that the input gave]}
//
// Reals are written as the single floats files hold; one that is not finite
// (or beyond a float) is written null.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "exporters/Exporter.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

class WarningRecorder;
std::vector<std::string> recordedWarnings(std::ostream& messages);

// A stream that passes everything on to another and keeps the lines that
// begin with "Warning", for the inventory of the job it is made for.
class WarningRecorder {
public:
    explicit WarningRecorder(std::ostream& target);
    ~WarningRecorder();
    std::ostream& stream();

private:
    class Buffer;
    friend std::vector<std::string> recordedWarnings(std::ostream& messages);
    std::unique_ptr<Buffer> buffer_;
    std::unique_ptr<std::ostream> stream_;
};

// The warnings kept by the WarningRecorder behind messages; none for any other stream.
std::vector<std::string> recordedWarnings(std::ostream& messages);

// The JSON object of one input, without its line break. The scene carries the
// input's name and format as inputFile and inputFormat.
std::string infoLine(const MorvLValue& scene, const std::vector<std::string>& warnings);

std::string infoProgressLine(const std::string& destination);  // none: the inventory writes no file
void writeInfo(const MorvLValue& scene, const std::string& destination, const ExportSettings& settings);

}  // namespace morv
