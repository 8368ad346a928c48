// Archive and container lengths from their own structure: gzip, bzip2 and xz decoded by their
// libraries, tar, ZIP, SQLite and compound documents walked record by record.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include <random>
#include <string>

#include "carving/formats/bzip2.h"
#include "carving/formats/compound.h"
#include "carving/formats/gzip.h"
#include "carving/formats/sqlite.h"
#include "carving/formats/tar.h"
#include "carving/formats/xz.h"
#include "carving/formats/zip.h"
#include "carving_test_support.h"

namespace {

using carving::FormatLength;
using FormatLengthFunc = FormatLength (*)(carving::CarveContext&);
using namespace carving_test;
using J = CFileTypeJudge;

// Text that compresses somewhat, so that the streams span several reads.
Blob SampleText(size_t n) {
    std::mt19937 rng(1);
    Blob text(n);
    for (unsigned char& c : text) c = static_cast<unsigned char>('a' + rng() % 7);
    return text;
}

// The file, then the given tail, then random bytes up to a whole number of sectors and one
// more sector of them.
Blob OnDevice(const Blob& file, const Blob& tail = {}) {
    Blob device = Cat(file, tail);
    const size_t padded = (device.size() / kSector + 2) * kSector;
    return Cat(device, Noise(padded - device.size(), 99));
}

Blob Gzip(const Blob& in) {
    z_stream z{};
    EXPECT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY));
    Blob out(deflateBound(&z, in.size()) + 32);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&z, Z_FINISH));
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Blob Bzip2(const Blob& in) {
    Blob out(in.size() + in.size() / 100 + 700);
    unsigned int n = static_cast<unsigned int>(out.size());
    EXPECT_EQ(BZ_OK,
              BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &n,
                                       const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                       static_cast<unsigned int>(in.size()), 1, 0, 0));
    out.resize(n);
    return out;
}

Blob Xz(const Blob& in) {
    Blob out(lzma_stream_buffer_bound(in.size()));
    size_t n = 0;
    EXPECT_EQ(LZMA_OK, lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, in.data(), in.size(),
                                               out.data(), &n, out.size()));
    out.resize(n);
    return out;
}

// ---- Compressed streams -------------------------------------------------------------------

struct StreamCase {
    const char* name;
    Blob (*encode)(const Blob&);
    FormatLengthFunc length;
    Blob joint;  // what may stand between two streams of one file
};

class CompressedStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(CompressedStreamTest, EndsAfterTheLastWholeStreamAndRefusesACorruptFirst) {
    const StreamCase& c = GetParam();
    const Blob first = c.encode(SampleText(150000));
    const Blob second = c.encode(SampleText(700));
    // Concatenated streams are one file, whatever follows: random bytes or zeros.
    const Blob both = Cat(Cat(first, c.joint), second);
    EXPECT_TRUE(IsExactLength(Measure(c.length, OnDevice(both)), both.size()));
    EXPECT_TRUE(IsExactLength(Measure(c.length, OnDevice(both, Blob(3000, 0))), both.size()));
    // A second stream that breaks off is another file's business.
    Blob cut = Cat(first, second);
    cut.resize(first.size() + second.size() / 2);
    EXPECT_TRUE(IsExactLength(Measure(c.length, OnDevice(cut)), first.size()));
    // A first stream whose closing checksum or end marker is damaged is refused, however much
    // follows it.
    Blob damaged = first;
    for (size_t i = first.size() - 12; i < first.size(); ++i) damaged[i] ^= 0x5A;
    EXPECT_TRUE(Measure(c.length, OnDevice(damaged, Noise(300000, 4))).IsRejected());
    // A device that ends inside the first stream leaves only a lower bound.
    Blob truncated(first.begin(), first.begin() + 8 * kSector);
    const FormatLength atLeast = Measure(c.length, truncated);
    EXPECT_FALSE(atLeast.IsExact());
    EXPECT_FALSE(atLeast.IsRejected());
}

