// ferrowen-cli: the command-line front end over the engine library.
//
//   ferrowen-cli list [--json]
//   ferrowen-cli scan TARGET [--partition K] [--types LIST] [--json]
//   ferrowen-cli recover TARGET [--partition K] [--types LIST] --out DIR [--force] [--json]
//
// Ctrl-C cancels a scan through the engines' callbacks (the search then runs over what was
// found, as in the window) and stops a recovery after the file being written. Interrupts are
// taken by a thread waiting in sigwait, so no signal handler runs inside the engines.
#include <fnmatch.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_output.h"
#include "cli/cli_target.h"
#include "engine/file_recovery_factory.h"
#include "engine/recovery_job.h"
#include "engine/recovery_report.h"
#include "foundation/debug_log.h"
#include "foundation/scan_options.h"
#include "foundation/system_utils.h"
#include "foundation/text.h"
#include "store/file_writer.h"
#include "store/log_file_manager.h"

namespace {

std::atomic<bool> g_cancel{false};

struct Options {
    std::string command, target, types = "all", out, codePage;
    std::vector<std::string> only;  // --only patterns; a file matching any of them is kept
    RecoveryLayout layout = RecoveryLayout::Original;
    int partition = 0;
    std::string report;  // recover --report FILE (.xml or .csv)
    std::string scanId;  // --scan ID: the kept scan to take up
    bool keep = false, resume = false;
    bool json = false, force = false, keepPartial = false;
};

// What the generated help cannot say option by option.
const char kNotes[] =
    "TARGET: a disk number from 'list', or a block device or disk-image file. Without\n"
    "  --partition, a target with a partition table is scanned partition by partition (and\n"
    "  the space outside them), each recovered into DIR/p<K>/ (DIR/unpartitioned/).\n"
    "LIST: comma-separated photo,music,video,document,archive,other (default: all).\n"
    "CP: the code page of FAT short names, e.g. CP437 or CP850 (default: CP850).\n"
    "Kept scans: --keep keeps a scan's results and prints its id; 'scans' lists them;\n"
    "  --resume takes up the kept scan of TARGET where it stopped (a finished one is reopened\n"
    "  without reading the device again); --scan ID takes up kept scan ID in place of TARGET.\n"
    "  A new scan of a volume replaces its kept scan.\n"
    "--layout original (default): files under their original folders, files of lost folders\n"
    "  under LostFolder/, carved files under carved/<type>/; --layout type: <type>/ folders.\n"
    "Set FERROWEN_DISKS=path:path... to list image files as disks.\n"
    "Exit status: 0 complete; 1 incomplete (cancelled, the scan ended early, a file failed);\n"
    "2 a usage error, a target that cannot be scanned or a destination that cannot be used.\n";

int Usage(const char* problem) {
    if (problem != nullptr) std::fprintf(stderr, "ferrowen-cli: %s\n", problem);
    std::fputs("run 'ferrowen-cli --help' for the commands and their options\n", stderr);
    return 2;
}

// The options scan and recover share.
void AddScanOptions(CLI::App& command, Options& o) {
    command.add_option("TARGET", o.target, "disk number from 'list', block device or image file");
    command.add_option("--partition", o.partition, "the K-th partition 'list' shows")
        ->check(CLI::Validator(
            [](std::string& text) {
                return std::atoi(text.c_str()) > 0 ? std::string() : "takes a number from 1 on";
            },
            "K"));
    command.add_option("--types", o.types, "comma-separated kinds of file (default: all)");
    command.add_option("--codepage", o.codePage, "code page of FAT short names (default: CP850)")
        ->check(CLI::Validator(
            [](std::string& name) {
                return SetOemCodePage(name.c_str()) != 0 ? "the system cannot convert from " + name
                                                         : std::string();
            },
            "CP"));
    command
        .add_option("--only", o.only, "only files whose original path matches GLOB; repeatable")
        // Paths are matched without a leading '/', as the file system keeps them.
        ->transform([](std::string pattern) {
            const size_t start = pattern.find_first_not_of('/');
            return start == std::string::npos ? std::string() : pattern.substr(start);
        });
    command.add_flag_callback(
        "--no-streams", [] { SetListAlternateStreams(false); },
        "leave out the named data streams of NTFS files (listed as NAME:STREAM)");
    command.add_flag_callback(
        "--present", [] { SetListPresentFiles(true); },
        "also list (and recover) the files that were not deleted, marked as such");
    command.add_flag("--keep", o.keep, "keep the scan's results and print its id");
    command.add_flag("--resume", o.resume, "take up the kept scan of TARGET where it stopped");
    command.add_option("--scan", o.scanId, "take up kept scan ID in place of TARGET");
    command.add_flag("--json", o.json, "print JSON");
}

void AddRecoverOptions(CLI::App& recover, Options& o) {
    recover.add_option("--out", o.out, "the folder to recover into (required)");
    recover
        .add_option_function<std::string>(
            "--layout",
            [&o](const std::string& layout) {
                o.layout = layout == "type" ? RecoveryLayout::ByType : RecoveryLayout::Original;
            },
            "original (default) or type")
        ->check(CLI::IsMember({"original", "type"}));
    recover.add_flag("--keep-partial", o.keepPartial,
                     "keep a file that cannot be recovered whole as NAME.partial");
    recover.add_option("--report", o.report,
                       "write every file's path, size, SHA-256 and result to FILE.xml or FILE.csv");
    recover.add_flag("--force", o.force, "recover onto the device being scanned");
}

// Parses the command line into o. -1 when the program is to go on, else the exit status (the
// help or version printed: 0; a usage error, said: 2).
int ParseArguments(int argc, char** argv, Options& o) {
    CLI::App app(
        "Recovers deleted and lost files from disks and disk images, never writing to "
        "them.",
        "ferrowen-cli");
    app.set_version_flag("--version", std::string("ferrowen-cli ") + FERROWEN_VERSION);
    app.footer(kNotes);
    app.require_subcommand(1);
    CLI::App* list = app.add_subcommand("list", "the disks and their partitions");
    list->alias("disks");
    list->add_flag("--json", o.json, "print JSON");
    CLI::App* scans = app.add_subcommand("scans", "the kept scans");
    scans->add_flag("--json", o.json, "print JSON");
    CLI::App* scan = app.add_subcommand("scan", "scan TARGET and list what can be recovered");
    AddScanOptions(*scan, o);
    CLI::App* recover = app.add_subcommand("recover", "scan TARGET and recover into --out DIR");
    AddScanOptions(*recover, o);
    AddRecoverOptions(*recover, o);
    // A word that names no command is said plainly rather than as an unexpected argument.
    const std::set<std::string> commands = {"list", "disks", "scans", "scan", "recover"};
    if (argc >= 2 && argv[1][0] != '-' && commands.count(argv[1]) == 0) {
        return Usage(("unknown command " + std::string(argv[1])).c_str());
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {  // --help or --version, printed
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        return Usage(error.what());
    }
    o.command = app.get_subcommands().front()->get_name();
    return -1;
}

// Interrupts arrive here instead of in a handler: every thread blocks SIGINT and SIGTERM,
// and this one waits for them.
void StartInterruptWatcher() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set]() {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (g_cancel.exchange(true)) _exit(130);  // a second interrupt ends at once
            std::fprintf(stderr, "\ncancelling... (interrupt again to quit now)\n");
        }
    }).detach();
}

