// ferrowen-cli: the command-line front end over the engine library.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/disk_table.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: ferrowen-cli --version\n"
                 "       ferrowen-cli disks      list the disk table (FERROWEN_DISKS overrides)\n");
}

int ListDisks() {
    const std::vector<std::string> disks = ListDiskPaths();
    for (size_t i = 0; i < disks.size(); ++i) std::printf("%zu\t%s\n", i, disks[i].c_str());
    if (disks.empty()) std::printf("no disks found\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ferrowen-cli %s\n", FERROWEN_VERSION);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "disks") == 0) return ListDisks();
    PrintUsage(argc == 1 ? stdout : stderr);
    return argc == 1 ? 0 : 2;
}
