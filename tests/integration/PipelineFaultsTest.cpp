// Faults users met with the built program: runs that destroyed an input or
// replaced an output, inputs that are pipes, huge inputs, coordinates a format
// cannot hold, damaged files whose messages were unclear. Each case runs the
// program as a user would.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "common/LwoFixtures.hpp"
#include "common/LwobFixtures.hpp"
#include "common/RibScanner.hpp"
#include "common/RunProgram.hpp"
#include "common/SceneGeometry.hpp"
#include "common/TestHelpers.hpp"
#include "importers/lightwave/LWO2Reader.hpp"
#include "support/GetCs.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::IffBuilder;

// A triangle object with one surface; extra goes after the polygon tags.
Bytes triangleObject(const std::vector<XYZ>& points = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                     const IffBuilder& extra = {}) {
    IffBuilder chunks;
    chunks.chunk("TAGS", testing::lwo2Tags({"s"}))
        .chunk("LAYR", testing::lwo2Layer(0, "layer"))
        .chunk("PNTS", testing::lwo2Points(points))
        .chunk("POLS", testing::lwo2Polygons("FACE", {{0, 1, 2}}))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", {{0, 0}}))
        .raw(extra);
    return testing::iffForm("LWO2", chunks);
}

// One triangle per surface name; the first surface gets a planar colour
// texture of the image when one is named, and the parent surface when one is.
Bytes surfacesObject(const std::vector<std::string>& names, const std::string& image = "", const std::string& parent = "") {
    std::vector<std::pair<std::uint32_t, std::uint16_t>> tags;
    for (std::uint16_t i = 0; i < names.size(); ++i) tags.push_back({i, i});
    IffBuilder chunks, block;
    chunks.chunk("TAGS", testing::lwo2Tags(names))
        .chunk("LAYR", testing::lwo2Layer(0, "layer"))
        .chunk("PNTS", testing::lwo2Points({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}))
        .chunk("POLS", testing::lwo2Polygons("FACE", std::vector<std::vector<std::uint32_t>>(names.size(), {0, 1, 2})))
        .chunk("PTAG", testing::lwo2PolygonTags("SURF", tags));
    block.sub("IMAP", IffBuilder().str("\x80").sub("CHAN", IffBuilder().id("COLR")))
        .sub("PROJ", IffBuilder().u2(0))
        .sub("AXIS", IffBuilder().u2(2))
        .sub("IMAG", IffBuilder().vx(1));
    if (!image.empty())
        chunks.chunk("CLIP", testing::lwo2StillClip(1, image))
            .chunk("SURF", testing::lwo2Surface(names.front(), parent, IffBuilder().sub("BLOK", block)));
    return testing::iffForm("LWO2", chunks);
}

// A flat grid of side x side quads, big enough that writing it takes a while.
Bytes gridObject(std::uint32_t side) {
    std::vector<XYZ> points;
    std::vector<std::vector<std::uint32_t>> quads;
    for (std::uint32_t i = 0; i < (side + 1) * (side + 1); ++i) {
        points.push_back({double(i % (side + 1)), double(i / (side + 1)), 0});
        if (i % (side + 1) < side && i / (side + 1) < side) quads.push_back({i, i + 1, i + side + 2, i + side + 1});
    }
    return testing::iffForm("LWO2", IffBuilder().chunk("LAYR", testing::lwo2Layer(0, "grid")).chunk("PNTS", testing::lwo2Points(points))
                                        .chunk("POLS", testing::lwo2Polygons("FACE", quads)));
}

const Bytes smallBmp{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 8, 0, 0, 0, 4, 0, 0, 0};  // 8 x 4

// The shader a RIB binds to its first surface.
std::string firstShader(const std::string& rib) {
    const std::size_t at = rib.find("Surface \"") + 9;
    return rib.substr(at, rib.find('"', at) - at);
}

class PipelineFaults : public testing::ScratchDirTest {
protected:
    std::set<std::string> files() const {  // every file below dir, by its path from there
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) names.insert(fs::relative(entry.path(), dir));
        return names;
    }
    void put(const std::string& name, const Bytes& bytes) const {
        fs::create_directories((dir / name).parent_path());
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                         static_cast<std::streamsize>(bytes.size()));
    }
    std::string text(const std::string& name) const {
        const Bytes b = get(name);
        return {b.begin(), b.end()};
    }
    Bytes get(const fs::path& name) const {
        return fs::is_directory(dir / name) ? Bytes{} : readWholeFile((dir / name).string());
    }
    testing::ProgramResult run(const std::vector<std::string>& args) const {
        return testing::runProgram(args, dir.string());
    }
    testing::Geometry geometryOf(const std::string& name) const {
        std::ostringstream messages;
        return testing::geometryOf(readLWO2Scene((dir / name).string(), messages));
    }
};

