// Property lists, path helpers and the time-stamp format.
#include "platform/clock.h"
#include "platform/bundle.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace std::string_literals;

namespace {

std::string xmlPlist(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">"
           + body + "</plist>\n";
}

std::string nestedXml(int levels)
{
    std::string body = "<dict><key>CFBundleIdentifier</key><string>com.example.acme</string><key>deep</key>";
    for (int i = 1; i < levels; ++i)
        body += "<array>";
    for (int i = 1; i < levels; ++i)
        body += "</array>";
    return xmlPlist(body + "</dict>");
}

// A binary property list written by hand: object 0 is the top object,
// `objects` their encodings, references one byte wide.
std::string binaryPlist(const std::vector<std::string>& objects, int refSize = 1)
{
    std::string data = "bplist00";
    std::vector<uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(data.size());
        data += object;
    }
    uint64_t table = data.size();
    const int offsetSize = 4;
    for (uint64_t offset : offsets) {
        for (int i = offsetSize - 1; i >= 0; --i)
            data += static_cast<char>((offset >> (8 * i)) & 0xFF);
    }
    std::string trailer(32, '\0');
    trailer[6] = static_cast<char>(offsetSize);
    trailer[7] = static_cast<char>(refSize);
    auto put = [&](int at, uint64_t value) {
        for (int i = 0; i < 8; ++i)
            trailer[static_cast<std::size_t>(at + i)] = static_cast<char>((value >> (8 * (7 - i))) & 0xFF);
    };
    put(8, objects.size());
    put(16, 0);
    put(24, table);
    return data + trailer;
}

std::string ascii(const std::string& text)
{
    if (text.size() < 15)
        return std::string(1, static_cast<char>(0x50 | text.size())) + text;
    return "\x5F\x10"s + static_cast<char>(text.size()) + text;
}

// {"CFBundleIdentifier": "com.example.acme", "deep": [[[...]]]} with
// `levels` arrays, references four bytes wide.
std::string nestedBinary(int levels)
{
    auto ref = [](uint32_t index) {
        std::string bytes(4, '\0');
        for (int i = 0; i < 4; ++i)
            bytes[static_cast<std::size_t>(i)] = static_cast<char>((index >> (8 * (3 - i))) & 0xFF);
        return bytes;
    };
    std::vector<std::string> objects = {"\xD2" + ref(1) + ref(2) + ref(3) + ref(4), ascii("CFBundleIdentifier"), ascii("deep"),
                                        ascii("com.example.acme")};
    for (int i = 0; i < levels; ++i) {
        uint32_t index = static_cast<uint32_t>(objects.size());
        objects.push_back(i + 1 < levels ? "\xA1" + ref(index + 1) : std::string("\xA0"));
    }
    return binaryPlist(objects, 4);
}

std::string libplistBinary(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string binary(bytes, length);
    std::free(bytes);
    plist_free(root);
    return binary;
}

} // namespace

TEST(PropertyListFrom, ReadsXmlAndBinaryAlike)
{
    const std::string xml = xmlPlist(R"(<dict>
        <key>CFBundleIdentifier</key><string>com.example.acme</string>
        <key>CFBundleName</key><string>Acme &amp; Co</string>
        <key>Count</key><integer>-5</integer>
        <key>Ratio</key><real>0.5</real>
        <key>On</key><true/>
        <key>Off</key><false/>
        <key>When</key><date>2025-01-31T12:34:56Z</date>
        <key>Bytes</key><data>AAEC</data>
        <key>Schemes</key><array><string>acme</string><dict/></array>
        <!-- a comment with <array> in it -->
    </dict>)");
    const nlohmann::json expected = {
        {"CFBundleIdentifier", "com.example.acme"},
        {"CFBundleName", "Acme & Co"},
        {"Count", -5},
        {"Ratio", 0.5},
        {"On", true},
        {"Off", false},
        {"When", nullptr},
        {"Bytes", nullptr},
        {"Schemes", {"acme", nlohmann::json::object()}},
    };
    EXPECT_EQ(platform::propertyListFrom(xml), expected);
    EXPECT_EQ(platform::propertyListFrom(libplistBinary(xml)), expected);
}

