// What an independent reader, assimp (assimp-utils), sees in a written file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace morv::testing {

inline bool haveAssimp() { return std::system("command -v assimp >/dev/null 2>&1") == 0; }

// The "Vertices:" and "Faces:" counts that assimp's raw import reports; a raw
// import keeps one vertex per polygon corner.
inline bool assimpCounts(const std::filesystem::path& file, long& vertices, long& faces) {
    const std::string command = "assimp info '" + file.string() + "' -r 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return false;
    vertices = faces = -1;
    char line[512];
    while (fgets(line, sizeof line, pipe.get())) {
        std::sscanf(line, "Vertices: %ld", &vertices);
        std::sscanf(line, "Faces: %ld", &faces);
    }
    return vertices >= 0 && faces >= 0;
}

}  // namespace morv::testing
