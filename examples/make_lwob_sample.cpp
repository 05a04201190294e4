// Writes the example object examples/sample_old.lwo (or the path given).
// Built as the target make_lwob_sample of examples/CMakeLists.txt.
#include <cstdio>

#include "common/LwobFixtures.hpp"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "examples/sample_old.lwo";
    const morv::testing::Bytes bytes = morv::testing::lwobSampleObject();
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(path);
        return 1;
    }
    return 0;
}
