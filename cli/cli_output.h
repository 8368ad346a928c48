// Output of the command line: a small JSON writer and the text and JSON listings of found
// files and recovery outcomes.
#pragma once

#include <string>
#include <vector>

#include "engine/recovery_job.h"
#include "foundation/recovery_parse.h"

// Builds JSON text in order; commas between members and elements are placed for the caller.
class JsonWriter {
public:
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    void Key(const std::string& key);
    void Field(const std::string& key, const std::string& value);
    void Field(const std::string& key, long long value);
    void Field(const std::string& key, bool value);
    const std::string& Text() const { return m_text; }

    // UTF-8 text as a JSON string literal; bytes that are not valid UTF-8 come out as U+FFFD.
    static std::string Quote(const std::string& utf8);

private:
    void Open(char bracket);
    void Close(char bracket);
    void Separate();

    std::string m_text;
    std::vector<bool> m_first;  // per open container: nothing written in it yet
    bool m_afterKey = false;
};

// One found file as the listings show it.
struct FoundFile {
    std::string name;       // UTF-8
    std::string extension;  // lower case; "" when none
    std::string category;   // "Photo", "Music", ...
    std::string folder;     // folder path on the volume, "A/B/" style
    unsigned long long size = 0;
    unsigned int source = 0;
};

std::vector<FoundFile> DescribeFiles(IFileRecoveryParse& engine,
                                     const std::vector<__SEARCH_FILE_INFO__>& found);
// Grouped by category, then extension; names within a group in the engines' order.
// Text from a disk as it may be printed to a terminal: control characters (an escape sequence,
// a line break a crafted name holds) become \xNN.
std::string Printable(const std::string& text);

void PrintFilesText(const std::vector<FoundFile>& files);
void AppendFilesJson(JsonWriter& json, const std::vector<FoundFile>& files);
