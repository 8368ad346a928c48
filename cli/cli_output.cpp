#include "cli/cli_output.h"

#include <cstdio>
#include <map>

#include "foundation/scan_options.h"
#include "foundation/text.h"

namespace {
using Json = nlohmann::ordered_json;

std::string Render(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}
}  // namespace

Json& JsonWriter::Place(Json value) {
    if (m_open.empty()) {
        m_root = std::move(value);
        return m_root;
    }
    Json& container = *m_open.back();
    if (container.is_array()) {
        container.push_back(std::move(value));
        return container.back();
    }
    Json& member = container[m_key];
    member = std::move(value);
    return member;
}

void JsonWriter::Open(Json value) {
    m_open.push_back(&Place(std::move(value)));
}

void JsonWriter::Close() {
    if (!m_open.empty()) m_open.pop_back();
}

void JsonWriter::Key(const std::string& key) {
    m_key = key;
}

void JsonWriter::Field(const std::string& key, const std::string& value) {
    m_key = key;
    Place(value);
}

void JsonWriter::Field(const std::string& key, long long value) {
    m_key = key;
    Place(value);
}

void JsonWriter::Field(const std::string& key, bool value) {
    m_key = key;
    Place(value);
}

const std::string& JsonWriter::Text() const {
    m_text = Render(m_root);
    return m_text;
}

std::string JsonWriter::Quote(const std::string& utf8) {
    return Render(Json(utf8));
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
        file.present = IsPresentEntry(record);
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
                std::printf("    %-40s %12s  /%s%s\n", Printable(file->name).c_str(),
                            GetFileSizeString(static_cast<long long>(file->size)).c_str(),
                            Printable(file->folder).c_str(),
                            file->present ? "  (not deleted)" : "");
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
        json.Field("present", file.present);
        json.EndObject();
    }
    json.EndArray();
}
