// The fixed-buffer text helpers: where the strict forms refuse and the truncating forms cut.
#include <gtest/gtest.h>

#include <string>

#include "run/Text.h"

namespace {

using platform::WChar;

TEST(LauncherText, StrictFormsTakeUpTo259UnitsAndNeverCut) {
    WChar buffer[platform::kMaxPathChars + 8];
    const std::u16string fits(259, u'a');
    const std::u16string tooLong(260, u'a');
    EXPECT_TRUE(stub::StrictCopy(buffer, fits.c_str()));
    EXPECT_EQ(std::u16string(buffer), fits);
    EXPECT_FALSE(stub::StrictCopy(buffer, tooLong.c_str()));
    EXPECT_LT(std::u16string(buffer).size(), 260u);  // still terminated inside the capacity

    ASSERT_TRUE(stub::StrictCopy(buffer, std::u16string(250, u'b').c_str()));
    EXPECT_TRUE(stub::StrictAppend(buffer, u"123456789"));  // 259
    EXPECT_FALSE(stub::StrictAppend(buffer, u"x"));           // 260
    EXPECT_EQ(std::u16string(buffer), std::u16string(250, u'b') + u"123456789") << "not cut";
}

TEST(LauncherText, TruncatingFormsCutToTheCapacity) {
    WChar buffer[16];
    for (WChar& unit : buffer) unit = u'#';
    stub::TruncatingCopy(buffer, 8, u"abcdefghij");
    EXPECT_EQ(std::u16string(buffer), u"abcdefg");
    EXPECT_EQ(buffer[8], u'#') << "nothing written past the capacity";
    stub::TruncatingCopy(buffer, 8, u"abc");
    stub::TruncatingAppend(buffer, 8, u"defghij");
    EXPECT_EQ(std::u16string(buffer), u"abcdefg");
}

TEST(LauncherText, FolderOfPath) {
    WChar out[platform::kMaxPathChars];
    ASSERT_TRUE(stub::FolderOfPath(u"C:\\stub dir\\SelfExtractor.exe", out));
    EXPECT_EQ(std::u16string(out), u"C:\\stub dir");
    ASSERT_TRUE(stub::FolderOfPath(u"stub.exe", out));
    EXPECT_EQ(std::u16string(out), u"stub.exe");  // no backslash: kept whole
    EXPECT_FALSE(stub::FolderOfPath(std::u16string(300, u'p').c_str(), out));
}

}  // namespace
