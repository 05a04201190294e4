// The OpenSubdiv side of cage refinement, built as its own module
// (morv3d-subdivision.so) that refineCage loads on its first call: the program
// then starts without OpenSubdiv, OpenMP and a shared C++ runtime, which only
// glTF output of subdivision cages needs.
#pragma once

#include <optional>

#include "exporters/gltf/CageRefinement.hpp"

namespace morv {

// What refineCage promises, computed here (the fuzz targets and benchmarks call it directly).
std::optional<RefinedFaces> subdivideCage(const Cage& cage, int level);

}  // namespace morv

// The module's one entry point, looked up by this name. Program and module are
// built by one compiler from these headers, so the structs pass as they are.
// Ownership stays on each side of the boundary: the module only reads the cage,
// and hands its result to `take` (on success only), which copies it into the
// caller's memory before the module frees its own; nothing allocated by one
// side is freed by the other, and no exception crosses (`take` must not throw).
// Returns 1 when the cage was refined, 0 when it was refused.
extern "C" {
using Morv3dTakeRefined = void (*)(void* context, const morv::RefinedFaces* refined) noexcept;
using Morv3dRefineCage = int (*)(const morv::Cage* cage, int level, Morv3dTakeRefined take, void* context) noexcept;
int morv3d_refine_cage(const morv::Cage* cage, int level, Morv3dTakeRefined take, void* context) noexcept;
}