INSTANTIATE_TEST_SUITE_P(
    Archives, CompressedStreamTest,
    testing::Values(StreamCase{"gzip", Gzip, carving::formats::GzipLength, {}},
                    StreamCase{"bzip2", Bzip2, carving::formats::Bzip2Length, {}},
                    StreamCase{"xz", Xz, carving::formats::XzLength, Blob(8, 0)}),
    [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

// The type the table walk gives the device's first sector, read through the device itself.
uint32_t TypeOf(const Blob& device) {
    carving::CarveScan scan;
    CMemorySectorReader reader(device.data(), device.size());
    scan.SetReadContext(&reader, kSector, 0);
    return J::GetDataBufType(scan, device.data(), kSector);
}

// A bzip2 end marker whose checksum disagrees with its blocks' is checked by decompressing.
TEST(Bzip2LengthTest, AnEndMarkerThatDisagreesWithItsBlocksIsDecompressedAndRefused) {
    Blob stream = Bzip2(SampleText(5000));
    stream[stream.size() - 2] ^= 0x10;  // inside the stream checksum
    EXPECT_TRUE(Measure(carving::formats::Bzip2Length, OnDevice(stream)).IsRejected());
}

TEST(ArchiveRecogniserTest, CompressedStreamsAreTypedByTheirHeadersOnly) {
    const Blob text = SampleText(2000);
    Blob gz = OnDevice(Gzip(text));
    const Blob bz = OnDevice(Bzip2(text));
    const Blob xz = OnDevice(Xz(text));
    EXPECT_EQ(EXT_TYPE_GZ, TypeOf(gz));
    gz[8] = 0;  // the extra flags gzip's default level writes
    EXPECT_EQ(EXT_TYPE_GZ, TypeOf(gz));
    EXPECT_EQ(EXT_TYPE_BZ2, TypeOf(bz));
    EXPECT_EQ(EXT_TYPE_XZ, TypeOf(xz));
    // A check the format does not define, under a CRC that no longer fits; a bad block size.
    EXPECT_NE(EXT_TYPE_XZ, TypeOf(Patched(xz, {{7, 2}})));
    EXPECT_NE(EXT_TYPE_BZ2, TypeOf(Patched(bz, {{4, 0x30}})));
}

// ---- tar ----------------------------------------------------------------------------------

// A ustar header; a size field of null takes the base-256 form with 1 << 80 bytes.
Bytes TarHeader(const char* name, const char* sizeField, char type = '0') {
    Bytes h(512);
    h.Text(0, name).Text(100, "0000644").Text(136, "14712345670");
    if (sizeField != nullptr) {
        h.Text(124, sizeField);
    } else {
        h.U8(124, 0x80).U8(125, 0x01);
    }
    h.U8(156, static_cast<uint8_t>(type)).Text(257, "ustar").Text(263, "00");
    std::memset(h.v.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h.v) sum += c;
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    return h.Put(148, checksum, 7);
}

Blob TarOf(const std::vector<Bytes>& headers, const std::vector<size_t>& dataBytes) {
    Blob tar;
    for (size_t i = 0; i < headers.size(); ++i) {
        tar = Cat(tar, headers[i].v);
        tar = Cat(tar, SampleText((dataBytes[i] + 511) / 512 * 512));
    }
    return tar;
}

TEST(TarLengthTest, EndsAtTheZeroBlocksAndTheRecordPaddingThatIsZero) {
    // A pax header is an entry with data of its own.
    const Blob entries = TarOf({TarHeader("PaxHeaders/a", "00000000036", 'x'),
                                TarHeader("a", "00000001751"), TarHeader("dir/", "0", '5')},
                               {30, 1001, 0});
    const Blob closed = Cat(entries, Blob(1024, 0));
    const Blob record = Cat(closed, Blob(10240 - closed.size(), 0));
    EXPECT_TRUE(IsExactLength(Measure(carving::formats::TarLength, OnDevice(record)), 10240));
    // Padding stops where the zeros stop, and never crosses the record boundary.
    EXPECT_TRUE(IsExactLength(
        Measure(carving::formats::TarLength, OnDevice(Cat(closed, Blob(512, 0)), Noise(512, 3))),
        closed.size() + 512));
    EXPECT_TRUE(IsExactLength(
        Measure(carving::formats::TarLength, OnDevice(record, Blob(20000, 0))), 10240));
    EXPECT_EQ(EXT_TYPE_TAR, TypeOf(OnDevice(record)));
}

TEST(TarLengthTest, BrokenOrHostileHeadersGiveOnlyALowerBound) {
    const Bytes first = TarHeader("a", "00000001751");
    Bytes second = TarHeader("b", "00000000010");
    second.U8(0, 'c');  // the checksum no longer matches
    const Blob broken = TarOf({first, second}, {1001, 8});
    EXPECT_TRUE(IsLowerBound(Measure(carving::formats::TarLength, OnDevice(broken)), 512 + 1024));
    // A base-256 size of 2^80 bytes, and one far past the device, end the walk at the entry.
    for (const char* size : {static_cast<const char*>(nullptr), "77777777777"}) {
        const Blob hostile = TarOf({first, TarHeader("h", size)}, {1001, 0});
        EXPECT_TRUE(IsLowerBound(Measure(carving::formats::TarLength, OnDevice(hostile)), 1536));
    }
    // Without the ustar magic the first block is no tar header.
    const Blob plain = Patched(TarOf({first}, {1001}), {{257, 'x'}});
    EXPECT_TRUE(Measure(carving::formats::TarLength, OnDevice(plain)).IsRejected());
}

// ---- SQLite -------------------------------------------------------------------------------

Bytes SqliteHeader(uint16_t pageSizeField, uint32_t pages, uint32_t changes, uint32_t valid) {
    Bytes h(100);
    h.Put(0, "SQLite format 3", 16).BE16(16, pageSizeField).U8(18, 1).U8(19, 1);
    h.U8(21, 64).U8(22, 32).U8(23, 32).BE32(24, changes).BE32(28, pages).BE32(92, valid);
    return h;
}

TEST(SqliteLengthTest, PagesTimesPageSizeWhenTheCountIsCurrent) {
    const auto measure = [](const Bytes& header, size_t deviceBytes) {
        Blob device = Noise(deviceBytes, 5);
        std::copy(header.v.begin(), header.v.end(), device.begin());
        return Measure(carving::formats::SqliteLength, device);
    };
    EXPECT_TRUE(IsExactLength(measure(SqliteHeader(1024, 3, 7, 7), 8192), 3 * 1024));
    EXPECT_TRUE(IsExactLength(measure(SqliteHeader(1, 2, 7, 7), 3 * 65536), 2 * 65536));
    // A stale count, or one past the device, is only a lower bound of one page.
    EXPECT_TRUE(IsLowerBound(measure(SqliteHeader(4096, 3, 8, 7), 65536), 4096));
    EXPECT_FALSE(measure(SqliteHeader(512, 0xFFFFFFFF, 1, 1), 8192).IsExact());
    EXPECT_TRUE(measure(SqliteHeader(1000, 3, 7, 7), 8192).IsRejected());
}

// ---- ZIP ----------------------------------------------------------------------------------

// A stored-entry archive laid out the way zip writers do, optionally with descriptors.
struct ZipBuilder {
    Blob bytes;
    Blob central;
    uint16_t entries = 0;

    void Add(const std::string& name, const Blob& data, bool descriptor) {
        const uint32_t crc =
            static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
        const uint32_t size = static_cast<uint32_t>(data.size());
        const uint32_t offset = static_cast<uint32_t>(bytes.size());
        Bytes local(30);
        local.U32(0, 0x04034B50).U16(4, 20).U16(6, descriptor ? 8 : 0);
        if (!descriptor) local.U32(14, crc).U32(18, size).U32(22, size);
        local.U16(26, static_cast<uint16_t>(name.size())).Text(30, name.c_str());
        bytes = Cat(Cat(bytes, local.v), data);
        if (descriptor) {
            bytes =
                Cat(bytes, Bytes(16).U32(0, 0x08074B50).U32(4, crc).U32(8, size).U32(12, size).v);
        }
        Bytes c(46);
        c.U32(0, 0x02014B50).U16(4, 20).U16(6, 20).U16(8, descriptor ? 8 : 0).U32(16, crc);
        c.U32(20, size).U32(24, size).U16(28, static_cast<uint16_t>(name.size()));
        c.U32(42, offset).Text(46, name.c_str());
        central = Cat(central, c.v);
        ++entries;
    }
    Blob Finish(const std::string& comment) const {
        Bytes end(22);
        end.U32(0, 0x06054B50).U16(8, entries).U16(10, entries);
        end.U32(12, static_cast<uint32_t>(central.size()));
        end.U32(16, static_cast<uint32_t>(bytes.size()));
        end.U16(20, static_cast<uint16_t>(comment.size())).Text(22, comment.c_str());
        return Cat(Cat(bytes, central), end.v);
    }
};

TEST(ZipLengthTest, EndsAfterTheEndRecordAndItsCommentWithOrWithoutDescriptors) {
    for (const bool descriptor : {false, true}) {
        SCOPED_TRACE(descriptor);
        ZipBuilder zip;
        zip.Add("a.txt", SampleText(3000), descriptor);
        // An inner archive's end record does not end the outer one.
        ZipBuilder inner;
        inner.Add("in.txt", SampleText(100), false);
        zip.Add("inner.zip", inner.Finish(""), descriptor);
        const Blob file = zip.Finish("a comment");
        EXPECT_TRUE(
            IsExactLength(Measure(carving::formats::ZipLength, OnDevice(file)), file.size()));
        EXPECT_TRUE(IsExactLength(
            Measure(carving::formats::ZipLength, OnDevice(file, Blob(900, 0))), file.size()));
    }
}

TEST(ZipLengthTest, AnEndRecordThatDisagreesWithTheWalkIsOnlyALowerBound) {
    ZipBuilder zip;
    zip.Add("a.txt", SampleText(3000), false);
    const Blob file = zip.Finish("");
    const size_t offset = file.size() - 22 + 16;  // the central directory's offset
    EXPECT_FALSE(
        Measure(carving::formats::ZipLength, OnDevice(Patched(file, {{offset, file[offset] ^ 1}})))
            .IsExact());
    // A local entry claiming 4 GiB of data runs past the device.
    const Blob huge = Patched(file, {{18, 0xFF}, {19, 0xFF}, {20, 0xFF}, {21, 0xFE}});
    EXPECT_FALSE(Measure(carving::formats::ZipLength, OnDevice(huge)).IsExact());
}

// ---- Compound documents -------------------------------------------------------------------

// A compound document of 512-byte sectors: header, allocation table in sector 0, directory in
// sector 1, `used` sectors marked in the table.
Blob Compound(uint32_t used, const std::vector<std::u16string>& names) {
    Bytes doc((used + 1) * 512);
    doc.Put(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8).U16(24, 0x3E).U16(26, 3);
    doc.U16(28, 0xFFFE).U16(30, 9).U16(32, 6).U32(44, 1).U32(48, 1).U32(60, 0xFFFFFFFE);
    doc.U32(68, 0xFFFFFFFE).U32(76, 0);
    for (size_t i = 1; i < 109; ++i) doc.U32(76 + 4 * i, 0xFFFFFFFF);
    for (uint32_t s = 0; s < 128; ++s) {
        doc.U32(512 + 4 * s, s == 0 ? 0xFFFFFFFD : s < used ? 0xFFFFFFFE : 0xFFFFFFFF);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        const size_t at = 1024 + 128 * i;
        for (size_t c = 0; c < names[i].size(); ++c) doc.U16(at + 2 * c, names[i][c]);
        doc.U16(at + 64, static_cast<uint16_t>(2 * names[i].size() + 2));
        doc.U8(at + 66, i == 0 ? 5 : 2);
    }
    return doc.v;
}

TEST(CompoundLengthTest, TypedByItsStreamsAndMeasuredByItsAllocationTable) {
    struct Case {
        std::u16string stream;
        uint32_t type;
    };
    const Case cases[] = {{u"WordDocument", EXT_TYPE_DOC},
                          {u"Workbook", EXT_TYPE_XLS},
                          {u"Book", EXT_TYPE_XLS},
                          {u"PowerPoint Document", EXT_TYPE_PPT},
                          {u"Bookmarks", EXT_TYPE_OLE}};
    for (const Case& c : cases) {
        const Blob doc = Compound(6, {u"Root Entry", c.stream});
        const Blob device = OnDevice(doc);
        EXPECT_EQ(c.type, TypeOf(device));
        EXPECT_TRUE(IsExactLength(Measure(carving::formats::CompoundLength, device), 7 * 512));
    }
    EXPECT_EQ(EXT_TYPE_FLA, TypeOf(OnDevice(Compound(6, {u"Root Entry", u"Contents", u"Page 1"}))));
}

TEST(CompoundLengthTest, AnUnreadableOrHostileTableGivesOnlyALowerBound) {
    const Blob doc = Compound(6, {u"Root Entry"});
    // Two billion table sectors, and the table in a sector the device does not have.
    for (const Blob& hostile : {Patched(doc, {{44 + 3, 0x7F}}), Patched(doc, {{76, 0x50}})}) {
        EXPECT_FALSE(Measure(carving::formats::CompoundLength, OnDevice(hostile)).IsExact());
    }
    const Blob tinySectors = Patched(doc, {{30, 7}});  // a sector size of 128 bytes
    EXPECT_TRUE(Measure(carving::formats::CompoundLength, OnDevice(tinySectors)).IsRejected());
}

// ---- PDF ----------------------------------------------------------------------------------

// A PDF with a linearized file's early end marker and one saved update, its opening padded
// so that the early marker lands at `firstEof`.
Blob PdfWithUpdates(size_t firstEof) {
    const std::string head = "%PDF-1.5\n1 0 obj\n<< /Linearized 1 >>\nendobj\n";
    std::string pdf = head + "%" + std::string(firstEof - head.size() - 2, 'x') + "\n";
    pdf += "%%EOF\n2 0 obj\n<< /Type /Catalog >>\nendobj\nxref\n0 1\ntrailer\n<< >>\n";
    pdf += "startxref\n9\n%%EOF\r\n";
    pdf += "xref\n0 1\n0000000000 65535 f \ntrailer\n<< /Prev 9 >>\nstartxref\n300\n%%EOF\n";
    return Blob(pdf.begin(), pdf.end());
}

TEST(PdfLengthTest, EndsAtTheLastEndMarkerThatNoUpdateFollows) {
    // Early markers inside the first sector, on a sector seam, and split by a read chunk's end.
    for (const size_t firstEof : {100, 1000, 512 + 65536 - 3, 512 + 65536 - 40}) {
        SCOPED_TRACE(firstEof);
        const Blob pdf = PdfWithUpdates(firstEof);
        const Carved random = CarveAtStart(OnDevice(pdf));
        EXPECT_EQ(0, random.rc);
        EXPECT_EQ(EXT_TYPE_PDF, random.type);
        EXPECT_EQ(pdf.size(), random.length);
        EXPECT_EQ(pdf.size(), CarveAtStart(OnDevice(pdf, Blob(2000, 0))).length);
    }
    // A file that ends the device, without a line end, ends at its last marker.
    const size_t shift = (kSector - (PdfWithUpdates(700).size() - 1) % kSector) % kSector;
    Blob exact = PdfWithUpdates(700 + shift);
    exact.pop_back();
    EXPECT_EQ(exact.size(), CarveAtStart(exact).length);
}

// Random bytes behind each format's magic never crash, hang or come back exact.
TEST(ArchiveLengthHostileTest, RandomBytesBehindTheMagicAreNeverExact) {
    const std::pair<FormatLengthFunc, Blob> formats[] = {
        {carving::formats::GzipLength, {0x1F, 0x8B, 0x08, 0x00}},
        {carving::formats::Bzip2Length, {'B', 'Z', 'h', '9', 0x31, 0x41, 0x59, 0x26, 0x53, 0x59}},
        {carving::formats::ZipLength, {'P', 'K', 3, 4}},
        {carving::formats::CompoundLength, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}},
        {carving::formats::SqliteLength,
         Blob(std::begin("SQLite format 3"), std::end("SQLite format 3"))},
    };
    for (uint32_t seed = 0; seed < 20; ++seed) {
        for (const auto& [fn, magic] : formats) {
            Blob device = Noise(64 * 1024, seed);
            std::copy(magic.begin(), magic.end(), device.begin());
            EXPECT_FALSE(Measure(fn, device).IsExact());
        }
    }
}

}  // namespace
