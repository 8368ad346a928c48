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

using ferrowen::test::TempDir;

std::string Gb(const char16_t* wide) {
    return Unicode2Ansi(wide);
}

TEST(TextConversion, ChineseCyrillicAndAccentedNamesSurviveTheRoundTrip) {
    for (const char16_t* name :
         {u"照片.jpg", u"Фото.txt", u"café déjà.doc", u"Jürgen", u"plain ascii.TXT", u""}) {
        const std::string cstring = Gb(name);
        EXPECT_EQ(Ansi2Unicode(cstring.c_str()), std::u16string(name)) << WideToUtf8(name);
    }
    EXPECT_EQ(Gb(u"中"), "\xD6\xD0");  // GB2312 bytes, not UTF-8
    EXPECT_EQ(Gb(u"Фото").size(), 8u);
}

TEST(TextConversion, CharactersGb2312LacksBecomeQuestionMarks) {
    EXPECT_EQ(Gb(u"søren"), "s?ren");
    EXPECT_EQ(Gb(u"a€b"), "a?b");
    EXPECT_EQ(Gb(u"x\U0001F600y"), "x?y");  // one mark for a whole surrogate pair
    EXPECT_EQ(Gb(u"\xD800z"), "?z");        // an unpaired surrogate
    EXPECT_EQ(Ansi2Unicode("\xFF\xFF"
                           "ab"),
              u"??ab");
    EXPECT_EQ(Ansi2Unicode("ab\xD6"), u"ab?");  // a lead byte cut off at the end
}

TEST(TextConversion, BufferFormsCopyOnlyWhatFitsAndNeverSplitACharacter) {
    char narrow[5];
    EXPECT_EQ(inner_uni2str(narrow, u"中文名", sizeof narrow, -1), 4);
    EXPECT_EQ(std::string(narrow), Gb(u"中文"));
    EXPECT_EQ(inner_uni2str(narrow, u"中文名", 4, -1), 2);
    EXPECT_EQ(Unicode2Ansi(u"abcdef", narrow, sizeof narrow), 0);
    EXPECT_STREQ(narrow, "abcd");

    char16_t wide[3];
    EXPECT_EQ(inner_str2uni(wide,
                            "\xD6\xD0"
                            "abc",
                            3, -1),
              2);
    EXPECT_EQ(std::u16string(wide), u"中a");
    char16_t pairRoom[2];
    std::u16string emoji = u"\U0001F600";
    EXPECT_EQ(WideToUtf8(emoji), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Ansi2Unicode("abc", pairRoom, 2), 0);
    EXPECT_EQ(std::u16string(pairRoom), u"a");
    EXPECT_EQ(inner_uni2str(narrow, u"abc", 5, 2), 2);  // an explicit source length
    EXPECT_STREQ(narrow, "ab");
    EXPECT_EQ(inner_uni2str(nullptr, u"a", 5, -1), -1);
}

