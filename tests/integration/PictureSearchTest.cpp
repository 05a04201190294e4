// Finding pictures end to end: names from the author's machine (drive letters,
// volumes, backslashes, absolute paths), changed case and folders above the
// object, each picture told apart by its size in the progress line.
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/PictureFixtures.hpp"
#include "common/RunProgram.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
TEST(PictureSearch, NamesFromTheAuthorsMachineFindThePictureInTheTree) {
    const fs::path root = fs::temp_directory_path() / ("morv3d-search-" + std::to_string(::getpid()));
    fs::remove_all(root);
    // Each picture a GIF of its own width, so the progress line tells which was read.
    const std::pair<const char*, int> pictures[] = {
        {"Content/Images/wood.gif", 11}, {"Content/Images/hull.gif", 12}, {"Content/Objects/Ships/beside.gif", 13},
        {"Content/Images/dup.gif", 14}, {"Content/Objects/Ships/dup.gif", 15}, {"Content/Images/case.gif", 16},
        {"Case.gif", 17}, {"Content/Images/Textures/deep.gif", 18}, {"Content/Objects/Ships/Images", 0},
        {"Content/Images/Mixed.GIF", 19}, {"Content/Images/mixed.gif", 20}};
    for (const auto& [name, width] : pictures) {
        fs::create_directories((root / name).parent_path());
        if (width == 0) fs::create_directories(root / name);  // a folder of a picture's name never counts
        else std::ofstream(root / name, std::ios::binary) << testing::gifHeader(static_cast<std::uint16_t>(width), 1);
    }
    const struct {
        const char* stored;
        const char* found;  // from the root; nullptr: found nowhere
        int width = 0;
    } cases[] = {
        {"Q:ASSIMP/models/Images/wood.gif", "Content/Images/wood.gif", 11},
        {"C:\\Projects\\Space\\Images\\hull.gif", "Content/Images/hull.gif", 12},
        {"Work:Textures/beside.gif", "Content/Objects/Ships/beside.gif", 13},
        {"/home/author/Images/hull.gif", "Content/Images/hull.gif", 12},
        {"D:\\Images\\dup.gif", "Content/Images/dup.gif", 14},  // the longest trailing part first
        {"dup.gif", "Content/Objects/Ships/dup.gif", 15},
        {"Q:IMAGES/WOOD.GIF", nullptr},                        // folders keep their case
        {"Images\\Case.gif", "Case.gif", 17},                  // any exact match before the pass ignoring case
        {"Images\\CASE.GIF", "Content/Images/case.gif", 16},
        {"C:\\x\\Images\\Wood.Gif", "Content/Images/wood.gif", 11},
        {"Images/MIXED.gif", "Content/Images/Mixed.GIF", 19},  // the first spelling in byte order
        {"Z:old/Images/Textures/deep.gif", "Content/Images/Textures/deep.gif", 18},
        {"Images", nullptr},
        {"Images/missing.gif", nullptr},
    };
    const fs::path object = root / "Content/Objects/Ships/ship.lwo";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        const auto bytes = testing::texturedTriangle(c.stored);
        std::ofstream(object, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        // From the root, and from a folder outside the tree with the object named absolute.
        for (const fs::path& from : {root, fs::temp_directory_path()}) {
            const std::string input = from == root ? "Content/Objects/Ships/ship.lwo" : object.string();
            const auto r = testing::runProgram({"--to=LWO2", "--destFileName=" + (root / "out.lwo").string(), input}, from.string());
            EXPECT_EQ(r.status, 0) << r.err;
            if (!c.found) {
                EXPECT_NE(r.out.find("Warning: Could not get resolution of the image file"), std::string::npos) << r.out;
                continue;
            }
            const std::string shown = from == root ? c.found : (root / c.found).string();
            EXPECT_NE(r.out.find("Using pixel resolution " + std::to_string(c.width) + "x1 for the image file " + shown + "\n"), std::string::npos) << r.out;
        }
    }
    fs::remove_all(root);
}

}  // namespace
}  // namespace morv
