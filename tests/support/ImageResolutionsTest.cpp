#include "support/Pictures.hpp"

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Excn.hpp"

namespace morv {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

void put16(Bytes& b, std::uint32_t v) {
    b.push_back(v & 0xff);
    b.push_back((v >> 8) & 0xff);
}
void put32(Bytes& b, std::uint32_t v) {
    put16(b, v & 0xffff);
    put16(b, v >> 16);
}

// A BMP with the 40-byte (or larger) information header and 24-bit pixels.
Bytes bmpInfo(std::int32_t w, std::int32_t h, std::uint32_t infoSize = 40, std::uint32_t fileSize = 0) {
    Bytes b{'B', 'M'};
    put32(b, fileSize ? fileSize : 14 + infoSize);
    put32(b, 0);
    put32(b, 14 + infoSize);
    put32(b, infoSize);
    put32(b, static_cast<std::uint32_t>(w));
    put32(b, static_cast<std::uint32_t>(h));
    put16(b, 1);
    put16(b, 24);
    b.resize(14 + infoSize, 0);
    return b;
}

// A BMP with the 12-byte OS/2 core header.
Bytes bmpCore(std::uint16_t w, std::uint16_t h) {
    Bytes b{'B', 'M'};
    put32(b, 26);
    put32(b, 0);
    put32(b, 26);
    put32(b, 12);
    put16(b, w);
    put16(b, h);
    put16(b, 1);
    put16(b, 24);
    return b;
}

// A Targa file: the 18-byte header, the identification field and the colour map.
Bytes targa(unsigned colourMapType, unsigned imageType, std::uint16_t w, std::uint16_t h,
            std::string id = "", std::uint16_t mapEntries = 0) {
    Bytes b;
    b.push_back(static_cast<unsigned char>(id.size()));
    b.push_back(static_cast<unsigned char>(colourMapType));
    b.push_back(static_cast<unsigned char>(imageType));
    put16(b, 0);           // first colour-map entry
    put16(b, mapEntries);  // colour-map length
    b.push_back(mapEntries ? 24 : 0);
    put16(b, 0);  // x origin
    put16(b, 0);  // y origin
    put16(b, w);
    put16(b, h);
    b.push_back(imageType == 3 || imageType == 11 ? 8 : (colourMapType == 1 ? 8 : 24));
    b.push_back(0x20);  // top-left origin
    b.insert(b.end(), id.begin(), id.end());
    b.resize(b.size() + 3u * mapEntries, 0x7f);
    return b;
}

Bytes cut(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

// A BMP whose first bytes also pass as a Targa header of type 2 with a size of
// 1 x 40: file size 0x102, pixel data at 0x10036.
Bytes bmpLikeTarga(std::int32_t w, std::int32_t h) {
    Bytes b = bmpInfo(w, h, 40, 0x0102);
    b[12] = 1;
    return b;
}

class ImageResolutionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        dir_ = fs::temp_directory_path() /
               ("morv3d-imageres-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(dir_);
        Excn::setReportingStream(&report_);
    }
    void TearDown() override {
        Excn::setReportingStream(nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // Runs resolutionForImage with the default 300 x 200 and returns what it printed.
    std::string resolve(const std::string& path, MorvLValue* result = nullptr, bool force = false) {
        std::ostringstream out;
        MorvLValue r = resolutionForImage(path, 300.0, 200.0, force, out);
        if (result) *result = r;
        return out.str();
    }
    static std::string using_(const std::string& size, const std::string& path) {
        return "Using pixel resolution " + size + " for the image file " + path + "\n";
    }
    static std::string warning(const std::string& path) {
        return "Warning: Could not get resolution of the image file \"" + path + "\"\n";
    }

    fs::path dir_;
    std::ostringstream report_;
};

struct ReadCase {
    const char* file;
    Bytes bytes;
    int w, h;
};

TEST_F(ImageResolutionsTest, ReadsBmpAndTargaHeaders) {
    const ReadCase cases[] = {
        {"info40.bmp", bmpInfo(640, 480), 640, 480},
        {"topdown.bmp", bmpInfo(3, -7), 3, 7},  // rows stored top down
        {"v5.bmp", bmpInfo(32, 16, 124), 32, 16},
        {"core.bmp", bmpCore(100, 50), 100, 50},
        {"bigcore.bmp", bmpCore(65535, 1), 65535, 1},
        {"bmfirst.bmp", bmpLikeTarga(12, 34), 12, 34},
        {"rgb.tga", targa(0, 2, 256, 128), 256, 128},
        {"rle.tga", targa(0, 10, 64, 32, "hello"), 64, 32},
        {"mapped.tga", targa(1, 1, 8, 4, "", 16), 8, 4},
        {"mappedrle.tga", targa(1, 9, 16, 8, "id", 2), 16, 8},
        {"rgbmap.tga", targa(1, 2, 5, 6, "", 1), 5, 6},
        {"header-only.tga", cut(targa(0, 2, 7, 9), 16), 7, 9},
        {"no-extension", targa(0, 2, 1024, 768), 1024, 768},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = write(c.file, c.bytes);
        MorvLValue r;
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        EXPECT_EQ(resolve(path, &r), using_(size, path));
        EXPECT_EQ(r, makeImageResolution(c.w, c.h));
        EXPECT_EQ(probeImageFile(path), std::make_pair(c.w, c.h));
    }
    EXPECT_EQ(report_.str(), "");
}

struct FailCase {
    const char* file;
    Bytes bytes;
    const char* report;  // composed text on the reporting stream, after the file name
};

TEST_F(ImageResolutionsTest, UnreadableHeadersWarnAndGiveTheDefault) {
    const char* noReport = nullptr;
    const FailCase cases[] = {
        {"grey.tga", targa(0, 3, 10, 10), noReport},
        {"mapped-without-map.tga", targa(0, 9, 10, 10), noReport},
        {"mapped-type1-without-map.tga", targa(2, 1, 10, 10), noReport},
        {"text.bmp", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, noReport},
        {"empty.bmp", Bytes{}, noReport},
        {"zero-width.bmp", bmpInfo(0, 10), noReport},
        {"zero-height.bmp", bmpInfo(10, 0), noReport},
        {"negative-width.bmp", bmpInfo(-5, 10), noReport},
        {"huge.bmp", bmpInfo(70000, 10), noReport},
        {"huge-topdown.bmp", bmpInfo(10, INT32_MIN), noReport},
        {"core-zero.bmp", bmpCore(0, 4), noReport},
        {"odd-info.bmp", bmpInfo(10, 10, 8), noReport},
        {"zero.tga", targa(0, 2, 0, 10), noReport},
        {"short.bmp", Bytes{'B', 'M', 0, 0}, "Error: Could not read BMP image file %\n\nThe error which caused this:\nCould not read BMP header bytes\n"},
        {"cut-info.bmp", cut(bmpInfo(10, 10), 20), "Error: Could not read BMP image file %\n\nThe error which caused this:\nCould not get 4 bytes\n"},
        {"cut-core.bmp", cut(bmpCore(10, 10), 21), "Error: Could not read BMP image file %\n\nThe error which caused this:\nCould not get 2 bytes\n"},
        {"cut.tga", cut(targa(0, 2, 10, 10), 8), "Error: Could not read Targa image file %\n\nThe error which caused this:\nCould not get 9 bytes\n"},
        {"cut-size.tga", cut(targa(0, 10, 10, 10), 14), "Error: Could not read Targa image file %\n\nThe error which caused this:\nCould not get 2 bytes\n"},
    };
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.file);
        report_.str("");
        const std::string path = write(c.file, c.bytes);
        MorvLValue r;
        EXPECT_EQ(resolve(path, &r), warning(path));
        EXPECT_EQ(r, makeImageResolution(300.0, 200.0));
        EXPECT_EQ(probeImageFile(path), std::nullopt);
        std::string expected = c.report ? c.report : "";
        if (const auto at = expected.find('%'); at != std::string::npos) expected.replace(at, 1, path);
        EXPECT_EQ(report_.str(), expected);
    }
}

TEST_F(ImageResolutionsTest, MissingFileOrDirectoryCannotBeOpened) {
    const std::string missing = (dir_ / "missing.bmp").string();
    const std::string sub = (dir_ / "dir.bmp").string();
    fs::create_directory(sub);
    for (const std::string& path : {missing, sub}) {
        SCOPED_TRACE(path);
        MorvLValue r;
        EXPECT_EQ(resolve(path, &r), "Could not open file " + path + (path == missing ? ": No such file or directory\n" : ": Is a directory\n") + warning(path));
        EXPECT_EQ(r, makeImageResolution(300.0, 200.0));
        EXPECT_EQ(probeImage(path).status, ImageProbeStatus::CannotOpen);
    }
}

TEST_F(ImageResolutionsTest, ForcedResolutionOpensNothing) {
    MorvLValue r;
    EXPECT_EQ(resolve((dir_ / "missing.bmp").string(), &r, true), "");
    EXPECT_EQ(r, makeImageResolution(300.0, 200.0));
    const std::string real = write("real.bmp", bmpInfo(64, 64));
    EXPECT_EQ(resolve(real, &r, true), "");
    EXPECT_EQ(r, makeImageResolution(300.0, 200.0));
}

TEST_F(ImageResolutionsTest, ResolutionRecordFields) {
    const MorvLValue r = makeImageResolution(640.0, 0.5);
    ASSERT_EQ(r.kind(), Kind::RECORD);
    EXPECT_EQ(forceGetRealField(r.fields(), "w"), 640.0);
    EXPECT_EQ(forceGetRealField(r.fields(), "h"), 0.5);
    EXPECT_EQ(r.fields().size(), 2u);
}

}  // namespace
}  // namespace morv
