#include "fixture.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ferrowen::test {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

// Single-quotes a path for /bin/sh, so that spaces, quotes and non-ASCII names survive.
std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// What a shell command prints; throws when it cannot run or fails.
std::string Run(const std::string& cmd) {
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) Fail("cannot start: " + cmd + ": " + std::strerror(errno));
    std::string out;
    char buf[1 << 16];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    if (pclose(pipe) != 0) Fail("failed: " + cmd);
    return out;
}

// The rows of a tab-separated fixture file whose first line must be header.
std::vector<std::vector<std::string>> ReadTsv(const std::string& file, const std::string& header) {
    std::ifstream in(file, std::ios::binary);
    if (!in) Fail("cannot open " + file + " (run tools/make_fixtures.sh?)");
    std::string line;
    if (!std::getline(in, line) || line != header)
        Fail(file + ": first line is not the expected header '" + header + "'");
    const size_t columns = std::count(header.begin(), header.end(), '\t') + 1;
    std::vector<std::vector<std::string>> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() != columns)
            Fail(file + ": not " + std::to_string(columns) + " fields: " + line);
        rows.push_back(std::move(fields));
    }
    return rows;
}

long long Number(const std::string& text, const std::string& where) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        Fail(where + ": '" + text + "' is not a number");
    return std::stoll(text);
}

}  // namespace

std::string FixtureDir() {
    return FERROWEN_FIXTURE_DIR;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::error_code ec;
    std::string pattern =
        fs::absolute((base && *base) ? base : "/tmp", ec) / "ferrowen-test-XXXXXX";
    if (!mkdtemp(pattern.data())) Fail("mkdtemp " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;  // a destructor must not throw; leftovers in /tmp are harmless
    fs::remove_all(path_, ec);
}

std::string UnpackFixture(const std::string& name, const TempDir& dir) {
    const std::string source = FixtureDir() + "/" + name + ".img.gz";
    if (!fs::is_regular_file(source))
        Fail("fixture not found: " + source + " (run tools/make_fixtures.sh)");
    const std::string target = dir.path() + "/" + name + ".img";
    Run("gzip -dc " + Quote(source) + " > " + Quote(target));
    return target;
}

std::vector<ManifestEntry> LoadManifest(const std::string& name) {
    const std::string file = FixtureDir() + "/" + name + ".manifest.tsv";
    std::vector<ManifestEntry> entries;
    for (const auto& f : ReadTsv(file, "path\tsize\tsha256\tstate")) {
        const std::string where = file + ": " + f[0];
        ManifestEntry e{f[0], -1, f[2] == "-" ? "" : f[2], f[3] == "deleted", f[1] == "-"};
        if (!e.isDir) e.size = Number(f[1], where);
        if (e.path.empty() || e.path.front() == '/' || e.path.back() == '/')
            Fail(where + ": bad path");
        if (!e.sha256.empty() && (e.isDir || e.sha256.size() != 64))
            Fail(where + ": bad sha256 '" + f[2] + "'");
        if (f[3] != "live" && f[3] != "deleted") Fail(where + ": state must be live or deleted");
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<PartitionEntry> LoadPartitions(const std::string& name) {
    const std::string file = FixtureDir() + "/" + name + ".partitions.tsv";
    std::vector<PartitionEntry> parts;
    for (const auto& f : ReadTsv(file, "index\tstart_sector\tsector_count\ttype\tname")) {
        const std::string where = file + ": partition " + f[0];
        parts.push_back({static_cast<int>(Number(f[0], where)),
                         static_cast<std::uint64_t>(Number(f[1], where)),
                         static_cast<std::uint64_t>(Number(f[2], where)), f[3], f[4]});
    }
    return parts;
}

std::vector<DemoFile> LoadDemoManifest() {
    const std::string file = FixtureDir() + "/demo.manifest.tsv";
    std::vector<DemoFile> files;
    for (const auto& f : ReadTsv(file, "partition\tpath\tsize\tsha256\tstate"))
        files.push_back({static_cast<int>(Number(f[0], file)), f[1], Number(f[2], file), f[3]});
    return files;
}

std::string Sha256OfFile(const std::string& path) {
    if (!fs::is_regular_file(path)) Fail("not a file: " + path);
    // Fed through stdin so that odd file names cannot change the output format.
    const std::string digest = Run("sha256sum < " + Quote(path)).substr(0, 64);
    if (digest.size() != 64) Fail("unexpected sha256sum output for " + path);
    return digest;
}

}  // namespace ferrowen::test
