// Moves a finished scene by a transform list: every vertex point of the mesh,
// and every texture placement with it, so that each texture stays where it was
// on the moved surface. Pure: the given scene is left untouched.
#pragma once

#include "scene/Matrix4x4.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

// scene: a RECORD scene; transforms: a LIST of transforms (its last element
// acts first). The points are moved by the list's matrix, built once, and the
// textures by transformMeshTextures. When the matrix mirrors (its linear part
// has a negative determinant), every face's corners are reversed, the first
// kept first, so that each face still shows the same side outward. The mesh's
// own normals turn with it (by the inverse transpose). An empty list returns
// the scene as it is.
MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms);

// The pipeline's form: the list followed by the uniform scale factor, which acts
// after the whole list, i.e. transformMeshObject(scene, [ScaleXYZ(s, s, s)] ++ transforms).
// A scale of exactly 1 adds nothing to the list.
MorvLValue transformMeshObject(const MorvLValue& scene, const MorvLValue& transforms, double scale);

// Every surface's textures list replaced by transformTextures of it; surfaces
// without a textures field are kept as they are.
MorvLValue transformMeshTextures(const MorvLValue& scene, const MorvLValue& transforms);
// transformTexture applied to every element of a LIST of textures, in order.
MorvLValue transformTextures(const MorvLValue& textures, const MorvLValue& transforms);
// The texture with the object's transforms placed in front of its own list, so
// that they act after it: texture space to old object space to new object space.
MorvLValue transformTexture(const MorvLValue& texture, const MorvLValue& transforms);

// The scene (either record kind) with every vertex point of its mesh moved by m;
// nothing else changes.
MorvLValue transformMeshPoints(const MorvLValue& scene, const Matrix4x4& m);

}  // namespace morv
