#include "support/GetCs.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include <gtest/gtest.h>

#include "common/TestHelpers.hpp"

namespace morv {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "getcs_" + std::to_string(::getpid()) + "_" + name;
}

Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The reading rule written out step by step, to hold the fast decoder against.
double referenceReal(std::uint32_t w) {
    const double sign = (w >> 31) ? -1.0 : 1.0;
    const int e = static_cast<int>((w >> 23) & 0xFF);
    const double m = static_cast<double>(w & 0x7FFFFF);
    if (e == 0) return sign * m * std::ldexp(1.0, -149);
    return sign * (1.0 + m / 8388608.0) * std::ldexp(1.0, e - 127);
}

TEST(GetCsRead, IntegersAreBigEndian) {
    const Bytes b{0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0xFE, 0xAB, 0xCD, 0xEF};
    ByteCursor c(b);
    EXPECT_EQ(c.readRawWord32(), 0x12345678u);
    EXPECT_EQ(c.getSWord32(), -2);
    EXPECT_EQ(c.readU2(), 0xABCD);
    EXPECT_EQ(c.readU1(), 0xEF);
    EXPECT_TRUE(c.atEnd());
    EXPECT_EQ(c.position(), 11u);
}

TEST(GetCsRead, RealsDecodeAsSinglePrecision) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::uint32_t word;
        double value;
    };
    const Case cases[] = {
        {0x3F800000, 1.0},
        {0xC0000000, -2.0},
        {0x00000000, 0.0},
        {0x3EAAAAAB, static_cast<double>(0xAAAAAB) * std::ldexp(1.0, -25)},  // nearest to 1/3
        {0x00000001, std::ldexp(1.0, -149)},                  // smallest denormal
        {0x807FFFFF, -8388607.0 * std::ldexp(1.0, -149)},     // largest denormal
        {0x00800000, std::ldexp(1.0, -126)},                  // smallest normal
        {0x7F7FFFFF, static_cast<double>(std::numeric_limits<float>::max())},
        {0x7F800000, inf},
        {0xFF800000, -inf},
    };
    for (const auto& tc : cases) {
        const Bytes b{static_cast<std::uint8_t>(tc.word >> 24), static_cast<std::uint8_t>(tc.word >> 16),
                      static_cast<std::uint8_t>(tc.word >> 8), static_cast<std::uint8_t>(tc.word)};
        ByteCursor c(b);
        EXPECT_EQ(c.getIEEEReal(), tc.value) << std::hex << tc.word;
        ByteCursor d(b);
        EXPECT_EQ(d.readReal(), tc.value) << std::hex << tc.word;
    }
    EXPECT_TRUE(std::signbit(decodeIEEEReal(0x80000000)));
    EXPECT_TRUE(std::isnan(decodeIEEEReal(0x7FC00000)));
    EXPECT_TRUE(std::isnan(decodeIEEEReal(0xFF800001)));
}

TEST(GetCsRead, DecoderMatchesTheStepwiseRuleForEveryExponent) {
    const std::uint32_t mantissas[] = {0, 1, 2, 0x2AAAAA, 0x400000, 0x555555, 0x7FFFFE, 0x7FFFFF};
    for (std::uint32_t sign = 0; sign < 2; ++sign)
        for (std::uint32_t e = 0; e < 255; ++e)
            for (std::uint32_t m : mantissas) {
                const std::uint32_t w = (sign << 31) | (e << 23) | m;
                ASSERT_EQ(decodeIEEEReal(w), referenceReal(w)) << std::hex << w;
            }
}

TEST(GetCsRead, PointsInOrderXYZ) {
    const Bytes b{0x3F, 0x80, 0, 0, 0xC0, 0, 0, 0, 0x40, 0x40, 0, 0, 0x3F, 0x80, 0, 0, 0xC0, 0, 0, 0, 0x40, 0x40, 0, 0};
    ByteCursor c(b);
    EXPECT_EQ(c.getIEEEPoint(), (XYZ{1.0, -2.0, 3.0}));
    EXPECT_EQ(c.readPoint(), (XYZ{1.0, -2.0, 3.0}));
    EXPECT_TRUE(c.atEnd());
    ByteCursor d(b);
    const MorvLValue record = d.getXYZ();
    EXPECT_EQ(record.kind(), Kind::RECORD);
    EXPECT_EQ(RecordToXYZ(record.fields()), (XYZ{1.0, -2.0, 3.0}));
    EXPECT_EQ(d.position(), 12u);
}

