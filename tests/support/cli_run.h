// Runs ferrowen-cli as a user would, from a shell, and captures what it prints. The including
// target defines FERROWEN_CLI_PATH.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace ferrowen::test {

struct CliRun {
    int status;       // exit status; -1 when the process did not end by itself (a crash)
    std::string out;  // standard output and standard error, interleaved
};

// env: assignments put before the command ("NAME='value' ..."), args: its arguments, quoted
// for /bin/sh by the caller.
inline CliRun RunCli(const std::string& env, const std::string& args) {
    FILE* pipe = popen((env + " " FERROWEN_CLI_PATH " " + args + " 2>&1").c_str(), "r");
    CliRun run{-1, {}};
    if (pipe == nullptr) return run;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) run.out.append(buf, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace ferrowen::test
