// The version rule, the reply's first line, the reply's three texts, what a
// download must be to be installed (a whole program for this machine with a
// well-formed version resource, signed by the release), and the scripts byte
// for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "update/program_image.h"
#include "install/scripts.h"
#include "update/signature.h"
#include "update/version.h"
#include "update/version_block.h"

namespace brinvale {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }
std::string Tabs(int n) { return std::string(static_cast<std::size_t>(n), '\t'); }

UpdateOffer Offer(const char* status, const char* version)
{
    return {status, version, "http://127.0.0.1/new.exe"};
}

TEST(VersionRule, VersionsAreOrderedPartByPart)
{
    const std::pair<const char*, const char*> olderNewer[] = {
        {"2.0.0.3", "2.0.0.4"}, {"2.0.0.10", "2.0.1.0"}, {"2.0.0.4", "2.1"}, {"2.0.0.3", "2.0.0.10"},
        {"2.0.0.3", "2.0.1"},   {"2", "2.0.0.1"},        {"0", "0.0.0.1"},   {"9.65535.65535.65535", "10"},
    };
    for (auto [older, newer] : olderNewer) {
        EXPECT_TRUE(OffersNewerVersion(Offer("ok", newer), older)) << newer << " offered to " << older;
        EXPECT_FALSE(OffersNewerVersion(Offer("ok", older), newer)) << older << " offered to " << newer;
    }
    EXPECT_EQ(ProgramVersion::Parse("2.1"), ProgramVersion::Parse("2.1.0.0")) << "missing parts are 0";
    EXPECT_EQ(ProgramVersion::Parse("65535.0.10.2")->parts, (std::array<std::uint16_t, 4>{65535, 0, 10, 2}));
    EXPECT_FALSE(OffersNewerVersion(Offer("ok", "2.0.0.3"), "2.0.0.3"));
    EXPECT_FALSE(OffersNewerVersion(Offer("OK", "9.9.9.9"), "2.0.0.3"));
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "0.0.0.1"), "")) << "no version resource counts as 0";
}

TEST(VersionRule, AnyOtherTextIsNoVersionAndNoOffer)
{
    for (const char* text : {"", "beta", "v2", "2..1", ".2.1", "2.1.", "2.0.0.0.1", " 2.1", "2.1 ", "2.01", "00",
                             "65536", "2.0.0.99999999999999999999", "1e9", "-1", "+2", "2,0", "inf", "2.0.0.4\n"}) {
        EXPECT_FALSE(ProgramVersion::Parse(text)) << text;
        EXPECT_FALSE(OffersNewerVersion(Offer("ok", text), "2.0.0.3")) << text;
    }
    EXPECT_TRUE(OffersNewerVersion(Offer("ok", "2.0.0.4"), "inf")) << "an unreadable own version counts as 0";
}

TEST(VersionRule, ADownloadIsTheVersionOfferedAndNewerThanThisProgram)
{
    EXPECT_TRUE(IsWantedUpdateVersion("2.0.0.4", "2.0.0.4", "2.0.0.3"));
    EXPECT_FALSE(IsWantedUpdateVersion("2.0.0.5", "2.0.0.4", "2.0.0.3")) << "another version";
    EXPECT_FALSE(IsWantedUpdateVersion("2.1", "2.1.0.0", "2.0.0.3")) << "the same number, another text";
    EXPECT_FALSE(IsWantedUpdateVersion("2.0.0.3", "2.0.0.3", "2.0.0.3")) << "this very version";
    EXPECT_FALSE(IsWantedUpdateVersion("2.0.0.2", "2.0.0.2", "2.0.0.3")) << "an older release offered again";
    EXPECT_FALSE(IsWantedUpdateVersion("", "", "2.0.0.3"));
}

TEST(ReplyLine, OnlyTheFirstLineWithoutCarriageReturns)
{
    FirstLineReader reader;
    EXPECT_TRUE(reader.Feed("{\"status\":\r", 11));
    EXPECT_FALSE(reader.Feed("\"ok\"}\r\nsecond line", 19));
    EXPECT_EQ(reader.Line(), "{\"status\":\"ok\"}\n");

    FirstLineReader longLine;
    const std::string body(3000, 'x');
    EXPECT_FALSE(longLine.Feed(body.data(), body.size()));
    EXPECT_EQ(longLine.Line().size(), 1023u);
}