struct Progress {
    bool terminal = isatty(2) != 0;
    unsigned int lastTick = 0;
    bool printed = false;
};

int ScanProgress(void* ctx, int nPercent, int nWeight, int nSecondsLeft, uint64_t current,
                 uint64_t total, uint64_t files, const char16_t*) {
    auto* progress = static_cast<Progress*>(ctx);
    if (g_cancel.load()) return ERROR_USER_CANCEL;
    const int overall = std::min(nPercent * nWeight / 100, 100);
    const unsigned int now = rsb_getTickCount();
    if (!progress->terminal && progress->printed &&
        static_cast<int>(now - progress->lastTick) < 5000 && overall < 100) {
        return 0;
    }
    progress->lastTick = now;
    progress->printed = true;
    std::string left =
        nSecondsLeft >= 0 && nWeight == 90 ? GetTimeString(nSecondsLeft) + " left" : "estimating";
    std::string line = std::to_string(overall) + "%";
    if (nWeight == 100 && nPercent >= 100) {
        line += "  done";
    } else if (nWeight == 90) {
        line += "  sectors " + std::to_string(current) + "/" + std::to_string(total) + "  files " +
                std::to_string(files) + "  " + left;
    } else {
        line += "  reading the file system";
    }
    if (progress->terminal) {
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    return 0;
}

int RecoveryProgress(void*, int nPercent, int, int nError, const char16_t* pszPath) {
    if (nPercent == 100 && nError != 0) {
        std::fprintf(stderr, "failed: %s: %s\n", Printable(WideToUtf8(pszPath)).c_str(),
                     DescribeResult(nError).c_str());
    }
    return g_cancel.load() ? ERROR_USER_CANCEL : 0;
}

int SearchProgress(void*, int, const char16_t*) {
    return 0;
}

// What the engines make of the volume: its file system, or that only carving applies.
std::string DescribeFileSystem(const ScanTarget& target) {
    const std::string name = CFileRecoveryFactory::NameFileSystem(
        target.devicePath.c_str(), static_cast<uint64_t>(target.llStart) * 512);
    if (!name.empty()) return name;
    return "no file system the engines know; lost folders and files recognised by their "
           "content only";
}

// Scans and searches; `found` holds what the search lists, also after a scan that ended early.
// 0, or the error that ended the scan (a cancel is not one).
int ScanAndSearch(const Options& o, const ScanTarget& target, IFileRecoveryParse& engine,
                  uint32_t mask, std::vector<__SEARCH_FILE_INFO__>& found) {
    Progress progress;
    engine.InitCallBack(ScanProgress, nullptr, &progress, 100);
    if (!o.json)
        std::fprintf(stderr, "scanning %s (%s): %s\n", Printable(target.label).c_str(),
                     Printable(target.devicePath).c_str(), DescribeFileSystem(target).c_str());
    const int scanned = engine.ScanDevice(nullptr);
    if (progress.terminal && progress.printed) std::fprintf(stderr, "\n");
    const bool failed = scanned != 0 && !g_cancel.load();
    if (failed) {
        std::fprintf(stderr, "ferrowen-cli: the scan ended early: %s; listing what was found\n",
                     DescribeResult(scanned).c_str());
    }
    if (g_cancel.load()) std::fprintf(stderr, "scan cancelled; listing what was found so far\n");
    engine.InitSearchCallBack(SearchProgress, nullptr);
    engine.SearchFileNode(BuildSearchKey(mask).c_str(), found);
    return failed ? scanned : 0;
}

// Keeps the files whose original path (folder and name) matches one of the patterns, as the
// shell matches them ('*' crossing folders too), letters in either case; all when none given.
void KeepOnly(const std::vector<std::string>& patterns, std::vector<__SEARCH_FILE_INFO__>& found,
              std::vector<FoundFile>& files) {
    if (patterns.empty()) return;
    std::vector<__SEARCH_FILE_INFO__> keptFound;
    std::vector<FoundFile> keptFiles;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = files[i].folder + files[i].name;
        const bool match = std::any_of(patterns.begin(), patterns.end(), [&](const auto& p) {
            return fnmatch(p.c_str(), path.c_str(), FNM_CASEFOLD) == 0;
        });
        if (!match) continue;
        keptFound.push_back(found[i]);
        keptFiles.push_back(files[i]);
    }
    found.swap(keptFound);
    files.swap(keptFiles);
}

