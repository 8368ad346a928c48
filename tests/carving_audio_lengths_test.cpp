// Lengths of MP3, Ogg and FLAC files from their own structure: real encoder output followed
// by noise, zeros or another file; cut and corrupted copies; hostile size fields; and the
// strictness of the recognisers that let such files be found.
#include <gtest/gtest.h>

#include <random>

#include "carving/formats/flac.h"
#include "carving/formats/mpeg_audio.h"
#include "carving/formats/ogg.h"
#include "carving/judge_internal.h"
#include "carving_test_support.h"

namespace {

using carving::CarveContext;
using carving::FormatLength;
using carving::FormatLengthFunc;
using carving_test::Bytes;
using carving_test::Cat;
using carving_test::FromHex;
using carving_test::IsExactLength;
using carving_test::IsLowerBound;
using carving_test::kSector;
using carving_test::Noise;
using carving_test::Patched;
using carving_test::Slice;
using J = CFileTypeJudge;
using Buf = carving_test::Blob;
namespace formats = carving::formats;

// Real encoder output. An MP3, 8 kHz mono, with ID3v2 and ID3v1 tags and an Info frame:
const char* const kMp3Hex =
    "494433040000000000175449543200000003000003740000000000000000000000ffe338c0000000000000000000"
    "496e666f0000000f00000007000002d0006666666666666666666666666666808080808080808080808080808099"
    "99999999999999999999999999b3b3b3b3b3b3b3b3b3b3b3b3b3b3b3cccccccccccccccccccccccccccce6e6e6e6"
    "e6e6e6e6e6e6e6e6e6e6ffffffffffffffffffffffffffff000000004c617666206c616d65000000000000000000"
    "00000024042000000000000002d0788cc31c00000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000ffe318c4000d088a84394f00004080057abd5eaf57abd9dfbf78c0"
    "ac562b19350f763f02f003400200380540e04223e61bf7efe387c6020081cc1fffffffff94f7aa400e6042021cff"
    "e318c4060eb8ae9d8194480039c2130e4ff8ad42fe80f40065ceae27305e361025031e380c80511d07cc20b06c7c"
    "65f908a42ab2245fe541511054eff2a220a82bfff487f0980fffe318c4060ce87e4001d600000040120609019812"
    "0620180ec0c4d0d10318c4640e9f613034760700c3303d030300940681e836c835689b8691b2fd5f72701a200b8c"
    "1dc00ed180ffe318c40d0f787e2c009ff2400a0140c80fe60180410622da32c60850268601280c66250013c08026"
    "02bf7928ffe8fd7ffa7fffe9ffffa79cffdfff5727a7b7dc30c30a9491ba7dffe318c40a0f287e60015d10006184"
    "d6d60100060181a60c82205084cd3b5cc5c0ecc37054c0300524fbc95cbed83e0f83818139f2e085f121ce18e51d"
    "c31ca21822a62080aa3259ffe318c4080f18ea900193400048cbc3df06c80363c0174623a8c8ff8074c618b00b8d"
    "13165f88e100373c505d6a67fffdcc17704c49fe1704c481715ffc585c55554c414d45332effe318c40600000348"
    "01c00000313030555555555555555555555555555555555555555555555555555555555555555555555555555555"
    "55555555555555555555555555555555555441477400000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "00000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000ff";
// An Opus stream of three pages:
const char* const kOpusHex =
    "4f6767530002000000000000000000000000000000000228b57201134f707573486561640101380180bb00000000"
    "004f6767530000000000000000000000000000010000004995be54012e4f707573546167730600000066666d7065"
    "670100000014000000656e636f6465723d4c617663206c69626f7075734f6767530004780c000000000000000000"
    "0002000000d343c5880412161412088310827fe309618dc01ffcc188c322a21008a48aee4c869cb05719ac2f6a87"
    "81958f91c3b8ff40089fe5b67c2335fddcbb1906efc5c69da5ca4be008836c990d59964c2b1d88e3ebc278b194bc";
// A FLAC stream of 8-bit mono in 192-sample blocks, the last one shorter:
const char* const kFlacHex =
    "664c61430000002200c000c000001400003b01f4007000000320fd1ddb0238846f80176e82a7f70db5b684000028"
    "200000007265666572656e6365206c6962464c414320312e342e3220323032323130323200000000fff8140200a9"
    "12ff000e694979186a79d4a6e5f699255c94dfd08ccb8932b372a5331329b36c998cb648fa13bf0a56c9892f666b"
    "2d9729d96080e8fff8140201ae12fd00033a929e5cd9a72ef0a54f4f4b497cc4b2719f9afd49c96a153fec99ba74"
    "2b4eec950ca9d3e7313ffa169a69e02e66fff8140202a712ff0012526e925a9c96ce5b434bd292cf244d9acda4b9"
    "4f42c8e7c892cb9b4c8e69f350e27cd26da16c259d743ca953f6692c8afcfff8140203a01201001936532e26534b"
    "2a5372719bca4652ce15193437d2269b99e5f31e529a1b7ec99a93659a9539d25e54d94a5e14dcbb902b9cfff864"
    "02041f6d12ff003c3b29f526d9a1a06196";

// Offsets in kMp3: its eight frames run from the first to the ID3v1 tag.
constexpr size_t kMp3FirstFrame = 0x21;
constexpr size_t kMp3SecondFrame = 0xF9;
constexpr size_t kMp3Id3v1 = 0x2F1;

// The bytes laid on a device of whole sectors (the rest zeros) and measured from offset 0.
FormatLength Measure(FormatLengthFunc fn, Buf device) {
    device.resize((device.size() / kSector + 1) * kSector, 0);
    return carving_test::Measure(fn, device);
}

// The whole estimator as the carving step calls it.
uint64_t Estimate(ESTIMATE_FUNC estimator, Buf device) {
    carving::CarveScan scan;
    device.resize((device.size() / kSector + 8) * kSector, 0);
    CMemorySectorReader reader(device.data(), device.size());
    scan.SetReadContext(&reader, kSector, 0);
    scan.m_ErrorCode = 0;
    return estimator(scan, device.data(), kSector);
}

struct RealFile {
    const char* name;
    const char* hex;
    FormatLengthFunc length;
    ESTIMATE_FUNC estimator;
    size_t cutBack;  // bytes cut off the end: the cut falls inside the stream, not a tag
    size_t flipAt;   // a byte whose change breaks a frame or page the walk checks
};

const RealFile kRealFiles[] = {
    {"mp3", kMp3Hex, formats::Mp3Length, carving::formats::GetMP3FileBytesSize, 200, 0x261},
    {"opus", kOpusHex, formats::OggLength, carving::formats::GetOGGFileBytesSize, 40, 153},
    {"flac", kFlacHex, formats::FlacLength, carving::formats::GetFLACFileBytesSize, 40, 226},
};

class AudioRealFileTest : public ::testing::TestWithParam<RealFile> {};

// Exact whatever follows; cut or corrupted copies are never taken for whole, and noise is no
// file of the format at all. (The corpus test carves such files from a device.)
TEST_P(AudioRealFileTest, EndsExactlyWhateverFollowsAndBrokenCopiesAreNeverExact) {
    const RealFile& f = GetParam();
    const Buf file = FromHex(f.hex);
    for (const Buf& after : {file, Buf(3000, 0), Noise(kSector - file.size() % kSector)}) {
        EXPECT_TRUE(IsExactLength(Measure(f.length, Cat(file, after)), file.size()));
        EXPECT_EQ(file.size(), Estimate(f.estimator, Cat(file, after)));
    }
    Buf flipped = file;
    flipped[f.flipAt] ^= 0x10;
    const Buf cut = Slice(file, 0, file.size() - f.cutBack);
    for (const Buf& broken : {Cat(cut, Noise(600)), Cat(flipped, Noise(600))}) {
        const FormatLength length = Measure(f.length, broken);
        EXPECT_FALSE(length.IsExact() && length.bytes == file.size());
    }
    EXPECT_TRUE(Measure(f.length, Noise(4000)).IsRejected());
}

INSTANTIATE_TEST_SUITE_P(Audio, AudioRealFileTest, ::testing::ValuesIn(kRealFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// The header (flags with bit 29) or footer of an APE tag holding one 19-byte item.
Buf ApeBlock(uint32_t flags) {
    return Bytes(32).Text(0, "APETAGEX").U32(8, 2000).U32(12, 32 + 19).U32(16, 1).U32(20, flags).v;
}

Buf Id3v1() {
    return Bytes(128).Text(0, "TAGtitle").v;
}

TEST(Mp3LengthTest, TagsAfterTheFramesBelongToTheFileInAnyOrder) {
    const Buf mp3 = FromHex(kMp3Hex);
    const Buf frames = Slice(mp3, kMp3FirstFrame, kMp3Id3v1);
    const Buf item = Bytes(19).U32(0, 5).Text(8, "Title").Text(14, "hello").v;
    const Buf ape = Cat(Cat(ApeBlock(0xA0000000u), item), ApeBlock(0x80000000u));
    const Buf lyrics =
        Bytes(0).Text(0, "LYRICSBEGININD00002").Text(19, "10").Text(21, "000021LYRICS200").v;
    const Buf headlessApe = Slice(ape, 32, ape.size());
    for (const Buf& tail : {Cat(Cat(ape, lyrics), Id3v1()), Cat(Cat(lyrics, headlessApe), Id3v1()),
                            Cat(ape, lyrics)}) {
        const Buf file = Cat(frames, tail);
        EXPECT_TRUE(IsExactLength(Measure(formats::Mp3Length, Cat(file, Noise(900))), file.size()));
    }
    // Two frames make an exact file only when a tag closes them; the info header's byte count
    // says the stream was cut, so the same frames before noise are only a lower bound.
    const Buf shortStream = Slice(mp3, kMp3FirstFrame, kMp3SecondFrame + 72);
    EXPECT_TRUE(
        IsExactLength(Measure(formats::Mp3Length, Cat(Cat(shortStream, Id3v1()), Noise(900))),
                      shortStream.size() + 128));
    EXPECT_FALSE(Measure(formats::Mp3Length, Cat(shortStream, Noise(900))).IsExact());
}

TEST(Mp3LengthTest, HostileSizeFieldsEndTheWalkInsideTheDevice) {
    const Buf mp3 = FromHex(kMp3Hex);
    const Buf frames = Slice(mp3, 0, kMp3Id3v1);
    const Buf hugeApe = Bytes(32).Text(0, "APETAGEX").U32(12, 0xFFFFFFF0u).U32(20, 0xA0000000u).v;
    const Buf hugeLyrics = Bytes(0).Text(0, "LYRICSBEGINLYR99999").v;
    for (const Buf& tail :
         {hugeApe, hugeLyrics, Bytes(10).Text(0, "ID3\x04").U32(6, 0x7F7F7F7F).v}) {
        EXPECT_TRUE(IsExactLength(Measure(formats::Mp3Length, Cat(Cat(frames, tail), Noise(700))),
                                  frames.size()));
    }
    // A tag claiming far more than the device holds, and no frame after it.
    const Buf hugeId3 = Bytes(10).Text(0, "ID3\x03").U32(6, 0x7F7F7F7F).v;
    EXPECT_FALSE(Measure(formats::Mp3Length, Cat(hugeId3, Noise(3000))).IsExact());
}

// A device whose sectors from `failFrom` on cannot be read.
class FailingReader final : public ISectorReader {
public:
    FailingReader(const Buf& bytes, uint64_t failFrom) : m_bytes(bytes), m_failFrom(failFrom) {}
    int ReadSectors(unsigned char* pBuf, int nSectors, uint64_t u64Start, int nBytesPerSector,
                    unsigned int* pnSectorsRead) override {
        const uint64_t good =
            u64Start < m_failFrom ? std::min<uint64_t>(nSectors, m_failFrom - u64Start) : 0;
        std::memcpy(pBuf, m_bytes.data() + u64Start * nBytesPerSector, good * nBytesPerSector);
        *pnSectorsRead = static_cast<unsigned int>(good);
        return good == 0 ? 1 : 30;
    }
    uint64_t SectorLimit(int nBytesPerSector) const override {
        return m_bytes.size() / nBytesPerSector;
    }

private:
    const Buf& m_bytes;
    uint64_t m_failFrom;
};

TEST(Mp3LengthTest, AnUnreadableSectorIsNoEndOfTheStream) {
    // Frames with no info header to tell how many there are, running on past the error.
    const Buf frames = Slice(FromHex(kMp3Hex), kMp3SecondFrame, kMp3Id3v1);
    Buf device = Cat(Cat(Cat(frames, frames), frames), Noise(9 * kSector));
    device.resize(8 * kSector);
    FailingReader reader(device, 1);
    CarveContext ctx(&reader, kSector, 0);
    EXPECT_FALSE(formats::Mp3Length(ctx).IsExact());
}

// Offsets in kOpus: three pages, the last one ending the stream.
constexpr size_t kOpusSecondPage = 47;
constexpr size_t kOpusThirdPage = 121;

TEST(OggLengthTest, ChecksumsAndPageOrderDecideAndHugePagesStopAtTheDeviceEnd) {
    carving::CarveScan scan;
    const Buf opus = FromHex(kOpusHex);
    Buf badFirst = opus;
    badFirst[40] ^= 1;
    EXPECT_TRUE(Measure(formats::OggLength, Cat(badFirst, Noise(500))).IsRejected());
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsOggType(scan, badFirst.data(), badFirst.size()));
    const Buf noSecondPage =
        Cat(Slice(opus, 0, kOpusSecondPage), Slice(opus, kOpusThirdPage, opus.size()));
    EXPECT_TRUE(
        IsLowerBound(Measure(formats::OggLength, Cat(noSecondPage, Noise(500))), kOpusSecondPage));
    // The next page claims 255 full segments, far past the device's end.
    Bytes huge(27 + 255);
    huge.Text(0, "OggS").Put(14, opus.data() + 14, 4).U32(18, 1).U8(26, 255);
    for (size_t i = 0; i < 255; ++i) huge.U8(27 + i, 255);
    const Buf cut = Cat(Cat(Slice(opus, 0, kOpusSecondPage), huge.v), Noise(900));
    EXPECT_TRUE(IsLowerBound(Measure(formats::OggLength, cut), kOpusSecondPage));
}

TEST(FlacLengthTest, TaggedOrUncountedStreamsEndAtTheirLastFrameAndBrokenHeadersAreRefused) {
    carving::CarveScan scan;
    const Buf flac = FromHex(kFlacHex);
    const Buf id3 = Bytes(30).Text(0, "ID3\x03").U8(9, 20).Text(10, "TIT2").v;
    const Buf tagged = Cat(id3, flac);
    EXPECT_TRUE(
        IsExactLength(Measure(formats::FlacLength, Cat(tagged, Noise(700))), tagged.size()));
    EXPECT_EQ(EXT_TYPE_FLAC, J::GetDataBufType(scan, Cat(tagged, Noise(kSector)).data(), kSector));
    EXPECT_EQ(tagged.size(),
              Estimate(carving::formats::GetMP3FileBytesSize, Cat(tagged, Noise(700))));
    // A stream written where the encoder could not go back leaves the sample count at zero.
    Buf uncounted = flac;
    std::fill(uncounted.begin() + 8 + 13, uncounted.begin() + 8 + 18, 0);
    uncounted[8 + 13] = flac[8 + 13] & 0xF0;
    EXPECT_TRUE(
        IsExactLength(Measure(formats::FlacLength, Cat(uncounted, Noise(700))), flac.size()));
    Buf badInfo = flac;
    badInfo[8] = badInfo[9] = 0;  // a minimum block size of zero
    EXPECT_TRUE(Measure(formats::FlacLength, Cat(badInfo, Noise(700))).IsRejected());
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsFlacType(scan, badInfo.data(), badInfo.size()));
    // A metadata block claiming 16 MiB on a small device.
    const Buf hugeBlock = Patched(flac, {{42, 4}, {43, 0xFF}, {44, 0xFF}, {45, 0xFF}});
    EXPECT_FALSE(Measure(formats::FlacLength, Cat(hugeBlock, Noise(700))).IsExact());
}

TEST(AudioRecogniserTest, BareLayer3StreamsAreFoundAndLayer2AndNoiseAreLeftAlone) {
    carving::CarveScan scan;
    const Buf mp3 = FromHex(kMp3Hex);
    const Buf bare = Cat(Slice(mp3, kMp3FirstFrame, mp3.size()), Noise(kSector));
    EXPECT_EQ(EXT_TYPE_MP3, J::GetDataBufType(scan, bare.data(), kSector));
    EXPECT_EQ(mp3.size() - kMp3FirstFrame, Estimate(carving::formats::GetMP3FileBytesSize, bare));
    // Without its info frame, the stream's next frame must sit where the first one ends.
    const Buf plain = Cat(Slice(mp3, kMp3SecondFrame, mp3.size()), Noise(kSector));
    EXPECT_EQ(EXT_TYPE_MP3, J::GetDataBufType(scan, plain.data(), kSector));
    Buf moved = plain;
    moved[72] = 0x00;
    EXPECT_EQ(EXT_TYPE_NONE, carving::formats::IsMp3Type(scan, moved.data(), kSector));
    const Buf layer2 = Cat(Buf{0xFF, 0xFD, 0xE4, 0x00}, Noise(kSector));
    EXPECT_EQ(EXT_TYPE_MP2, J::GetDataBufType(scan, layer2.data(), kSector));
    std::mt19937 gen(11);
    Buf sector(kSector);
    size_t taken = 0;
    for (int i = 0; i < 60000; ++i) {
        for (auto& b : sector) b = static_cast<unsigned char>(gen());
        sector[0] = static_cast<unsigned char>(
            "\xFF"
            "OfI"[i % 4]);
        if (sector[0] == 0xFF) sector[1] |= 0xE0;
        const uint32_t type = J::GetDataBufType(scan, sector.data(), kSector);
        taken += type == EXT_TYPE_MP3 || type == EXT_TYPE_OGG || type == EXT_TYPE_FLAC;
    }
    EXPECT_EQ(0u, taken);
}

}  // namespace
