// Finding the picture file an object names. Objects name pictures as they
// were on the author's machine ("Q:ASSIMP/models/earth.jpg",
// "C:\Projects\Images\hull.tga"), while users keep them somewhere in the
// object's folder tree. The search, first found wins:
//   1. the rendered name itself when it is a file (a relative name from the
//      current folder); for a relative name, the name beside the object, then
//      in each folder above the object's, up to the root;
//   2. the trailing parts of the name as the object stores it (its path
//      elements without drive or volume), longest first down to the bare file
//      name, each beside the object and then in each folder above it;
//   3. step 2 once more, with upper and lower case ignored in the file name
//      (the last part) only; among names that differ only in case, the first
//      in byte order.
// Only regular files count (links followed). Which paths are folders is
// remembered for the run, so a name whose folders are not there costs no
// file system call after the first; step 3 reads the listing of a folder at
// most once per run however many objects and pictures ask for it.
#pragma once

#include <optional>
#include <string>

#include "scene/MorvLValue.hpp"

namespace morv {

// The found file, relative to the current folder when the object's name is
// relative; empty when there is none. storedName is the neutral name as the
// object stores it (before the texture-name options).
std::optional<std::string> findImageFile(const std::string& platformName, const MorvLValue& storedName,
                                         const std::string& objectFile);

// The search of step 1 alone.
std::optional<std::string> findImageFile(const std::string& platformName, const std::string& objectFile);

}  // namespace morv
