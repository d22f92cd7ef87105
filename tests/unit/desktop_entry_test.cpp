#include "platform/linux/desktop_entry.h"
#include "platform/login_items.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(DesktopEntry, StringValuesEscapeWhatReadersWouldChange)
{
    struct Case {
        std::string text;
        std::string value;
    };
    const Case cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"back\\slash", "back\\\\slash"},
        {"two\nlines", "two\\nlines"},
        {"tab\there", "tab\\there"},
        {"carriage\rreturn", "carriage\\rreturn"},
        {"inner spaces stay", "inner spaces stay"},
        {" leading", "\\sleading"},
        {"trailing ", "trailing\\s"},
        {" ", "\\s"},
        {"/tmp/My App.app", "/tmp/My App.app"},
        {"ünïcode = fine; #too", "ünïcode = fine; #too"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(desktopEntryValue(c.text), c.value) << c.text;
        EXPECT_EQ(unescapedDesktopEntryValue(c.value), c.text) << c.value;
    }
}

TEST(DesktopEntry, UnknownAndDanglingEscapesAreKept)
{
    EXPECT_EQ(unescapedDesktopEntryValue("a\\qb"), "a\\qb");
    EXPECT_EQ(unescapedDesktopEntryValue("end\\"), "end\\");
    EXPECT_EQ(unescapedDesktopEntryValue("\\;"), "\\;");
}

TEST(DesktopEntry, ExecQuotesOnlyTheArgumentsThatNeedIt)
{
    struct Case {
        std::vector<std::string> arguments;
        std::string command;
    };
    const Case cases[] = {
        {{"/usr/bin/helper"}, "/usr/bin/helper"},
        {{"/usr/bin/helper", "--flag=1", "-v"}, "/usr/bin/helper --flag=1 -v"},
        {{"/opt/My App/helper"}, "\"/opt/My App/helper\""},
        {{"x", ""}, "x \"\""},
        {{"x", "100%"}, "x 100%%"},
        {{"x", "%u"}, "x %%u"},
        {{"x", "50% off"}, "x \"50%% off\""},
        {{"x", "say \"hi\""}, "x \"say \\\"hi\\\"\""},
        {{"x", "$HOME"}, "x \"\\$HOME\""},
        {{"x", "`id`"}, "x \"\\`id\\`\""},
        {{"x", "back\\slash"}, "x \"back\\\\slash\""},
        {{"x", "it's"}, "x \"it's\""},
        {{"x", "tab\tin"}, "x \"tab\tin\""},
        {{"x", "new\nline"}, "x \"new\nline\""},
        {{"x", "~"}, "x \"~\""},
        {{"x", "a>b<c|d&e;f*g?h#i(j)k"}, "x \"a>b<c|d&e;f*g?h#i(j)k\""},
        {{"x", "ünïcode"}, "x ünïcode"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(execCommandOf(c.arguments), c.command) << c.command;
}

TEST(DesktopEntry, ExecValueEscapesTheQuotingBackslashesAgain)
{
    // The string-value escaping comes on top of the quoting: a backslash in
    // an argument is four in the file.
    EXPECT_EQ(desktopEntryValue(execCommandOf({"x", "a\\b"})), "x \"a\\\\\\\\b\"");
    EXPECT_EQ(desktopEntryValue(execCommandOf({"x", "a\"b"})), "x \"a\\\\\"b\"");
    EXPECT_EQ(desktopEntryValue(execCommandOf({"x", "two\nlines"})), "x \"two\\nlines\"");
}

TEST(DesktopEntry, ReadsOnlyTheMainGroup)
{
    const std::string text = "# made by hand\n"
                             "[Desktop Entry]\r\n"
                             "Type=Application\n"
                             "Name = Acme \n"
                             "Name[de]=Akme\n"
                             "  Exec=  /usr/bin/acme --x\n"
                             "Comment=\\sspaced\\ttabbed\n"
                             "Hidden=false\n"
                             "Hidden=true\n"
                             "no equals sign here\n"
                             "=no key\n"
                             "\n"
                             "[Desktop Action other]\n"
                             "Exec=/bin/false\n"
                             "Other=1\n";
    DesktopEntryKeys keys = desktopEntryKeysOf(text);
    DesktopEntryKeys expected = {
        {"Type", "Application"},
        {"Name", "Acme "},
        {"Exec", "/usr/bin/acme --x"},
        {"Comment", " spaced\ttabbed"},
        {"Hidden", "true"},
    };
    EXPECT_EQ(keys, expected);
    EXPECT_TRUE(desktopEntryKeysOf("").empty());
    EXPECT_TRUE(desktopEntryKeysOf("Exec=/bin/true\n").empty());
    EXPECT_TRUE(desktopEntryKeysOf("\x01\x02garbage").empty());
}

TEST(DesktopEntry, Booleans)
{
    EXPECT_TRUE(desktopEntryBooleanIs("true", true));
    EXPECT_TRUE(desktopEntryBooleanIs("1", true));
    EXPECT_TRUE(desktopEntryBooleanIs("true ", true));
    EXPECT_FALSE(desktopEntryBooleanIs("True", true));
    EXPECT_FALSE(desktopEntryBooleanIs("yes", true));
    EXPECT_FALSE(desktopEntryBooleanIs("false", true));
    EXPECT_TRUE(desktopEntryBooleanIs("false", false));
    EXPECT_TRUE(desktopEntryBooleanIs("0", false));
    EXPECT_FALSE(desktopEntryBooleanIs("", false));
    EXPECT_FALSE(desktopEntryBooleanIs("true", false));
}

TEST(LoginItems, SwitchOffKeys)
{
    using Keys = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        DesktopEntryKeys entry;
        Keys switchedOff;
    };
    const Case cases[] = {
        {{{"Type", "Application"}}, {}},
        {{{"Hidden", "true"}}, {{"Hidden", "true"}}},
        {{{"Hidden", "false"}}, {}},
        {{{"X-GNOME-Autostart-enabled", "false"}}, {{"X-GNOME-Autostart-enabled", "false"}}},
        {{{"X-GNOME-Autostart-enabled", "true"}}, {}},
        {{{"X-MATE-Autostart-enabled", "0"}}, {{"X-MATE-Autostart-enabled", "0"}}},
        {{{"Autostart-enabled", "false"}}, {}},
        {{{"X-GNOME-Autostart-Delay", "false"}}, {}},
        {{{"Hidden", "true"}, {"X-GNOME-Autostart-enabled", "false"}},
         {{"Hidden", "true"}, {"X-GNOME-Autostart-enabled", "false"}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(switchOffKeysIn(c.entry), c.switchedOff);
}
