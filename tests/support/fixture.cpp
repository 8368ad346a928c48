#include "fixture.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifndef FERROWEN_FIXTURE_DIR
#error "the build must define FERROWEN_FIXTURE_DIR as the path of tests/fixtures"
#endif

namespace ferrowen::test {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what);
}

// Single-quotes a path for /bin/sh, so spaces and non-ASCII names survive.
std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

struct PipeCloser {
    void operator()(FILE* f) const {
        if (f) pclose(f);
    }
};

// Runs cmd and returns its exit status; everything it prints goes to sink.
int RunInto(const std::string& cmd, const std::function<void(const char*, size_t)>& sink) {
    FILE* raw = popen(cmd.c_str(), "r");
    if (!raw) Fail("cannot start: " + cmd + ": " + std::strerror(errno));
    std::unique_ptr<FILE, PipeCloser> pipe(raw);
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) sink(buf, n);
    const int status = pclose(pipe.release());
    if (status == -1) Fail("cannot wait for: " + cmd);
    return WIFEXITED(status) ? WEXITSTATUS(status)
                             : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    return fields;
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& file, const std::string& header) {
    std::ifstream in(file, std::ios::binary);
    if (!in) Fail("cannot open " + file + " (run tools/make_fixtures.sh?)");
    std::string line;
    if (!std::getline(in, line) || line != header)
        Fail(file + ": first line is not the expected header '" + header + "'");
    const size_t columns = SplitTabs(header).size();
    std::vector<std::vector<std::string>> rows;
    int lineNo = 1;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.empty()) continue;
        auto fields = SplitTabs(line);
        if (fields.size() != columns)
            Fail(file + ":" + std::to_string(lineNo) + ": expected " + std::to_string(columns) +
                 " tab-separated fields");
        rows.push_back(std::move(fields));
    }
    return rows;
}

long long ParseNumber(const std::string& text, const std::string& where) {
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
    std::string root = (base && *base) ? base : "/tmp";
    std::error_code ec;
    const fs::path absolute = fs::absolute(root, ec);
    if (!ec) root = absolute.string();
    std::string pattern = root + "/ferrowen-test-XXXXXX";
    if (!mkdtemp(pattern.data())) Fail("mkdtemp in " + root + ": " + std::strerror(errno));
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
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) Fail("cannot create " + target);
    const int rc = RunInto("gzip -dc " + ShellQuote(source), [&](const char* data, size_t n) {
        out.write(data, static_cast<std::streamsize>(n));
    });
    out.close();
    if (rc != 0) Fail("gzip -dc " + source + " failed with status " + std::to_string(rc));
    if (!out) Fail("cannot write " + target);
    return target;
}

std::vector<ManifestEntry> LoadManifest(const std::string& name) {
    const std::string file = FixtureDir() + "/" + name + ".manifest.tsv";
    std::vector<ManifestEntry> entries;
    for (const auto& f : ReadTsv(file, "path\tsize\tsha256\tstate")) {
        const std::string where = file + ": " + f[0];
        ManifestEntry e;
        e.path = f[0];
        if (e.path.empty() || e.path.front() == '/' || e.path.back() == '/')
            Fail(where + ": bad path");
        e.isDir = f[1] == "-";
        e.size = e.isDir ? -1 : ParseNumber(f[1], where);
        e.sha256 = f[2] == "-" ? std::string() : f[2];
        if (!e.sha256.empty() &&
            (e.sha256.size() != 64 ||
             e.sha256.find_first_not_of("0123456789abcdef") != std::string::npos))
            Fail(where + ": bad sha256 '" + f[2] + "'");
        if (e.isDir && !e.sha256.empty()) Fail(where + ": folder with a digest");
        if (f[3] != "live" && f[3] != "deleted") Fail(where + ": state must be live or deleted");
        e.deleted = f[3] == "deleted";
        entries.push_back(std::move(e));
    }
    return entries;
}

std::vector<PartitionEntry> LoadPartitions(const std::string& name) {
    const std::string file = FixtureDir() + "/" + name + ".partitions.tsv";
    std::vector<PartitionEntry> parts;
    for (const auto& f : ReadTsv(file, "index\tstart_sector\tsector_count\ttype\tname")) {
        const std::string where = file + ": partition " + f[0];
        PartitionEntry p;
        p.index = static_cast<int>(ParseNumber(f[0], where));
        p.startSector = static_cast<std::uint64_t>(ParseNumber(f[1], where));
        p.sectorCount = static_cast<std::uint64_t>(ParseNumber(f[2], where));
        p.type = f[3];
        p.name = f[4];
        parts.push_back(std::move(p));
    }
    return parts;
}

std::vector<DemoFile> LoadDemoManifest() {
    std::ifstream in(FixtureDir() + "/demo.manifest.tsv");
    if (!in) Fail("cannot read demo.manifest.tsv");
    std::string line;
    std::getline(in, line);  // header
    std::vector<DemoFile> files;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        DemoFile f;
        std::string partition, size;
        std::getline(fields, partition, '\t');
        std::getline(fields, f.path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, f.sha256, '\t');
        f.partition = std::stoi(partition);
        f.size = std::stoll(size);
        files.push_back(f);
    }
    return files;
}

std::string Sha256OfFile(const std::string& path) {
    if (!fs::is_regular_file(path)) Fail("not a file: " + path);
    std::string output;
    // Fed through stdin so odd file names cannot change the output format.
    const int rc = RunInto("sha256sum < " + ShellQuote(path),
                           [&](const char* data, size_t n) { output.append(data, n); });
    if (rc != 0 || output.size() < 64) Fail("sha256sum failed for " + path);
    const std::string digest = output.substr(0, 64);
    if (digest.find_first_not_of("0123456789abcdef") != std::string::npos)
        Fail("unexpected sha256sum output for " + path + ": " + output);
    return digest;
}

}  // namespace ferrowen::test
