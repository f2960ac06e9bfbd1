// sfxtool's resource writer and the installer identity: the writer's output read back (also from
// the built stubs, and against windres for the version resource), icons, version strings, a stub
// whose resources are replaced or kept, and resources that would stop the stub's locator.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sfxtool/IconResources.h"
#include "sfxtool/InstallerIdentity.h"
#include "sfxtool/Pack.h"
#include "sfxtool/PeResources.h"
#include "sfxtool/VersionResource.h"
#include "sfxtool_test_support.h"

using namespace sfxtest;
using namespace sfxtool;

namespace {

Resource Make(ResourceId type, ResourceId name, uint16_t language, std::string data, uint32_t codePage = 0) {
    Resource r;
    r.type = std::move(type);
    r.name = std::move(name);
    r.language = language;
    r.data = std::move(data);
    r.codePage = codePage;
    return r;
}
ResourceId Id(uint16_t n) { return {n, {}}; }
ResourceId Named(const std::u16string& s) { return {0, s}; }

// type/name/language: code page, data — what a list holds, in a form gtest prints.
std::vector<std::string> Listing(const ResourceList& list) {
    std::vector<std::string> out;
    for (const auto& r : list)
        out.push_back(r.type.Describe() + "/" + r.name.Describe() + "/" + std::to_string(r.language) + ": " +
                      std::to_string(r.codePage) + ", " + std::to_string(r.data.size()) + " bytes, " + r.data.substr(0, 12));
    return out;
}
size_t CountType(const ResourceList& list, uint16_t type) {
    return static_cast<size_t>(std::count_if(list.begin(), list.end(), [&](const Resource& r) { return r.type == Id(type); }));
}
const Resource* Find(const ResourceList& list, uint16_t type) {
    for (const auto& r : list)
        if (r.type == Id(type)) return &r;
    return nullptr;
}

// An icon image: a DIB (BITMAPINFOHEADER, a full palette up to 8 bits, pixels from `fill`, the
// AND mask; rows padded to 32 bits, as Windows reads them), or a PNG signature and IHDR chunk
// followed by noise standing for the image data.
std::string Dib(uint32_t size, uint16_t bits, const std::string& fill = "\x11\x22\x33\x44") {
    std::string b(40, '\0');
    Put32(b, 0, 40);
    Put32(b, 4, size);
    Put32(b, 8, 2 * size);
    Put16(b, 12, 1);
    Put16(b, 14, bits);
    const size_t palette = bits <= 8 ? 4u << bits : 0;
    const size_t bytes = palette + (size * bits + 31) / 32 * 4 * size + (size + 31) / 32 * 4 * size;
    for (size_t i = 0; i < bytes; ++i) b += fill[i % fill.size()];
    return b;
}
std::string Png(uint32_t width, size_t bytes, uint32_t height = 0) {
    std::string ihdr(25, '\0');
    ihdr[3] = 13;
    ihdr.replace(4, 4, "IHDR");
    for (int i = 0; i < 4; ++i) {
        ihdr[8 + i] = static_cast<char>(width >> (24 - 8 * i));
        ihdr[12 + i] = static_cast<char>((height ? height : width) >> (24 - 8 * i));
    }
    ihdr[16] = 8;
    ihdr[17] = 6;
    return std::string("\x89PNG\r\n\x1a\n", 8) + ihdr + Noise(bytes, 7);
}
struct IcoImage { uint8_t size; uint16_t bits; std::string data; };
std::string Ico(const std::vector<IcoImage>& images) {
    std::string b(6 + 16 * images.size(), '\0');
    Put16(b, 2, 1);
    Put16(b, 4, static_cast<uint32_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        b[6 + 16 * i] = b[7 + 16 * i] = static_cast<char>(images[i].size);
        Put16(b, 6 + 16 * i + 4, images[i].bits ? 1 : 0);
        Put16(b, 6 + 16 * i + 6, images[i].bits);
        Put32(b, 6 + 16 * i + 8, static_cast<uint32_t>(images[i].data.size()));
        Put32(b, 6 + 16 * i + 12, static_cast<uint32_t>(b.size()));
        b += images[i].data;
    }
    return b;
}

std::string Tool(const std::string& name) { return std::string(SFX_SOURCE_DIR) + "/" + name; }

}  // namespace

