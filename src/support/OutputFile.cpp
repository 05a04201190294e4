#include "support/OutputFile.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

mode_t defaultFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(std::string destination) : destination_(std::move(destination)) {
    target_ = replacedFile(destination_);
    struct stat existing {};
    const bool exists = ::stat(target_.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or a pipe cannot be replaced by a rename: write into it.
        file_ = std::fopen(destination_.c_str(), "wb");
        if (!file_) throw Error("Could not open output file " + destination_);
    } else {
        const fs::path target(target_);
        const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
        std::string hidden(".");
        hidden.append(target.filename().string()).append(".morv3d-XXXXXX");
        const std::string pattern = (folder / hidden).string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = ::mkstemp(name.data());
        if (fd < 0) throw Error("Could not open output file " + destination_);
        temporary_ = name.data();
        ::fchmod(fd, exists ? (existing.st_mode & 07777) : defaultFileMode());
        file_ = ::fdopen(fd, "wb");
        if (!file_) {
            ::close(fd);
            discard();
            throw Error("Could not open output file " + destination_);
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
        if (!file_) raiseWriteFailure();
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) raiseWriteFailure();
        flushed_ += bytes.size();
        return;
    }
    buffer_.append(bytes);
    flushIfFull();
}

void OutputFile::flushBlock() {
    if (buffer_.empty()) return;
    if (!file_) raiseWriteFailure();
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) raiseWriteFailure();
    flushed_ += buffer_.size();
    buffer_.clear();
}

void OutputFile::finish() {
    if (finished_) return;
    if (!file_) raiseWriteFailure();
    flushBlock();
    if (std::fflush(file_) != 0) raiseWriteFailure();
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) raiseWriteFailure();
    finished_ = true;
    std::string().swap(buffer_);
}

void OutputFile::commit() {
    if (committed_) return;
    finish();
    if (!temporary_.empty()) {
        if (std::rename(temporary_.c_str(), target_.c_str()) != 0) raiseWriteFailure();
        temporary_.clear();
    }
    committed_ = true;
}

void OutputFile::raiseWriteFailure() {
    discard();
    throw Error("Could not write output file " + destination_);
}

}  // namespace morv
