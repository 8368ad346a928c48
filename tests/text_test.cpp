// Text conversions between wide strings and UTF-8, path helpers and display texts.
#include "foundation/text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/result.h"
#include "support/fixture.h"

namespace {

// Record names are UTF-8: every script survives the round trip exactly.
TEST(TextConversion, NamesOfEveryScriptSurviveTheRoundTrip) {
    for (const char16_t* name :
         {u"照片.jpg", u"Фото.txt", u"café déjà.doc", u"Großmutter 3.jpg", u"Lied für Jörg.mid",
          u"søren", u"a€b", u"x\U0001F600y", u"plain.TXT", u""})
        EXPECT_EQ(Ansi2Unicode(Unicode2Ansi(name).c_str()), name) << WideToUtf8(name);
    EXPECT_EQ(Unicode2Ansi(u"Ältere"), "\xC3\x84ltere");
    EXPECT_EQ(Unicode2Ansi(u"\xD800z"), "\xEF\xBF\xBDz");  // an unpaired surrogate
    EXPECT_EQ(inner_initUnicodeMap("NO-SUCH-CHARSET"), -1);
    EXPECT_EQ(inner_initUnicodeMap("UTF-8"), 0);
}

TEST(TextConversion, BufferFormsCopyOnlyWhatFitsAndNeverSplitACharacter) {
    char narrow[8];
    EXPECT_EQ(inner_uni2str(narrow, u"中文名", sizeof narrow, -1), 6);  // 3 bytes each
    EXPECT_EQ(std::string(narrow), Unicode2Ansi(u"中文"));
    EXPECT_EQ(inner_uni2str(narrow, u"中文名", 6, -1), 3);
    EXPECT_EQ(inner_uni2str(narrow, u"a\U0001F600", 5, -1), 1);  // a 4-byte character whole
    EXPECT_EQ(Unicode2Ansi(u"abcdefghij", narrow, sizeof narrow), 0);
    EXPECT_STREQ(narrow, "abcdefg");
    EXPECT_EQ(inner_uni2str(narrow, u"abc", 5, 2), 2);  // an explicit source length
    EXPECT_STREQ(narrow, "ab");
    EXPECT_EQ(inner_uni2str(nullptr, u"a", 5, -1), -1);
    EXPECT_EQ(inner_uni2str(narrow, u"abc", 0, -1), -1);  // no room even for the terminator
    EXPECT_STREQ(narrow, "ab");
    char16_t wide[5] = {u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(inner_str2uni(wide,
                            "\xE4\xB8\xAD"
                            "abc",
                            3, -1),
              2);
    EXPECT_EQ(std::u16string(wide), u"中a");
    EXPECT_EQ(inner_str2uni(wide, "abcd", 4, -1), 3);  // cut, terminated inside the buffer
    EXPECT_EQ(wide[4], u'#');
    EXPECT_EQ(Ansi2Unicode("abc", wide, 2), 0);
    EXPECT_EQ(std::u16string(wide), u"a");
    EXPECT_EQ(inner_str2uni(wide, "abc", 0, -1), -1);  // no room even for the terminator
    EXPECT_EQ(std::u16string(wide), u"a");
}

TEST(TextConversion, Utf8FormsForTheFileSystem) {
    EXPECT_EQ(WideToUtf8(u"照片/Фото é"), "照片/Фото é");
    EXPECT_EQ(Utf8ToWide("照片/Фото é"), u"照片/Фото é");
    EXPECT_EQ(WideToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToWide("a\xC0\xAF"
                         "b"),
              u"a\uFFFD\uFFFDb");  // an overlong '/' is no '/'
    EXPECT_EQ(Utf8ToWide("\xE2\x82"), u"\uFFFD");
    EXPECT_EQ(WideToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST(Paths, ExtensionAndSplitPathCorners) {
    char ext[8] = "keep";
    EXPECT_EQ(GetExtendName("archive.tar.gz", ext, sizeof ext), 0);
    EXPECT_STREQ(ext, "gz");
    EXPECT_EQ(GetExtendName("folder.d/README", ext, sizeof ext), 0);
    EXPECT_STREQ(ext, "d/READM");  // after the last dot of the whole string, cut to the buffer
    std::strcpy(ext, "keep");
    EXPECT_EQ(GetExtendName("noext", ext, sizeof ext), RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(ext, "keep");
    EXPECT_EQ(GetExtendName(nullptr, ext, sizeof ext), RESULT_INVALID_ARGUMENT);
    const struct {
        const char *path, *dir, *fname, *ext;
    } cases[] = {{"/Volumes/disk/a.b.jpg", "/Volumes/disk/", "a.b", ".jpg"},
                 {".profile", "", "", ".profile"},
                 {"dir/", "dir/", "", ""},
                 {nullptr, "", "", ""},
                 {"a.d/notes", "a.d/", "notes", ""}};
    for (const auto& c : cases) {
        char drive[64] = "x", dir[64], fname[64], extension[64];
        _splitpath(c.path, drive, dir, fname, extension, sizeof dir);
        EXPECT_EQ(std::string(drive) + "|" + dir + "|" + fname + "|" + extension,
                  std::string("|") + c.dir + "|" + c.fname + "|" + c.ext);
    }
}

// A name under which nothing exists yet, also not a dangling link (writing through it would
// create its target); existence is tested on the UTF-8 form of a narrow or wide path.
TEST(Paths, RealFileNameNeverPicksATakenNameNorWritesPastTheBuffer) {
    ferrowen::test::TempDir dir;
    const std::string base = dir.path() + "/";
    for (const char* name : {"x.jpg", "x(1).jpg", "notes", "照片.jpg", "søren.txt"})
        std::ofstream(base + name) << "x";
    ASSERT_EQ(symlink("/nonexistent/target", (base + "link.txt").c_str()), 0);
    const struct {
        std::string path, chosen;
    } cases[] = {{"y.jpg", "y.jpg"},
                 {"x.jpg", "x(2).jpg"},
                 {"notes", "notes(1)"},
                 {"link.txt", "link(1).txt"},
                 {"照片.jpg", "照片(1).jpg"}};
    char16_t out[512];
    for (const auto& c : cases) {
        const std::string gb = Unicode2Ansi(Utf8ToWide((base + c.path).c_str()).c_str());
        ASSERT_EQ(GetRealFileName(gb.c_str(), out, 512), 0);
        EXPECT_EQ(WideToUtf8(out), base + c.chosen);
    }
    ASSERT_EQ(GetRealFileName(Utf8ToWide((base + "søren.txt").c_str()).c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), base + "søren(1).txt");
    // A path exactly as long as the buffer has no room for its terminator: it is refused, and
    // nothing is written past the buffer (the unit after it is a sentinel).
    const std::u16string path = Utf8ToWide((base + "long-name.jpg").c_str());
    std::vector<char16_t> exact(path.size() + 1, u'#');
    const int size = static_cast<int>(path.size());
    EXPECT_EQ(GetRealFileName(path.c_str(), exact.data(), size), ENAMETOOLONG);
    EXPECT_EQ(exact[0], u'\0');
    EXPECT_EQ(exact[path.size()], u'#');
    EXPECT_EQ(GetRealFileName(path.c_str(), exact.data(), size + 1), 0);
    EXPECT_EQ(std::u16string(exact.data()), path);
}

TEST(Paths, DirIndexCountsSeparatorsButTheLastUnitAndLowerCasingOnlyAsciiLetters) {
    for (auto [path, separators] : {std::pair<const char16_t*, unsigned>{u"/home/user/out/", 3},
                                    {u"a\\b/c", 2},
                                    {u"/", 0},
                                    {nullptr, 0}}) {
        unsigned int n = 99;
        GetPathDirIndex(path, n);
        EXPECT_EQ(n, separators);
    }
    char narrow[] = "ABC\xD6\xD0xyZ@[";
    EXPECT_STREQ(GetCharLowerA(narrow), "abc\xD6\xD0xyz@[");
    char16_t wide[] = u"ÀBÇdZ@[";
    EXPECT_EQ(std::u16string(GetCharLowerW(wide)), std::u16string(u"ÀbÇdz@["));
}

TEST(DisplayTexts, SizesAndDurationsPickTheLargestFittingUnit) {
    for (auto [bytes, text] : {std::pair<long long, const char*>{0, "0 Bytes"},
                               {1023, "1023 Bytes"},
                               {1024, "1.00 KB"},
                               {1536, "1.50 KB"},
                               {1048576, "1.00 MB"},
                               {3LL << 30, "3.00 GB"},
                               {5LL << 40, "5.00 TB"}})
        EXPECT_EQ(GetFileSizeString(bytes), text);
    for (auto [seconds, text] : {std::pair<long long, const char*>{59, "59 Sec"},
                                 {60, "1 Min 0 Sec"},
                                 {3599, "59 Min 59 Sec"},
                                 {3600, "1 Hour 0 Min"},
                                 {3725, "1 Hour 2 Min"}})
        EXPECT_EQ(GetTimeString(seconds), text);
}

}  // namespace