// Writes the recovery summary of one volume.
void ReportRecovery(const Options& o, const std::string& out, const RECOVERY_SUMMARY& summary,
                    JsonWriter& json) {
    if (o.json) {
        json.Key("recovery");
        json.BeginObject();
        json.Field("recovered", static_cast<long long>(summary.uRecovered));
        json.Field("failed", static_cast<long long>(summary.uFailed));
        json.Field("cancelled", summary.bCancelled);
        json.Key("failures");
        json.BeginArray();
        for (const auto& [path, code] : summary.failures) {
            json.BeginObject();
            json.Field("path", WideToUtf8(path));
            json.Field("error", static_cast<long long>(code));
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
    } else {
        std::printf("recovered %u files into %s, %u failed%s\n", summary.uRecovered, out.c_str(),
                    summary.uFailed, summary.bCancelled ? " (cancelled)" : "");
    }
}

// Scans one volume, lists what it found and, for `recover`, recovers it into out. 0 complete,
// 1 incomplete (the scan ended early, it was cancelled, a file failed), 2 nothing could be
// done (no engine, a destination that cannot be used).
// A kept scan's id: the number of its scan folder.
std::string ScanIdOf(const std::string& folder) {
    std::string name = folder;
    while (!name.empty() && name.back() == '/') name.pop_back();
    return name.substr(name.rfind('/') + 1);
}

// The checkpoint of kept scan `id`, or null.
const _LOG_FILE_INFO_* FindKeptScan(const std::string& id) {
    for (const _LOG_FILE_INFO_& info : CLogFileManager::GetInstance()->GetLogFileInfos())
        if (!id.empty() && ScanIdOf(info.szLogDirPath) == id) return &info;
    return nullptr;
}

// `scans`: the kept scans, with their target, date, state and the files found so far.
int ListKeptScans(bool bJson) {
    CLogFileManager::GetInstance()->Init();
    JsonWriter json;
    json.BeginArray();
    const auto& infos = CLogFileManager::GetInstance()->GetLogFileInfos();
    if (infos.empty() && !bJson) std::printf("no kept scans (keep one with scan --keep)\n");
    for (const _LOG_FILE_INFO_& info : infos) {
        struct stat st {};
        char date[32] = "?";
        if (stat(info.szLogDirPath, &st) == 0) {
            struct tm parts;
            localtime_r(&st.st_mtime, &parts);
            std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &parts);
        }
        const bool complete = info.u64RangeOffset >= info.u64RangeLength;
        const std::string id = ScanIdOf(info.szLogDirPath);
        if (bJson) {
            json.BeginObject();
            json.Field("id", id);
            json.Field("target", std::string(info.szDevicePath));
            json.Field("first_sector", static_cast<long long>(info.u64StartSector));
            json.Field("sectors", static_cast<long long>(info.u64SectorCount));
            json.Field("date", std::string(date));
            json.Field("complete", complete);
            json.Field("files_found", static_cast<long long>(info.u64FilesFound));
            json.EndObject();
            continue;
        }
        std::printf("scan %s  %s  sectors %llu+%llu  %s  %s  %llu files found\n", id.c_str(),
                    Printable(info.szDevicePath).c_str(),
                    static_cast<unsigned long long>(info.u64StartSector),
                    static_cast<unsigned long long>(info.u64SectorCount), date,
                    complete ? "complete" : "interrupted",
                    static_cast<unsigned long long>(info.u64FilesFound));
    }
    json.EndArray();
    if (bJson) std::printf("%s\n", json.Text().c_str());
    return 0;
}

