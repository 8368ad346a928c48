// Which extensions name one kind of data. A file found by its name and a file carved at the
// same place are the same file when their extensions are of one family: a camera's ".JPEG"
// is carved as "jpg", a word processor's ".odt" as "zip", a phone's ".m4v" as "mp4".
#pragma once

#include <string_view>

namespace carving {

// True when the two extensions (any case, without the dot) name the same kind of data: equal
// ones, or two of one family (JPEG, TIFF and camera raw, ISO media, ZIP containers, compound
// documents, Matroska, Ogg, ASF, MPEG, transport streams, gzip, RealMedia, executables).
bool SameFormatFamily(std::string_view a, std::string_view b);

}  // namespace carving