TEST(GetCsRead, StringsTakeEvenByteCounts) {
    struct Case {
        std::string bytes;
        std::string value;
        std::size_t consumed;
    };
    const Case cases[] = {
        {std::string("abc\0", 4), "abc", 4},
        {std::string("ab\0\0", 4), "ab", 4},
        {std::string("\0\0", 2), "", 2},
        {std::string("a\0", 2), "a", 2},
        {std::string("layer1\0\0", 8), "layer1", 8},
    };
    for (const auto& tc : cases) {
        const Bytes b = toBytes(tc.bytes + "XY");
        ByteCursor c(b);
        const StringRead r = c.readString();
        EXPECT_EQ(r.value, tc.value);
        EXPECT_EQ(r.bytesConsumed, tc.consumed);
        EXPECT_EQ(c.position(), tc.consumed);
        EXPECT_EQ(c.readU1(), 'X');
    }
}

TEST(GetCsRead, VertexIndexForms) {
    struct Case {
        Bytes bytes;
        std::size_t consumed;
        std::uint32_t index;
    };
    const Case cases[] = {
        {{0xFF, 0x00, 0x01, 0x02}, 4, 258},
        {{0xFE, 0xFF}, 2, 65279},
        {{0x00, 0x00}, 2, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 4, 0xFFFFFF},
        {{0xFF, 0x00, 0xFF, 0x00}, 4, 65280},
    };
    for (const auto& tc : cases) {
        ByteCursor c(tc.bytes);
        const IndexRead r = c.readVertexIndex();
        EXPECT_EQ(r.bytesConsumed, tc.consumed);
        EXPECT_EQ(r.index, tc.index);
        EXPECT_TRUE(c.atEnd());
    }
    EXPECT_EQ(check2ByteIndex(0xFEFF), 0xFEFF);
    EXPECT_THROW_MSG(check2ByteIndex(0xFF00), Error, "Not a 2 byte index in check2ByteIndex!\n");
}

TEST(GetCsRead, ChunkWalkWithPadAndSubCursor) {
    // FORM-less stream: a chunk of length 7, its pad, then an empty chunk.
    const Bytes b = toBytes(std::string("ABCD\0\0\0\x07", 8) + std::string("1234567\0", 8) +
                            std::string("EFGH\0\0\0\0", 8));
    ByteCursor c(b);
    const ChunkHeader h = c.readChunk();
    EXPECT_EQ(h.id, "ABCD");
    EXPECT_EQ(h.length, 7);
    ByteCursor body = c.readChunkBody(h.id, h.length);
    c.skipPad(h.length, h.id);
    EXPECT_EQ(c.position(), 16u);
    EXPECT_EQ(c.readChunk().id, "EFGH");
    EXPECT_TRUE(c.atEnd());

    // The body is bounded by the chunk even though the buffer goes on.
    EXPECT_EQ(body.position(), 0u);
    EXPECT_EQ(body.remaining(), 7u);
    EXPECT_EQ(body.readRawWord32(), 0x31323334u);
    EXPECT_THROW_MSG(body.readRawWord32(), Error, "Could not read 4 bytes as raw word32!");
    EXPECT_EQ(body.readU2(), 0x3536);

    ByteCursor again(b);
    const ChunkHeader first = again.readChunk();
    again.skipBody(first.length, first.id);
    EXPECT_EQ(again.readChunk().id, "EFGH");

    const Bytes sub = toBytes(std::string("STIL\0\x03", 6));
    ByteCursor s(sub);
    const SubchunkHeader sh = s.readSubchunkHeader();
    EXPECT_EQ(sh.id, "STIL");
    EXPECT_EQ(sh.length, 3);
}

