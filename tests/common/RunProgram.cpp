#include "common/RunProgram.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morv::testing {
namespace {

[[noreturn]] void failSystem(const char* what) {
    throw std::runtime_error(std::string("runProgram: ") + what + ": " + std::strerror(errno));
}

class Fd {
public:
    Fd() = default;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int& ref() { return fd_; }
    int get() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) failSystem("pipe2");
    readEnd.ref() = fds[0];
    writeEnd.ref() = fds[1];
}

// Reads both pipes until each reaches end of file; polling both keeps the child
// from blocking on one full pipe while we wait on the other.
void drain(Fd& outRead, Fd& errRead, std::string& out, std::string& err) {
    char buffer[65536];
    while (outRead.get() >= 0 || errRead.get() >= 0) {
        pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            failSystem("poll");
        }
        Fd* ends[2] = {&outRead, &errRead};
        std::string* sinks[2] = {&out, &err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0)
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                ends[i]->close();
        }
    }
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& args, const RunSetup& setup) {
    // Everything the child touches is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(MORV3D_EXE));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    Fd outRead, outWrite, errRead, errWrite, inRead, inWrite;
    makePipe(outRead, outWrite);
    makePipe(errRead, errWrite);
    if (setup.stdinBytes) makePipe(inRead, inWrite);
    const rlimit addressSpace{setup.addressSpaceLimit, setup.addressSpaceLimit};

    const pid_t pid = ::fork();
    if (pid < 0) failSystem("fork");
    if (pid == 0) {
        if (!setup.workDir.empty() && ::chdir(setup.workDir.c_str()) != 0) ::_exit(126);
        const int input = setup.stdinBytes ? inRead.get() : ::open("/dev/null", O_RDONLY);
        if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(outWrite.get(), 1) < 0 || ::dup2(errWrite.get(), 2) < 0)
            ::_exit(126);
        if (setup.addressSpaceLimit != 0 && ::setrlimit(RLIMIT_AS, &addressSpace) != 0) ::_exit(126);
        ::alarm(120);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    outWrite.close();
    errWrite.close();
    inRead.close();
    // The child's input is written beside the draining, so that neither side
    // waits on a full pipe; a child that stops reading early ends it (EPIPE).
    std::thread feeder;
    if (setup.stdinBytes) {
        // A child that exits without reading everything must not kill the test with SIGPIPE.
        static const bool pipeSignalIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        (void)pipeSignalIgnored;
    }
    if (setup.stdinBytes)
        feeder = std::thread([&] {
            const std::string& bytes = *setup.stdinBytes;
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(inWrite.get(), bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            inWrite.close();
        });
    std::thread watcher;
    if (setup.whileRunning) watcher = std::thread(setup.whileRunning, pid);
    ProgramResult result;
    drain(outRead, errRead, result.out, result.err);
    if (feeder.joinable()) feeder.join();
    if (watcher.joinable()) watcher.join();

    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0)
        if (errno != EINTR) failSystem("waitpid");
    if (WIFSIGNALED(wstatus)) {
        result.signaled = true;
        result.status = WTERMSIG(wstatus);
    } else {
        result.status = WEXITSTATUS(wstatus);
    }
    return result;
}

}  // namespace morv::testing
