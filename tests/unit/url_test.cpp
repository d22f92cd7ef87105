// URL texts: which parse and with what scheme, file URLs and their paths,
// the Services entry's URLs, trimming, and link files.
#include "links/link_file.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrune::links;

TEST(SchemeOf, ParsesURLReferencesStrictly)
{
    struct Case {
        std::string text;
        std::optional<std::string> scheme;
    };
    const Case cases[] = {
        {"acme://open/settings", "acme"},
        {"ACME://Open", "acme"},
        {"Acme+x.y-z:opaque", "acme+x.y-z"},
        {"mailto:someone@example.com", "mailto"},
        {"acme://user:pw@host:8080/p?q=1&r=2#frag", "acme"},
        {"acme://[::1]:80/", "acme"},
        {"acme://h/%41%c3%A9", "acme"},
        {"acme:", "acme"},
        {"/just/a/path", std::nullopt},              // no scheme
        {"relative?x=1", std::nullopt},
        {"", std::nullopt},
        {"1acme://x", std::nullopt},                 // a scheme starts with a letter
        {":x", std::nullopt},
        {"acme://open settings", std::nullopt},      // space
        {"acme://h/\xc3\xa9", std::nullopt},         // not ASCII
        {"acme://h/%4", std::nullopt},               // short escape
        {"acme://h/%zz", std::nullopt},
        {"acme://h:port/", std::nullopt},
        {"acme://[::1/", std::nullopt},
        {"acme://h/a#b#c", std::nullopt},
        {"acme://h/<x>", std::nullopt},
        {"acme://h/\n", std::nullopt},
        {std::string("acme://h/\0x", 11), std::nullopt},
        {"ac me:x", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(schemeOf(c.text), c.scheme) << c.text;
}

TEST(FilePathOf, DecodesLocalFileURLs)
{
    struct Case {
        std::string url;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"file:///tmp/a.link", "/tmp/a.link"},
        {"FILE:///tmp/a%20b.link", "/tmp/a b.link"},
        {"file://localhost/tmp/x", "/tmp/x"},
        {"file:/tmp/x", "/tmp/x"},
        {"file:///tmp/%C3%A9", "/tmp/\xc3\xa9"},
        {"file:///tmp/x?query#frag", "/tmp/x"},
        {"file://otherhost/tmp/x", std::nullopt},
        {"file:///tmp/%00x", std::nullopt},
        {"file:relative", std::nullopt},
        {"acme:///tmp/x", std::nullopt},
        {"file:///tmp/a b", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(filePathOf(c.url), c.path) << c.url;
    for (std::string path : {"/tmp/plain", "/tmp/a b/c%d#e?f", "/tmp/\xc3\xa9t\xc3\xa9", "/tmp/\x01\x7f"})
        EXPECT_EQ(filePathOf(fileURLOf(path)), path) << path;
}

TEST(ServiceURLOf, EscapesWhatWouldChangeTheURL)
{
    EXPECT_EQ(serviceURLOf("acme", "drop", "/tmp/a b&c=d+e#f?g%.txt"), "acme://drop?path=/tmp/a%20b%26c%3Dd%2Be%23f%3Fg%25.txt");
    EXPECT_EQ(serviceURLOf("acme", "two words", "/x"), "acme://two%20words?path=/x");
    EXPECT_EQ(serviceURLOf("acme", "", "/x"), std::nullopt);
    auto url = serviceURLOf("acme", "h", "/tmp/\xc3\xa9\n");
    ASSERT_TRUE(url);
    EXPECT_EQ(schemeOf(*url), "acme");
}

TEST(Trimmed, RemovesWhiteSpaceAndLineBreaksAtBothEnds)
{
    EXPECT_EQ(trimmed("  acme://x \n"), "acme://x");
    EXPECT_EQ(trimmed("\t\r\n\v\facme://x y\r\n"), "acme://x y");
    EXPECT_EQ(trimmed("\xc2\xa0\xe2\x80\xa8" "acme://x\xe3\x80\x80\xc2\x85"), "acme://x");
    EXPECT_EQ(trimmed(" \n "), "");
    EXPECT_EQ(trimmed("\xe2\x80\x8b" "acme://x"), "\xe2\x80\x8b" "acme://x");   // zero width space is no white space
}

TEST(IsUTF8, RefusesMalformedSequences)
{
    EXPECT_TRUE(platform::isUTF8("plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"));
    for (std::string bad : {"\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\x80", "\xe2\x82", "\xff"})
        EXPECT_FALSE(platform::isUTF8(bad)) << bad.size();
}

class LinkFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrune-link-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder = pattern;
        readTheLinkSettings({
            {"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"acme"}}}}},
            {"KestruneLinkExtension", "AcmeLink"},
            {"KestruneLinkRelayPrefix", "acme-"},
        });
    }
    void TearDown() override
    {
        std::system(("rm -rf '" + folder + "'").c_str());
        readTheLinkSettings(nlohmann::json::object());
    }
    std::string write(const std::string& name, const std::string& bytes)
    {
        std::string path = folder + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return "file://" + path;
    }
    std::string folder;
};

TEST_F(LinkFile, YieldsTheTrimmedLinkOfItsOwnOrARelayedScheme)
{
    EXPECT_EQ(linkOf(write("a.acmelink", "  acme://open/x\n")), "acme://open/x");
    EXPECT_EQ(linkOf(write("b.ACMELINK", "ACME://Upper")), "ACME://Upper");
    EXPECT_EQ(linkOf(write("c.acmelink", "acme-other://relay")), "acme-other://relay");
    EXPECT_EQ(linkOf(write("d.acmelink", "https://example.com")), std::nullopt);
    EXPECT_EQ(linkOf(write("e.txt", "acme://x")), std::nullopt);
    EXPECT_EQ(linkOf(write("f.acmelink", "not a url")), std::nullopt);
    EXPECT_EQ(linkOf(write("g.acmelink", "acme://\xff")), std::nullopt);
    EXPECT_EQ(linkOf(write("h.acmelink", "")), std::nullopt);
    EXPECT_EQ(linkOf("file://" + folder + "/missing.acmelink"), std::nullopt);
    EXPECT_EQ(linkOf("acme://not-a-file.acmelink"), std::nullopt);
}

TEST_F(LinkFile, ReadsAtMostTheLimit)
{
    std::string head = "acme://x?";
    EXPECT_EQ(linkOf(write("limit.acmelink", head + std::string(linkFileBytes - head.size(), 'a'))).value_or("").size(), linkFileBytes);
    EXPECT_EQ(linkOf(write("over.acmelink", head + std::string(linkFileBytes + 1 - head.size(), 'a'))), std::nullopt);
    // White space counts towards the file's size.
    EXPECT_EQ(linkOf(write("padded.acmelink", "acme://x" + std::string(linkFileBytes, ' '))), std::nullopt);
}

TEST_F(LinkFile, NeverReadsWhatIsNoRegularFile)
{
    ASSERT_EQ(mkdir((folder + "/dir.acmelink").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo((folder + "/fifo.acmelink").c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", (folder + "/zero.acmelink").c_str()), 0);
    std::string unreadable = write("locked.acmelink", "acme://x");
    chmod(unreadable.substr(7).c_str(), 0);
    for (const char* name : {"dir.acmelink", "fifo.acmelink", "zero.acmelink"})
        EXPECT_EQ(linkOf("file://" + folder + "/" + name), std::nullopt) << name;
    if (geteuid() != 0) {
        EXPECT_EQ(linkOf(unreadable), std::nullopt);
    }
}

TEST_F(LinkFile, NothingWithoutALinkExtension)
{
    std::string url = write("a.acmelink", "acme://x");
    readTheLinkSettings({{"CFBundleURLTypes", {{{"CFBundleURLSchemes", {"acme"}}}}}});
    EXPECT_EQ(linkOf(url), std::nullopt);
}
