#include "engine/recovery_report.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>
#include <memory>

#include "engine/recovery_job.h"
#include "foundation/result.h"

namespace {

std::string XmlEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // Control characters are not allowed in XML 1.0 text at all.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                    out += "&#xFFFD;";
                } else {
                    out += c;
                }
        }
    }
    return out;
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (const char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

const char* SourceName(uint32_t source) {
    switch (source) {
        case FILE_SOURCE_FAST_NTFS:
        case FILE_SOURCE_FAST_FAT:
        case FILE_SOURCE_FAST_EXFAT:
            return "file system";
        case FILE_SOURCE_PRO_NTFS:
        case FILE_SOURCE_PRO_FAT:
        case FILE_SOURCE_PRO_EXFAT:
            return "found folder entry";
        case FILE_SOURCE_FILE_TYPE:
            return "carved";
        default:
            return "unknown";
    }
}

std::string IsoTime(time_t t) {
    char text[32] = {};
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr) return "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string ResultText(int error) {
    return error == 0 ? "recovered" : "failed: " + DescribeResult(error);
}

}  // namespace

std::string Sha256OfFileContent(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    std::array<unsigned char, 65536> buffer;
    for (ssize_t got; ok && (got = read(fd, buffer.data(), buffer.size())) != 0;) {
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        ok = EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) == 1;
    }
    close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool CRecoveryReport::FormatOf(const std::string& path, Format& format) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
    const std::string ext = path.substr(dot + 1);
    if (strcasecmp(ext.c_str(), "xml") == 0) {
        format = Format::Dfxml;
    } else if (strcasecmp(ext.c_str(), "csv") == 0) {
        format = Format::Csv;
    } else {
        return false;
    }
    return true;
}

CRecoveryReport::~CRecoveryReport() {
    Close();
}

int CRecoveryReport::Open(const std::string& path, const std::string& source) {
    if (!FormatOf(path, m_format)) return EINVAL;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    m_file = fdopen(fd, "w");
    if (m_file == nullptr) {
        const int error = errno;
        close(fd);
        return error;
    }
    m_error = 0;
    if (m_format == Format::Csv) {
        std::fprintf(m_file,
                     "original_path,recovered_path,size,sha256,source,found_at_sector,result\n");
        return 0;
    }
    std::fprintf(
        m_file,
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<dfxml xmloutputversion='1.0'>\n"
        "  <metadata xmlns='http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML'"
        " xmlns:dc='http://purl.org/dc/elements/1.1/'>\n"
        "    <dc:type>Recovery Report</dc:type>\n"
        "  </metadata>\n"
        "  <creator>\n"
        "    <program>ferrowen</program>\n"
        "    <execution_environment><start_time>%s</start_time></execution_environment>\n"
        "  </creator>\n"
        "  <source><image_filename>%s</image_filename></source>\n",
        IsoTime(std::time(nullptr)).c_str(), XmlEscaped(source).c_str());
    return 0;
}

void CRecoveryReport::Add(const std::string& originalPath, const _FILE_NODE_& record,
                          const std::string& recoveredPath, int error) {
    if (m_file == nullptr) return;
    const std::string digest = error == 0 ? Sha256OfFileContent(recoveredPath) : "";
    const unsigned long long size = record.u64FileSize;
    const unsigned long long sector = record.u64RecordSector;
    if (m_format == Format::Csv) {
        std::fprintf(m_file, "%s,%s,%llu,%s,%s,%llu,%s\n", CsvField(originalPath).c_str(),
                     CsvField(recoveredPath).c_str(), size, digest.c_str(),
                     SourceName(record.nFileSource), sector, CsvField(ResultText(error)).c_str());
        return;
    }
    std::fprintf(m_file,
                 "  <fileobject>\n    <filename>%s</filename>\n    <filesize>%llu</filesize>\n",
                 XmlEscaped(originalPath).c_str(), size);
    timespec modified{}, accessed{};
    if (GetRecordTimes(record, modified, accessed)) {
        std::fprintf(m_file, "    <mtime>%s</mtime>\n", IsoTime(modified.tv_sec).c_str());
    }
    if (!digest.empty()) {
        std::fprintf(m_file, "    <hashdigest type='sha256'>%s</hashdigest>\n", digest.c_str());
    }
    std::fprintf(m_file,
                 "    <recovered_path>%s</recovered_path>\n    <found_by>%s</found_by>\n"
                 "    <found_at_sector>%llu</found_at_sector>\n    <result>%s</result>\n"
                 "  </fileobject>\n",
                 XmlEscaped(recoveredPath).c_str(), SourceName(record.nFileSource), sector,
                 XmlEscaped(ResultText(error)).c_str());
}

int CRecoveryReport::Close() {
    if (m_file == nullptr) return 0;
    if (m_format == Format::Dfxml) std::fprintf(m_file, "</dfxml>\n");
    if (std::ferror(m_file) != 0) m_error = EIO;
    if (std::fclose(m_file) != 0 && m_error == 0) m_error = errno;
    m_file = nullptr;
    return m_error;
}
