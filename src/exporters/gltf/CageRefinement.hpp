// Catmull-Clark refinement of a subdivision cage (SubPatch or Catmull-Clark
// faces) into quads on its limit surface, by OpenSubdiv.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morv {

struct Cage {                                     // faces of one subdivision cage, as the glTF writer gathers them
    std::vector<std::array<double, 3>> points;    // positions, after the scene's transforms
    std::vector<std::uint32_t> faceStarts;        // one more than the faces: offsets into corners
    std::vector<std::uint32_t> corners;           // point index of each face corner
    std::vector<std::uint32_t> faceSurfaces;      // surface index of each face
    std::vector<std::array<double, 2>> cornerUVs; // face-varying, one per face corner; empty when none
};

struct RefinedFaces {                             // quads only, 4 corners each, corners not shared
    std::vector<std::array<float, 3>> positions;  // on the limit surface
    std::vector<std::array<float, 3>> normals;    // unit limit normals, facing out as the cage faces do
    std::vector<std::array<double, 2>> uvs;       // face-varying, refined; empty when the cage has none
    std::vector<std::uint32_t> surfaces;          // per quad: its cage face's surface
};

// Catmull-Clark refinement to the uniform level (1..6), boundary edges and corners sharp as the RIB's
// "interpolateboundary" asks. nullopt when OpenSubdiv refuses the cage (the writer then writes the
// polygons and warns once, naming the surface).
//
// The whole cage is refined as one mesh, across its surfaces. Each quad keeps
// the winding of its cage face; a face "faces" the side its corners' cross
// product (p1 - p0) x (p2 - p1) points to, and the normals point to that side.
// Points no face uses are ignored. UVs are welded where a point's corners carry
// equal UVs; where they differ the cage has a seam, and the refined UVs keep it:
// every UV boundary (seam or border) is interpolated linearly along its edges
// (OpenSubdiv's "boundaries" face-varying rule), the rest smoothly.
//
// Refused (nullopt): a level outside 1..6; inconsistent array sizes; a corner
// beyond the points; a face of fewer than 3 corners or using a point twice; an
// edge shared by more than two faces, or by two faces running it the same way
// (opposite windings); a point beyond float range or a UV that is not finite;
// a refinement beyond 2^27 quads; and any cage OpenSubdiv itself rejects.
//
// OpenSubdiv is loaded on the first call, from the module morv3d-subdivision.so
// beside the program or in <prefix>/lib/morv3d; without it every cage is refused.
std::optional<RefinedFaces> refineCage(const Cage& cage, int level);

// Why the module could not be loaded (the loader's message), or nullptr when it
// was; loads it when no cage has been refined yet.
const std::string* cageRefinementUnavailable();

}  // namespace morv
