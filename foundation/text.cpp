#include "foundation/text.h"

#include <iconv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "foundation/result.h"

namespace {

const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);

// The start-up conversion handles. Nothing else uses them; they are kept because start-up
// checks that the multibyte set can be opened at all.
char g_szCharset[64];
iconv_t g_toCharset = kClosed;
iconv_t g_fromCharset = kClosed;

// The code page of FAT short names, set before any scan starts.
char g_szOemCodePage[32] = "CP850";

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Length of the longest prefix of a UTF-8 text that fits in `room` bytes without cutting a
// character in half.
size_t FitUtf8(const std::string& text, size_t room) {
    if (text.size() <= room) return text.size();
    size_t used = room;
    while (used > 0 && (static_cast<unsigned char>(text[used]) & 0xC0) == 0x80) --used;
    return used;
}

// The same for UTF-16: a surrogate pair is never split.
size_t FitWide(const std::u16string& text, size_t room) {
    if (text.size() <= room) return text.size();
    size_t used = room;
    if (used > 0 && IsHighSurrogate(text[used - 1])) --used;
    return used;
}

size_t SourceUnits(const char16_t* src, int nSrcLen) {
    return nSrcLen < 0 ? WideLength(src) : static_cast<size_t>(nSrcLen);
}

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void AppendUtf16(char32_t cp, std::u16string& out) {
    if (cp < 0x10000) {
        out += static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
}

// Decodes one UTF-8 sequence at s[i], advancing i; malformed input yields U+FFFD.
char32_t DecodeUtf8(const unsigned char* s, size_t n, size_t& i) {
    const unsigned char lead = s[i++];
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    if (lead >= 0xC2 && lead <= 0xDF)
        extra = 1, cp = lead & 0x1F;
    else if (lead >= 0xE0 && lead <= 0xEF)
        extra = 2, cp = lead & 0x0F;
    else if (lead >= 0xF0 && lead <= 0xF4)
        extra = 3, cp = lead & 0x07;
    else
        return 0xFFFD;
    for (int k = 0; k < extra; ++k) {
        if (i >= n || (s[i] & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (s[i++] & 0x3F);
    }
    const bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
    return cp;
}

bool PathIsTaken(const std::string& utf8Path) {
    struct stat st;
    return lstat(utf8Path.c_str(), &st) == 0;
}

struct WidePathParts {
    std::u16string dir, fname, ext;
};

WidePathParts SplitWidePath(const std::u16string& path) {
    WidePathParts parts;
    if (!path.empty() && path.back() == u'/') {
        parts.dir = path;
        return parts;
    }
    const size_t slash = path.rfind(u'/');
    const size_t fileStart = slash == std::u16string::npos ? 0 : slash + 1;
    parts.dir = path.substr(0, fileStart);
    const std::u16string file = path.substr(fileStart);
    const size_t dot = file.rfind(u'.');
    if (dot == std::u16string::npos) {
        parts.fname = file;
    } else {
        parts.fname = file.substr(0, dot);
        parts.ext = file.substr(dot);
    }
    return parts;
}

std::u16string Utf16Of(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

void CopyBounded(char* dst, const std::string& src, size_t size) {
    if (dst == nullptr || size == 0) return;
    const size_t n = std::min(src.size(), size - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

}  // namespace

int inner_initUnicodeMap(const char* pszCharset) {
    if (pszCharset == nullptr) return -1;
    std::snprintf(g_szCharset, sizeof g_szCharset, "%s", pszCharset);
    if (g_toCharset != kClosed) iconv_close(g_toCharset);
    if (g_fromCharset != kClosed) iconv_close(g_fromCharset);
    g_fromCharset = kClosed;
    g_toCharset = iconv_open(g_szCharset, "UNICODELITTLE");
    if (g_toCharset == kClosed) return -1;
    g_fromCharset = iconv_open("UNICODELITTLE", g_szCharset);
    if (g_fromCharset == kClosed) {
        iconv_close(g_toCharset);
        g_toCharset = kClosed;
        return -1;
    }
    return 0;
}

int inner_uni2str(char* pDst, const char16_t* pSrc, int nDstSize, int nSrcLen) {
    if (pDst == nullptr || pSrc == nullptr || nDstSize <= 0) return -1;
    const std::string converted = WideToUtf8(std::u16string(pSrc, SourceUnits(pSrc, nSrcLen)));
    const size_t n = FitUtf8(converted, static_cast<size_t>(nDstSize) - 1);
    std::memcpy(pDst, converted.data(), n);
    pDst[n] = '\0';
    return static_cast<int>(n);
}

int inner_str2uni(char16_t* pDst, const char* pSrc, int nDstSize, int nSrcLen) {
    if (pDst == nullptr || pSrc == nullptr || nDstSize <= 0) return -1;
    const size_t bytes = nSrcLen < 0 ? std::strlen(pSrc) : static_cast<size_t>(nSrcLen);
    const std::u16string converted = Utf8ToWide(std::string(pSrc, bytes).c_str());
    const size_t n = FitWide(converted, static_cast<size_t>(nDstSize) - 1);
    std::memcpy(pDst, converted.data(), n * sizeof(char16_t));
    pDst[n] = u'\0';
    return static_cast<int>(n);
}

int Unicode2Ansi(const char16_t* pSrc, char* pDst, int nDstSize) {
    return inner_uni2str(pDst, pSrc, nDstSize, -1) < 0 ? -1 : 0;
}

int Ansi2Unicode(const char* pSrc, char16_t* pDst, int nDstSize) {
    return inner_str2uni(pDst, pSrc, nDstSize, -1) < 0 ? -1 : 0;
}

std::string Unicode2Ansi(const char16_t* pSrc) {
    return WideToUtf8(pSrc);
}

std::u16string Ansi2Unicode(const char* pSrc) {
    return Utf8ToWide(pSrc);
}

int SetOemCodePage(const char* pszCodePage) {
    if (pszCodePage == nullptr || std::strlen(pszCodePage) >= sizeof g_szOemCodePage) return EINVAL;
    const iconv_t probe = iconv_open("UTF-8", pszCodePage);
    if (probe == kClosed) return EINVAL;
    iconv_close(probe);
    std::snprintf(g_szOemCodePage, sizeof g_szOemCodePage, "%s", pszCodePage);
    return 0;
}

const char* GetOemCodePage() {
    return g_szOemCodePage;
}

std::string OemToUtf8(const unsigned char* pBytes, size_t nBytes) {
    std::string out;
    bool ascii = true;
    for (size_t i = 0; i < nBytes && ascii; ++i) ascii = pBytes[i] < 0x80;
    if (ascii) return std::string(reinterpret_cast<const char*>(pBytes), nBytes);
    // iconv descriptors carry state and must not be shared between threads: each thread keeps
    // its own, reopened when the code page changed.
    struct Decoder {
        std::string codePage;
        iconv_t cd = kClosed;
        ~Decoder() {
            if (cd != kClosed) iconv_close(cd);
        }
    };
    thread_local Decoder decoder;
    if (decoder.codePage != g_szOemCodePage) {
        if (decoder.cd != kClosed) iconv_close(decoder.cd);
        decoder.cd = iconv_open("UTF-8", g_szOemCodePage);
        decoder.codePage = g_szOemCodePage;
    }
    for (size_t i = 0; i < nBytes; ++i) {
        char* in = reinterpret_cast<char*>(const_cast<unsigned char*>(pBytes + i));
        size_t inLeft = 1;
        char buf[8];
        char* outPtr = buf;
        size_t outLeft = sizeof buf;
        if (pBytes[i] < 0x80) {
            out += static_cast<char>(pBytes[i]);
        } else if (decoder.cd != kClosed &&
                   iconv(decoder.cd, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
            out.append(buf, sizeof buf - outLeft);
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD: a byte the code page does not define
        }
    }
    return out;
}

size_t WideLength(const char16_t* pSrc) {
    size_t n = 0;
    if (pSrc != nullptr) {
        while (pSrc[n] != u'\0') ++n;
    }
    return n;
}

std::string WideToUtf8(const std::u16string& src) {
    std::string out;
    out.reserve(src.size());
    for (size_t i = 0; i < src.size(); ++i) {
        const char16_t c = src[i];
        if (IsHighSurrogate(c) && i + 1 < src.size() && IsLowSurrogate(src[i + 1])) {
            AppendUtf8(0x10000 + ((char32_t(c) - 0xD800) << 10) + (src[i + 1] - 0xDC00), out);
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            AppendUtf8(0xFFFD, out);
        } else {
            AppendUtf8(c, out);
        }
    }
    return out;
}

std::string WideToUtf8(const char16_t* pSrc) {
    return pSrc == nullptr ? std::string() : WideToUtf8(std::u16string(pSrc));
}

std::u16string Utf8ToWide(const char* pSrc) {
    std::u16string out;
    if (pSrc == nullptr) return out;
    const size_t n = std::strlen(pSrc);
    const auto* s = reinterpret_cast<const unsigned char*>(pSrc);
    for (size_t i = 0; i < n;) AppendUtf16(DecodeUtf8(s, n, i), out);
    return out;
}

int GetExtendName(const char* pszName, char* pszExt, size_t nExtSize) {
    if (pszName == nullptr || pszExt == nullptr) return RESULT_INVALID_ARGUMENT;
    const char* dot = std::strrchr(pszName, '.');
    if (dot == nullptr) return RESULT_INVALID_ARGUMENT;
    CopyBounded(pszExt, dot + 1, nExtSize);
    return 0;
}

void _splitpath(const char* pszPath, char* pszDrive, char* pszDir, char* pszFname, char* pszExt,
                size_t nBufSize) {
    CopyBounded(pszDrive, "", nBufSize);
    std::string dir, fname, ext;
    if (pszPath != nullptr) {
        // Split bytewise: '/' and '.' are ASCII and never the second byte of a GB2312 pair.
        const std::string path = pszPath;
        if (!path.empty() && path.back() == '/') {
            dir = path;
        } else {
            const size_t slash = path.rfind('/');
            const size_t fileStart = slash == std::string::npos ? 0 : slash + 1;
            dir = path.substr(0, fileStart);
            const std::string file = path.substr(fileStart);
            const size_t dot = file.rfind('.');
            fname = dot == std::string::npos ? file : file.substr(0, dot);
            ext = dot == std::string::npos ? std::string() : file.substr(dot);
        }
    }
    CopyBounded(pszDir, dir, nBufSize);
    CopyBounded(pszFname, fname, nBufSize);
    CopyBounded(pszExt, ext, nBufSize);
}

int GetRealFileName(const char16_t* pszPath, char16_t* pszOut, int nOutSize) {
    if (pszPath == nullptr || pszOut == nullptr || nOutSize <= 0) return RESULT_INVALID_ARGUMENT;
    const std::u16string path = pszPath;
    std::u16string chosen = path;
    if (PathIsTaken(WideToUtf8(path))) {
        const WidePathParts parts = SplitWidePath(path);
        for (unsigned long long i = 1;; ++i) {
            chosen = parts.dir + parts.fname + u"(" + Utf16Of(std::to_string(i)) + u")" + parts.ext;
            if (!PathIsTaken(WideToUtf8(chosen))) break;
        }
    }
    // A cut name could point at an existing file; refuse rather than truncate.
    if (chosen.size() + 1 > static_cast<size_t>(nOutSize)) {
        pszOut[0] = u'\0';
        return ENAMETOOLONG;
    }
    std::memcpy(pszOut, chosen.c_str(), (chosen.size() + 1) * sizeof(char16_t));
    return 0;
}

int GetRealFileName(const char* pszPath, char16_t* pszOut, int nOutSize) {
    if (pszPath == nullptr || pszOut == nullptr || nOutSize <= 0) return RESULT_INVALID_ARGUMENT;
    return GetRealFileName(Utf8ToWide(pszPath).c_str(), pszOut, nOutSize);
}

int GetPathDirIndex(const char16_t* pszPath, unsigned int& uCount) {
    uCount = 0;
    const size_t n = WideLength(pszPath);
    for (size_t i = 0; i + 1 < n; ++i) {
        if (pszPath[i] == u'/' || pszPath[i] == u'\\') ++uCount;
    }
    return 0;
}

char* GetCharLowerA(char* psz) {
    for (char* p = psz; p != nullptr && *p != '\0'; ++p) {
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
    }
    return psz;
}

char16_t* GetCharLowerW(char16_t* psz) {
    for (char16_t* p = psz; p != nullptr && *p != u'\0'; ++p) {
        if (*p >= u'A' && *p <= u'Z') *p = static_cast<char16_t>(*p - u'A' + u'a');
    }
    return psz;
}

std::string GetFileSizeString(long long llBytes) {
    char text[64];
    const double bytes = static_cast<double>(llBytes);
    if (llBytes >= (1LL << 40))
        std::snprintf(text, sizeof text, "%.2f TB", bytes / (1LL << 40));
    else if (llBytes >= (1LL << 30))
        std::snprintf(text, sizeof text, "%.2f GB", bytes / (1LL << 30));
    else if (llBytes >= (1LL << 20))
        std::snprintf(text, sizeof text, "%.2f MB", bytes / (1LL << 20));
    else if (llBytes < 1024)
        std::snprintf(text, sizeof text, "%lld Bytes", llBytes);
    else
        std::snprintf(text, sizeof text, "%.2f KB", bytes / 1024);
    return text;
}

std::string GetTimeString(long long llSeconds) {
    char text[64];
    if (llSeconds >= 3600) {
        const long long hours = llSeconds / 3600;
        std::snprintf(text, sizeof text, "%lld Hour %lld Min", hours,
                      (llSeconds - hours * 3600) / 60);
    } else if (llSeconds < 60) {
        std::snprintf(text, sizeof text, "%lld Sec", llSeconds);
    } else {
        std::snprintf(text, sizeof text, "%lld Min %lld Sec", llSeconds / 60, llSeconds % 60);
    }
    return text;
}