// --scan ID: the kept scan's device and volume become the target, and the scan is taken up.
int TakeUpKeptScan(Options& o, std::vector<ScanTarget>& targets) {
    CLogFileManager::GetInstance()->Init();
    const _LOG_FILE_INFO_* info = FindKeptScan(o.scanId);
    if (info == nullptr) {
        std::fprintf(stderr, "ferrowen-cli: there is no kept scan %s (see 'ferrowen-cli scans')\n",
                     o.scanId.c_str());
        return 2;
    }
    std::vector<ScanTarget> all;
    std::string error;
    if (!ResolveTargets(info->szDevicePath, 0, all, error)) {
        std::fprintf(stderr, "ferrowen-cli: kept scan %s: %s\n", o.scanId.c_str(), error.c_str());
        return 2;
    }
    for (ScanTarget& target : all) {
        if (static_cast<uint64_t>(target.llStart) == info->u64StartSector &&
            static_cast<uint64_t>(target.llCount) == info->u64SectorCount) {
            target.folder.clear();
            targets.push_back(target);
        }
    }
    if (targets.empty()) {
        std::fprintf(stderr, "ferrowen-cli: kept scan %s: %s no longer holds that volume\n",
                     o.scanId.c_str(), info->szDevicePath);
        return 2;
    }
    o.target = info->szDevicePath;
    o.resume = o.keep = true;
    return 0;
}

