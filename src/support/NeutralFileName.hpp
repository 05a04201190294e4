// Platform-neutral file names: the record {absolute: BOOL, volume: STRING,
// path: STRING} in which the scene keeps texture image names, the parser that
// builds it from a Unix or DOS name, its rendering for "Unix" and "Windows",
// and the rewriting of texture names by the texture-name options.
//
// Parsing: "/" and "\" both separate path elements and are stored as "/";
// empty elements (doubled or trailing separators) are dropped; the text before
// the first ":" is the volume (the field is left out when there is no ":");
// a separator at the start of the path makes the name absolute. Names that
// cannot be represented (an element holding ":", the empty volume, a relative
// path with a volume) print a warning and parse as well as they can:
//   "C:a.bmp"   -> relative, volume "C", path "a.bmp"
//   ":\a.bmp"   -> absolute, volume "",  path "a.bmp"
//   "a/b:c.bmp" -> relative, no volume, path "a/b:c.bmp"
//
// Rendering for "Windows": a relative name is its path; an absolute name is
// volume + ":\" + path, with "C" for the empty volume, and "\" + path (the
// root of the current drive) when it has no volume at all.
//
// Texture-name options, applied in this order to one neutral name:
//   1. fromRoot strips a root. The root is parsed like any name; it matches
//      when its absolute flag and volume equal the name's and its elements are
//      the leading whole elements of the name's path (so "tex" does not match
//      "textures/a.bmp"). At least one element must remain. The result is a
//      relative name of the remaining elements. A root that does not match
//      leaves the name unchanged.
//   2. extension replaces the extension of the last element: the text after
//      its last "." when that "." is neither the element's first nor its last
//      character; an element without one gets "." + extension appended.
//   3. toRoot adds a root: the result takes the root's absolute flag and
//      volume, and its path is the root's elements followed by the name's.
// An empty option value skips its step.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "scene/MorvLValue.hpp"

namespace morv {

// The neutral name record; volume is left out when it has no value.
MorvLValue makeNeutralFileName(bool absolute, std::optional<std::string> volume, std::string path);

// Parses a Unix or DOS name; the warning for an unsupported name goes to out
// (standard output for the overload without a stream).
MorvLValue anyFileNameToMorvLNeutral(std::string_view name);
MorvLValue anyFileNameToMorvLNeutral(std::string_view name, std::ostream& out);

// Field readers. A missing field (or one of another kind) raises EGeneric
// (type "Error") "Field absolute not found in getFileNameAbsolute" and
// "Field path not found in getFileNamePath" respectively.
bool getFileNameAbsolute(const MorvLValue& neutral);
std::string getFileNamePath(const MorvLValue& neutral);
// The volume, when the record has a STRING volume field.
std::optional<std::string> getFileNameVolume(const MorvLValue& neutral);

// The concrete name for platform "Unix" or "Windows"; any other platform
// raises EGeneric (type "Error") "Unknown platform " + platform + " in neutralToPlatform\n".
std::string neutralToPlatform(std::string_view platform, const MorvLValue& neutral);

// Applies --fromTextureRoot, --textureExtension and --toTextureRoot (see above).
MorvLValue rewriteTextureFileName(const MorvLValue& neutral, std::string_view fromRoot,
                                  std::string_view extension, std::string_view toRoot);

}  // namespace morv
