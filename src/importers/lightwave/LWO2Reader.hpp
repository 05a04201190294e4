// The reader of LightWave objects of the IFF form LWO2: the probe, the parse
// into file-shaped data (layers with their points, polygons, tags, UV maps,
// surfaces and clips) and the conversion into the canonical scene.
//
// What the scene gets:
// - One mesh: the layers in file order, each layer's faces displaced past the
//   vertices of the layers before it, and the layers themselves (number,
//   flags, name, pivot, parent). A layer keeps the polygons of its FACE, PTCH
//   (SubPatch) and SUBD (Catmull-Clark) chunks in file order, each face with
//   its kind; other chunks (curves, bones) are dropped with a message. PTAG
//   and VMAD polygon indices count in the POLS chunk that precedes them.
// - Surfaces: the SURF chunks in file order, then one surface carrying just
//   its name for each tag that faces use but no SURF defines, then "Default"
//   for faces without a PTAG SURF entry. A surface whose parent (source)
//   exists takes from it the colour, channel intensities and, when it has no
//   texture block of its own, the textures it leaves out.
// - Texture coordinates: every TXUV map (VMAP or VMAD) gets a slot in the
//   order the maps first appear; the mesh keeps each slot's map name. A vertex or corner with coordinates has an
//   `sts` ARRAY with one slot per map; a slot that its map does not cover holds
//   an empty RECORD. Corners carry only their VMAD values, so a writer takes
//   a corner's slot when it is not empty and the vertex's otherwise.
// - Images: every CLIP with a STIL, in file order. A texture whose IMAG names
//   clip 0 or no such still clip has image -1 (the latter with a warning).
// - TAGS, CLIP and SURF chunks need no layer; geometry chunks before the first
//   LAYR are dropped with a warning.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "importers/Importer.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

// True when the bytes start with a FORM chunk of type LWO2; never fails.
bool probeLWO2(std::span<const std::uint8_t> bytes);

std::string lwo2ReaderProgressLine(const std::string& fileName);

// First stage, on the file's bytes. Format errors raise SyntaxError; warnings
// go to messages.
std::unique_ptr<ImportedFile> parseLWO2Bytes(std::span<const std::uint8_t> bytes, std::ostream& messages);
// The same on a file read with loadObjectFile.
std::unique_ptr<ImportedFile> parseLWO2(const std::string& fileName, std::ostream& messages);

// Both stages on a file.
MorvLValue readLWO2Scene(const std::string& fileName, std::ostream& messages);

}  // namespace morv
