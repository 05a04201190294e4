// --to=Info end to end: one JSON line per real object on standard output that
// Python's json reads, progress on standard error, no file written; and a
// filter that lists exactly the objects with missing pictures.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "common/LightWaveScan.hpp"
#include "common/PictureFixtures.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;

// Runs python3 with the script, the given text on its standard input; what it printed.
std::string python(const std::string& script, const std::string& input, const fs::path& dir) {
    std::ofstream(dir / "in.jsonl", std::ios::binary) << input;
    std::ofstream(dir / "check.py") << script;
    const std::string command = "cd '" + dir.string() + "' && python3 check.py < in.jsonl 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) out.append(buffer, n);
    return out;
}

TEST(Info, EveryRealObjectGivesOneJsonLineAndMissingPicturesCanBeListed) {
    const std::vector<fs::path> objects = testing::lightWaveObjects();
    if (objects.empty()) GTEST_SKIP() << "assimp-testmodels is not installed";
    const fs::path dir = fs::temp_directory_path() / ("morv3d-info-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> args{"--to=Info", "--keepGoing=true"};
    for (const fs::path& p : objects) args.push_back(p.string());
    const auto r = testing::runProgram(args, dir.string());
    const auto count = std::count(r.out.begin(), r.out.end(), '\n');
    // Every object that converts gives one line; those that fail say so on standard error.
    EXPECT_NE(r.err.find("Converted " + std::to_string(count) + " of " + std::to_string(objects.size()) + " files"), std::string::npos) << r.err;
    EXPECT_EQ(python(R"(import json, sys
keys = {"file", "format", "layers", "points", "faces", "boundingBox", "surfaces", "pictures", "warnings"}
for line in sys.stdin:
    o = json.loads(line)
    assert set(o) == keys, o.keys()
    assert o["format"] in ("LWOB", "LWO2"), o["format"]
    assert all(p["file"] is not None or p["format"] is p["width"] is None for p in o["pictures"]), o["pictures"]
print("ok")
)", r.out, dir), "ok\n");

    // Two objects, one whose picture is beside it and one whose picture is nowhere.
    for (const auto& [name, picture] : {std::pair{"found.lwo", "C:\\Art\\Images\\there.gif"}, std::pair{"missing.lwo", "Images/gone.gif"}}) {
        const auto bytes = testing::texturedTriangle(picture);
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    fs::create_directories(dir / "Images");
    std::ofstream(dir / "Images/there.gif", std::ios::binary) << testing::gifHeader(1024, 256);
    std::ofstream(dir / "broken.lwo") << "not an object";
    const auto two = testing::runProgram({"--to=Info", "--keepGoing=true", "found.lwo", "broken.lwo", "missing.lwo"}, dir.string());
    EXPECT_EQ(two.status, 1);
    EXPECT_NE(two.err.find("Error: The file broken.lwo is not"), std::string::npos) << two.err;
    EXPECT_FALSE(fs::exists(dir / "found.json"));
    EXPECT_EQ(python(R"(import json, sys
objects = [json.loads(line) for line in sys.stdin]
print([o["file"] for o in objects if any(p["file"] is None for p in o["pictures"])])
found = objects[0]
print(found["pictures"], found["layers"], found["faces"], found["boundingBox"], found["warnings"])
print(objects[1]["warnings"])
)", two.out, dir),
              "['missing.lwo']\n"
              "[{'name': 'C:/Art/Images/there.gif', 'file': 'Images/there.gif', 'format': 'GIF', 'width': 1024, 'height': 256}] "
              "[{'number': 0, 'name': 'top', 'points': 3, 'faces': 1}] {'plain': 1, 'subPatch': 0, 'catmullClark': 0} "
              "{'min': [0, 0, -3], 'max': [1, 2, 0]} []\n"
              "['Warning: Could not get resolution of the image file \"Images/gone.gif\"']\n");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace morv
