// Runs the built converter as a child process for end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace morv::testing {

struct ProgramResult {
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
    int status = -1;        // exit code, or the signal number when signaled
    bool signaled = false;  // the process died by a signal
};

// Runs MORV3D_EXE (as argv[0]) with args, in workDir when given (the test's own
// working directory otherwise), with standard input from /dev/null. Status 126
// means the child could not enter workDir, 127 that it could not execute the
// program; failing to create the process at all raises std::runtime_error.
ProgramResult runProgram(const std::vector<std::string>& args, const std::string& workDir = "");

}  // namespace morv::testing
