// Text, path and display helpers.
//
// Two encodings meet in this program: wide strings (zero-terminated UTF-16, char16_t) that
// the front ends hand to the engines, and C strings in GB2312 that records, stores and search
// keys hold. Conversions go through GB2312; a character GB2312 lacks becomes '?', never an
// error. Paths handed to the file system are always UTF-8 (WideToUtf8), so that a folder and
// the files written into it land in the same place whatever their names hold.
//
// Every function that writes into a caller's buffer is given the buffer's capacity, copies
// no more than fits and always terminates the result.
#pragma once

#include <string>

// Opens the two "UNICODELITTLE" <-> charset handles kept for the program's life. 0 or -1;
// both handles stay closed on failure.
int inner_initUnicodeMap(const char* pszCharset);

// Wide -> C string (GB2312). nSrcLen in units, negative for "up to the terminator".
// Returns the length of the result in bytes, or -1 when the conversion cannot run.
int inner_uni2str(char* pDst, const char16_t* pSrc, int nDstSize, int nSrcLen);
// C string (GB2312) -> wide. Returns the length of the result in units, or -1.
int inner_str2uni(char16_t* pDst, const char* pSrc, int nDstSize, int nSrcLen);

int Unicode2Ansi(const char16_t* pSrc, char* pDst, int nDstSize);  // 0 or -1
int Ansi2Unicode(const char* pSrc, char16_t* pDst, int nDstSize);  // 0 or -1
std::string Unicode2Ansi(const char16_t* pSrc);
std::u16string Ansi2Unicode(const char* pSrc);

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
