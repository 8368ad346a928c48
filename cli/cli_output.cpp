#include "cli/cli_output.h"

#include <cstdio>
#include <map>

#include "foundation/text.h"

void JsonWriter::Separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back()) m_text += ',';
        m_first.back() = false;
    }
}

void JsonWriter::Open(char bracket) {
    Separate();
    m_text += bracket;
    m_first.push_back(true);
}

void JsonWriter::Close(char bracket) {
    m_text += bracket;
    if (!m_first.empty()) m_first.pop_back();
}

void JsonWriter::Key(const std::string& key) {
    Separate();
    m_text += Quote(key) + ':';
    m_afterKey = true;
}

void JsonWriter::Field(const std::string& key, const std::string& value) {
    Key(key);
    Separate();
    m_text += Quote(value);
}

void JsonWriter::Field(const std::string& key, long long value) {
    Key(key);
    Separate();
    m_text += std::to_string(value);
}

void JsonWriter::Field(const std::string& key, bool value) {
    Key(key);
    Separate();
    m_text += value ? "true" : "false";
}

std::string JsonWriter::Quote(const std::string& utf8) {
    // A round trip through UTF-16 replaces malformed bytes, so the output is valid UTF-8.
    const std::string clean = WideToUtf8(Utf8ToWide(utf8.c_str()));
    std::string out = "\"";
    for (const char c : clean) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::vector<FoundFile> DescribeFiles(IFileRecoveryParse& engine,
                                     const std::vector<__SEARCH_FILE_INFO__>& found) {
    std::vector<FoundFile> files;
    files.reserve(found.size());
    for (const __SEARCH_FILE_INFO__& record : found) {
        FoundFile file;
        file.name = WideToUtf8(Ansi2Unicode(record.szFileName));
        char ext[256] = {};
        if (GetExtendName(record.szFileName, ext, sizeof ext) == 0)
            file.extension = GetCharLowerA(ext);
        file.category = GetCategoryLabel(ClassifyFileName(record.szFileName));
        char16_t folder[1024] = {};
        _FILE_NODE_ copy = record;
        engine.GetFileNodeParentDirPath(&copy, folder, 1024);
        file.folder = WideToUtf8(folder);
        file.size = record.u64FileSize;
        file.source = record.nFileSource;
        files.push_back(file);
    }
    return files;
}

namespace {
using Groups = std::map<std::string, std::map<std::string, std::vector<const FoundFile*>>>;

Groups GroupFiles(const std::vector<FoundFile>& files) {
    Groups groups;
    for (const FoundFile& file : files) {
        groups[file.category][file.extension.empty() ? "unKnow" : file.extension].push_back(&file);
    }
    return groups;
}
}  // namespace

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void PrintFilesText(const std::vector<FoundFile>& files) {
    for (const auto& [category, byExtension] : GroupFiles(files)) {
        size_t count = 0;
        for (const auto& entry : byExtension) count += entry.second.size();
        std::printf("%s(%zu)\n", category.c_str(), count);
        for (const auto& [extension, group] : byExtension) {
            std::printf("  %s Files (%zu)\n", Printable(extension).c_str(), group.size());
            for (const FoundFile* file : group) {
                std::printf("    %-40s %12s  /%s\n", Printable(file->name).c_str(),
                            GetFileSizeString(static_cast<long long>(file->size)).c_str(),
                            Printable(file->folder).c_str());
            }
        }
    }
    std::printf("%zu files found\n", files.size());
}

void AppendFilesJson(JsonWriter& json, const std::vector<FoundFile>& files) {
    json.BeginArray();
    for (const FoundFile& file : files) {
        json.BeginObject();
        json.Field("name", file.name);
        json.Field("size", static_cast<long long>(file.size));
        json.Field("category", file.category);
        json.Field("extension", file.extension);
        json.Field("folder", file.folder);
        json.Field("source", static_cast<long long>(file.source));
        json.EndObject();
    }
    json.EndArray();
}