TEST(ReplyText, TheThreeMembersAreReadByExactName)
{
    const auto offer = ParseUpdateReply(R"({"status":"ok","version":"2.0.0.4","url":"http://h/x.exe","extra":1})" "\n");
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->status, "ok");
    EXPECT_EQ(offer->version, "2.0.0.4");
    EXPECT_EQ(offer->url, "http://h/x.exe");

    EXPECT_FALSE(ParseUpdateReply(""));
    EXPECT_FALSE(ParseUpdateReply("<html>404</html>"));
    EXPECT_FALSE(ParseUpdateReply(R"({"status":"ok","version":"2.0.0.4"})")) << "no url";
    EXPECT_FALSE(ParseUpdateReply(R"({"status":"ok","version":2004,"url":"u"})")) << "version not a string";
    EXPECT_FALSE(ParseUpdateReply(R"({"Status":"ok","version":"2.0.0.4","url":"u"})"));
    EXPECT_FALSE(ParseUpdateReply(R"(["ok","2.0.0.4","u"])"));
    EXPECT_FALSE(ParseUpdateReply("{\"status\":\"ok\",\n")) << "an object spread over lines is cut at the first";
}

// --- what a download must be ------------------------------------------------

void Put16(Bytes& file, std::size_t at, std::uint16_t value)
{
    file[at] = static_cast<std::uint8_t>(value);
    file[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(Bytes& file, std::size_t at, std::uint32_t value)
{
    Put16(file, at, static_cast<std::uint16_t>(value));
    Put16(file, at + 2, static_cast<std::uint16_t>(value >> 16));
}

constexpr std::size_t kPe = 0x40;         // the PE signature
constexpr std::size_t kCoff = kPe + 4;    // machine, sections, ..., characteristics
constexpr std::size_t kOptional = kCoff + 20;
constexpr std::size_t kSectionTable64 = kOptional + 112 + 16 * 8;
constexpr std::size_t kRsrc = 0x400;      // the one section's data, at RVA 0x1000

// A version resource as the resource compiler writes ours, with FileVersion
// 2.0.0.4 (tests/fuzz/make_corpus.py writes it for the program-file fuzzer):
// StringFileInfo at 92, the table at 128, CompanyName at 152, FileVersion at
// 216 and its value at 248.
Bytes Seed(const char* name)
{
    std::ifstream file(std::string(BRINVALE_FUZZ_CORPUS "/program_image/") + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

const Bytes kVersionBlob = Seed("block");

// A program as a linker lays it out, with one section that holds a resource
// tree of one version resource (type 16, name 1, Korean), padded to a
// plausible size.
Bytes MakeProgram(std::uint16_t machine, std::size_t size = kMinProgramSize)
{
    Bytes file(size, 0);
    const bool pe32 = machine == kMachineI386;
    const std::size_t directories = kOptional + (pe32 ? 96 : 112);
    const std::size_t sectionTable = directories + 16 * 8;
    file[0] = 'M';
    file[1] = 'Z';
    Put32(file, 0x3C, kPe);
    Put32(file, kPe, 0x00004550);
    Put16(file, kCoff, machine);
    Put16(file, kCoff + 2, 1);
    Put16(file, kCoff + 16, static_cast<std::uint16_t>(sectionTable - kOptional));
    Put16(file, kCoff + 18, 0x0022);  // executable, large addresses
    Put16(file, kOptional, pe32 ? 0x10B : 0x20B);
    Put32(file, directories - 4, 16);
    Put32(file, directories + 2 * 8, 0x1000);
    Put32(file, directories + 2 * 8 + 4, 0x100);
    std::memcpy(&file[sectionTable], ".rsrc", 5);
    Put32(file, sectionTable + 8, 0x200);
    Put32(file, sectionTable + 12, 0x1000);
    Put32(file, sectionTable + 16, 0x200);
    Put32(file, sectionTable + 20, kRsrc);
    const std::uint32_t levels[][2] = {{16, 0x80000018}, {1, 0x80000030}, {0x412, 0x48}};
    for (std::size_t level = 0; level < 3; ++level) {
        Put16(file, kRsrc + 0x18 * level + 14, 1);
        Put32(file, kRsrc + 0x18 * level + 16, levels[level][0]);
        Put32(file, kRsrc + 0x18 * level + 20, levels[level][1]);
    }
    Put32(file, kRsrc + 0x48, 0x1000 + 0x58);
    Put32(file, kRsrc + 0x4C, static_cast<std::uint32_t>(kVersionBlob.size()));
    std::copy(kVersionBlob.begin(), kVersionBlob.end(), file.begin() + kRsrc + 0x58);
    return file;
}

TEST(UpdateFile, AWholeProgramShowsItsMachineAndVersionResource)
{
    for (std::uint16_t machine : {kMachineAmd64, kMachineI386, kMachineArm64}) {
        const Bytes file = MakeProgram(machine);
        const std::optional<ProgramImage> image = ReadProgramImage(file);
        ASSERT_TRUE(image) << machine;
        EXPECT_EQ(image->machine, machine);
        EXPECT_EQ(Bytes(image->versionResource.begin(), image->versionResource.end()), kVersionBlob);
    }
    Bytes noResources = MakeProgram(kMachineAmd64);
    Put32(noResources, kOptional + 112 + 2 * 8, 0);
    ASSERT_TRUE(ReadProgramImage(noResources));
    EXPECT_TRUE(ReadProgramImage(noResources)->versionResource.empty());
}

// The 32-bit program as the build made it reads as the 64-bit program reads
// every offer: an x86 program, of its own version, for every Windows.
TEST(UpdateFile, TheReal32BitProgramIsAnX86ProgramOfItsVersion)
{
    std::ifstream file(BRINVALE_X86_NEXT_PROGRAM, std::ios::binary);
    if (!file) {
        if (std::getenv("BRINVALE_REQUIRE_X86"))
            FAIL() << BRINVALE_X86_NEXT_PROGRAM << " not built (windows-x86 preset)";
        GTEST_SKIP() << BRINVALE_X86_NEXT_PROGRAM << " not built (windows-x86 preset)";
    }
    const Bytes bytes(std::istreambuf_iterator<char>(file), {});
    const std::optional<ProgramImage> image = ReadProgramImage(bytes);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->machine, kMachineI386);
    EXPECT_EQ(FileVersionInBlock(image->versionResource), "2.0.0.4");
    EXPECT_TRUE(MachineRunsHere(image->machine, false) && MachineRunsHere(image->machine, true));
}

TEST(UpdateFile, AnythingButAWholeProgramIsRefused)
{
    struct Case {
        const char* what;
        std::size_t at;
        std::uint32_t value;
        int width;
    };
    const Case cases[] = {
        {"an error page", 0, 0x74683C, 4},          // "<ht"
        {"no PE signature", kPe, 0x00004551, 4},
        {"PE header beyond the file", 0x3C, 0xFFFFFFF0u, 4},
        {"a DLL", kCoff + 18, 0x2022, 2},
        {"not executable", kCoff + 18, 0x0020, 2},
        {"x64 with a 32-bit header", kOptional, 0x10B, 2},
        {"header of no known kind", kOptional, 0x107, 2},
        {"a section beyond the end (cut short)", kSectionTable64 + 20, 0x10000, 4},
        {"more sections than the header holds", kCoff + 2, 0xFFFF, 2},
    };
    for (const Case& c : cases) {
        Bytes file = MakeProgram(kMachineAmd64);
        if (c.width == 2)
            Put16(file, c.at, static_cast<std::uint16_t>(c.value));
        else
            Put32(file, c.at, c.value);
        EXPECT_FALSE(ReadProgramImage(file)) << c.what;
    }
    EXPECT_FALSE(ReadProgramImage({})) << "empty";
    EXPECT_FALSE(ReadProgramImage(MakeProgram(kMachineAmd64, kMinProgramSize - 1))) << "too small";
    EXPECT_FALSE(ReadProgramImage(MakeProgram(kMachineAmd64, kMaxProgramSize + 1))) << "too large";
    EXPECT_TRUE(ReadProgramImage(MakeProgram(kMachineAmd64, kMaxProgramSize)));

    Bytes endless = MakeProgram(kMachineAmd64);
    Put32(endless, kRsrc + 0x18 + 20, 0x80000018);  // the name level points at itself
    ASSERT_TRUE(ReadProgramImage(endless));
    EXPECT_TRUE(ReadProgramImage(endless)->versionResource.empty());
}

TEST(UpdateFile, TheVersionIsReadFromAWellFormedVersionResourceOnly)
{
    EXPECT_EQ(FileVersionInBlock(kVersionBlob), "2.0.0.4");
    constexpr std::size_t kAsWritten = SIZE_MAX;
    struct Case {
        const char* what;
        Bytes block;
        std::size_t at;
        std::uint16_t value;
    };
    const Case cases[] = {
        {"the 16-bit format", Seed("block_16bit"), kAsWritten, 0},
        {"an 8-bit key where the type stands", kVersionBlob, 4, 'V' | 'S' << 8},
        {"a type of no kind", kVersionBlob, 152 + 4, 2},
        {"a block longer than its bytes", kVersionBlob, 0, static_cast<std::uint16_t>(kVersionBlob.size() + 4)},
        {"a child longer than its parent", kVersionBlob, 92, 0xFFF0},
        {"a value longer than its node", kVersionBlob, 216 + 2, 100},
        {"a node too short for its key", kVersionBlob, 216, 16},
        {"a child of no length", kVersionBlob, 152, 0},
        {"a letter beyond ASCII", kVersionBlob, 248, 0xAC00},
        {"a control character", kVersionBlob, 248, 0x0A},
        {"another language", kVersionBlob, 128 + 6, '1'},
    };
    for (Case c : cases) {
        if (c.at != kAsWritten)
            Put16(c.block, c.at, c.value);
        EXPECT_FALSE(FileVersionInBlock(c.block)) << c.what;
    }
    EXPECT_FALSE(FileVersionInBlock({}));
    EXPECT_FALSE(FileVersionInBlock(Bytes(kVersionBlob.begin(), kVersionBlob.end() - 1))) << "cut short";
}

TEST(UpdateFile, OnlyProgramsThisWindowsRuns)
{
    EXPECT_TRUE(MachineRunsHere(kMachineI386, false));
    EXPECT_TRUE(MachineRunsHere(kMachineI386, true));
    EXPECT_TRUE(MachineRunsHere(kMachineAmd64, true));
    EXPECT_FALSE(MachineRunsHere(kMachineAmd64, false));
    EXPECT_FALSE(MachineRunsHere(kMachineArm64, true));
    EXPECT_FALSE(MachineRunsHere(0x01C4, true)) << "ARM";
}

Bytes FromHex(std::string_view hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

// tests/wine/keys/update-test-key.pub.pem, and its signature of kSigned.
constexpr const char* kTestKeyPem =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEjmlseD0ttoqDLPQATx6uhEz8x3hL\n"
    "O4wBOVHuF4WT80CmFDK57okNpgnLycHEZ6FpFOXUL2qf49H4MzJ+LhPAeA==\n"
    "-----END PUBLIC KEY-----\n";
constexpr const char* kTestKeyXY =
    "8e696c783d2db68a832cf4004f1eae844cfcc7784b3b8c013951ee178593f340"
    "a61432b9ee890da609cbc9c1c467a16914e5d42f6a9fe3d1f833327e2e13c078";
constexpr const char* kSigned = "OstrelBrinvale update\n";
constexpr const char* kSignatureDer =
    "3046022100ab548df0499b4c67a0c81589aa9735f477e1cd4c6cf04a6cdc751199ca17cbcc"
    "022100c061823b76b426e38e0938924461da492cb952cd7c6dcd38f06b26b90e1ddc51";

TEST(ReleaseKey, OnlyAP256PublicKeyIsRead)
{
    const std::optional<P256PublicKey> key = P256PublicKeyFromPem(kTestKeyPem);
    ASSERT_TRUE(key);
    EXPECT_EQ(Bytes(key->begin(), key->end()), FromHex(kTestKeyXY));
    std::string bare = kTestKeyPem;
    bare = bare.substr(bare.find('\n') + 1);
    bare = bare.substr(0, bare.find("-----"));
    EXPECT_EQ(P256PublicKeyFromPem(bare), key) << "without the armour lines";

    EXPECT_FALSE(P256PublicKeyFromPem(""));
    EXPECT_FALSE(P256PublicKeyFromPem("MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEolCq02qzokDY4q/3mMQFADph3H8Et0Vg"
                                      "umRgQ/hELvFhRswcE5MciuyRCUnRjmmSbmw3H3iiIr4lcvG3x0vr5a+wCSLoKjs1"
                                      "VO5imk9uQ17e90PHPAdwqevS0FIfxRyI"))
        << "a P-384 key";
    std::string notBase64 = kTestKeyPem;
    notBase64[40] = '!';
    EXPECT_FALSE(P256PublicKeyFromPem(notBase64));
    const std::string cutShort = std::string(kTestKeyPem).substr(0, 90) + "\n-----END PUBLIC KEY-----\n";
    EXPECT_FALSE(P256PublicKeyFromPem(cutShort));
}

TEST(ReleaseSignature, OnlyAStrictDerPairOfNumbersIsRead)
{
    const Bytes der = FromHex(kSignatureDer);
    const std::optional<P256Signature> signature = P256SignatureFromDer(der);
    ASSERT_TRUE(signature);
    const Bytes expected = FromHex("ab548df0499b4c67a0c81589aa9735f477e1cd4c6cf04a6cdc751199ca17cbcc"
                                   "c061823b76b426e38e0938924461da492cb952cd7c6dcd38f06b26b90e1ddc51");
    EXPECT_EQ(Bytes(signature->begin(), signature->end()), expected) << "sign bytes dropped";
    const std::optional<P256Signature> shortR =
        P256SignatureFromDer(FromHex("3007" "02020102" "020105"));
    ASSERT_TRUE(shortR) << "a small number is right-aligned";
    EXPECT_EQ((*shortR)[30], 1);
    EXPECT_EQ((*shortR)[31], 2);
    EXPECT_EQ((*shortR)[63], 5);

    struct Case {
        const char* what;
        Bytes der;
    };
    Bytes trailing = der;
    trailing.push_back(0);
    trailing[1] += 1;
    Bytes negative = der;
    negative[4] = 0x00;
    negative[5] = 0x7F;  // the sign byte before a number that needs none
    Bytes wrongTag = der;
    wrongTag[0] = 0x31;
    Bytes wrongLength = der;
    wrongLength[1] -= 1;
    const Case cases[] = {
        {"empty", {}},
        {"a set", wrongTag},
        {"a length that is not the file's", wrongLength},
        {"a byte after the pair", trailing},
        {"a needless leading zero", negative},
        {"a negative number", FromHex("3006" "0201ff" "020101")},
        {"one number", FromHex("3003" "020101")},
        {"a 33-byte number", FromHex("3026" "0221" "01" + std::string(64, '1') + "020101")},
        {"the file cut short", Bytes(der.begin(), der.end() - 1)},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(P256SignatureFromDer(c.der)) << c.what;
}

#ifdef _WIN32
TEST(ReleaseSignature, OnlyTheReleaseKeysSignatureOfTheseBytesVerifies)
{
    const P256PublicKey key = *P256PublicKeyFromPem(kTestKeyPem);
    const P256Signature signature = *P256SignatureFromDer(FromHex(kSignatureDer));
    const std::string text = kSigned;
    const Bytes data(text.begin(), text.end());
    EXPECT_TRUE(VerifyP256Signature(data, signature, key));

    Bytes tampered = data;
    tampered[0] ^= 1;
    EXPECT_FALSE(VerifyP256Signature(tampered, signature, key));
    P256Signature other = signature;
    other[63] ^= 1;
    EXPECT_FALSE(VerifyP256Signature(data, other, key));
    P256PublicKey otherKey = key;
    otherKey[0] ^= 1;  // no longer a point of the curve
    EXPECT_FALSE(VerifyP256Signature(data, signature, otherKey));
}
#endif

// --- the scripts --------------------------------------------------------------

// Where every script tries again: at once the first time, after a wait of
// about a second each time after.
std::string RetryLoop()
{
    return "goto Try\r\r\n:Repeat" + Blanks(6) + "\r\r\n\"%SystemRoot%\\System32\\ping.exe\" -n 2 127.0.0.1 >nul\r\r\n"
           ":Try\r\r\n";
}

TEST(Scripts, UpdateScriptByteForByte)
{
    const auto text = UpdateScriptText("C:\\OSBRIN\\UpdateFile.sob", "C:\\OSBRIN", "OstrelBrinvale.exe");
    ASSERT_TRUE(text);
    const std::string eol = "\r\r\n";
    EXPECT_EQ(ScriptFileBytes(*text),
              "IF NOT EXIST \"C:\\OSBRIN\\UpdateFile.sob\" goto KError" + Tabs(1) + eol +
              RetryLoop() +
              "del /f /s /q \"C:\\OSBRIN\\OstrelBrinvale.exe\"" + Blanks(4) + eol +
              "if exist \"C:\\OSBRIN\\OstrelBrinvale.exe\" goto Repeat" + Tabs(2) + eol +
              "move /y \"C:\\OSBRIN\\UpdateFile.sob\" \"C:\\OSBRIN\\OstrelBrinvale.exe\"" + Blanks(3) + eol +
              "if not exist \"C:\\OSBRIN\\OstrelBrinvale.exe\" move /y \"C:\\OSBRIN\\OstrelBrinvale.exe.old\" "
              "\"C:\\OSBRIN\\OstrelBrinvale.exe\"" + eol +
              "@ start C:\\OSBRIN\\\"OstrelBrinvale.exe\" %1" + Tabs(1) + eol +
              ":KError" + Tabs(1) + eol +
              "del /f /s /q \"C:\\OSBRIN\\UpdateFile.sob\"" + Blanks(4) + eol +
              "del /f /s /q \"C:\\OSBRIN\\OstrelBrinvale.exe.old\"" + Blanks(4) + eol +
              "del /f /s /q \"update_brinvale.bat\"" + Blanks(4) + eol +
              ":END");
}

TEST(Scripts, RemovalScriptsByteForByte)
{
    const std::string eol = "\r\r\n";
    const auto all = RemovalScriptText("copy", "C:\\OSBRIN\\");
    ASSERT_TRUE(all);
    EXPECT_EQ(ScriptFileBytes(*all),
              RetryLoop() +
              "del /f /s /q \"copy.exe\"" + Blanks(4) + eol +
              "del /f /s /q \"copy.ini\"" + Blanks(4) + eol +
              "del /f /s /q \"C:\\OSBRIN\\copy.exe\"" + Tabs(1) + eol +
              "del /f /s /q \"C:\\OSBRIN\\copy.ini\"" + Tabs(1) + eol +
              "rmdir /s /q \"CATLOG\"" + Tabs(2) + eol +
              "rmdir /s /q \"C:\\OSBRIN\\CATLOG\"" + Tabs(2) + eol +
              "if exist \"copy.exe\" goto Repeat" + Tabs(2) + eol +
              "if exist \"copy.ini\" goto Repeat" + Tabs(2) + eol +
              "if exist \"CATLOG\" goto Repeat" + Tabs(2) + eol +
              "if exist \"C:\\OSBRIN\\copy.exe\" goto Repeat" + Blanks(1) + eol +
              "if exist \"C:\\OSBRIN\\copy.ini\" goto Repeat" + Blanks(1) + eol +
              "if exist \"C:\\OSBRIN\\CATLOG\" goto Repeat" + Blanks(1) + eol +
              "del /s /q killfileall.bat" + Blanks(5) + eol);

    const auto old = OldCopyRemovalScriptText("OstrelBrinvale");
    ASSERT_TRUE(old);
    EXPECT_EQ(ScriptFileBytes(*old),
              RetryLoop() +
              "del /f /s /q \"OstrelBrinvale.exe\"" + Blanks(1) + eol +
              "del /f /s /q \"OstrelBrinvale.ini\"" + Blanks(1) + eol +
              "rmdir /s /q \"CATLOG\"" + Blanks(6) + eol +
              "if exist \"OstrelBrinvale.exe\" goto Repeat" + Tabs(2) + eol +
              "if exist \"OstrelBrinvale.ini\" goto Repeat" + Tabs(2) + eol +
              "if exist \"CATLOG\" goto Repeat" + Tabs(2) + eol +
              "del /s /q killfile.bat" + Blanks(5) + eol);

    const auto restart = RestartScriptText("C:\\OSBRIN", "OstrelBrinvale.exe");
    ASSERT_TRUE(restart);
    EXPECT_EQ(ScriptFileBytes(*restart),
              "@ start C:\\OSBRIN\\\"OstrelBrinvale.exe\" %1" + Tabs(1) + eol +
              RetryLoop() +
              "del /f /s /q \"runextern.bat\"" + Blanks(4) + eol +
              "if exist \"runextern.bat\" goto Repeat" + Tabs(2) + eol);
}

TEST(Scripts, AScriptThatWouldNotFitIsNeverComposed)
{
    const std::string longPath = "C:\\" + std::string(400, 'x') + "\\UpdateFile.sob";
    EXPECT_FALSE(UpdateScriptText(longPath, "C:\\OSBRIN", "OstrelBrinvale.exe"));
    EXPECT_FALSE(RemovalScriptText(std::string(200, 'b'), "C:\\OSBRIN\\"));
    EXPECT_TRUE(RemovalScriptText(std::string(20, 'b'), "C:\\OSBRIN\\"));
    // The waits between tries leave room for names of 60 characters.
    const std::string base(60, 'b');
    EXPECT_TRUE(UpdateScriptText("C:\\OSBRIN\\UpdateFile.sob", "C:\\OSBRIN", base + ".exe"));
    EXPECT_TRUE(RemovalScriptText(base, "C:\\OSBRIN\\"));
    EXPECT_TRUE(OldCopyRemovalScriptText(base));
}

TEST(Scripts, ANameCmdWouldReadOtherwiseGetsNoScript)
{
    for (const char* name : {"100%.exe", "a&b.exe", "a^b.exe", "a|b.exe", "a<b.exe", "a>b.exe", "a\"b.exe",
                             "Ostrel?rinvale.exe", "*.exe", "a\r\nb.exe"}) {
        EXPECT_FALSE(IsSafeScriptText(name)) << name;
        EXPECT_FALSE(RestartScriptText("C:\\OSBRIN", name)) << name;
        EXPECT_FALSE(UpdateScriptText("C:\\OSBRIN\\UpdateFile.sob", "C:\\OSBRIN", name)) << name;
        const std::string base(name, std::strlen(name) - 4);
        EXPECT_FALSE(OldCopyRemovalScriptText(base)) << name;
        EXPECT_FALSE(RemovalScriptText(base, "C:\\OSBRIN\\")) << name;
    }
    EXPECT_TRUE(IsSafeScriptText("C:\\Program Files (x86)\\가게\\copy (2).exe"));
    EXPECT_FALSE(UpdateScriptText("C:\\OSBRIN\\UpdateFile.sob", "C:%TEMP%\\OSBRIN", "OstrelBrinvale.exe"))
        << "a home drive taken from the environment";
}

TEST(Scripts, ADrivesRootIsNoPlaceForADeletionScript)
{
    for (const char* root : {"C:\\", "C:", "d:\\", "\\\\till\\share\\", "\\\\till\\share", "\\\\?\\C:\\"})
        EXPECT_TRUE(IsDriveRoot(root)) << root;
    for (const char* folder : {"C:\\OSBRIN\\", "C:\\Users\\till\\Downloads\\", "\\\\till\\share\\gateway\\"})
        EXPECT_FALSE(IsDriveRoot(folder)) << folder;
}

}  // namespace
}  // namespace brinvale