TEST(SfxtoolResources, ReadBackWithEveryHeaderFieldUpdated) {
    const ResourceList list = {
        Make(Id(kRtManifest), Id(1), 0x409, kFakeManifest),
        Make(Id(10), Named(u"CONFIG"), 0x407, "de", 1252),
        Make(Id(10), Named(u"CONFIG"), 0x409, std::string(5000, 'e')),  // grows the section past 0x200
        Make(Named(u"MYTYPE"), Id(7), 0, "x"),
        Make(Id(kRtVersion), Id(1), 0x409, Noise(333, 3)),
    };
    for (const std::string& stub : {FakeStub(), BareStub()}) {
        SCOPED_TRACE(stub.size() == kFakeImageEnd ? "replacing the last section" : "adding a section");
        const std::string out = WithResources(stub, list);
        const ResourceList want = {list[3], list[1], list[2], list[4], list[0]};  // named types first, then by number
        EXPECT_EQ(Listing(ReadResources(out)), Listing(want));

        const PeHeaders h = ParsePeHeaders(out);
        ASSERT_EQ(h.sections.size(), 2u);
        const PeSection& s = h.sections[1];
        EXPECT_EQ(s.name, ".rsrc");
        EXPECT_EQ(s.virtualAddress, 0x2000u);
        EXPECT_EQ(s.rawPointer, kBareImageEnd);
        EXPECT_EQ(s.characteristics, 0x40000040u);
        EXPECT_EQ(s.rawSize % 0x200, 0u);
        EXPECT_GE(s.rawSize, s.virtualSize);
        EXPECT_EQ(out.size(), s.rawPointer + s.rawSize);
        EXPECT_EQ(h.resourceRva, 0x2000u);
        EXPECT_EQ(h.resourceSize, s.virtualSize);
        EXPECT_EQ(Get32(out, 0x58 + 56), (0x2000 + s.virtualSize + 0xFFF) / 0x1000 * 0x1000) << "SizeOfImage";
        EXPECT_EQ(Get32(out, 0x58 + 8), s.rawSize) << "SizeOfInitializedData: the resource section alone";
        EXPECT_EQ(Get32(out, kChecksumAt), PeChecksum(out, kChecksumAt));
        EXPECT_EQ(out.substr(0x200, 0x200), stub.substr(0x200, 0x200)) << "the code section is not touched";
    }
}

TEST(SfxtoolResources, ReadsTheBuiltStubsAndAgreesWithTheLinkersChecksum) {
    int seen = 0;
    for (const char* build : {"build/win32", "build/win64"}) {
        const std::string path = Tool(std::string(build) + "/SelfExtractor.exe");
        if (!fs::exists(path)) continue;
        SCOPED_TRACE(path);
        ++seen;
        const std::string stub = ReadFile(path);
        const PeHeaders h = ParsePeHeaders(stub);
        EXPECT_EQ(Get32(stub, h.checksumAt), PeChecksum(stub, h.checksumAt)) << "GNU ld's checksum";
        const ResourceList list = ReadResources(stub);
        ASSERT_NE(Find(list, kRtManifest), nullptr);
        EXPECT_EQ(Find(list, kRtManifest)->data, ReadFile(Tool("SelfExtractor/resources/SelfExtractor.manifest")));
        EXPECT_EQ(Find(list, kRtManifest)->data, StandardManifest());
        ASSERT_NE(Find(list, kRtVersion), nullptr);
        EXPECT_TRUE(ParseVersionResource(Find(list, kRtVersion)->data).hasFixed);
        // Rewritten with its own resources: read back the same, nothing before the section moved.
        const std::string again = WithResources(stub, list);
        EXPECT_EQ(Listing(ReadResources(again)), Listing(list));
        const uint32_t at = h.sections.back().rawPointer;
        EXPECT_TRUE(again.compare(h.sizeOfHeaders, at - h.sizeOfHeaders, stub, h.sizeOfHeaders, at - h.sizeOfHeaders) == 0);
    }
    if (!seen) GTEST_SKIP() << "no Windows build of the stub in build/win32 or build/win64";
}

