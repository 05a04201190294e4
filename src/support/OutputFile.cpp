#include "support/OutputFile.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>
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

constexpr std::array<int, 5> endingSignalList = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ};

// The temporary files not yet in place. Changed only while the signals that
// end the run are blocked, so that a handler always finds the list whole.
std::vector<std::string> temporaryFiles;
std::vector<std::string>& temporaries() { return temporaryFiles; }

class EndingSignalsBlocked {
public:
    EndingSignalsBlocked() {
        sigset_t ending;
        ::sigemptyset(&ending);
        for (int s : endingSignals()) ::sigaddset(&ending, s);
        ::pthread_sigmask(SIG_BLOCK, &ending, &previous_);
    }
    ~EndingSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

private:
    sigset_t previous_;
};

// The replacements held back (see holdReplacements).
bool holding = false;
std::vector<HeldFile> heldFiles;

void forgetTemporary(const std::string& name) {
    auto& files = temporaries();
    if (const auto it = std::find(files.begin(), files.end(), name); it != files.end()) files.erase(it);
}

// The mkstemp pattern of a temporary file for target: ".NAME.morv3d-XXXXXX"
// in the same folder, with NAME cut short when the whole would not fit in the
// longest file name the folder takes.
std::string temporaryPattern(const fs::path& target) {
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string suffix = ".morv3d-XXXXXX";
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::size_t room = (longest > 0 ? static_cast<std::size_t>(longest) : 255) - 1 - suffix.size();
    std::string name = target.filename().string();
    if (name.size() > room) name.resize(room);
    return (folder / ("." + name + suffix)).string();
}

mode_t defaultFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

void holdReplacements(bool hold) { holding = hold; }

std::vector<HeldFile> takeHeldFiles() { return std::exchange(heldFiles, {}); }

void placeHeldFile(const HeldFile& file) {
    const EndingSignalsBlocked blocked;
    if (std::rename(file.temporary.c_str(), file.target.c_str()) != 0) {
        const int error = errno;
        ::unlink(file.temporary.c_str());
        forgetTemporary(file.temporary);
        throw Error("Could not write output file " + file.destination + ": " + std::strerror(error));
    }
    forgetTemporary(file.temporary);
}

void dropHeldFile(const HeldFile& file) noexcept {
    const EndingSignalsBlocked blocked;
    ::unlink(file.temporary.c_str());
    forgetTemporary(file.temporary);
}

std::span<const int> endingSignals() { return endingSignalList; }

std::string writtenName(const std::string& name) {
    const fs::path path(name);
    const fs::path last = path.filename();
    if (last.empty() || last == "." || last == "..") return name;  // a folder: opening it fails as it is
    const fs::path folder = path.parent_path();
    char* resolved = ::realpath(folder.empty() ? "." : folder.c_str(), nullptr);
    if (!resolved) return name;  // a missing folder: opening the name reports it
    std::string written = resolved;
    std::free(resolved);
    if (written.back() != '/') written += '/';
    return written + last.string();
}

bool holdsExactly(const std::string& name, std::string_view bytes) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                static_cast<std::uint64_t>(info.st_size) == bytes.size();
    std::array<char, 65536> block;
    for (std::size_t done = 0; same && done < bytes.size();) {
        const ssize_t got = ::read(fd, block.data(), std::min(block.size(), bytes.size() - done));
        if (got < 0 && errno == EINTR) continue;
        same = got > 0 && bytes.compare(done, static_cast<std::size_t>(got),
                                        std::string_view(block.data(), static_cast<std::size_t>(got))) == 0;
        done += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    ::close(fd);
    return same;
}

void removeTemporaryFiles() noexcept {
    for (const std::string& name : temporaries()) ::unlink(name.c_str());
}

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

OutputFile::OutputFile(std::string destination, Mode mode) : destination_(std::move(destination)) {
    if (mode == Mode::Replace && isStream(writtenName(destination_)))
        openStream();
    else
        openTemporary(mode);
    buffer_.reserve(blockSize + 4096);
}

// A stream cannot be replaced by a rename: it is written into, after what it
// already holds (a file that standard output was appended to with >> keeps its
// start). Opened without waiting, so that a pipe nobody reads is an error.
void OutputFile::openStream() {
    const int fd = ::open(writtenName(destination_).c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) raiseOpenFailure();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    attach(fd, "ab");
}

void OutputFile::openTemporary(Mode mode) {
    target_ = mode == Mode::Replace ? replacedFile(writtenName(destination_)) : writtenName(destination_);
    struct stat existing {};
    const bool exists = mode == Mode::Replace && ::stat(target_.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        errno = EISDIR;
        raiseOpenFailure();
    }
    std::string pattern = temporaryPattern(target_);
    int fd = -1;
    {
        const EndingSignalsBlocked blocked;
        fd = ::mkstemp(pattern.data());
        if (fd >= 0) temporaries().push_back(pattern);
    }
    if (fd < 0) raiseOpenFailure();
    temporary_ = pattern;
    ::fchmod(fd, exists ? (existing.st_mode & 07777) : defaultFileMode());
    attach(fd, "wb");
}

void OutputFile::attach(int fd, const char* mode) {
    file_ = ::fdopen(fd, mode);
    if (!file_) {
        const int error = errno;
        ::close(fd);
        errno = error;
        raiseOpenFailure();
    }
}

OutputFile::~OutputFile() {
    if (!committed_) discard();
}

void OutputFile::discard() noexcept {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (temporary_.empty()) return;
    const EndingSignalsBlocked blocked;
    ::unlink(temporary_.c_str());
    forgetTemporary(temporary_);
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
    struct stat existing {};
    if (!temporary_.empty() && holding && ::lstat(target_.c_str(), &existing) == 0) {
        heldFiles.push_back({destination_, temporary_, target_});
        temporary_.clear();  // still among the temporaries until it is placed or dropped
    }
    if (!temporary_.empty()) {
        const EndingSignalsBlocked blocked;
        if (std::rename(temporary_.c_str(), target_.c_str()) != 0) raiseWriteFailure(errno);
        forgetTemporary(temporary_);
        temporary_.clear();
    }
    committed_ = true;
}

bool OutputFile::commitIfAbsent() {
    if (committed_) return true;
    finish();
    int placed = ::link(temporary_.c_str(), target_.c_str());
    // File systems without hard links: a rename that never replaces.
    if (placed != 0 && (errno == EPERM || errno == EOPNOTSUPP || errno == ENOSYS))
        placed = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (placed != 0 && errno != EEXIST) raiseWriteFailure(errno);
    discard();
    committed_ = placed == 0;
    return committed_;
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
