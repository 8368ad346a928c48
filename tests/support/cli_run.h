// Runs ferrowen-cli as a user would, from a shell, and captures what it prints.
#pragma once

#include <string>

namespace ferrowen::test {

struct CliRun {
    int status;       // exit status; -1 when the process did not end by itself (a crash)
    std::string out;  // standard output and standard error, interleaved
};

// env: assignments put before the command ("NAME='value' ..."), args: its arguments, quoted
// for /bin/sh by the caller.
CliRun RunCli(const std::string& env, const std::string& args);

}  // namespace ferrowen::test
