#include "tree_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(FormatNodeName, ReCasesOnlyNamesWithoutLowerCaseLetters) {
    struct Case {
        const char* text;
        const char* shown;
    } cases[] = {
        {"WINDOWS", "Windows"},
        {"PROGRAM FILES", "Program files"},
        {"MyDATA", "MyDATA"},
        {"Program Files", "Program Files"},
        {"2024", "2024"},
        {"1.0_RC-2", "1.0_rc-2"},
        {"", ""},
        {"/", "/"},
        {"/MNT/USB", "/mnt/usb"},
        {"\xC3\x84RGER", "\xC3\x84rger"},            // ÄRGER -> Ärger
        {"\xC3\xA9T\xC3\x89", "\xC3\x89t\xC3\xA9"},  // éTÉ -> Été: é is no ASCII letter
        {"\xFF"
         "ABC",
         "\xFF"
         "abc"},  // not UTF-8: ASCII letters alone
        {"\xFF"
         "abc",
         "\xFF"
         "abc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatNodeName(c.text), c.shown) << c.text;
}

TEST(GetPathComponent, SplitsAtEverySeparator) {
    struct Case {
        const char* path;
        std::vector<std::string> components;
    } cases[] = {
        {"/tmp", {"", "tmp"}},
        {"/tmp/", {"", "tmp", ""}},
        {"//srv/Data", {"", "", "srv", "Data"}},
        {"a//b", {"a", "", "b"}},
        {"Invalid directory", {"Invalid directory"}},
        {"C:\\Temp", {"C:\\Temp"}},
        {"", {""}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        std::string component;
        for (int i = 0; GetPathComponent(c.path, i, component); ++i)
            got.push_back(component);
        EXPECT_EQ(got, c.components) << c.path;
    }
    std::string untouched = "kept";
    EXPECT_FALSE(GetPathComponent("/tmp", 2, untouched));
    EXPECT_EQ(untouched, "kept");
}

TEST(NetResourceRecord, OwnsCopiesOfEveryTextAndCountsItself) {
    EXPECT_EQ(DuplicateString(nullptr), nullptr);
    const char* text = "//srv";
    const auto copy = DuplicateString(text);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), text);
    EXPECT_STREQ(copy.get(), text);
    EXPECT_STREQ(DuplicateString("").get(), "");

    const int before = NetResourceRecord::LiveCount();
    platform::NetResource entry;
    entry.scope = 2;
    entry.type = 1;
    entry.display_type = 2;
    entry.usage = 2;
    entry.remote_name = "//srv";
    entry.provider = "nfs";
    {
        const auto record = MakeNetResourceRecord(entry);
        EXPECT_EQ(NetResourceRecord::LiveCount(), before + 1);
        EXPECT_STREQ(record->m_remoteName.get(), "//srv");
        EXPECT_EQ(record->m_localName, nullptr);
        EXPECT_EQ(record->m_comment, nullptr);
        const platform::NetResource back = ToNetResource(*record);
        EXPECT_EQ(back.remote_name, entry.remote_name);
        EXPECT_EQ(back.provider, entry.provider);
        EXPECT_FALSE(back.local_name);
        EXPECT_EQ(back.display_type, 2u);
        EXPECT_EQ(back.scope, 2u);
        EXPECT_EQ(back.usage, 2u);
    }
    EXPECT_EQ(NetResourceRecord::LiveCount(), before);
}
