// IFF byte-level primitives: big-endian integers, IEEE single reals, even-padded
// strings, variable-length vertex indices, chunk and subchunk headers.
//
// Reading: the pipeline loads each object with loadObjectFile (a regular file
// mapped, anything else read into memory) and the readers walk its bytes
// with a ByteCursor; every read first checks that enough bytes are left and
// raises morv::Error with its fixed message on a shortfall. Wrapping reads
// (getIEEEReal, getIEEEPoint, getXYZ, the chunk length) raise their own message
// with the cause attached as Excn::compose does. A failed read leaves the
// cursor where it was.
//
// Reals whose exponent field is 255 decode as IEEE single precision defines
// them: +/-infinity when the mantissa is 0, NaN otherwise. The writer writes
// them back with the same bit pattern (NaN payloads kept, except that a
// signalling NaN comes back quiet).
//
// Writing: IffWriter appends big-endian items to a large buffer and writes it
// out in blocks; stringSize and vertexIndexSize give item sizes in advance so
// that chunk lengths can be computed before anything is written.
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scene/MorvLValue.hpp"

namespace morv {

// Every byte of the file. Raises NamedException "Io" when it cannot be opened
// or read (a directory cannot), std::bad_alloc when memory runs out.
std::vector<std::uint8_t> readWholeFile(const std::string& path);

// The bytes of an input object, valid as long as this value lives. A regular
// file is mapped read-only instead of copied, only as far as the size it had
// when it was opened; anything else (a pipe, standard input, a file of no
// known size) is read into memory. When another program cuts a mapped file
// short while it is read, the run ends with "Error: The file NAME was cut
// short while it was read" and status 1, as a failed read (reading past the
// new end is a bus error, which is caught for the live mappings only).
class ObjectBytes {
public:
    ObjectBytes() = default;
    explicit ObjectBytes(std::vector<std::uint8_t> held);
    // Takes over a read-only mapping of size bytes of the file path made by mmap.
    static ObjectBytes mapped(void* mapping, std::size_t size, const std::string& path);
    ObjectBytes(ObjectBytes&& other) noexcept;
    ObjectBytes& operator=(ObjectBytes&& other) noexcept;
    ~ObjectBytes();

    std::span<const std::uint8_t> bytes() const { return view_; }
    operator std::span<const std::uint8_t>() const { return view_; }
    // The bytes as a vector: moved out when they are held, copied when mapped.
    std::vector<std::uint8_t> toVector() &&;

private:
    void unmap() noexcept;

