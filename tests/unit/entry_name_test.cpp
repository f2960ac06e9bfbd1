// The entry-name check shared by both extractors and the .launch reader.
#include <gtest/gtest.h>

#include <string>

#include "payload/EntryNameCheck.h"

namespace {

bool Safe(const std::u16string& name) {
    return stub::EntryNameIsSafe(name.data(), static_cast<platform::u32>(name.size()));
}

TEST(EntryNameCheck, AcceptsOrdinaryNames) {
    for (const std::u16string name :
         {u"setup.exe", u"a/b/c.txt", u"dir/", u"a\\b.txt", u".hidden", u"a/./b", u"a..b",
          u"..a", u"a..", u"x/...more", u"console.txt", u"CONFIG.SYS", u"nul1", u"COM10",
          u"LPT0.txt", u"COM", u"a/con2/b", u"\u00e9t\u00e9/r\u00e9sum\u00e9.txt",
          u"Orvak ZEB Installer.exe"}) {
        EXPECT_TRUE(Safe(name)) << std::string(name.begin(), name.end());
    }
}

TEST(EntryNameCheck, RejectsNamesThatLeaveTheFolder) {
    for (const std::u16string name :
         {u"..", u"../x", u"..\\x", u"a/../../b", u"a\\..\\..\\b", u"a/..", u"/abs", u"\\abs",
          u"\\\\server\\share\\x", u"//server/share/x", u"C:x", u"C:\\x", u"c:/x",
          u"name:stream", u"a/b:$DATA", u"... /x", u"a/.. /b", u"a/../b", u"./../x",
          u"a/. ./b", u"a/.../b"}) {
        EXPECT_FALSE(Safe(name)) << std::string(name.begin(), name.end());
    }
}

TEST(EntryNameCheck, RejectsDeviceNamesAsAnyComponent) {
    for (const std::u16string name :
         {u"CON", u"con", u"nul.txt", u"NUL.tar.gz", u"aux", u"Prn.log", u"lpt1", u"LPT9.bin",
          u"com1", u"COM9.txt", u"com\u00b9", u"lpt\u00b2.x", u"dir/CON", u"dir/nul.txt/x",
          u"con .txt", u"CON.", u"con  ", u"conin$", u"CONOUT$.x", u"a\\aux\\b"}) {
        EXPECT_FALSE(Safe(name)) << std::string(name.begin(), name.end());
    }
}

TEST(EntryNameCheck, NulHandling) {
    // A single trailing NUL within the count is a terminator (7z names are counted with it).
    const std::u16string terminated(u"a/b.txt\0", 8);
    EXPECT_TRUE(Safe(terminated));
    // Any other NUL cuts the name short on the way to the file system.
    EXPECT_FALSE(Safe(std::u16string(u"a.txt\0../x", 10)));
    EXPECT_FALSE(Safe(std::u16string(u"a.txt\0\0", 7)));
    EXPECT_FALSE(Safe(std::u16string(u"\0", 1)));
    EXPECT_FALSE(Safe(u""));
    // Only `count` units are looked at.
    const std::u16string longer = u"ok.txt/../../x";
    EXPECT_TRUE(stub::EntryNameIsSafe(longer.data(), 6));
    EXPECT_FALSE(stub::EntryNameIsSafe(longer.data(), static_cast<platform::u32>(longer.size())));
}

}  // namespace