TEST(GetCsRead, ShortReadsRaiseTheirMessages) {
    const std::string realChain = "Error in getIEEEReal\nThe error which caused this:\n"
                                  "Could not read 4 bytes as raw word32!";
    auto pointChain = [&](const std::string& outer, const std::string& coord) {
        return outer + "\nThe error which caused this:\n" + coord + "\nThe error which caused this:\n" + realChain;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        std::function<void(ByteCursor&)> read;
        std::string message;
    };
    const Case cases[] = {
        {"U1", {}, [](ByteCursor& c) { c.readU1(); }, "Could not read 1 byte as unsigned integer!"},
        {"U2", {1}, [](ByteCursor& c) { c.readU2(); }, "Could not read 2 bytes as unsigned integer!"},
        {"word8", {}, [](ByteCursor& c) { c.readRawWord8(); }, "Could not read 1 byte as raw word8!"},
        {"word32", {1, 2, 3}, [](ByteCursor& c) { c.readRawWord32(); }, "Could not read 4 bytes as raw word32!"},
        {"sword32", {1}, [](ByteCursor& c) { c.getSWord32(); }, "Could not read 4 bytes as raw word32!"},
        {"ieee", {1, 2}, [](ByteCursor& c) { c.getIEEEReal(); }, realChain},
        {"point x", {}, [](ByteCursor& c) { c.getIEEEPoint(); },
         pointChain("Error in getIEEEPoint", "Error in getIEEEPoint coord x")},
        {"point y", Bytes(5), [](ByteCursor& c) { c.getIEEEPoint(); },
         pointChain("Error in getIEEEPoint", "Error in getIEEEPoint coord y")},
        {"point z", Bytes(11), [](ByteCursor& c) { c.getIEEEPoint(); },
         pointChain("Error in getIEEEPoint", "Error in getIEEEPoint coord z")},
        {"xyz y", Bytes(4), [](ByteCursor& c) { c.getXYZ(); }, pointChain("Error in getXYZ", "Error in getXYZF coord y")},
        {"real", {1, 2, 3}, [](ByteCursor& c) { c.readReal(); }, "Could not read real number!"},
        {"3d point", Bytes(11), [](ByteCursor& c) { c.readPoint(); }, "Could not read 3D point!"},
        {"chunk id", {'F', 'O'}, [](ByteCursor& c) { c.readChunk(); }, "Could not read IFF chunk ID!"},
        {"chunk length", {'F', 'O', 'R', 'M', 0, 0}, [](ByteCursor& c) { c.readChunk(); },
         "Error in GetCs.getSWord32 in readChunk length\nThe error which caused this:\n"
         "Could not read 4 bytes as raw word32!"},
        {"form type", {'L', 'W'}, [](ByteCursor& c) { c.readId(); }, "Could not read IFF chunk ID!"},
        {"subchunk id", {'C', 'O', 'L'}, [](ByteCursor& c) { c.readSubchunkHeader(); }, "Could not read IFF chunk ID!"},
        {"subchunk length", {'C', 'O', 'L', 'R', 0}, [](ByteCursor& c) { c.readSubchunkHeader(); },
         "Could not read 2 bytes as unsigned integer!"},
        {"string unended", {'a', 'b'}, [](ByteCursor& c) { c.readString(); }, "Could not read 1 byte as raw word8!"},
        {"string empty", {}, [](ByteCursor& c) { c.readString(); }, "Could not read 1 byte as raw word8!"},
        {"string pad", {'a', 'b', 0}, [](ByteCursor& c) { c.readString(); }, "Could not skip NULL bytes in string!"},
        {"index short", {0x12}, [](ByteCursor& c) { c.readVertexIndex(); }, "Could not read 2 bytes as unsigned integer!"},
        {"index long", {0xFF, 0, 1}, [](ByteCursor& c) { c.readVertexIndex(); }, "Could not read 4 bytes as raw word32!"},
        {"body long", Bytes(9), [](ByteCursor& c) { c.readChunkBody("PNTS", 10); },
         "Could not read chunk data in chunk PNTS"},
        {"body negative", Bytes(9), [](ByteCursor& c) { c.readChunkBody("POLS", -1); },
         "Could not read chunk data in chunk POLS"},
        {"body int32 min", Bytes(9), [](ByteCursor& c) { c.readChunkBody("POLS", INT32_MIN); },
         "Could not read chunk data in chunk POLS"},
        {"skip long", Bytes(3), [](ByteCursor& c) { c.skip(4, "BBOX"); }, "Error while trying to skip bytes in chunk BBOX"},
        {"skip negative", Bytes(3), [](ByteCursor& c) { c.skip(-2, "BBOX"); },
         "Error while trying to skip bytes in chunk BBOX"},
        {"skip pad", Bytes(3), [](ByteCursor& c) { c.skipBody(3, "DESC"); }, "Error while trying to skip bytes in chunk DESC"},
        {"missing pad", Bytes(3), [](ByteCursor& c) {
             c.readChunkBody("TEXT", 3);
             c.skipPad(3, "TEXT");
         },
         "Error while trying to skip bytes in chunk TEXT"},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        ByteCursor c(tc.bytes);
        EXPECT_THROW_MSG(tc.read(c), Error, tc.message);
    }
}

TEST(GetCsRead, FailedReadLeavesTheCursorInPlace) {
    const Bytes b{'F', 'O', 'R', 'M', 0xFF, 0};
    ByteCursor c(b);
    EXPECT_THROW(c.readChunk(), Error);
    EXPECT_EQ(c.position(), 0u);
    c.skip(4, "FORM");
    EXPECT_THROW(c.readVertexIndex(), Error);
    EXPECT_EQ(c.remaining(), 2u);
    EXPECT_THROW(c.getIEEEPoint(), Error);
    EXPECT_EQ(c.remaining(), 2u);
}

