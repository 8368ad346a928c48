#include "ui/file_icons.h"

#include <strings.h>

#include <string>

#include "engine/recovery_job.h"
#include "store/scan_result_file_manager.h"

const char* const kFileIconNames[65] = {
    "7z",
    "accdb",
    "ace",
    "acid",
    "aiff",
    "asf",
    "at3",
    "au",
    "avi",
    "bmp",
    "cab",
    "chm",
    "divx",
    "doc",
    "dss",
    "dv",
    "epson",
    "exe",
    "gif",
    "gzip",
    "html",
    "ico",
    "indd",
    "jar",
    "jpg",
    "jpeg",
    "mamiya",
    "mid",
    "minolta",
    "mov",
    "mp3",
    "mp4",
    "mpeg",
    "music",
    "ods",
    "ogg",
    "one",
    "other",
    "pdf",
    "png",
    "ppt",
    "psd",
    "psp",
    "rar",
    "real",
    "rmvb",
    "rps",
    "thm",
    "tif",
    "tiff",
    "tod",
    "txt",
    "vob",
    "wma",
    "wmv",
    "wps",
    "xls",
    "xml",
    "zip",
    "audio_default",
    "default",
    "image",
    "office_default",
    "photo_default",
    "video_default",
};

namespace {

constexpr char kIconFolder[] = ":/image/FileIcon/";

// True when "*.<ext>" is a whole entry of the archive list (the office list shares the
// Archive category but has a picture of its own).
bool InArchiveList(const std::string& lowerExt) {
    std::u16string entry = u"*.";
    for (char c : lowerExt) entry += static_cast<char16_t>(static_cast<unsigned char>(c));
    const std::u16string list = szArchiveTypeList;
    for (size_t at = list.find(entry); at != std::u16string::npos; at = list.find(entry, at + 1)) {
        const size_t end = at + entry.size();
        if ((at == 0 || list[at - 1] == u'|') && (end == list.size() || list[end] == u'|')) {
            return true;
        }
    }
    return false;
}

std::string CategoryIcon(const std::string& lowerExt) {
    switch (ClassifyFileName(("x." + lowerExt).c_str())) {
        case FileCategory::Photo:
            return "image";
        case FileCategory::Music:
            return "audio_default";
        case FileCategory::Document:
            return "office_default";
        case FileCategory::Video:
            return "video_default";
        case FileCategory::Archive:
            return InArchiveList(lowerExt) ? "zip" : "office_default";
        case FileCategory::Other:
            break;
    }
    return "other";
}

}  // namespace

std::string GetExtendNameIcon(const char* pszExt) {
    std::string ext = pszExt != nullptr ? pszExt : "";
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    std::string name = CategoryIcon(ext);
    for (const char* known : kFileIconNames) {
        if (strcasecmp(known, ext.c_str()) == 0) {
            name = known;
            break;
        }
    }
    if (name == "jpeg") name = "jpg";
    if (name == "tiff") name = "tif";
    return kIconFolder + name + ".png";
}