const std::string banner = "Morv3D Converter (0.4.9)\n\n";
const std::string separateRuns = "Please convert these files in separate runs, each with --destFileName=<file>.\n";
const std::string separateRunsOfTwo = "Please convert them in separate runs, each with --destFileName=<file>.\n";

// Every clash is found before the first job reads anything, or, for a
// picture, before any output is put in place: no input is destroyed and no
// output written.
TEST_F(PipelineFaults, JobsThatWouldDestroyAnInputOrAnOutputStopBeforeAnythingIsWritten) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--to=LWO2", "chair.lwob", "chair.lwo"},
         "Error: The destination file chair.lwo of the input file chair.lwob is the input file chair.lwo; writing it "
         "would destroy that input.\n" + separateRuns},
        {{"--to=LWO2", "model", "./sub/../model.lwo"},
         "Error: The destination file model.lwo of the input file model is the input file ./sub/../model.lwo; "
         "writing it would destroy that input.\n" + separateRuns},
        {{"--to=LWO2", "m.x", "m.y"},
         "Error: The input files m.x and m.y would both be written to m.lwo; the second would replace the first.\n"
         "Please convert them in separate runs, each with --destFileName=<file>.\n"},
        {{"--to=LWO2", "--destFileName=link.lwo", "chair.lwo"},  // a hard link to the input
         "Error: The destination file link.lwo is the input file chair.lwo itself; writing it would destroy the "
         "input.\nPlease choose another name with --destFileName=<file>.\n"},
        // A picture the run reads is an input too, also when it is found beside the object.
        {{"--to=LWO2", "--destFileName=sub/pic.bmp", "sub/tex.lwo"},
         "Error: The image file sub/pic.bmp, which the input file sub/tex.lwo names, is also the destination file "
         "sub/pic.bmp of the input file sub/tex.lwo; a run never writes over a picture it reads.\nPlease choose "
         "another destination with --destFileName=<file> or --destDir=<folder>.\n"},
        // ... also when an earlier job would replace it before the later job reads it.
        {{"--to=LWO2", "p.x", "pictex.y"},
         "Error: The image file p.lwo, which the input file pictex.y names, is also the destination file p.lwo of "
         "the input file p.x; a run never writes over a picture it reads.\nPlease choose another destination with "
         "--destFileName=<file> or --destDir=<folder>.\n"},
        {{"--to=LWO2", "/dev/stdin"},  // here /dev/null
         "Error: The input file /dev/stdin is a stream (standard input, a pipe or a device); a destination name "
         "cannot be made from it.\nPlease name the destination with --destFileName=<file>.\n"},
    };
    const Bytes original = triangleObject();
    fs::create_directories(dir / "sub");
    fs::create_directories(dir / "real" / "sub");
    put("chair.lwob", testing::lwobSampleObject());
    for (const char* name : {"chair.lwo", "model", "model.lwo", "m.x", "m.y", "sub/pic.bmp", "p.x", "p.lwo"})
        put(name, original);
    put("sub/tex.lwo", surfacesObject({"Red"}, "pic.bmp"));
    put("pictex.y", surfacesObject({"Red"}, "p.lwo"));
    fs::create_hard_link(dir / "chair.lwo", dir / "link.lwo");
    fs::create_symlink("real/sub", dir / "l");
    std::map<fs::path, Bytes> before;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) before[entry.path()] = get(entry.path());
    for (const auto& c : cases) {
        const auto r = run(c.args);
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(r.status, 1);
        if (c.args.back() != "pictex.y") {
            EXPECT_EQ(r.out.find("Writing"), std::string::npos) << r.out;
        }
        EXPECT_EQ(r.err, c.err + "unhandled exception Error\n");
        std::map<fs::path, Bytes> after;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) after[entry.path()] = get(entry.path());
        EXPECT_EQ(after, before);
    }
}