TEST(GetCsReadFile, WholeFileAndMissingFile) {
    const std::string path = tempPath("whole.bin");
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite("FORM\0\0\0\x04LWO2", 1, 12, f);
        std::fclose(f);
    }
    EXPECT_EQ(readWholeFile(path), toBytes(std::string("FORM\0\0\0\x04LWO2", 12)));
    std::remove(path.c_str());

    for (const std::string& bad : {path, ::testing::TempDir()}) {
        try {
            readWholeFile(bad);
            ADD_FAILURE() << "no failure for " << bad;
        } catch (const NamedException& e) {
            EXPECT_EQ(e.name(), "Io");
        }
    }
}

// Mapped input: the same bytes as a copy, an IFF file only as far as its
// FORM, and pages handed back to the kernel read the same again. Bytes held
// in memory are never released, whatever a reader asks.
TEST(GetCsReadFile, AMappedFileCutShortWhileReadEndsTheRunWithAReport) {
    const std::string path = tempPath("cut.t3d");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const Bytes text(1 << 16, 'x');
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    EXPECT_EXIT(
        {
            const ObjectBytes mapped = loadObjectFile(path);
            ::truncate(path.c_str(), 0);
            volatile std::uint8_t sum = 0;
            for (std::uint8_t b : mapped.bytes()) sum = static_cast<std::uint8_t>(sum + b);
        },
        ::testing::ExitedWithCode(1), "Error: The file " + path + " was cut short while it was read\nunhandled exception Io\n");
}

TEST(GetCsReadFile, MappedObjectsReadLikeCopiesAndSurviveRelease) {
    const std::string text = tempPath("mapped.t3d"), iff = tempPath("mapped.lwo");
    Bytes big(3 << 20);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    const Bytes form = toBytes(std::string("FORM\0\0\0\x08LWO2abcdTRAILING", 24));
    for (const auto& [path, bytes] : {std::pair<std::string, const Bytes*>{text, &big}, {iff, &form}}) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes->data(), 1, bytes->size(), f);
        std::fclose(f);
    }
    {
        const ObjectBytes bounded = loadObjectFile(iff);
        EXPECT_EQ(Bytes(bounded.bytes().begin(), bounded.bytes().end()), Bytes(form.begin(), form.begin() + 16));
    }
    {
        ObjectBytes mapped = loadObjectFile(text);
        const std::span<const std::uint8_t> view = mapped;
        ASSERT_EQ(view.size(), big.size());
        releaseInputBytes(view.first(view.size() - 5000));
        releaseInputBytes(view.first(100));  // behind what is released already
        ObjectBytes moved = std::move(mapped);
        EXPECT_TRUE(std::equal(view.begin(), view.end(), big.begin()));
        EXPECT_EQ(moved.bytes().data(), view.data());
    }
    Bytes held = big;
    releaseInputBytes(held);
    EXPECT_EQ(held, big);
    ObjectBytes copy(std::move(held));
    releaseInputBytes(copy);
    EXPECT_TRUE(std::equal(copy.bytes().begin(), copy.bytes().end(), big.begin(), big.end()));
    std::remove(text.c_str());
    std::remove(iff.c_str());
}

TEST(GetCsWrite, ItemsAreBigEndian) {
    IffWriter w;
    w.putID("FORM");
    w.putU4(0x01020304);
    w.putU2(0xA1B2);
    w.putU1(0x7F);
    w.putReal(-2.0);
    w.putPoint({1.0, 0.0, -0.0});
    const std::string expected("FORM\x01\x02\x03\x04\xA1\xB2\x7F\xC0\0\0\0\x3F\x80\0\0\0\0\0\0\x80\0\0\0", 27);
    EXPECT_EQ(w.bytes(), expected);
    EXPECT_EQ(w.size(), 27u);
    EXPECT_THROW_MSG(w.putID("FOR"), Bug, "Internal error: GetCs.putID needs a 4-character identifier, got \"FOR\"");
    EXPECT_THROW_MSG(w.putString(std::string("a\0b", 3)), Error,
                     "Cannot write a string with a NUL character inside to an IFF file");
}

