// Text, path and display helpers.
//
// Two encodings meet in this program: wide strings (zero-terminated UTF-16, char16_t) that
// the front ends hand to the engines, and C strings in UTF-8 that records, stores, search keys
// and paths handed to the file system hold. Every name of every script converts both ways
// without loss; an unpaired surrogate or a malformed byte becomes U+FFFD, never an error. A
// C string cut to fit a buffer is never cut inside a character.
//
// FAT short names are bytes in the volume's OEM code page (CP850 unless SetOemCodePage says
// otherwise); OemToUtf8 turns them into record text.
//
// Every function that writes into a caller's buffer is given the buffer's capacity, copies
// no more than fits and always terminates the result.
#pragma once

#include <string>

// Opens the two "UNICODELITTLE" <-> charset handles kept for the program's life. 0 or -1;
// both handles stay closed on failure.
int inner_initUnicodeMap(const char* pszCharset);

// Wide -> C string (UTF-8). nSrcLen in units, negative for "up to the terminator".
// Returns the length of the result in bytes, or -1 for a missing buffer.
int inner_uni2str(char* pDst, const char16_t* pSrc, int nDstSize, int nSrcLen);
// C string (UTF-8) -> wide. Returns the length of the result in units, or -1.
int inner_str2uni(char16_t* pDst, const char* pSrc, int nDstSize, int nSrcLen);

int Unicode2Ansi(const char16_t* pSrc, char* pDst, int nDstSize);  // 0 or -1
int Ansi2Unicode(const char* pSrc, char16_t* pDst, int nDstSize);  // 0 or -1
std::string Unicode2Ansi(const char16_t* pSrc);
std::u16string Ansi2Unicode(const char* pSrc);

// The code page short names are decoded with ("CP437", "CP850", ...). 0, or EINVAL when the
// system cannot convert from it (the code page stays as it was). Set before scans start.
int SetOemCodePage(const char* pszCodePage);
const char* GetOemCodePage();
// Short-name bytes -> UTF-8; a byte the code page does not define becomes U+FFFD.
std::string OemToUtf8(const unsigned char* pBytes, size_t nBytes);

// UTF-8 forms for the file system. Unpaired surrogates and malformed bytes become U+FFFD.
std::string WideToUtf8(const char16_t* pSrc);
std::string WideToUtf8(const std::u16string& src);
std::u16string Utf8ToWide(const char* pSrc);
size_t WideLength(const char16_t* pSrc);

// Everything after the last '.' of the whole string. 0, or RESULT_INVALID_ARGUMENT for a null
// argument or a name without a dot (ext then untouched).
int GetExtendName(const char* pszName, char* pszExt, size_t nExtSize);

// Splits a path into drive (always ""), folder (with its final '/'), file name and extension
// (with its dot). Each output buffer holds nBufSize bytes.
void _splitpath(const char* pszPath, char* pszDrive, char* pszDir, char* pszFname, char* pszExt,
                size_t nBufSize);

// A name under which a recovered file can be written without overwriting anything: the path
// itself when nothing exists there, else the first free "name(1).ext", "name(2).ext", ...
// Existence is tested on the UTF-8 path, and a dangling link counts as taken.
// Returns 0, ENAMETOOLONG when the chosen name does not fit in nOutSize units, -1 when the path
// cannot be converted.
int GetRealFileName(const char* pszPath, char16_t* pszOut, int nOutSize);
// The same for a wide path, which keeps characters GB2312 cannot hold.
int GetRealFileName(const char16_t* pszPath, char16_t* pszOut, int nOutSize);

// Number of '/' and '\' among all units but the last. Always returns 0.
int GetPathDirIndex(const char16_t* pszPath, unsigned int& uCount);

char* GetCharLowerA(char* psz);          // ASCII A-Z only, in place
char16_t* GetCharLowerW(char16_t* psz);  // ASCII A-Z only, in place

std::string GetFileSizeString(long long llBytes);  // "1.50 KB", "1023 Bytes", ...
std::string GetTimeString(long long llSeconds);    // "2 Min 5 Sec", "1 Hour 2 Min", ...
