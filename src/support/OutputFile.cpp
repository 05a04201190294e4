#include "support/OutputFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/Excn.hpp"

namespace morv {

namespace fs = std::filesystem;

namespace {

// The file a write to destination really replaces: a link is followed, so
// that it keeps pointing at the new file.
std::string replacedFile(const std::string& destination) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(destination, ec))) return destination;
    const fs::path resolved = fs::weakly_canonical(destination, ec);
    return ec ? destination : resolved.string();
}

// Whether path, whose folder has its links resolved, names a descriptor of the
// process: /dev/stdin, /dev/stdout, /dev/stderr, or an entry of /dev/fd or of
// /proc/PID/fd (where /dev/fd and /proc/self lead).
bool namesDescriptor(const fs::path& path) {
    const fs::path folder = path.parent_path();
    const fs::path name = path.filename();
    if (folder == "/dev") return name == "stdin" || name == "stdout" || name == "stderr";
    return folder.filename() == "fd" &&
           (folder.parent_path() == "/dev" || folder.parent_path().parent_path() == "/proc");
}

mode_t defaultFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

bool isStream(const std::string& name) {
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return true;
    // Follows the name's links one at a time: /dev/stdout leads on to the file
    // that standard output was sent to, which stat alone cannot tell apart
    // from any other file.
    std::error_code ec;
    fs::path current = fs::absolute(name, ec);
    for (int links = 0; !ec && links < 40; ++links) {
        const fs::path folder = fs::weakly_canonical(current.parent_path(), ec);
        if (ec) return false;
        const fs::path here = folder / current.filename();
        if (namesDescriptor(here)) return true;
        if (!fs::is_symlink(fs::symlink_status(here, ec))) return false;
        const fs::path target = fs::read_symlink(here, ec);
        current = target.is_absolute() ? target : folder / target;
    }
    return false;
}

OutputFile::OutputFile(std::string destination) : destination_(std::move(destination)) {
    if (isStream(destination_)) {
        // A stream cannot be replaced by a rename: write into it, after what it
        // already holds (a file that standard output was appended to with >>
        // keeps its start).
        file_ = std::fopen(destination_.c_str(), "ab");
        if (!file_) raiseOpenFailure();
    } else {
        target_ = replacedFile(destination_);
        struct stat existing {};
        const bool exists = ::stat(target_.c_str(), &existing) == 0;
        if (exists && S_ISDIR(existing.st_mode)) {
            errno = EISDIR;
            raiseOpenFailure();
        }
        const fs::path target(target_);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        std::string hidden(".");
        hidden.append(target.filename().string()).append(".morv3d-XXXXXX");
        const std::string pattern = (folder / hidden).string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0) raiseOpenFailure();
        temporary_ = name.data();
        ::fchmod(fd, exists ? (existing.st_mode & 07777) : defaultFileMode());
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            const int error = errno;
            ::close(fd);
            errno = error;
            raiseOpenFailure();
        }
    }
    buffer_.reserve(blockSize + 4096);
}

OutputFile::~OutputFile() {
    if (!committed_) discard();
}

void OutputFile::discard() noexcept {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

void OutputFile::write(std::string_view bytes) {
    if (bytes.size() >= blockSize && buffer_.empty()) {
        // A whole block from a writer with a buffer of its own: no copy.
        if (!file_) raiseWriteFailure(0);
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) raiseWriteFailure(errno);
        flushed_ += bytes.size();
        return;
    }
    buffer_.append(bytes);
    flushIfFull();
}

void OutputFile::flushBlock() {
    if (buffer_.empty()) return;
    if (!file_) raiseWriteFailure(0);
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) raiseWriteFailure(errno);
    flushed_ += buffer_.size();
    buffer_.clear();
}

void OutputFile::finish() {
    if (finished_) return;
    if (!file_) raiseWriteFailure(0);
    flushBlock();
    if (std::fflush(file_) != 0) raiseWriteFailure(errno);
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) raiseWriteFailure(errno);
    finished_ = true;
    std::string().swap(buffer_);
}

void OutputFile::commit() {
    if (committed_) return;
    finish();
    if (!temporary_.empty()) {
        if (std::rename(temporary_.c_str(), target_.c_str()) != 0) raiseWriteFailure(errno);
        temporary_.clear();
    }
    committed_ = true;
}

void OutputFile::raiseOpenFailure() {
    const std::string reason = std::strerror(errno);
    discard();
    throw Error("Could not open output file " + destination_ + ": " + reason);
}

// error is the errno of the call that failed; 0 (a file already dropped by an
// earlier failure) gives no reason.
void OutputFile::raiseWriteFailure(int error) {
    const std::string reason = error != 0 ? std::string(": ") + std::strerror(error) : std::string();
    discard();
    throw Error("Could not write output file " + destination_ + reason);
}

}  // namespace morv