TEST(SfxtoolIcons, EveryImageIsOneWindowsCanDrawOrTheIconIsRefusedNamingIt) {
    // Bitmaps of every depth whose rows pad to 32 bits (48 pixels: a mask row of 8 bytes, not 6),
    // a PNG and the largest sizes are taken, up to 64 images.
    std::vector<IcoImage> good = {{48, 1, Dib(48, 1)}, {16, 4, Dib(16, 4)}, {20, 24, Dib(20, 24)}, {48, 32, Dib(48, 32)},
                                  {0, 32, Dib(256, 32)}, {0, 32, Png(256, 300)}};
    while (good.size() < 64) good.push_back({32, 32, Dib(32, 32)});
    EXPECT_EQ(ParseIco(Ico(good)).size(), 64u);

    std::string shortMask = Dib(48, 32);
    shortMask.pop_back();
    std::string noPalette = Dib(16, 8);
    noPalette.erase(40, 1024);
    std::string notDoubled = Dib(16, 32);
    Put32(notDoubled, 8, 15);  // an odd height: no room for the mask
    std::string wide = Dib(16, 32);
    Put32(wide, 4, 300);
    Put32(wide, 8, 600);
    std::string compressed = Dib(16, 8);
    Put32(compressed, 16, 1);  // BI_RLE8
    const std::pair<std::vector<IcoImage>, std::string> cases[] = {
        {{{16, 32, std::string("\x89PNG\r\n\x1a\n\0", 9)}}, "image 1 (16x16) is a PNG without its IHDR header (9 bytes)"},
        {{{16, 32, Dib(16, 32)}, {32, 32, Png(48, 200)}}, "image 2 (32x32) is a PNG of 48x48 pixels, but the icon directory says 32x32"},
        {{{0, 32, Png(300, 200)}}, "image 1 (256x256) is a PNG of 300x300 pixels; icons are at most 256x256"},
        {{{16, 32, Dib(16, 32).substr(0, 40)}}, "needs 1128 bytes (header, palette, pixels and mask), but holds 40"},
        {{{48, 32, shortMask}}, "image 1 (48x48) is a bitmap of 48x48 at 32 bits that needs 9640 bytes"},
        {{{16, 8, noPalette}}, "needs 1384 bytes"},
        {{{16, 32, notDoubled}}, "not an icon's"},
        {{{0, 32, wide}}, "is a bitmap of 300x300 pixels; icons are at most 256x256"},
        {{{32, 32, Dib(16, 32)}}, "image 1 (32x32) is a bitmap of 16x16 pixels, but the icon directory says 32x32"},
        {{{16, 8, compressed}}, "compressed bitmap"},
        {{{0, 32, Png(256, 2u << 20)}}, "image 1 (256x256) holds 2097185 bytes"},
    };
    for (const auto& [images, message] : cases) {
        SCOPED_TRACE(message);
        try {
            ParseIco(Ico(images));
            ADD_FAILURE() << "accepted";
        } catch (const IconError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    std::vector<IcoImage> many(65, {16, 32, Dib(16, 32)});
    try {
        ParseIco(Ico(many));
        ADD_FAILURE() << "65 images accepted";
    } catch (const IconError& e) {
        EXPECT_NE(std::string(e.what()).find("holds 65 images; an icon may have at most 64"), std::string::npos) << e.what();
    }
}

TEST(SfxtoolResources, RefusesImagesItCannotRewrite) {
    const ResourceList list = {Make(Id(kRtManifest), Id(1), 0x409, kFakeManifest)};
    EXPECT_THROW(WithResources(FakeStub() + "signature", list), PeError);
    std::string notLast = FakeStub();
    Put32(notLast, 0x58 + 96 + 16, 0x1000);  // resources said to lie in .text
    EXPECT_THROW(WithResources(notLast, list), PeError);
    std::string full = BareStub();
    full.replace(0x160, 4, "used");  // where another section header would go
    EXPECT_THROW(WithResources(full, list), PeError);
    EXPECT_THROW(WithResources(FakeStub(), {list[0], list[0]}), PeError) << "two resources of one type, name and language";
    std::string loop = FakeStub();
    Put32(loop, 0x400 + 0x30 + 20, 0x80000000);  // a language entry pointing back at the root
    EXPECT_THROW(ReadResources(loop), PeError);
}

TEST(SfxtoolIcons, AnIconOfSeveralImagesBecomesIconsAndOneGroup) {
    TempDir dir;
    const std::vector<IcoImage> images = {{16, 32, Dib(16, 32)}, {32, 0, Dib(32, 8)}, {0, 32, Png(256, 900)}};
    WriteFile(dir / "app.ico", Ico(images));
    IdentityOptions o;
    o.icon = dir / "app.ico";
    const std::string image = InstallerImage(FakeStub(), o);
    const ResourceList list = ReadResources(image);
    ASSERT_EQ(CountType(list, kRtIcon), 3u);
    const auto group = ParseIconGroup(Find(list, kRtGroupIcon)->data);
    ASSERT_EQ(group.size(), 3u);
    const uint32_t sizes[] = {16, 32, 256};
    const uint16_t bits[] = {32, 8, 32};  // 8: from the bitmap header where the file says 0
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(group[i].width, sizes[i]);
        EXPECT_EQ(group[i].height, sizes[i]);
        EXPECT_EQ(group[i].bitCount, bits[i]);
        EXPECT_EQ(group[i].bytes, images[i].data.size());
        EXPECT_EQ(list[i].name, Id(group[i].id));  // RT_ICON entries come first, by id
        EXPECT_EQ(list[i].data, images[i].data);
    }
    WriteFile(dir / "installer.exe", image);
    const Identity id = ReadIdentity(dir / "installer.exe");
    ASSERT_EQ(id.icons.size(), 3u);
    EXPECT_EQ(id.icons[2].width, 256u);
}

TEST(SfxtoolIcons, RefusesFilesThatDoNotParse) {
    TempDir dir;
    std::string cursor = Ico({{16, 32, Dib(16, 32)}});
    Put16(cursor, 2, 2);
    std::string outside = Ico({{16, 32, Dib(16, 32)}});
    Put32(outside, 6 + 8, 100000);
    const std::pair<std::string, std::string> cases[] = {
        {"", "not an .ico"},
        {std::string("GIF89a") + Noise(100, 1), "not an .ico"},
        {cursor, "cursor"},
        {std::string(6, '\0').replace(2, 1, "\x01"), "no image"},
        {outside, "image 1 (16x16) lies outside"},
        {Ico({{16, 32, Dib(16, 32)}, {32, 32, Noise(600, 2)}}), "image 2 (32x32) is neither"},
    };
    for (const auto& [bytes, message] : cases) {
        SCOPED_TRACE(message);
        WriteFile(dir / "bad.ico", bytes);
        IdentityOptions o;
        o.icon = dir / "bad.ico";
        try {
            InstallerImage(FakeStub(), o);
            ADD_FAILURE() << "accepted";
        } catch (const IdentityError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("bad.ico"), std::string::npos) << e.what();
        }
    }
}