TEST(PropertyListFrom, RefusesWhatIsNoPropertyList)
{
    const std::pair<const char*, std::string> cases[] = {
        {"nothing", ""},
        {"plain text", "CFBundleIdentifier = com.example.acme;"},
        {"JSON", R"({"CFBundleIdentifier":"com.example.acme"})"},
        {"cut XML", xmlPlist("<dict><key>CFBundleIdentifier</key><string>com.example.acme</string>").substr(0, 150)},
        {"binary garbage", std::string("bplist00\x01\xff\x00\x13garbage", 19)},
        {"a binary header only", "bplist00"},
        {"a binary trailer pointing nowhere", binaryPlist({"\x51x"}).substr(0, 11) + std::string(32, '\xff')},
        {"a binary array holding itself", binaryPlist({"\xA1\x00"s})},
        {"a binary dictionary reaching back", binaryPlist({"\xD1\x01\x02", "\x51k", "\xA1\x00"s})},
        {"a binary reference out of range", binaryPlist({"\xA1\x05"})},
        {"XML nested too deeply", nestedXml(100000)},
        {"binary nested too deeply", nestedBinary(100000)},
    };
    for (const auto& [name, bytes] : cases)
        EXPECT_EQ(platform::propertyListFrom(bytes), std::nullopt) << name;
}

TEST(PropertyListFrom, FollowsNestingUpToItsLimit)
{
    for (int levels : {2, 100, 256}) {
        auto xml = platform::propertyListFrom(nestedXml(levels));
        ASSERT_TRUE(xml) << levels;
        EXPECT_EQ(xml->at("CFBundleIdentifier"), "com.example.acme");
        auto binary = platform::propertyListFrom(nestedBinary(levels - 1));
        ASSERT_TRUE(binary) << levels;
        EXPECT_EQ(*binary, *xml) << levels;
    }
    EXPECT_EQ(platform::propertyListFrom(nestedXml(300)), std::nullopt);
    EXPECT_EQ(platform::propertyListFrom(nestedBinary(300)), std::nullopt);
}

TEST(PropertyListFrom, KeepsTheTopLevelAsItIs)
{
    EXPECT_EQ(platform::propertyListFrom(xmlPlist("<array><string>a</string></array>")), nlohmann::json::array({"a"}));
    EXPECT_EQ(platform::propertyListFrom(xmlPlist("<string>a</string>")), nlohmann::json("a"));
    // A shared object is read wherever it is referenced.
    EXPECT_EQ(platform::propertyListFrom(binaryPlist({"\xA2\x01\x01", "\x51x"})), nlohmann::json::array({"x", "x"}));
}

namespace {

// A UTF-16 string object of a binary property list.
std::string utf16(const std::u16string& text)
{
    std::string object(1, static_cast<char>(0x60 | text.size()));
    for (char16_t unit : text) {
        object += static_cast<char>(unit >> 8);
        object += static_cast<char>(unit & 0xFF);
    }
    return object;
}

// {key: value}, both already encoded as objects.
std::string binaryDictionary(const std::string& key, const std::string& value)
{
    return binaryPlist({"\xD1\x01\x02", key, value});
}

} // namespace

// The library reads a key holding NUL only through a getter that aborts:
// such lists must be refused before it runs, while a string keeps its NUL.
TEST(PropertyListFrom, KeepsNulInStringsAndRefusesItInKeys)
{
    auto kept = platform::propertyListFrom(binaryDictionary(ascii("k"), utf16(u"x\0y"s)));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->at("k"), "x\0y"s);

    const std::pair<const char*, std::string> refused[] = {
        {"binary UTF-16 key", binaryDictionary(utf16(u"a\0b"s), ascii("x"))},
        {"binary UTF-16 key ending in NUL", binaryDictionary(utf16(u"a\0"s), ascii("x"))},
        {"binary ASCII key", binaryDictionary("\x53" "a\0b"s, ascii("x"))},
        {"binary key of a nested dictionary",
         binaryPlist({"\xD1\x01\x02", ascii("outer"), "\xD1\x03\x04"s, utf16(u"a\0b"s), ascii("x")})},
        {"XML key", xmlPlist("<dict><key>a\0b</key><string>x</string></dict>"s)},
        {"XML string", xmlPlist("<dict><key>k</key><string>x\0y</string></dict>"s)},
        {"XML comment", xmlPlist("<dict><!-- \0 --><key>k</key><string>x</string></dict>"s)},
    };
    for (const auto& [name, bytes] : refused)
        EXPECT_EQ(platform::propertyListFrom(bytes), std::nullopt) << name;
}

TEST(BundleContaining, FindsTheBundleAroundTheExecutable)
{
    auto inBundle = platform::Bundle::containing("/nowhere/Acme.app/Contents/MacOS/Acme");
    EXPECT_EQ(inBundle.path(), "/nowhere/Acme.app");
    EXPECT_EQ(inBundle.resourcesPath(), "/nowhere/Acme.app/Contents/Resources");
    EXPECT_EQ(inBundle.info(), nlohmann::json::object());
    EXPECT_EQ(inBundle.identifier(), std::nullopt);

    auto bare = platform::Bundle::containing("/nowhere/bin/tool");
    EXPECT_EQ(bare.path(), "/nowhere/bin");
    EXPECT_EQ(bare.resourcesPath(), "/nowhere/bin");

    auto halfBundle = platform::Bundle::containing("/nowhere/Acme.app/MacOS/Acme");
    EXPECT_EQ(halfBundle.path(), "/nowhere/Acme.app/MacOS");
}