// An input is read once: a named pipe, standard input through a pipe.
TEST_F(PipelineFaults, PipesAndStandardInputAreReadOnce) {
    const Bytes object = triangleObject();
    ASSERT_EQ(::mkfifo((dir / "pipe.lwo").c_str(), 0600), 0);
    std::thread writer([&] {
        // Gives up when the program never opens the pipe, so the test cannot hang here.
        for (int tries = 0; tries < 3000; ++tries) {
            const int fd = ::open((dir / "pipe.lwo").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) {
                ::usleep(10000);
                continue;
            }
            ::fcntl(fd, F_SETFL, 0);
            [[maybe_unused]] const ssize_t n = ::write(fd, object.data(), object.size());
            ::close(fd);
            return;
        }
    });
    const auto fromPipe = run({"--to=LWO2", "--destFileName=a.lwo", "pipe.lwo"});
    writer.join();
    EXPECT_FALSE(fromPipe.signaled) << "the program hung on the pipe";
    EXPECT_EQ(fromPipe.status, 0) << fromPipe.err;
    EXPECT_EQ(geometryOf("a.lwo").faces.size(), 1u);

    testing::RunSetup setup{dir.string(), std::string(object.begin(), object.end()), 0};
    const auto fromStdin = testing::runProgram({"--to=LWO2", "--destFileName=b.lwo", "/dev/stdin"}, setup);
    EXPECT_EQ(fromStdin.status, 0) << fromStdin.err;
    EXPECT_NE(fromStdin.out.find("Reading IFF LWO2 (LightWave3D Object after [6]) file /dev/stdin \n"),
              std::string::npos);
    EXPECT_EQ(geometryOf("b.lwo").points, geometryOf("a.lwo").points);
}

// A file is read no further than its FORM; running out of memory is the
// user's error, not a program bug.
TEST_F(PipelineFaults, HugeInputsAreReadOnlyAsFarAsTheFormAndMemoryShortageIsReported) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#else
    const std::uint64_t threeGigabytes = std::uint64_t{3} << 30;
    put("big.lwo", triangleObject());
    fs::resize_file(dir / "big.lwo", threeGigabytes);  // a small FORM, then a hole
    put("big.bin", Bytes{'J', 'U', 'N', 'K'});
    fs::resize_file(dir / "big.bin", threeGigabytes);
    const testing::RunSetup limited{dir.string(), std::nullopt, std::uint64_t{1} << 30};

    const auto object = testing::runProgram({"--to=LWO2", "--destFileName=o.lwo", "big.lwo"}, limited);
    EXPECT_EQ(object.status, 0) << object.err;
    EXPECT_EQ(geometryOf("o.lwo").faces.size(), 1u);

    const auto junk = testing::runProgram({"--to=LWO2", "--destFileName=o2.lwo", "big.bin"}, limited);
    EXPECT_EQ(junk.status, 1);
    EXPECT_EQ(junk.err, "Error: Not enough memory to read big.bin\nunhandled exception Error\n");
#endif
}

