// Runs the built converter as a child process for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morv::testing {

struct ProgramResult {
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
    int status = -1;        // exit code, or the signal number when signaled
    bool signaled = false;  // the process died by a signal
};

// What the child gets besides its arguments.
struct RunSetup {
    std::string workDir;                 // the test's own working directory when empty
    std::optional<std::string> stdinBytes;  // fed through a pipe; /dev/null when absent
    std::uint64_t addressSpaceLimit = 0;    // RLIMIT_AS in bytes; 0 for none
    std::function<void(pid_t)> whileRunning = {};  // called on a thread of its own with the child's id
};

// Runs MORV3D_EXE (as argv[0]) with args. Status 126 means the child could not
// be set up (workDir, streams, limits), 127 that it could not execute the
// program; failing to create the process at all raises std::runtime_error. A
// child still running after two minutes is killed by SIGALRM, so a hang
// fails the test instead of stopping the suite.
ProgramResult runProgram(const std::vector<std::string>& args, const RunSetup& setup);
inline ProgramResult runProgram(const std::vector<std::string>& args, const std::string& workDir = "") {
    return runProgram(args, RunSetup{workDir, std::nullopt, 0, {}});
}

}  // namespace morv::testing
