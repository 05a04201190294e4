#include "support/GetCs.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <new>
#include <ostream>
#include <utility>

#include "base/Excn.hpp"
#include "base/NumberText.hpp"
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

namespace {

// Appends up to limit bytes from the file's current position to bytes.
void readInto(std::FILE* file, std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
    std::uint8_t block[65536];
    while (bytes.size() < limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof block, limit - bytes.size()));
        const std::size_t got = std::fread(block, 1, want, file);
        bytes.insert(bytes.end(), block, block + got);
        if (got < want) break;
    }
    if (std::ferror(file)) throw IoFailure(std::strerror(errno));
}

// The mappings of live ObjectBytes, with the prefix of each that has been
// released, so that releaseInputBytes touches only its own mappings and each
// page once. The program reads its inputs one at a time, on one thread.
struct LiveMapping {
    const std::uint8_t* begin;
    std::size_t size;
    std::size_t released;
    std::string cutShortReport;  // written by the bus-error handler, so made in advance
};
std::vector<LiveMapping>& liveMappings() {
    static std::vector<LiveMapping> mappings;
    return mappings;
}

// A mapped file that another program cuts short faults (SIGBUS) where it is
// read past its new end. That is the file changing under the program, not a
// fault of it: the handler reports it like a failed read and ends the run. A
// bus error anywhere else keeps its default action.
void onBusError(int, siginfo_t* info, void*) {
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    for (const LiveMapping& m : liveMappings()) {
        if (at < m.begin || at >= m.begin + m.size) continue;
        [[maybe_unused]] const ssize_t n = ::write(2, m.cutShortReport.data(), m.cutShortReport.size());
        ::_exit(1);
    }
    ::signal(SIGBUS, SIG_DFL);  // the faulting read runs again and ends the process
}

void catchCutShortMappings() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, nullptr) == 0;
    }();
    (void)installed;
}

// Reads the file once from the front. With stopAtFormEnd, a file that begins
// with an IFF FORM header is read only to the end of that FORM; with mayMap, a
// regular file is mapped rather than read.
ObjectBytes readFile(const std::string& path, bool stopAtFormEnd, bool mayMap) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) throw IoFailure(std::strerror(errno));
    FileCloser closer{file};
    struct stat info {};
    const bool known = ::fstat(::fileno(file), &info) == 0;
    if (known && S_ISDIR(info.st_mode)) throw IoFailure(std::strerror(EISDIR));

    constexpr std::uint64_t everything = std::numeric_limits<std::uint64_t>::max();
    // Only the size of a regular file is known in advance; it may still change while it is read.
    const std::uint64_t size = known && S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    std::vector<std::uint8_t> bytes;
    std::uint64_t limit = everything;
    if (stopAtFormEnd) {
        readInto(file, bytes, 8);
        if (bytes.size() == 8 && std::equal(bytes.begin(), bytes.begin() + 4, "FORM")) {
            const auto length = static_cast<std::int32_t>(detail::loadU4(bytes.data() + 4));
            // A negative length is the reader's error to report; it needs only the header.
            limit = 8 + static_cast<std::uint64_t>(std::max(length, 4));
        }
    }
    const std::uint64_t wanted = std::min(size, limit);
    if (wanted > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
    // A file that reports no size (many under /proc) is read like a pipe.
    if (mayMap && wanted > 0) {
        void* mapping = ::mmap(nullptr, static_cast<std::size_t>(wanted), PROT_READ, MAP_PRIVATE, ::fileno(file), 0);
        if (mapping != MAP_FAILED) return ObjectBytes::mapped(mapping, static_cast<std::size_t>(wanted), path);
        if (errno == ENOMEM) throw std::bad_alloc();
        // A file system that cannot map files: read the file instead.
    }
    bytes.reserve(static_cast<std::size_t>(wanted));
    readInto(file, bytes, limit);
    return ObjectBytes(std::move(bytes));
}

}  // namespace

ObjectBytes::ObjectBytes(std::vector<std::uint8_t> held) : held_(std::move(held)), view_(held_) {}

ObjectBytes ObjectBytes::mapped(void* mapping, std::size_t size, const std::string& path) {
    ObjectBytes result;
    result.mapping_ = mapping;
    result.mappedSize_ = size;
    result.view_ = {static_cast<const std::uint8_t*>(mapping), size};
    catchCutShortMappings();
    liveMappings().push_back({result.view_.data(), size, 0,
                              "Error: The file " + path + " was cut short while it was read\nunhandled exception Io\n"});
    return result;
}