TEST(SfxtoolVersion, MatchesWindresByteForByteWithNonAsciiStrings) {
    if (std::system("command -v i686-w64-mingw32-windres >/dev/null 2>&1") != 0) GTEST_SKIP() << "windres is not installed";
    TempDir dir;
    // Odd and even lengths (padding), a surrogate pair, Latin, Japanese.
    const std::vector<std::pair<std::string, std::string>> strings = {
        {"ProductVersion", "2.5"}, {"CompanyName", "Orvak Grüße"}, {"Comments", "ファイル 🚀 x"},
        {"FileVersion", "5.2.1.7"}, {"LegalCopyright", "© 2025"}};
    const std::string mine = BuildVersionResource(VersionFromStrings(strings));
    WriteFile(dir / "v.rc", "LANGUAGE 9, 1\n1 VERSIONINFO\nFILEVERSION 5,2,1,7\nPRODUCTVERSION 2,5,0,0\n"
                            "FILEFLAGSMASK 0x3F\nFILEFLAGS 0\nFILEOS 0x40004\nFILETYPE 1\nFILESUBTYPE 0\nBEGIN\n"
                            " BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"040904B0\"\n  BEGIN\n"
                            "   VALUE \"CompanyName\", \"Orvak Grüße\"\n   VALUE \"FileVersion\", \"5.2.1.7\"\n"
                            "   VALUE \"LegalCopyright\", \"© 2025\"\n   VALUE \"ProductVersion\", \"2.5\"\n"
                            "   VALUE \"Comments\", \"ファイル 🚀 x\"\n  END\n END\n"
                            " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", 0x409, 1200\n END\nEND\n");
    ASSERT_EQ(std::system(("i686-w64-mingw32-windres -c 65001 -O res -i '" + (dir / "v.rc") + "' -o '" + (dir / "v.res") + "'").c_str()), 0);
    // A .res file: records of data size, header size, header, data; the first record is empty.
    const std::string res = ReadFile(dir / "v.res");
    size_t at = 0;
    std::string windres;
    while (at + 8 <= res.size() && windres.empty()) {
        const uint32_t data = Get32(res, at), header = Get32(res, at + 4);
        windres = res.substr(at + header, data);
        at = (at + header + data + 3) & ~size_t(3);
    }
    EXPECT_EQ(mine, windres);
    const VersionInfo back = ParseVersionResource(mine);
    EXPECT_EQ(VersionText(back.fileVersion), "5.2.1.7");
    EXPECT_EQ(VersionText(back.productVersion), "2.5.0.0");
    ASSERT_EQ(back.strings.size(), 5u);
    EXPECT_EQ(back.strings[4].first, u"Comments");
    EXPECT_EQ(back.strings[4].second, u"ファイル 🚀 x");
}

TEST(SfxtoolVersion, CommandLineValuesAreChecked) {
    for (const char* bad : {"CompanyName", "companyname=Orvak", "Publisher=Orvak", "Comments=", "FileVersion=1.70000.0.0",
                            "ProductName=\xC3("}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseVersionInfoArgument(bad), IdentityUsageError);
    }
    try {
        ParseVersionInfoArgument("companyname=Orvak");
    } catch (const IdentityUsageError& e) {
        EXPECT_NE(std::string(e.what()).find("did you mean CompanyName?"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ParseVersionInfoArgument("Comments=a=b").second, "a=b");
    EXPECT_THROW(VersionFromStrings({{"Comments", "a"}, {"Comments", "b"}}), IdentityUsageError);
    // Only numbers make a fixed version; other forms stay strings.
    EXPECT_EQ(VersionText(VersionFromStrings({{"FileVersion", "7"}}).fileVersion), "7.0.0.0");
    EXPECT_EQ(VersionText(VersionFromStrings({{"FileVersion", "5.2 beta"}}).fileVersion), "0.0.0.0");
    EXPECT_EQ(VersionText(VersionFromStrings({{"FileVersion", "1.2.3.4.5"}}).fileVersion), "0.0.0.0");
}

TEST(SfxtoolIdentity, AStubsResourcesAreReplacedOrKeptNeverDuplicated) {
    TempDir dir;
    // A stub with a manifest, a version, an icon and a resource of its own.
    std::vector<IconImage> stubIcon = ParseIco(Ico({{16, 32, Dib(16, 32, "s")}, {32, 32, Dib(32, 32, "s")}}));
    ResourceList stubList = ReadResources(FakeStub());
    stubList.push_back(Make(Id(kRtVersion), Id(1), 0x409, BuildVersionResource(VersionFromStrings({{"ProductName", "Stub"}}))));
    stubList.push_back(Make(Id(10), Named(u"KEEP"), 0, "kept"));
    for (auto& r : IconResources(stubIcon, 0x409)) stubList.push_back(r);
    const std::string stub = WithResources(FakeStub(), stubList);

    WriteFile(dir / "one.ico", Ico({{48, 32, Dib(48, 32)}}));
    IdentityOptions o;
    o.icon = dir / "one.ico";
    o.versionInfo = {{"ProductName", "Orvak"}, {"FileVersion", "3.1.4.1"}};
    o.executionLevel = "requireAdministrator";
    std::string installer = InstallerImage(stub, o);
    for (int round = 0; round < 2; ++round) {  // and once more over the installer's own image
        SCOPED_TRACE(round);
        const ResourceList list = ReadResources(installer);
        EXPECT_EQ(list.size(), 5u) << ::testing::PrintToString(Listing(list));
        EXPECT_EQ(CountType(list, kRtIcon), 1u);
        EXPECT_EQ(CountType(list, kRtGroupIcon), 1u);
        EXPECT_EQ(CountType(list, kRtVersion), 1u);
        EXPECT_EQ(CountType(list, kRtManifest), 1u);
        EXPECT_EQ(Find(list, 10)->data, "kept");
        std::string manifest = kFakeManifest;
        manifest.replace(manifest.find("asInvoker"), 9, "requireAdministrator");
        EXPECT_EQ(Find(list, kRtManifest)->data, manifest) << "only the level changes";
        const VersionInfo v = ParseVersionResource(Find(list, kRtVersion)->data);
        EXPECT_EQ(v.strings, (std::vector<std::pair<std::u16string, std::u16string>>{{u"FileVersion", u"3.1.4.1"}, {u"ProductName", u"Orvak"}}))
            << "the stub's strings are replaced, not merged";
        installer = InstallerImage(installer, o);
    }
    // Nothing asked of a stub with a manifest: its image as it is. A stub without one gets it.
    EXPECT_EQ(InstallerImage(stub, {}), stub);
    const ResourceList added = ReadResources(InstallerImage(BareStub(), {}));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].data, StandardManifest());
    EXPECT_NE(added[0].data.find("level=\"asInvoker\""), std::string::npos);
}