int ScanVolume(const Options& o, const ScanTarget& target, uint32_t mask, const std::string& out,
               CRecoveryReport& report, JsonWriter& json) {
    std::string error;
    std::unique_ptr<IFileRecoveryParse> engine = MakeDeepEngine(target, o.resume, error);
    if (!engine) {
        std::fprintf(stderr, "ferrowen-cli: %s\n", error.c_str());
        return 2;
    }
    if (o.resume) {
        char kept[4096] = {};
        CLogFileManager::GetInstance()->GetLogFileDirPath(kept, sizeof kept);
        if (CLogFileManager::GetInstance()->IsResumed()) {
            std::fprintf(stderr, "taking up kept scan %s where it stopped\n",
                         ScanIdOf(kept).c_str());
        } else {
            std::fprintf(stderr, "no kept scan matches %s as it is now: scanning it afresh\n",
                         target.label.c_str());
        }
    }
    std::vector<__SEARCH_FILE_INFO__> found;
    // A scan that ended early (the device went away) still lists and recovers what it found,
    // and the exit status says it was incomplete.
    int status = ScanAndSearch(o, target, *engine, mask, found) != 0 || g_cancel.load() ? 1 : 0;
    // The scan's folder of results goes when this volume is done, unless it is kept.
    char scanFolder[4096] = {};
    CLogFileManager::GetInstance()->GetLogFileDirPath(scanFolder, sizeof scanFolder);
    if (o.keep && FindKeptScan(ScanIdOf(scanFolder)) != nullptr) {
        std::fprintf(stderr, "kept as scan %s: reopen it with --scan %s\n",
                     ScanIdOf(scanFolder).c_str(), ScanIdOf(scanFolder).c_str());
        scanFolder[0] = '\0';
    } else if (o.keep) {
        std::fprintf(stderr,
                     "nothing could be kept: the scan ended before its first results "
                     "were written\n");
    }
    struct RemoveScanFolder {
        std::unique_ptr<IFileRecoveryParse>& engine;
        const char* folder;
        ~RemoveScanFolder() {
            engine.reset();  // its stores close first
            if (folder[0] == '\0') return;
            CLogFileManager::GetInstance()->DeleteLogFileDir(folder);
            CLogFileManager::GetInstance()->SaveLogConfigFile();
        }
    } removeScanFolder{engine, scanFolder};
    std::vector<FoundFile> files = DescribeFiles(*engine, found);
    KeepOnly(o.only, found, files);
    if (o.json) {
        json.BeginObject();
        json.Field("target", target.devicePath);
        json.Field("volume", target.label);
        if (!target.folder.empty()) json.Field("folder", target.folder);
        json.Field("cancelled", g_cancel.load());
        json.Key("files");
        AppendFilesJson(json, files);
    } else {
        if (!target.folder.empty()) std::printf("== %s\n", Printable(target.label).c_str());
        PrintFilesText(files);
    }
    if (o.command == "recover") {
        std::vector<_FILE_NODE_> records(found.begin(), found.end());
        SetKeepPartialFiles(o.keepPartial);
        CRecoveryJob job(engine.get(), RecoveryProgress, nullptr);
        job.SetLayout(o.layout);
        if (report.IsOpen()) {
            job.SetFileEnded([&](size_t index, const _FILE_NODE_& record,
                                 const std::u16string& path, int error) {
                report.Add(files[index].folder + files[index].name, record, WideToUtf8(path),
                           error);
            });
        }
        job.Attach();
        const int ran = job.Run(records, Utf8ToWide(out.c_str()));
        const RECOVERY_SUMMARY& summary = job.Summary();
        if (ran != 0 && ran != ERROR_USER_CANCEL) {
            std::fprintf(stderr, "ferrowen-cli: cannot use %s: %s\n", out.c_str(),
                         DescribeResult(ran).c_str());
            status = 2;
        } else if (summary.uFailed != 0 || summary.bCancelled) {
            status = 1;
        }
        ReportRecovery(o, out, summary, json);
    }
    if (o.json) json.EndObject();
    return status;
}

// The scan's results need a folder of their own. When the user's cannot be made or written (a
// read-only or missing XDG_DATA_HOME, a user without a home), a private temporary one stands
// in for this run, and the user is told. Returns that folder ("" when none was needed), or
// nullopt when not even that could be made.
std::optional<std::string> UseWritableLogRoot() {
    const std::string root = GetScanLogRootPath();
    if (!root.empty() && MakeFolderPath(root) == 0 && access(root.c_str(), W_OK) == 0) return "";
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/ferrowen-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
    ::setenv("XDG_DATA_HOME", pattern.c_str(), 1);
    std::fprintf(stderr,
                 "ferrowen-cli: %s cannot be written; this run keeps its results in %s and "
                 "removes them at the end\n",
                 root.empty() ? "the scan-log folder (no XDG_DATA_HOME or HOME)" : root.c_str(),
                 pattern.c_str());
    return pattern;
}

