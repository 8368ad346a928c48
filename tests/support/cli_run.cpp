#include "cli_run.h"

#include <sys/wait.h>

#include <cstdio>

#ifndef FERROWEN_CLI_PATH
#error "the build must define FERROWEN_CLI_PATH as the path of ferrowen-cli"
#endif

namespace ferrowen::test {

CliRun RunCli(const std::string& env, const std::string& args) {
    const std::string command = env + " " FERROWEN_CLI_PATH " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    CliRun run{-1, {}};
    if (pipe == nullptr) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace ferrowen::test
