// The reader of LightWave objects of the IFF form LWOB (before LightWave 6):
// the probe, the parse into file-shaped data and, through LWOBToMorvLScene,
// the canonical scene.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>

#include "importers/Importer.hpp"
#include "scene/MorvLValue.hpp"

namespace morv {

// True when the bytes start with a FORM chunk of type LWOB; never fails.
bool probeLWOB(std::span<const std::uint8_t> bytes);

std::string lwobProgressLine(const std::string& fileName);

// First stage on the file's bytes: chunks, required-chunk checks and index
// checks. Format errors raise SyntaxError; warnings go to messages.
std::unique_ptr<ImportedFile> parseLWOBBytes(std::span<const std::uint8_t> bytes, std::ostream& messages);
// The same on a file read with loadObjectFile.
std::unique_ptr<ImportedFile> parseLWOB(const std::string& fileName, std::ostream& messages);

// Both stages.
MorvLValue readLWOBScene(const std::string& fileName, std::ostream& messages);
MorvLValue readLWOBSceneFromBytes(std::span<const std::uint8_t> bytes, std::ostream& messages);

}  // namespace morv
