// Reads RIB text back for tests: a small scanner of its own, independent of
// the writer, that splits the text into requests and their arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv::testing {

struct RibArgument {
    enum class Kind { Number, String, Array };
    Kind kind = Kind::Number;
    double number = 0.0;
    std::string text;              // String (escapes resolved)
    std::vector<double> numbers;   // Array of numbers
    std::vector<std::string> strings;  // Array of strings
};

struct RibRequest {
    std::string name;
    std::vector<RibArgument> arguments;

    // The array that follows the string argument key (a parameter list entry).
    std::optional<RibArgument> parameter(const std::string& key) const;
    // The string arguments before the parameter list, in order.
    std::vector<std::string> strings() const;
};

// Raises std::runtime_error on text that is not RIB.
std::vector<RibRequest> scanRib(const std::string& text);

// The polygons of a PointsGeneralPolygons request, one loop each, or the cage
// faces of a SubdivisionMesh request that are not tagged "hole", as their
// points. A loop count other than 1, an index outside "P", a point of "P" that
// no polygon uses, or tags other than "interpolateboundary" (and "hole" with
// its face numbers) fail the calling test.
std::vector<std::vector<XYZ>> ribPolygons(const RibRequest& request);

// The parameter names used before a Declare of them, that are not standard
// RenderMan tokens, with the request that used each.
std::vector<std::string> undeclaredTokens(const std::vector<RibRequest>& requests);

}  // namespace morv::testing