// An identifier names folders: one cut short at a NUL would name another
// application's.
TEST(BundleContaining, RefusesAnIdentifierHoldingNul)
{
    char pattern[] = "/tmp/kestrune-bundle-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    const std::string root = pattern;
    const std::string contents = root + "/Acme.app/Contents";
    std::filesystem::create_directories(contents + "/MacOS");
    auto identifierIs = [&](const std::string& value) {
        std::ofstream(contents + "/Info.plist", std::ios::binary | std::ios::trunc)
            << binaryDictionary(ascii("CFBundleIdentifier"), value);
        return platform::Bundle::containing(contents + "/MacOS/Acme").identifier();
    };
    EXPECT_EQ(identifierIs(ascii("com.example.acme")), "com.example.acme");
    EXPECT_EQ(identifierIs(utf16(u"com.example\0acme"s)), std::nullopt);
    std::filesystem::remove_all(root);
}

TEST(PathHelpers, LastComponent)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/c", "c"}, {"/a/b/c/", "c"}, {"/a/b/c//", "c"}, {"c", "c"}, {"/", "/"}, {"", ""}, {"/c", "c"}, {"a/b", "b"},
        {"/a/Acme-runtime.json", "Acme-runtime.json"},
    };
    for (auto [path, last] : cases)
        EXPECT_EQ(platform::lastComponent(path), last) << path;
}

TEST(PathHelpers, DeletingLastComponent)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/bun/bin/bun", "/opt/bun/bin"}, {"/opt/bun/bin/", "/opt/bun"}, {"/bun", "/"}, {"/", "/"}, {"bun", ""},
        {"", ""}, {"a/b", "a"}, {"a/b//c", "a/b"}, {"//c", "/"},
    };
    for (auto [path, rest] : cases)
        EXPECT_EQ(platform::deletingLastComponent(path), rest) << path;
}

TEST(PathHelpers, AppendingComponent)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/A.app", "Contents/MacOS", "/A.app/Contents/MacOS"},
        {"/A.app/", "Contents", "/A.app/Contents"},
        {"/A.app", "/Contents", "/A.app/Contents"},
        {"/", "x", "/x"},
        {"", "x", "x"},
        {"/A.app", "", "/A.app/"},
    };
    for (auto [base, component, joined] : cases)
        EXPECT_EQ(platform::appendingComponent(base, component), joined) << base << " + " << component;
}

TEST(PathHelpers, ExpandingTilde)
{
    std::optional<std::string> old;
    if (const char* home = std::getenv("HOME"))
        old = home;
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"/home/someone", "~/x", "/home/someone/x"},
        {"/home/someone/", "~/x", "/home/someone/x"},
        {"/home/someone", "~/", "/home/someone/"},
        {"/home/someone", "~", "~"},
        {"/home/someone", "~other/x", "~other/x"},
        {"/home/someone", "/a/~/x", "/a/~/x"},
        {"/home/someone", "x~/", "x~/"},
        {"/", "~/x", "/x"},
    };
    for (auto [home, path, expanded] : cases) {
        setenv("HOME", home, 1);
        EXPECT_EQ(platform::expandingTilde(path), expanded) << home << " " << path;
    }
    if (old)
        setenv("HOME", old->c_str(), 1);
    else
        unsetenv("HOME");
}

TEST(Clock, WritesUtcWithMilliseconds)
{
    using namespace std::chrono;
    const std::pair<int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1738326896789, "2025-01-31T12:34:56.789Z"},
        {1738326896000, "2025-01-31T12:34:56.000Z"},
        {1709208000001, "2024-02-29T12:00:00.001Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {4102444799999, "2099-12-31T23:59:59.999Z"},
    };
    for (auto [milliseconds, text] : cases)
        EXPECT_EQ(platform::clock.stamp(system_clock::time_point(std::chrono::milliseconds(milliseconds))), text) << milliseconds;
    // Sub-millisecond parts are cut, never rounded up.
    EXPECT_EQ(platform::clock.stamp(system_clock::time_point(microseconds(1738326896789999))), "2025-01-31T12:34:56.789Z");
    auto now = platform::clock.now();
    EXPECT_EQ(now.size(), 24u);
    EXPECT_EQ(now.back(), 'Z');
}