// Opens the report the user asked for, before anything is scanned: a report that cannot be
// written is known at once. 0, or the exit status of the refusal.
int OpenReport(const Options& o, bool recover, const std::string& device, CRecoveryReport& report) {
    if (o.report.empty()) return 0;
    CRecoveryReport::Format format;
    if (!recover) return Usage("--report goes with recover");
    if (!CRecoveryReport::FormatOf(o.report, format)) {
        return Usage("--report FILE must end in .xml or .csv");
    }
    const std::string folder = std::filesystem::path(o.report).parent_path().string();
    if (IsDestinationOnDevice(folder.empty() ? "." : folder, device) && !o.force) {
        std::fprintf(stderr,
                     "ferrowen-cli: the report %s would lie on %s, the device being "
                     "scanned. Choose another disk, or add --force.\n",
                     o.report.c_str(), device.c_str());
        return 2;
    }
    if (const int opened = report.Open(o.report, device); opened != 0) {
        std::fprintf(stderr, "ferrowen-cli: cannot write the report %s: %s\n", o.report.c_str(),
                     DescribeResult(opened).c_str());
        return 2;
    }
    return 0;
}

int RunScanOrRecover(Options o) {
    uint32_t mask = 0;
    std::vector<ScanTarget> targets;
    if (!o.scanId.empty()) {
        if (!o.target.empty()) return Usage("--scan ID takes the place of TARGET");
        if (const int taken = TakeUpKeptScan(o, targets); taken != 0) return taken;
    }
    if (o.target.empty()) return Usage("a TARGET is needed");
    if (!ParseFileTypes(o.types, mask))
        return Usage(("unknown file type in '" + o.types + "'").c_str());
    const bool recover = o.command == "recover";
    if (recover && o.out.empty()) return Usage("recover needs --out DIR");
    // A scan taken up is kept again when it ends.
    if (o.resume) o.keep = true;
    std::string error;
    if (targets.empty() && !ResolveTargets(o.target, o.partition, targets, error)) {
        std::fprintf(stderr, "ferrowen-cli: %s\n", error.c_str());
        return 2;
    }
    const std::string& device = targets.front().devicePath;
    if (recover && IsDestinationOnDevice(o.out, device) && !o.force) {
        std::fprintf(stderr,
                     "ferrowen-cli: %s lies on %s, the device being scanned: writing there can "
                     "overwrite the files being recovered. Choose another disk, or add --force.\n",
                     o.out.c_str(), device.c_str());
        return 2;
    }
    CRecoveryReport report;
    if (const int opened = OpenReport(o, recover, device, report); opened != 0) return opened;
    const std::optional<std::string> privateRoot = UseWritableLogRoot();
    if (!privateRoot) {
        std::fprintf(stderr, "ferrowen-cli: %s\n", DescribeResult(RESULT_NO_STORE).c_str());
        return 2;
    }
    CLogFileManager::GetInstance()->Init();
    // A whole disk is scanned part by part: each partition into its own folder, then the
    // space outside them.
    const bool parts = !targets.front().folder.empty();
    JsonWriter json;
    if (o.json && parts) {
        json.BeginObject();
        json.Field("target", device);
        json.Key("volumes");
        json.BeginArray();
    }
    int status = 0;
    for (const ScanTarget& target : targets) {
        if (g_cancel.load()) {
            status = std::max(status, 1);
            break;
        }
        const std::string out = parts ? o.out + "/" + target.folder : o.out;
        status = std::max(status, ScanVolume(o, target, mask, out, report, json));
    }
    if (const int closed = report.Close(); closed != 0) {
        std::fprintf(stderr, "ferrowen-cli: the report %s is incomplete: %s\n", o.report.c_str(),
                     DescribeResult(closed).c_str());
        status = std::max(status, 1);
    }
    if (o.json && parts) {
        json.EndArray();
        json.EndObject();
    }
    if (o.json) std::printf("%s\n", json.Text().c_str());
    if (!privateRoot->empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(*privateRoot, ignored);
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int ended = ParseArguments(argc, argv, options); ended >= 0) return ended;
    inner_initUnicodeMap("UTF-8");
    SetDebugLogPath(DebugLogPathFromEnvironment());
    if (options.command == "list") return ListDevices(options.json);
    if (options.command == "scans") return ListKeptScans(options.json);
    StartInterruptWatcher();
    return RunScanOrRecover(options);
}
