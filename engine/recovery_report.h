// A recovery report: for every file a recovery run handled, its original path, where it was
// written, its size, the SHA-256 of what was written, where on the device it was found and
// how it ended. Written as Digital Forensics XML (a ".xml" report) or as CSV (".csv"), one
// file at a time as recovery goes, so that its memory does not grow with the files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/file_node.h"

class CRecoveryReport {
public:
    enum class Format { Dfxml, Csv };

    CRecoveryReport() = default;
    ~CRecoveryReport();
    CRecoveryReport(const CRecoveryReport&) = delete;
    CRecoveryReport& operator=(const CRecoveryReport&) = delete;

    // The format a report path asks for by its extension (any case); false for any other.
    static bool FormatOf(const std::string& path, Format& format);

    // Creates the report (never over an existing file) and writes its head, naming the
    // device or image scanned. 0 or errno (EINVAL for an extension that names no format).
    int Open(const std::string& path, const std::string& source);
    bool IsOpen() const { return m_file != nullptr; }

    // One file: its path on the volume ("A/B/name"), the record it came from, the path it was
    // written to and the result (0 recovered, else the error that stopped it). The SHA-256 is
    // read back from what was written, so it is the digest of the file the user has.
    void Add(const std::string& originalPath, const _FILE_NODE_& record,
             const std::string& recoveredPath, int error);

    // Writes the tail and closes; 0 or the errno of a failed write.
    int Close();

private:
    std::FILE* m_file = nullptr;
    Format m_format = Format::Csv;
    int m_error = 0;
};

// The SHA-256 of a file's content as 64 lower-case hex digits, or "" when it cannot be read.
std::string Sha256OfFileContent(const std::string& path);