// Coordinates the output cannot hold, damaged files and files of another kind:
// each run ends with the status and the message of the table, a failed run
// writes no output, and unprintable bytes of a file are shown escaped.
TEST_F(PipelineFaults, DamagedInputsAndUnholdableCoordinatesEndAsTheTableSays) {
    put("t.lwo", triangleObject());
    put("far.lwo", triangleObject({{0, 0, 0}, {3e38, 3e38, 0}, {0, 1, 0}}));
    IffBuilder block;  // a texture block whose UV map the object lacks
    block.sub("IMAP", IffBuilder().str("\x80")).sub("VMAP", IffBuilder().str("gone"));
    put("stale.lwo", triangleObject({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},
                                    IffBuilder().chunk("SURF", testing::lwo2Surface("s", "", IffBuilder().sub("BLOK", block)))));
    Bytes shortObject = testing::lwobSampleObject();  // its FORM claims 10 bytes more than there are
    const std::size_t claimed = shortObject.size() - 8 + 10;
    shortObject[6] = static_cast<std::uint8_t>(claimed >> 8);
    shortObject[7] = static_cast<std::uint8_t>(claimed);
    put("short.lwob", shortObject);
    IffBuilder damaged;
    damaged.id(std::string_view("P\0\x01S", 4)).u4(1000);
    put("damaged.lwo", testing::iffForm("LWO2", damaged));
    put("notes.txt", Bytes{'h', 'i', '\n'});
    fs::create_directory(dir / "sub");
    const std::string cannotWrite = "Error: Could not write output file o.lwo\n";
    const std::string tooLarge = " after the transforms; an LWO2 file holds coordinates up to 3.40282346639e+38 in size";
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> output;  // pieces of standard output when the run succeeds, else of standard error
    } cases[] = {
        {{"--scale=1e39", "t.lwo"}, 1, {cannotWrite, "Vertex 0 lies at (1e+39, 0.0, 0.0)" + tooLarge}},
        {{"--coordTransformsLH=rz45", "far.lwo"}, 1,
         {cannotWrite, "Vertex 1 lies at (3.7778931863e+22, 4.24264069489e+38, 0.0)" + tooLarge}},
        {{"stale.lwo"}, 0,
         {"Warning: A texture of the surface \"s\" uses the UV map \"gone\", but the object has no UV map of that "
          "name; the texture gets no texture coordinates\n"}},
        {{"short.lwob"}, 0,
         {"Warning: The FORM claims " + std::to_string(claimed) + " bytes after its 8-byte header, but only " +
          std::to_string(claimed - 10) + " are there; reading the chunks that are there\n"}},
        {{"damaged.lwo"}, 1, {"Could not read chunk data in chunk P\\x00\\x01S"}},
        {{"--destFileName=sub", "t.lwo"}, 1, {"Could not open output file sub: Is a directory"}},
        {{"--destFileName=no/o.lwo", "t.lwo"}, 1, {"Could not open output file no/o.lwo: No such file or directory"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args{"--to=LWO2", "--destFileName=o.lwo"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = run(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        for (const std::string& piece : c.output)
            EXPECT_NE((c.status == 0 ? r.out : r.err).find(piece), std::string::npos) << piece << "\n" << r.out << r.err;
        EXPECT_EQ(r.err.find('\0'), std::string::npos);
        EXPECT_EQ(fs::exists(dir / "o.lwo"), c.status == 0);
        fs::remove(dir / "o.lwo");
    }
    put("t.obj", triangleObject());  // which of several inputs is no object
    const auto r = run({"--to=LWO2", "t.obj", "notes.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: The file notes.txt is not a LightWave object (LWOB or LWO2) or an Unreal brush\n"
                     "unhandled exception NoImporterFound\n");
}

// Shader names are unique in the run, also without case, and each RIB names
// its own; names with control bytes are escaped in files and in messages.
TEST_F(PipelineFaults, EveryRibNamesItsOwnShadersAndStringsAreEscaped) {
    put("x.lwo", surfacesObject({"Red", "red"}, "a\x01\tb\n.tif", "\x02up"));
    put("y.lwo", surfacesObject({"Red"}));
    const auto r = run({"x.lwo", "y.lwo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Warning: The surface named \"Red\" has parent surface \"\\x02up\""), std::string::npos);
    EXPECT_NE(r.out.find("image file \"a\\x01\\x09b\\x0A.tif\""), std::string::npos) << r.out;
    const std::string escaped = "\"a\\001\\tb\\n.tif.tex\"";  // the texture made of the picture
    EXPECT_NE(text("x.rib").find(escaped), std::string::npos);
    EXPECT_NE(text("Red.sl").find(escaped), std::string::npos);
    std::vector<std::string> bound;  // by the RIBs, in order
    for (const char* rib : {"x.rib", "y.rib"})
        for (const auto& request : testing::scanRib(text(rib)))
            if (request.name == "Surface") bound.push_back(request.strings().at(0));
    ASSERT_EQ(bound.size(), 3u);
    const std::vector<std::string> expected = {"Red", "red_#", "Red_#"};
    for (std::size_t i = 0; i < bound.size(); ++i) {
        EXPECT_EQ(testing::hashHidden(bound[i]), expected[i]);
        EXPECT_NE(text(bound[i] + ".sl").find("surface " + bound[i] + " ("), std::string::npos);
    }
}

// Runs one after the other in one folder, as a user converts folders: a shader
// file holding other text is never replaced and an identical one is kept;
// --destDir and --keepGoing; long names, a pipe nobody reads, ".." beside a link.
TEST_F(PipelineFaults, FolderRunsOneAfterTheOther) {
    put("a.lwo", surfacesObject({"Red"}));
    put("b.lwo", surfacesObject({"Red"}, "b.tga"));
    put("b.tga", smallBmp);
    put("c.lwo", surfacesObject({"Blue"}));
    for (const char* name : {"t.lwo", "sub/t.lwo", "real/m.x", "real/m.y"}) put(name, triangleObject());
    for (const char* folder : {"batch", "out", "real/sub"}) fs::create_directories(dir / folder);
    fs::create_symlink("real/sub", dir / "l");
    ASSERT_EQ(::mkfifo((dir / "f.lwo").c_str(), 0600), 0);
    const std::string longest(251, 'n'), noFolder = "Error: Could not use the destination folder ";
    // made: the files the run adds; shaders: RIB files and the shader each binds.
    const struct { std::vector<std::string> args; int status; std::string errEnd; std::set<std::string> made;
                   std::vector<std::pair<std::string, std::string>> shaders; } runs[] = {
        {{"a.lwo"}, 0, "", {"a.rib", "Red.sl"}, {{"a.rib", "Red"}}},
        {{"b.lwo"}, 0, "", {"b.rib", "Red_#.sl"}, {{"b.rib", "Red_#"}}},
        {{"b.lwo", "a.lwo"}, 0, "", {}, {{"b.rib", "Red_#"}, {"a.rib", "Red"}}},
        {{"--destFileName=Blue.sl", "c.lwo"}, 0, "", {"Blue.sl", "Blue_#.sl"}, {{"Blue.sl", "Blue_#"}}},
        {{"--destDir=out", "a.lwo"}, 0, "", {"out/a.rib", "out/Red.sl"}, {{"out/a.rib", "Red"}}},
        {{"--to=LWO2", "--keepGoing=true", "--destDir=out", "t.lwo", "batch", "missing.lwo"}, 1,
         "unhandled exception Io\nConverted 1 of 3 files; failed: batch, missing.lwo\n", {"out/t.lwo"}, {}},
        {{"--to=LWO2", "--keepGoing=true", "--destDir=out/", "a.lwo"}, 0, "Converted 1 of 1 files\n", {"out/a.lwo"}, {}},
        {{"--to=LWO2", "--keepGoing=false", "--destDir=out", "batch", "c.lwo"}, 1, "unhandled exception Io\n", {}, {}},
        {{"--destDir=nowhere", "a.lwo"}, 1, noFolder + "nowhere: No such file or directory\nunhandled exception Error\n", {}, {}},
        {{"--destDir=a.lwo", "a.lwo"}, 1, noFolder + "a.lwo: Not a directory\nunhandled exception Error\n", {}, {}},
        {{"--to=LWO2", "--destDir=out", "--keepGoing=true", "t.lwo", "sub/t.lwo"}, 0, "Converted 2 of 2 files\n",
         {"out/sub", "out/sub/t.lwo"}, {}},
        {{"--to=LWO2", "--destDir=out", "--keepGoing=true", "t.lwo", (dir / "sub/t.lwo").string(), "c.lwo"}, 1,
         "Converted 1 of 3 files; failed: t.lwo, " + (dir / "sub/t.lwo").string() + "\n", {"out/c.lwo"}, {}},
        {{"--to=LWO2", "--destFileName=" + longest + ".lwo", "t.lwo"}, 0, "", {longest + ".lwo"}, {}},
        {{"--to=LWO2", "--destFileName=f.lwo", "t.lwo"}, 1,
         "Could not open output file f.lwo: No such device or address\nunhandled exception Error\n", {}, {}},
        {{"--to=LWO2", "l/../m.x", (dir / "real/m.y").string()}, 1,
         "the second would replace the first.\n" + separateRunsOfTwo + "unhandled exception Error\n", {}, {}},
        {{"--to=LWO2", "l/../m.x"}, 0, "", {"real/m.lwo"}, {}},
        {{"--to=Unreal.T3D", "--destDir=out", MORV3D_SOURCE_DIR "/examples/sample.lwo"}, 0, "", {"out/sample.t3d"}, {}},
        {{"--to=LWO2", "--destDir=out", MORV3D_SOURCE_DIR "/examples/sample_old.lwo"}, 0, "", {"out/sample_old.lwo"}, {}},
    };
    for (const auto& c : runs) {
        SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 100));
        const std::set<std::string> before = files();
        const auto r = run(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(r.err.ends_with(c.errEnd)) << r.err;
        EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;
        std::set<std::string> made;
        std::ranges::set_difference(files(), before, std::inserter(made, made.end()));
        std::set<std::string> shown;
        for (const std::string& name : made) shown.insert(testing::hashHidden(name));
        EXPECT_EQ(shown, c.made);
        for (const auto& [rib, expected] : c.shaders) {
            const std::string shader = firstShader(text(rib));
            EXPECT_EQ(testing::hashHidden(shader), expected);
            EXPECT_NE(text(fs::path(rib).replace_filename(shader + ".sl")).find("surface " + shader + " ("), std::string::npos);
        }
    }
}

// --destDir keeps the folders of a relative input without ".."; a run per
// file (the README's recipe) gives one output per input, and a rerun writes
// nothing new. A destination behind a link and ".." is where the system puts
// it, with its shaders beside it; a file of the folder as written is untouched.
TEST_F(PipelineFaults, OutputTreesAndFoldersAsTheSystemSeesThem) {
    for (const char* name : {"objects/a/chair.lwo", "objects/b/chair.lwo", "objects/c/chair.lwo"})
        put(name, surfacesObject({"Default"}, std::string(name).substr(8, 1) + ".tga"));
    for (const char* folder : {"converted", "real/sub"}) fs::create_directories(dir / folder);
    fs::create_symlink("real/sub", dir / "l");
    put("Default.sl", {'x'});
    const std::string absolute = (dir / "objects/a/chair.lwo").string();
    const struct { std::vector<std::string> args; std::set<std::string> made; } runs[] = {
        {{"--destDir=converted", "objects/a/chair.lwo"},
         {"converted/objects", "converted/objects/a", "converted/objects/a/chair.rib", "converted/objects/a/Default.sl"}},
        {{"--destDir=converted/", "./objects/b/chair.lwo"},
         {"converted/objects/b", "converted/objects/b/chair.rib", "converted/objects/b/Default.sl"}},
        {{"--destDir=converted", "objects/a/../c/chair.lwo"}, {"converted/chair.rib", "converted/Default.sl"}},
        {{"--destDir=converted", absolute}, {"converted/Default_#.sl"}},
        {{"--destDir=l/..", "objects/a/chair.lwo"},
         {"real/objects", "real/objects/a", "real/objects/a/chair.rib", "real/objects/a/Default.sl"}},
        {{"--destFileName=l/../obj.rib", "objects/b/chair.lwo"}, {"real/obj.rib", "real/Default.sl"}},
        {{"--to=glTF", "--destDir=converted", "objects/a/chair.lwo", "objects/b/chair.lwo"},
         {"converted/objects/a/chair.glb", "converted/objects/b/chair.glb"}},
    };
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& c : runs) {
            SCOPED_TRACE(::testing::PrintToString(c.args) + (pass ? " again" : ""));
            const std::set<std::string> before = files();
            const auto r = run(c.args);
            EXPECT_EQ(r.status, 0) << r.err;
            std::set<std::string> made;
            for (const std::string& name : files())
                if (!before.contains(name)) made.insert(testing::hashHidden(name));
            EXPECT_EQ(made, pass == 0 ? c.made : std::set<std::string>{});
            for (const std::string& name : files()) {
                if (!name.ends_with(".rib")) continue;
                EXPECT_TRUE(fs::exists(dir / fs::path(name).replace_filename(firstShader(text(name)) + ".sl"))) << name;
            }
        }
    EXPECT_EQ(text("Default.sl"), "x");
}

// The names a shader may take are bounded: the 1000th taken name is an error
// naming the folder, and nothing is written.
TEST_F(PipelineFaults, ShaderNamesEndAtTheBound) {
    put("o.lwo", surfacesObject({"Red"}));
    put("Red.sl", {'x'});
    ASSERT_EQ(run({"--destFileName=first.rib", "o.lwo"}).status, 0);  // makes Red_ and the hash of its text
    for (const std::string& name : files()) {
        if (name.starts_with("Red")) put(name, {'x'});
        if (name.starts_with("first.rib")) fs::remove(dir / name);
    }
    for (int n = 2; n < 1000; ++n) put("Red_" + std::to_string(n) + ".sl", {'x'});
    const std::set<std::string> before = files();
    const auto r = run({"o.lwo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("No free name for the shader Red in the folder " + fs::canonical(dir).string() + " after 1000 names"),
              std::string::npos) << r.err;
    EXPECT_EQ(files(), before);
}

// A rerun reads each object once: every message about a picture is printed
// once, as in the first run.
TEST_F(PipelineFaults, ARerunReadsEachObjectOnce) {
    for (const char* name : {"one.lwo", "two.lwo"}) put(name, surfacesObject({"Red"}, "missing.tga"));
    std::vector<std::size_t> mentions;
    for (int pass = 0; pass < 2; ++pass) {
        const auto r = run({"--to=glTF", "one.lwo", "two.lwo"});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string said = r.out + r.err;
        std::size_t count = 0;
        for (std::size_t at = said.find("missing.tga"); at != std::string::npos; at = said.find("missing.tga", at + 1))
            ++count;
        mentions.push_back(count);
    }
    EXPECT_GT(mentions[0], 0u);
    EXPECT_EQ(mentions[1], mentions[0]);
}

// Eight runs at once, two of each of four objects whose surfaces share a name:
// four shader files, each RIB bound to its own.
TEST_F(PipelineFaults, RunsAtTheSameTimeKeepTheirOwnShaders) {
    const auto name = [](const char* before, int k, const char* after) { return std::string(before).append(std::to_string(k % 4)).append(after); };
    for (int k = 0; k < 4; ++k) put(name("o", k, ".lwo"), surfacesObject({"Default"}, name("o", k, ".tga")));
    std::vector<std::thread> runs;
    for (int k = 0; k < 8; ++k)
        runs.emplace_back([&, k] { run({name("--destFileName=", k, std::to_string(k).append(".rib").c_str()), name("o", k, ".lwo")}); });
    for (std::thread& t : runs) t.join();
    for (int k = 0; k < 8; ++k) {
        const std::string shader = firstShader(text(name("", k, std::to_string(k).append(".rib").c_str())));
        EXPECT_NE(text(shader + ".sl").find(name("\"o", k, ".tga.tex\"")), std::string::npos) << shader;
    }
    EXPECT_EQ(std::ranges::count_if(files(), [](const std::string& f) { return f.ends_with(".sl"); }), 4);
}

// A relative picture name not found from the current folder is looked for
// beside the object and in each folder above it; the line names the file read,
// the output keeps the name the object gives.
TEST_F(PipelineFaults, PicturesAreFoundBesideTheObject) {
    const struct { std::string object, picture; std::vector<std::string> files; } cases[] = {  // the first file is found
        {"work/models/m.lwo", "images/a.bmp", {"work/models/images/a.bmp"}},
        {"content/Objects/box.lwo", "Images/wood.bmp", {"content/Images/wood.bmp"}},
        {"work/n.lwo", "here.bmp", {"here.bmp", "work/here.bmp"}},
        {(dir / "deep/a/b/m.lwo").string(), "pics/c.bmp", {(dir / "deep/pics/c.bmp").string()}},
    };
    for (const auto& c : cases) {
        for (const std::string& name : c.files) put(name, smallBmp);
        put(c.object, surfacesObject({"S"}, c.picture));
        const auto r = run({c.object});
        EXPECT_NE(r.out.find("Using pixel resolution 8x4 for the image file " + c.files[0] + "\n"), std::string::npos) << r.out;
        EXPECT_NE(text(fs::path(c.object).replace_extension("rib")).find("\"" + c.picture + "\""), std::string::npos);
    }
}

// An interrupted run takes its temporary files with it and ends as the signal
// says; a reader that goes away is a write error.
TEST_F(PipelineFaults, SignalsAndClosedPipesLeaveNoTemporaryFiles) {
    put("grid.lwo", gridObject(300));
    const auto temporaries = [&] {
        return std::ranges::count_if(files(), [](const std::string& f) { return f.find(".morv3d-") != std::string::npos; });
    };
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGXFSZ}) {
        const auto r = testing::runProgram({"--to=Unreal.T3D", "grid.lwo"}, {dir.string(), std::nullopt, 0, [&](pid_t child) {
            for (int tries = 0; tries < 20000 && temporaries() == 0; ++tries) ::usleep(500);
            ::kill(child, signal);
        }});
        EXPECT_TRUE(r.signaled && r.status == signal) << signal;
        EXPECT_EQ(files(), (std::set<std::string>{"grid.lwo"}));
    }
    std::ofstream(dir / "pipe.sh") << "'" << MORV3D_EXE << "' --destFileName=/dev/stdout grid.lwo 2>err.txt | head -c 9 "
                                   << ">/dev/null; echo ${PIPESTATUS[0]} >status.txt\n";
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && bash pipe.sh").c_str()), 0);
    EXPECT_EQ(text("status.txt"), "1\n");
    EXPECT_TRUE(text("err.txt").ends_with("Could not write output file /dev/stdout: Broken pipe\nunhandled exception Error\n"));
    EXPECT_EQ(temporaries(), 0);
    // A file size limit: the main thread's write gets SIGXFSZ, the brush
    // writer's thread (signals blocked) a write error.
    std::ofstream(dir / "limit.sh") << "exec 2>/dev/null; ulimit -f 64; '" << MORV3D_EXE << "' --to=LWO2 --destFileName=o.lwo grid.lwo >/dev/null 2>&1; "
                                    << "echo $? >lwo.txt; '" << MORV3D_EXE << "' --to=Unreal.T3D grid.lwo >/dev/null "
                                    << "2>&1; echo $? >t3d.txt\n";
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && bash limit.sh").c_str()), 0);
    EXPECT_EQ(text("lwo.txt"), std::to_string(128 + SIGXFSZ) + "\n");
    EXPECT_EQ(text("t3d.txt"), "1\n");
    EXPECT_EQ(temporaries(), 0);
    EXPECT_FALSE(fs::exists(dir / "o.lwo") || fs::exists(dir / "grid.t3d"));
}

// A stream destination is written directly, whatever it leads to, with the
// run's lines on standard error and the shaders in the current folder.
TEST_F(PipelineFaults, StreamDestinationsAreWrittenDirectly) {
    put("s.lwo", surfacesObject({"Red"}));
    fs::create_symlink("/dev/stdout", dir / "out.rib");
    const int file = ::open((dir / "sent.rib").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);  // as "> sent.rib"
    struct stat sent {}, after {};
    ::fstat(file, &sent);
    const std::string toFile = "/dev/fd/" + std::to_string(file);
    for (const std::string& destination : {std::string("/dev/stdout"), std::string("out.rib"), toFile}) {
        const auto r = run({"--destFileName=" + destination, "s.lwo"});
        SCOPED_TRACE(destination);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.substr(0, banner.size()), banner);
        EXPECT_NE(r.err.find("Writing RenderMan shader file Red.sl\n"), std::string::npos);
        EXPECT_EQ((destination == toFile ? text("sent.rib") : r.out).substr(0, 13), "version 3.03\n");
        EXPECT_TRUE(fs::remove(dir / "Red.sl"));
    }
    ::close(file);
    ::stat((dir / "sent.rib").c_str(), &after);
    fs::copy_file(dir / "s.lwo", dir / "out.lwo");  // out.rib, its derived destination, leads to standard output
    const auto derived = run({"out.lwo"});
    EXPECT_EQ(derived.err.substr(0, banner.size()), banner);
    EXPECT_EQ(derived.out.substr(0, 13), "version 3.03\n");
    EXPECT_EQ(after.st_ino, sent.st_ino);  // written into, not replaced
}

// Whole degrees are exact however they are written; a mirroring keeps every
// face showing the same side.
TEST_F(PipelineFaults, WholeDegreesAreExactAndMirroringKeepsTheFacing) {
    put("t.lwo", triangleObject());
    for (const char* angle : {"rz90", "rz90.0", "rz9e1", "rz+450"}) {
        const auto r = run({"--to=LWO2", std::string("--coordTransformsLH=") + angle, "--destFileName=o.lwo", "t.lwo"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(geometryOf("o.lwo").points, (std::vector<XYZ>{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}})) << angle;
    }
    const struct {
        std::string option;
        std::vector<std::int32_t> corners;
    } cases[] = {
        {"--scale=-1", {0, 2, 1}},
        {"--scale=2", {0, 1, 2}},
        {"--coordTransformsLH=ry180", {0, 1, 2}},  // a rotation is no mirroring
    };
    for (const auto& c : cases) {
        const auto r = run({"--to=LWO2", c.option, "--destFileName=o.lwo", "t.lwo"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(geometryOf("o.lwo").faces.front(), c.corners) << c.option;
    }
}

}  // namespace
}  // namespace morv