std::vector<std::uint8_t> ObjectBytes::toVector() && {
    if (!mapping_) return std::move(held_);
    return std::vector<std::uint8_t>(view_.begin(), view_.end());
}

// A vector that moves keeps its buffer, so the view stays valid either way.
ObjectBytes::ObjectBytes(ObjectBytes&& other) noexcept
    : held_(std::move(other.held_)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mappedSize_(std::exchange(other.mappedSize_, 0)),
      view_(std::exchange(other.view_, {})) {}

ObjectBytes& ObjectBytes::operator=(ObjectBytes&& other) noexcept {
    if (this != &other) {
        unmap();
        held_ = std::move(other.held_);
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappedSize_ = std::exchange(other.mappedSize_, 0);
        view_ = std::exchange(other.view_, {});
    }
    return *this;
}

ObjectBytes::~ObjectBytes() { unmap(); }

void ObjectBytes::unmap() noexcept {
    if (!mapping_) return;
    auto& live = liveMappings();
    std::erase_if(live, [&](const LiveMapping& m) { return m.begin == mapping_; });
    ::munmap(mapping_, mappedSize_);
    mapping_ = nullptr;
    mappedSize_ = 0;
    view_ = {};
}

std::vector<std::uint8_t> readWholeFile(const std::string& path) { return readFile(path, false, false).toVector(); }

ObjectBytes loadObjectFile(const std::string& path) { return readFile(path, true, true); }


void releaseInputBytes(std::span<const std::uint8_t> bytes) {
    static const auto pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (LiveMapping& m : liveMappings()) {
        if (bytes.data() < m.begin || bytes.data() >= m.begin + m.size) continue;
        const std::size_t from = static_cast<std::size_t>(bytes.data() - m.begin);
        const std::size_t to = from + std::min(bytes.size(), m.size - from);
        std::size_t first = (from + pageSize - 1) / pageSize * pageSize;
        const bool extendsPrefix = first <= m.released;
        if (extendsPrefix) first = m.released;
        const std::size_t last = to / pageSize * pageSize;
        if (last <= first) return;
        // The mapping is private and read-only: the pages are dropped, never their contents.
        ::madvise(const_cast<std::uint8_t*>(m.begin) + first, last - first, MADV_DONTNEED);
        if (extendsPrefix) m.released = last;
        return;
    }
}


std::size_t usableFormLength(std::int32_t formLength, std::size_t remaining, std::ostream& messages) {
    const std::size_t wanted = static_cast<std::size_t>(formLength) - 4;
    if (wanted <= remaining) return wanted;
    // Real files sometimes carry a FORM length that is a little off: read what is there.
    messages << "Warning: The FORM claims " << formLength << " bytes after its 8-byte header, but only "
             << remaining + 4 << " are there; reading the chunks that are there\n";
    return remaining;
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
    std::string id = printableBytes({reinterpret_cast<const char*>(pos_), 4});
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
    // Room for a whole block and then some, so that what goes out is never less than a block.
    capacity_ = blockSize + 4096;
    buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
}

IffWriter::~IffWriter() = default;

void IffWriter::putID(std::string_view id) {
    if (id.size() != 4)
        throw Bug("Internal error: GetCs.putID needs a 4-character identifier, got \"" + std::string(id) + "\"");
    std::copy(id.begin(), id.end(), room(4));
}

void IffWriter::putString(std::string_view s) {
    if (s.find('\0') != std::string_view::npos)
        throw Error("Cannot write a string with a NUL character inside to an IFF file");
    char* at = room(stringSize(s));
    at = std::copy(s.begin(), s.end(), at);
    std::fill_n(at, stringSize(s) - s.size(), '\0');
}

void IffWriter::writeBuffer() {
    file_->write(bytes());
    flushed_ += used_;
    used_ = 0;
}

void IffWriter::makeRoom(std::size_t n) {
    if (file_ && used_ > 0) writeBuffer();
    if (capacity_ - used_ >= n) return;
    const std::size_t capacity = std::max({n + used_, 2 * capacity_, std::size_t{4096}});
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    std::copy_n(buffer_.get(), used_, grown.get());
    buffer_ = std::move(grown);
    capacity_ = capacity;
}

void IffWriter::finish() {
    if (!file_) return;
    writeBuffer();
    file_->commit();
}

}  // namespace morv
