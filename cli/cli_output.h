// Output of the command line: a small JSON writer and the text and JSON listings of found
// files and recovery outcomes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "foundation/recovery_parse.h"

// Builds a JSON document in order, member by member, on nlohmann::ordered_json (which keeps
// the members in the order written); Text() renders it compactly.
class JsonWriter {
public:
    void BeginObject() { Open(nlohmann::ordered_json::object()); }
    void EndObject() { Close(); }
    void BeginArray() { Open(nlohmann::ordered_json::array()); }
    void EndArray() { Close(); }
    // The name of the next member of the open object.
    void Key(const std::string& key);
    void Field(const std::string& key, const std::string& value);
    void Field(const std::string& key, long long value);
    void Field(const std::string& key, bool value);
    // The document so far; bytes that are not valid UTF-8 come out as U+FFFD.
    const std::string& Text() const;

    // UTF-8 text as a JSON string literal, malformed bytes replaced as in Text().
    static std::string Quote(const std::string& utf8);

private:
    void Open(nlohmann::ordered_json value);
    void Close();
    nlohmann::ordered_json& Place(nlohmann::ordered_json value);

    nlohmann::ordered_json m_root;
    std::vector<nlohmann::ordered_json*> m_open;  // the containers still open, outermost first
    std::string m_key;
    mutable std::string m_text;
};

// One found file as the listings show it.
struct FoundFile {
    std::string name;       // UTF-8
    std::string extension;  // lower case; "" when none
    std::string category;   // "Photo", "Music", ...
    std::string folder;     // folder path on the volume, "A/B/" style
    unsigned long long size = 0;
    unsigned int source = 0;
    bool present = false;  // the file system still lists it (it was not deleted)
};

std::vector<FoundFile> DescribeFiles(IFileRecoveryParse& engine,
                                     const std::vector<__SEARCH_FILE_INFO__>& found);
// Grouped by category, then extension; names within a group in the engines' order.
// Text from a disk as it may be printed to a terminal: control characters (an escape sequence,
// a line break a crafted name holds) become \xNN.
std::string Printable(const std::string& text);

void PrintFilesText(const std::vector<FoundFile>& files);
void AppendFilesJson(JsonWriter& json, const std::vector<FoundFile>& files);