TEST(SfxtoolIdentity, PackRefusesAResourceThatHoldsAnArchiveSignature) {
    TempDir dir;
    WriteFile(dir / "payload/Orvak ZEB Installer.exe", "MZ installer");
    struct Case { std::string fill; bool refused; const char* kind; };
    const Case cases[] = {
        {std::string("PK\x03\x04", 4), true, "ZIP"},
        {std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(26, 'a') + std::string(1, '\0'), true, "7z"},
        // Byte 32 is not zero, in every copy of the fill (the last, cut short, too).
        {std::string("7z\xBC\xAF\x27\x1C", 6) + std::string(27, 'a') + std::string(40, 'b'), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        WriteFile(dir / "icon.ico", Ico({{16, 32, Dib(16, 32, c.fill)}}));
        sfxtool::PackOptions o;
        o.stub = dir / "stub.exe";
        WriteFile(o.stub, FakeStub());
        o.payload = dir / "payload";
        o.format = "zip";
        o.out = dir / "out/setup.exe";
        o.identity.icon = dir / "icon.ico";
        fs::create_directories(dir / "out");
        const Report r = sfxtool::Pack(o);
        EXPECT_EQ(HasProblem(r, "resource-false-signature"), c.refused) << Codes(r);
        EXPECT_FALSE(HasProblem(r, "false-match")) << "one problem, named once: " << Codes(r);
        EXPECT_EQ(fs::exists(o.out), !c.refused);
        if (!c.refused) continue;
        EXPECT_TRUE(std::all_of(r.problems.begin(), r.problems.end(), [](const Problem& p) { return p.code == "resource-false-signature"; }))
            << Codes(r);
        EXPECT_NE(r.problems[0].message.find("RT_ICON #1"), std::string::npos) << Codes(r);
        EXPECT_NE(r.problems[0].message.find(c.kind), std::string::npos) << Codes(r);

        // The same installer made by hand: the stub's own locator stops at the reported offset.
        const std::string image = InstallerImage(FakeStub(), o.identity);
        const std::string path = dir / "by-hand.exe";
        BuildZip(CollectPayload(o.payload, std::nullopt), 315532800, dir / "a.zip", image.size());
        WriteFile(path, image + ReadFile(dir / "a.zip"));
        const Report v = Analyse(path);
        ASSERT_TRUE(HasProblem(v, "resource-false-signature")) << Codes(v);
        EXPECT_EQ(v.identity.falseSignatures[0].offset, v.located.offset);
        EXPECT_NE(r.problems[0].message.find("offset " + std::to_string(v.located.offset)), std::string::npos) << Codes(r);
    }
}

TEST(SfxtoolIdentity, PackWritesItDeterministicallyAndVerifyReportsAMissingManifest) {
    TempDir dir;
    WriteFile(dir / "payload/Orvak ZEB Installer.exe", "MZ installer");
    WriteFile(dir / "app.ico", Ico({{16, 32, Dib(16, 32)}, {0, 32, Png(256, 400)}}));
    std::string outputs[2];
    for (int n = 0; n < 2; ++n) {
        sfxtool::PackOptions o;
        o.stub = dir / "stub.exe";
        WriteFile(o.stub, FakeStub());
        o.payload = dir / "payload";
        o.out = dir / ("setup" + std::to_string(n) + ".exe");
        o.identity.icon = dir / "app.ico";
        o.identity.versionInfo = {{"FileVersion", "1.2.3.4"}, {"ProductName", "Orvak Ünïcode"}};
        o.identity.executionLevel = "highestAvailable";
        const Report r = sfxtool::Pack(o);
        ASSERT_TRUE(r.problems.empty()) << Codes(r);
        EXPECT_EQ(ReadFile(o.stub), FakeStub()) << "the stub file is never changed";
        outputs[n] = ReadFile(o.out);
        const Identity& id = Analyse(o.out).identity;
        EXPECT_EQ(id.executionLevel, "highestAvailable");
        EXPECT_EQ(id.uiAccess, "false");
        EXPECT_EQ(id.fileVersion, "1.2.3.4");
        EXPECT_EQ(id.strings, (std::vector<std::pair<std::string, std::string>>{{"FileVersion", "1.2.3.4"}, {"ProductName", "Orvak Ünïcode"}}));
        ASSERT_EQ(id.icons.size(), 2u);
        EXPECT_EQ(Get32(outputs[n], kChecksumAt), PeChecksum(outputs[n], kChecksumAt)) << "over the whole installer";
    }
    EXPECT_EQ(outputs[0], outputs[1]);

    // An installer whose stub has no manifest (not made by pack): verify reports it.
    WriteFile(dir / "bare.exe", BareStub() + outputs[0].substr(ParsePeHeaders(outputs[0]).imageEnd));
    const Report r = Analyse(dir / "bare.exe");
    EXPECT_TRUE(HasProblem(r, "no-manifest")) << Codes(r);
    EXPECT_EQ(r.problems.size(), 1u) << Codes(r);
}

TEST(SfxtoolIdentity, SetsAndReadsTheLevelInManifestsOfAnyShape) {
    const std::string odd = "<a><!-- <requestedExecutionLevel level=\"commented\"/> --><ms:requestedExecutionLevels level=\"other\"/>"
                            "<ms:requestedExecutionLevel\n uiAccess='false' level = 'asInvoker'/></a>";
    EXPECT_EQ(WithExecutionLevel(odd, "highestAvailable"),
              "<a><!-- <requestedExecutionLevel level=\"commented\"/> --><ms:requestedExecutionLevels level=\"other\"/>"
              "<ms:requestedExecutionLevel\n uiAccess='false' level = 'highestAvailable'/></a>");
    EXPECT_THROW(WithExecutionLevel("<assembly/>", "asInvoker"), IdentityError);
    EXPECT_THROW(WithExecutionLevel("<requestedExecutionLevel uiAccess=\"false\"/>", "asInvoker"), IdentityError);
    // A long unterminated tag from a hostile file is read in one pass, found or not.
    const std::string hostile = "<requestedExecutionLevel level=\"" + std::string(4 << 20, 'a');
    EXPECT_FALSE(FindElement(hostile, "requestedExecutionLevel").Found());
    const TextSpan tag = FindElement(odd, "requestedExecutionLevel");
    EXPECT_EQ(odd.substr(FindAttribute(odd, tag, "uiAccess").begin, 5), "false");
}
