#include "support/GetCs.hpp"

#include <sys/stat.h>

#include <cstring>

#include "base/Excn.hpp"
#include "support/OutputFile.hpp"

namespace morv {

namespace {

constexpr const char* word32Message = "Could not read 4 bytes as raw word32!";

// ctx with cause attached the way a caught Error is composed.
std::string chain(const std::string& ctx, std::string cause) {
    return Excn::compose(ctx, Error(std::move(cause)));
}

const char* coordName(std::size_t remaining) {
    static const char* const names[] = {"x", "y", "z"};
    return names[remaining / 4];
}

struct FileCloser {
    std::FILE* file;
    ~FileCloser() { std::fclose(file); }
};

}  // namespace

std::vector<std::uint8_t> readWholeFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw IoFailure();
    FileCloser closer{file};

    std::vector<std::uint8_t> bytes;
    struct stat info {};
    if (::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
        if (got < bytes.size()) {
            if (std::ferror(file)) throw IoFailure();
            bytes.resize(got);  // the file shrank meanwhile
            return bytes;
        }
    }
    // Whatever follows: a file that grew, or one whose size is not known in advance.
    std::uint8_t block[65536];
    for (;;) {
        const std::size_t got = std::fread(block, 1, sizeof block, file);
        bytes.insert(bytes.end(), block, block + got);
        if (got < sizeof block) break;
    }
    if (std::ferror(file)) throw IoFailure();
    return bytes;
}

std::uint16_t check2ByteIndex(std::uint16_t value) {
    if (value > maxShortIndex) throw Error("Not a 2 byte index in check2ByteIndex!\n");
    return value;
}

namespace detail {

void raiseShort(Short what) {
    switch (what) {
        case Short::U1: throw Error("Could not read 1 byte as unsigned integer!");
        case Short::U2: throw Error("Could not read 2 bytes as unsigned integer!");
        case Short::Word8: throw Error("Could not read 1 byte as raw word8!");
        case Short::Word32: throw Error(word32Message);
        case Short::IEEEReal: throw Error(chain("Error in getIEEEReal", word32Message));
        case Short::Real: throw Error("Could not read real number!");
        case Short::Point: throw Error("Could not read 3D point!");
    }
    throw Bug("Internal error: GetCs.raiseShort met an unknown read");
}

void raiseShortPoint(std::size_t remaining) {
    const std::string real = chain("Error in getIEEEReal", word32Message);
    const std::string coord = chain(std::string("Error in getIEEEPoint coord ") + coordName(remaining), real);
    throw Error(chain("Error in getIEEEPoint", coord));
}

}  // namespace detail

MorvLValue ByteCursor::getXYZ() {
    if (12 > remaining()) {
        const std::string real = chain("Error in getIEEEReal", word32Message);
        const std::string coord = chain(std::string("Error in getXYZF coord ") + coordName(remaining()), real);
        throw Error(chain("Error in getXYZ", coord));
    }
    const XYZ p = takePoint();
    return makePointRecord(p.x, p.y, p.z);
}

StringRead ByteCursor::readString() {
    // A string that is not ended before the data runs out fails as the byte
    // read past the end would.
    const void* nul = atEnd() ? nullptr : std::memchr(pos_, 0, remaining());
    if (!nul) detail::raiseShort(detail::Short::Word8);
    const std::size_t length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - pos_);
    const std::size_t withNul = length + 1;
    const std::size_t total = withNul + withNul % 2;
    if (total > remaining()) throw Error("Could not skip NULL bytes in string!");
    StringRead result{std::string(reinterpret_cast<const char*>(pos_), length), total};
    pos_ += total;
    return result;
}

std::string ByteCursor::readId() {
    if (4 > remaining()) throw Error("Could not read IFF chunk ID!");
    std::string id(reinterpret_cast<const char*>(pos_), 4);
    pos_ += 4;
    return id;
}

ChunkHeader ByteCursor::readChunk() {
    if (4 > remaining()) throw Error("Could not read IFF chunk ID!");
    if (8 > remaining()) throw Error(chain("Error in GetCs.getSWord32 in readChunk length", word32Message));
    std::string id = readId();
    return {std::move(id), getSWord32()};
}

SubchunkHeader ByteCursor::readSubchunkHeader() {
    if (4 > remaining()) throw Error("Could not read IFF chunk ID!");
    if (6 > remaining()) detail::raiseShort(detail::Short::U2);
    std::string id = readId();
    return {std::move(id), readU2()};
}

ByteCursor ByteCursor::readChunkBody(std::string_view id, std::int64_t length) {
    if (length < 0 || static_cast<std::uint64_t>(length) > remaining())
        throw Error("Could not read chunk data in chunk " + std::string(id));
    ByteCursor body(pos_, static_cast<std::size_t>(length));
    pos_ += length;
    return body;
}

void ByteCursor::skip(std::int64_t n, std::string_view id) {
    if (n < 0 || static_cast<std::uint64_t>(n) > remaining())
        throw Error("Error while trying to skip bytes in chunk " + std::string(id));
    pos_ += n;
}

void ByteCursor::skipBody(std::int64_t length, std::string_view id) {
    if (length < 0 || static_cast<std::uint64_t>(length) > remaining())
        throw Error("Error while trying to skip bytes in chunk " + std::string(id));
    skip(length + length % 2, id);
}

void raiseIndexTooLarge(std::uint64_t index) {
    throw Error("Cannot write vertex index " + std::to_string(index) +
                ": an IFF vertex index is at most 16777215");
}

IffWriter::IffWriter() = default;

IffWriter::IffWriter(std::string path) : file_(std::make_unique<OutputFile>(std::move(path))) {
    buffer_.reserve(blockSize + 4096);
}

IffWriter::~IffWriter() = default;

void IffWriter::putID(std::string_view id) {
    if (id.size() != 4)
        throw Bug("Internal error: GetCs.putID needs a 4-character identifier, got \"" + std::string(id) + "\"");
    buffer_.append(id);
    maybeFlush();
}

void IffWriter::putString(std::string_view s) {
    if (s.find('\0') != std::string_view::npos)
        throw Error("Cannot write a string with a NUL character inside to an IFF file");
    buffer_.append(s);
    buffer_.push_back('\0');
    if (s.size() % 2 == 0) buffer_.push_back('\0');
    maybeFlush();
}

void IffWriter::flushBlock() {
    if (buffer_.empty()) return;
    file_->write(buffer_);
    flushed_ += buffer_.size();
    buffer_.clear();
}

void IffWriter::finish() {
    if (!file_) return;
    flushBlock();
    file_->commit();
}

}  // namespace morv