TEST(TextConversion, Utf8FormsForTheFileSystem) {
    EXPECT_EQ(WideToUtf8(u"照片/Фото é"), "照片/Фото é");
    EXPECT_EQ(Utf8ToWide("照片/Фото é"), u"照片/Фото é");
    EXPECT_EQ(Utf8ToWide("a\xC0\xAF"
                         "b"),
              u"a\uFFFD\uFFFDb");  // overlong '/' is not a '/'
    EXPECT_EQ(Utf8ToWide("\xE2\x82"), u"\uFFFD");
    EXPECT_EQ(WideToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
}

TEST(TextConversion, StartUpMapAcceptsUtf8AndRefusesNonsense) {
    EXPECT_EQ(inner_initUnicodeMap("UTF-8"), 0);
    EXPECT_EQ(inner_initUnicodeMap("NO-SUCH-CHARSET"), -1);
    EXPECT_EQ(inner_initUnicodeMap("UTF-8"), 0);
}

TEST(Paths, ExtensionIsEverythingAfterTheLastDotOfTheWholeString) {
    char ext[8] = "keep";
    EXPECT_EQ(GetExtendName("archive.tar.gz", ext, sizeof ext), 0);
    EXPECT_STREQ(ext, "gz");
    EXPECT_EQ(GetExtendName("folder.d/README", ext, sizeof ext), 0);
    EXPECT_STREQ(ext, "d/READM");  // cut to the buffer
    std::strcpy(ext, "keep");
    EXPECT_EQ(GetExtendName("noext", ext, sizeof ext), RESULT_INVALID_ARGUMENT);
    EXPECT_STREQ(ext, "keep");
    EXPECT_EQ(GetExtendName(nullptr, ext, sizeof ext), RESULT_INVALID_ARGUMENT);
}

struct Split {
    char drive[64], dir[64], fname[64], ext[64];
};
Split SplitOf(const char* path) {
    Split s;
    _splitpath(path, s.drive, s.dir, s.fname, s.ext, sizeof s.dir);
    return s;
}

TEST(Paths, SplitPathPartsAndCorners) {
    Split s = SplitOf("/Volumes/disk/a.b.jpg");
    EXPECT_STREQ(s.drive, "");
    EXPECT_STREQ(s.dir, "/Volumes/disk/");
    EXPECT_STREQ(s.fname, "a.b");
    EXPECT_STREQ(s.ext, ".jpg");
    s = SplitOf(".profile");
    EXPECT_STREQ(s.dir, "");
    EXPECT_STREQ(s.fname, "");
    EXPECT_STREQ(s.ext, ".profile");
    s = SplitOf("dir/");
    EXPECT_STREQ(s.dir, "dir/");
    EXPECT_STREQ(s.fname, "");
    EXPECT_STREQ(s.ext, "");
    s = SplitOf(nullptr);
    EXPECT_STREQ(s.dir, "");
    s = SplitOf("a.d/notes");
    EXPECT_STREQ(s.fname, "notes");
    EXPECT_STREQ(s.ext, "");
}

void Touch(const std::string& path) {
    std::ofstream(path) << "x";
}

TEST(Paths, RealFileNameNeverPicksATakenName) {
    TempDir dir;
    const std::string base = dir.path() + "/";
    char16_t out[512];
    ASSERT_EQ(GetRealFileName((base + "x.jpg").c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), base + "x.jpg");

    Touch(base + "x.jpg");
    Touch(base + "x(1).jpg");
    ASSERT_EQ(GetRealFileName((base + "x.jpg").c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), base + "x(2).jpg");

    Touch(base + "notes");
    ASSERT_EQ(GetRealFileName((base + "notes").c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), base + "notes(1)");

    // A dangling link is a name that exists: writing through it would create its target.
    ASSERT_EQ(symlink("/nonexistent/target", (base + "link.txt").c_str()), 0);
    ASSERT_EQ(GetRealFileName((base + "link.txt").c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), base + "link(1).txt");
}

TEST(Paths, RealFileNameTestsExistenceOnTheUtf8Path) {
    TempDir dir;
    const std::string utf8 = dir.path() + "/照片.jpg";
    Touch(utf8);
    const std::string gb = Unicode2Ansi(Utf8ToWide(utf8.c_str()).c_str());
    char16_t out[512];
    ASSERT_EQ(GetRealFileName(gb.c_str(), out, 512), 0);
    EXPECT_EQ(WideToUtf8(out), dir.path() + "/照片(1).jpg");
    // The wide form keeps names GB2312 cannot hold.
    Touch(dir.path() + "/søren.txt");
    ASSERT_EQ(GetRealFileName(Utf8ToWide((dir.path() + "/søren.txt").c_str()).c_str(), out, 512),
              0);
    EXPECT_EQ(WideToUtf8(out), dir.path() + "/søren(1).txt");
}

// A path exactly as long as the buffer has no room for its terminator: it is refused, and
// nothing is written past the buffer (the unit after it is a sentinel).
TEST(Paths, RealFileNameRefusesANameWithoutRoomForItsTerminator) {
    TempDir dir;
    const std::u16string path = Utf8ToWide((dir.path() + "/long-name.jpg").c_str());
    std::vector<char16_t> out(path.size() + 1, u'#');
    const int size = static_cast<int>(path.size());
    EXPECT_EQ(GetRealFileName(path.c_str(), out.data(), size), ENAMETOOLONG);
    EXPECT_EQ(out[0], u'\0');
    EXPECT_EQ(out[path.size()], u'#');
    EXPECT_EQ(GetRealFileName(path.c_str(), out.data(), size + 1), 0);
    EXPECT_EQ(std::u16string(out.data()), path);
    char16_t wide[5] = {u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(inner_str2uni(wide, "abcd", 4, -1), 3);  // cut, terminated inside the buffer
    EXPECT_EQ(wide[4], u'#');
}

TEST(Paths, DirIndexCountsSeparatorsButTheLastUnit) {
    unsigned int n = 99;
    GetPathDirIndex(u"/home/user/out/", n);
    EXPECT_EQ(n, 3u);
    GetPathDirIndex(u"a\\b/c", n);
    EXPECT_EQ(n, 2u);
    GetPathDirIndex(u"/", n);
    EXPECT_EQ(n, 0u);
    GetPathDirIndex(nullptr, n);
    EXPECT_EQ(n, 0u);
}

TEST(Paths, LowerCasingTouchesOnlyAsciiLetters) {
    char narrow[] = "ABC\xD6\xD0xyZ";
    EXPECT_STREQ(GetCharLowerA(narrow), "abc\xD6\xD0xyz");
    char16_t wide[] = u"ÀBÇd";
    EXPECT_EQ(std::u16string(GetCharLowerW(wide)), std::u16string(u"ÀbÇd"));
}

TEST(DisplayTexts, SizesPickTheLargestFittingUnit) {
    EXPECT_EQ(GetFileSizeString(0), "0 Bytes");
    EXPECT_EQ(GetFileSizeString(1023), "1023 Bytes");
    EXPECT_EQ(GetFileSizeString(1536), "1.50 KB");
    EXPECT_EQ(GetFileSizeString(1048576), "1.00 MB");
    EXPECT_EQ(GetFileSizeString(3LL << 30), "3.00 GB");
    EXPECT_EQ(GetFileSizeString(5LL << 40), "5.00 TB");
}

TEST(DisplayTexts, DurationsDropSecondsOnceAnHourIsReached) {
    EXPECT_EQ(GetTimeString(59), "59 Sec");
    EXPECT_EQ(GetTimeString(60), "1 Min 0 Sec");
    EXPECT_EQ(GetTimeString(125), "2 Min 5 Sec");
    EXPECT_EQ(GetTimeString(3600), "1 Hour 0 Min");
    EXPECT_EQ(GetTimeString(3725), "1 Hour 2 Min");
}

}  // namespace
