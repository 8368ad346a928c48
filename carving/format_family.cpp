#include "carving/format_family.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace carving {

namespace {

// Formats that share one container or one signature: carving names each by what its bytes
// show, while the file system kept whatever extension the program that wrote it chose.
constexpr std::string_view kFamilies[] = {
    "jpg jpeg jpe jfif thm",
    "tif tiff cr2 nef nrw arw srf sr2 dng orf rw2 pef",
    "mp4 m4v m4a m4b m4p mov qt 3gp 3g2 f4v heic heif hif avif cr3",
    "zip docx docm dotx dotm xlsx xlsm xlsb xltx xltm xlam pptx pptm potx potm ppsx ppsm mso07 "
    "odt ods odp odg ott ots otp epub jar apk xpi kmz 3mf vsdx cbz",
    "doc dot xls xlt xla ppt pot pps msg ole wps wpt et ett dps dpt fla msi",
    "mkv mka mks webm",
    "ogg oga ogv opus spx",
    "asf wmv wma",
    "mpg mpeg mpe vob m2p",
    "ts mts m2ts m2t",
    "gz gzip tgz",
    "wav wave",
    "rm rmvb ra",
    "exe dll sys",
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool IsMember(std::string_view family, std::string_view ext) {
    while (!family.empty()) {
        const size_t space = family.find(' ');
        if (family.substr(0, space) == ext) return true;
        if (space == std::string_view::npos) break;
        family.remove_prefix(space + 1);
    }
    return false;
}

}  // namespace

bool SameFormatFamily(std::string_view a, std::string_view b) {
    const std::string lowerA = Lower(a), lowerB = Lower(b);
    if (lowerA == lowerB) return true;
    return std::any_of(std::begin(kFamilies), std::end(kFamilies), [&](std::string_view family) {
        return IsMember(family, lowerA) && IsMember(family, lowerB);
    });
}

}  // namespace carving