    std::vector<std::uint8_t> held_;
    void* mapping_ = nullptr;
    std::size_t mappedSize_ = 0;
    std::span<const std::uint8_t> view_;
};

// An input object, read once from the front so that pipes and standard input
// work: a file that begins with an IFF FORM header only to the end of that
// FORM (a huge file with a small FORM costs no more), any other file whole.
// Failures as readWholeFile; a mapping the address space cannot hold is
// std::bad_alloc too.
ObjectBytes loadObjectFile(const std::string& path);

// Lets the kernel reclaim the memory of the pages of a mapped input file that
// lie wholly inside bytes, for a reader that has parsed them. Reading them
// again stays correct (they come back from the file); bytes that are not part
// of a live mapping made by loadObjectFile are left alone.
void releaseInputBytes(std::span<const std::uint8_t> bytes);

// The bytes of a FORM after its type that a reader can use: the FORM length
// (at least 4) less the type, or, when that reaches past the end of the file,
// the remaining bytes, with a warning on messages saying both numbers.
std::size_t usableFormLength(std::int32_t formLength, std::size_t remaining, std::ostream& messages);

struct ChunkHeader {
    std::string id;  // 4 characters
    std::int32_t length;
};

struct SubchunkHeader {
    std::string id;  // 4 characters
    std::uint16_t length;
};

struct StringRead {
    std::string value;
    std::size_t bytesConsumed;  // characters + NUL + pad: always even
};

struct IndexRead {
    std::size_t bytesConsumed;  // 2 or 4
    std::uint32_t index;
};

// The largest index of the 2-byte form; larger ones take 4 bytes (0xFF prefix).
inline constexpr std::uint32_t maxShortIndex = 0xFEFF;
inline constexpr std::uint32_t maxLongIndex = 0xFFFFFF;

// Decodes an IEEE single bit pattern. For exponents 1..254 this is
// sign * (1 + m / 2^23) * 2^(e - 127), for exponent 0 sign * m * 2^-149; both
// equal the float's exact value, so converting the float is the same thing.
inline double decodeIEEEReal(std::uint32_t word) {
    return static_cast<double>(std::bit_cast<float>(word));
}

// Refuses values above maxShortIndex with "Not a 2 byte index in check2ByteIndex!\n".
std::uint16_t check2ByteIndex(std::uint16_t value);

namespace detail {
enum class Short : std::uint8_t { U1, U2, Word8, Word32, IEEEReal, Real, Point };
[[noreturn, gnu::cold]] void raiseShort(Short what);
[[noreturn, gnu::cold]] void raiseShortPoint(std::size_t remaining);

inline std::uint16_t loadU2(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t loadU4(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
}  // namespace detail

class ByteCursor {
public:
    ByteCursor() = default;
    ByteCursor(const std::uint8_t* data, std::size_t size) : begin_(data), pos_(data), end_(data + size) {}
    explicit ByteCursor(std::span<const std::uint8_t> bytes) : ByteCursor(bytes.data(), bytes.size()) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
    std::size_t position() const { return static_cast<std::size_t>(pos_ - begin_); }
    bool atEnd() const { return pos_ == end_; }

    std::uint8_t readU1() {
        if (1 > remaining()) detail::raiseShort(detail::Short::U1);
        return *pos_++;
    }
    std::uint16_t readU2() {
        if (2 > remaining()) detail::raiseShort(detail::Short::U2);
        const std::uint16_t v = detail::loadU2(pos_);
        pos_ += 2;
        return v;
    }
    std::uint8_t readRawWord8() {
        if (1 > remaining()) detail::raiseShort(detail::Short::Word8);
        return *pos_++;
    }
    std::uint32_t readRawWord32() {
        if (4 > remaining()) detail::raiseShort(detail::Short::Word32);
        const std::uint32_t v = detail::loadU4(pos_);
        pos_ += 4;
        return v;
    }
    std::int32_t getSWord32() { return static_cast<std::int32_t>(readRawWord32()); }

    double getIEEEReal() {
        if (4 > remaining()) detail::raiseShort(detail::Short::IEEEReal);
        const double v = decodeIEEEReal(detail::loadU4(pos_));
        pos_ += 4;
        return v;
    }
    XYZ getIEEEPoint() {
        if (12 > remaining()) detail::raiseShortPoint(remaining());
        return takePoint();
    }
    // The point as the scene's x/y/z record.
    MorvLValue getXYZ();

    // One request of 4 bytes ("Could not read real number!") and of 12 bytes
    // ("Could not read 3D point!").
    double readReal() {
        if (4 > remaining()) detail::raiseShort(detail::Short::Real);
        const double v = decodeIEEEReal(detail::loadU4(pos_));
        pos_ += 4;
        return v;
    }
    XYZ readPoint() {
        if (12 > remaining()) detail::raiseShort(detail::Short::Point);
        return takePoint();
    }

    // 2-byte index up to maxShortIndex, otherwise 4 bytes whose low 24 bits hold it.
    IndexRead readVertexIndex() {
        if (2 > remaining()) detail::raiseShort(detail::Short::U2);
        if (pos_[0] != 0xFF) {
            const std::uint16_t v = detail::loadU2(pos_);
            pos_ += 2;
            return {2, v};
        }
        if (4 > remaining()) detail::raiseShort(detail::Short::Word32);
        const std::uint32_t w = detail::loadU4(pos_) & maxLongIndex;
        pos_ += 4;
        return {4, w};
    }

    // Characters up to the NUL, then the pad byte when characters + NUL is odd.
    StringRead readString();

    // A 4-character identifier (chunk, form type, polygon type); bytes outside
    // printable ASCII come back as \xHH, so that messages never carry them raw.
    std::string readId();
    ChunkHeader readChunk();
    SubchunkHeader readSubchunkHeader();

    // The next `length` bytes as a cursor of their own; negative or too large
    // lengths fail with "Could not read chunk data in chunk " + id.
    ByteCursor readChunkBody(std::string_view id, std::int64_t length);
    // Discards n bytes; fails with "Error while trying to skip bytes in chunk " + id.
    void skip(std::int64_t n, std::string_view id);
    // The pad byte after a body of odd length.
    void skipPad(std::int64_t length, std::string_view id) {
        if (length % 2 != 0) skip(1, id);
    }
    // A whole unhandled chunk or subchunk: its body and its pad.
    void skipBody(std::int64_t length, std::string_view id);

private:
    XYZ takePoint() {
        XYZ p{decodeIEEEReal(detail::loadU4(pos_)), decodeIEEEReal(detail::loadU4(pos_ + 4)),
              decodeIEEEReal(detail::loadU4(pos_ + 8))};
        pos_ += 12;
        return p;
    }

    const std::uint8_t* begin_ = nullptr;
    const std::uint8_t* pos_ = nullptr;
    const std::uint8_t* end_ = nullptr;
};

// Bytes an item takes in the file.
inline std::size_t stringSize(std::string_view s) { return (s.size() + 2) & ~std::size_t{1}; }
[[noreturn, gnu::cold]] void raiseIndexTooLarge(std::uint64_t index);
inline std::size_t vertexIndexSize(std::uint64_t index) {
    if (index <= maxShortIndex) return 2;
    if (index <= maxLongIndex) return 4;
    raiseIndexTooLarge(index);
}

class OutputFile;

// Big-endian output. Constructed without a path it only collects bytes (see
// bytes()); with a path it writes through an OutputFile in blocks, and
// finish() must be called to put the complete file in place (without it the
// destination is left as it was). Write failures raise Error naming the file.
class IffWriter {
public:
    IffWriter();
    explicit IffWriter(std::string path);
    IffWriter(const IffWriter&) = delete;
    IffWriter& operator=(const IffWriter&) = delete;
    ~IffWriter();

    void putU1(std::uint8_t v) { *room(1) = static_cast<char>(v); }
    void putU2(std::uint16_t v) {
        char* p = room(2);
        p[0] = static_cast<char>(v >> 8);
        p[1] = static_cast<char>(v);
    }
    void putU4(std::uint32_t v) {
        char* p = room(4);
        p[0] = static_cast<char>(v >> 24);
        p[1] = static_cast<char>(v >> 16);
        p[2] = static_cast<char>(v >> 8);
        p[3] = static_cast<char>(v);
    }
    void putID(std::string_view id);
    void putReal(double v) { putU4(std::bit_cast<std::uint32_t>(static_cast<float>(v))); }
    void putPoint(const XYZ& p) {
        putReal(p.x);
        putReal(p.y);
        putReal(p.z);
    }
    void putString(std::string_view s);
    void putVertexIndex(std::uint64_t index) {
        if (index <= maxShortIndex)
            putU2(static_cast<std::uint16_t>(index));
        else if (index <= maxLongIndex)
            putU4(0xFF000000u | static_cast<std::uint32_t>(index));
        else
            raiseIndexTooLarge(index);
    }

    // Bytes put so far, written or not.
    std::uint64_t size() const { return flushed_ + used_; }
    // Collected bytes of a writer without a file (of a file writer: those not yet written).
    std::string_view bytes() const { return {buffer_.get(), used_}; }
    // Writes what is left and closes the file.
    void finish();

    static constexpr std::size_t blockSize = std::size_t{1} << 20;

private:
    // The next n bytes of the buffer, for the caller to fill. Items are
    // stored straight into the buffer: the writers put tens of millions.
    char* room(std::size_t n) {
        if (capacity_ - used_ < n) makeRoom(n);
        char* at = buffer_.get() + used_;
        used_ += n;
        return at;
    }
    // A file writer writes the buffer out; one without a file grows it.
    void makeRoom(std::size_t n);
    void writeBuffer();  // to the file, emptying the buffer

    std::unique_ptr<OutputFile> file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0, capacity_ = 0;
    std::uint64_t flushed_ = 0;
};

}  // namespace morv