TEST(GetCsWrite, StringsRoundTripForEveryLengthParity) {
    for (std::size_t n = 0; n < 7; ++n) {
        const std::string s(n, static_cast<char>('a' + n));
        IffWriter w;
        w.putString(s);
        w.putU1(0x5A);
        EXPECT_EQ(w.size(), stringSize(s) + 1);
        EXPECT_EQ(stringSize(s) % 2, 0u);
        const Bytes b = toBytes(w.bytes());
        ByteCursor c(b);
        const StringRead r = c.readString();
        EXPECT_EQ(r.value, s);
        EXPECT_EQ(r.bytesConsumed, stringSize(s));
        EXPECT_EQ(c.readU1(), 0x5A);
    }
}

TEST(GetCsWrite, VertexIndicesRoundTrip) {
    const std::uint32_t indices[] = {0, 1, 65279, 65280, 65535, 65536, 0xFFFFFF};
    IffWriter w;
    std::size_t expectedSize = 0;
    for (std::uint32_t i : indices) {
        w.putVertexIndex(i);
        expectedSize += vertexIndexSize(i);
        EXPECT_EQ(vertexIndexSize(i), i <= 65279 ? 2u : 4u) << i;
    }
    EXPECT_EQ(w.size(), expectedSize);
    const Bytes b = toBytes(w.bytes());
    ByteCursor c(b);
    for (std::uint32_t i : indices) {
        const IndexRead r = c.readVertexIndex();
        EXPECT_EQ(r.index, i);
        EXPECT_EQ(r.bytesConsumed, vertexIndexSize(i));
    }
    EXPECT_TRUE(c.atEnd());

    const std::string tooLarge = "Cannot write vertex index 16777216: an IFF vertex index is at most 16777215";
    EXPECT_THROW_MSG(w.putVertexIndex(0x1000000), Error, tooLarge);
    EXPECT_THROW_MSG(vertexIndexSize(0x1000000), Error, tooLarge);
    EXPECT_EQ(w.size(), expectedSize);
}

TEST(GetCsWrite, RealsRoundTripThroughSinglePrecision) {
    const double values[] = {0.0, -0.0, 1.0, -2.5, 0.1, 1e-40, -3.4e38, 1e39,
                             std::numeric_limits<double>::infinity()};
    IffWriter w;
    for (double v : values) w.putReal(v);
    w.putReal(std::numeric_limits<double>::quiet_NaN());
    const Bytes b = toBytes(w.bytes());
    ByteCursor c(b);
    for (double v : values) {
        const double back = c.getIEEEReal();
        EXPECT_EQ(back, static_cast<double>(static_cast<float>(v))) << v;
        EXPECT_EQ(std::signbit(back), std::signbit(v)) << v;
    }
    EXPECT_TRUE(std::isnan(c.getIEEEReal()));
}

TEST(GetCsWriteFile, LargeFileIsWrittenWhole) {
    const std::string path = tempPath("large.lwo");
    const std::string longText(3 * IffWriter::blockSize, 'x');
    {
        IffWriter w(path);
        // More than two blocks, mixing item sizes so that block ends fall mid-run.
        for (std::uint32_t i = 0; i < 700000; ++i) {
            w.putU4(i);
            w.putU1(static_cast<std::uint8_t>(i));
            w.putString(i % 3 ? "ab" : "abc");
        }
        w.putString(longText);  // longer than the writer's buffer
        EXPECT_EQ(w.size(), 700000u * 9 + longText.size() + 2);
        w.finish();
        EXPECT_EQ(w.size(), 700000u * 9 + longText.size() + 2);
    }
    const Bytes b = readWholeFile(path);
    std::remove(path.c_str());
    ASSERT_EQ(b.size(), 700000u * 9 + longText.size() + 2);
    ByteCursor c(b);
    for (std::uint32_t i = 0; i < 700000; ++i) {
        ASSERT_EQ(c.readRawWord32(), i);
        ASSERT_EQ(c.readU1(), static_cast<std::uint8_t>(i));
        ASSERT_EQ(c.readString().value, i % 3 ? "ab" : "abc");
    }
    EXPECT_EQ(c.readString().value, longText);
}

TEST(GetCsWriteFile, FailuresNameTheFile) {
    const std::string noDir = tempPath("missing-dir/out.lwo");
    EXPECT_THROW_MSG(IffWriter{noDir}, Error, "Could not open output file " + noDir + ": No such file or directory");

    if (std::FILE* probe = std::fopen("/dev/full", "wb")) {
        std::fclose(probe);
        IffWriter w("/dev/full");
        w.putID("FORM");
        EXPECT_THROW_MSG(w.finish(), Error, "Could not write output file /dev/full: No space left on device");
    }
}

}  // namespace
}  // namespace morv
