// Every way the start-up can refuse a bundle: the exact standard-error line,
// the exit status, nothing on standard output and nothing written to HOME.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sys/stat.h>

namespace {

using namespace std::string_literals;
using Prepare = std::function<void(fixture::Bundle&)>;

struct Failure {
    const char* name;
    Prepare prepare;
    std::string err;   // {bundle} and {home} are replaced
    int status;
    std::vector<std::string> arguments = {};
    std::map<std::string, std::string> environment = {};
};

const std::string unavailable = "runtime is unavailable: ";

void goodInfo(fixture::Bundle& bundle)
{
    bundle.writeInfoWithIdentifier();
}

void goodDescriptor(fixture::Bundle& bundle)
{
    bundle.writeTestShellDescriptor();
}

// An XML property list whose "deep" member nests `levels` arrays.
std::string deeplyNestedInfo(int levels)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleIdentifier</key><string>com.example.acme</string><key>deep</key>";
    for (int i = 0; i < levels; ++i)
        text += "<array>";
    for (int i = 0; i < levels; ++i)
        text += "</array>";
    return text + "</dict></plist>\n";
}

std::string deeplyNestedDescriptor(int levels)
{
    return "{\"bun\":\"" + fixture::testShell() + "\",\"shell\":\"/\",\"deep\":" + std::string(static_cast<std::size_t>(levels), '[')
           + std::string(static_cast<std::size_t>(levels), ']') + "}";
}

// A binary Info.plist: {"CFBundleIdentifier": identifier, key: "x"}, the
// identifier and the key in UTF-16 (the form that can carry NUL).
std::string binaryInfo(const std::u16string& identifier, const std::u16string& key)
{
    auto utf16 = [](const std::u16string& text) {
        std::string object = {static_cast<char>(0x6F), static_cast<char>(0x10), static_cast<char>(text.size())};
        for (char16_t unit : text) {
            object += static_cast<char>(unit >> 8);
            object += static_cast<char>(unit & 0xFF);
        }
        return object;
    };
    const std::vector<std::string> objects = {"\xD2\x01\x02\x03\x04", utf16(u"CFBundleIdentifier"), utf16(key), utf16(identifier),
                                              utf16(u"x")};
    std::string data = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets += static_cast<char>(data.size());
        data += object;
    }
    const auto table = static_cast<char>(data.size());
    data += offsets;
    std::string trailer(32, '\0');
    trailer[6] = 1;   // offsets one byte wide
    trailer[7] = 1;   // references one byte wide
    trailer[15] = static_cast<char>(objects.size());
    trailer[31] = table;
    return data + trailer;
}

const std::string missingIdentifier = unavailable + "CFBundleIdentifier is missing\n";
const std::string notAnObject = unavailable + "acme-runtime.json is not a JSON object\n";

const Failure failures[] = {
    // The bundle identifier, checked before the descriptor is looked for.
    {"no identifier", [](auto& b) { b.writeInfo({{"CFBundleName", "Acme"}}); goodDescriptor(b); }, missingIdentifier, 66},
    {"no Info.plist", [](auto& b) { goodDescriptor(b); }, missingIdentifier, 66},
    {"no identifier and no descriptor", [](auto& b) { b.writeInfo({{"CFBundleName", "Acme"}}); }, missingIdentifier, 66},
    {"identifier not a string", [](auto& b) { b.writeInfo({{"CFBundleIdentifier", 7}}); goodDescriptor(b); }, missingIdentifier, 66},
    {"empty identifier", [](auto& b) { b.writeInfo({{"CFBundleIdentifier", ""}}); goodDescriptor(b); }, missingIdentifier, 66},
    {"Info.plist not a property list", [](auto& b) { b.writeInfoBytes("CFBundleIdentifier = com.example.acme\n"); goodDescriptor(b); },
     missingIdentifier, 66},
    {"Info.plist binary garbage",
     [](auto& b) { b.writeInfoBytes("bplist00\x01\xff\x00\x13garbage\xfe"s); goodDescriptor(b); }, missingIdentifier, 66},
    {"Info.plist random bytes", [](auto& b) { b.writeInfoBytes("\x00\x01\x02\xff\xfe<dict>"s); goodDescriptor(b); },
     missingIdentifier, 66},
    {"Info.plist top level is an array",
     [](auto& b) { b.writeInfo(nlohmann::json::array({nlohmann::json::object({{"CFBundleIdentifier", "com.example.acme"}})})); goodDescriptor(b); },
     missingIdentifier, 66},
    {"Info.plist nested too deeply", [](auto& b) { b.writeInfoBytes(deeplyNestedInfo(1000000)); goodDescriptor(b); },
     missingIdentifier, 66},
    // A key holding NUL cannot be read whole: the Info.plist counts as absent.
    {"Info.plist with NUL in an XML key",
     [](auto& b) {
         b.writeInfoBytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                          "<string>com.example.acme</string><key>a\0b</key><string>x</string></dict></plist>"s);
         goodDescriptor(b);
     },
     missingIdentifier, 66},
    {"Info.plist with NUL in a binary key",
     [](auto& b) { b.writeInfoBytes(binaryInfo(u"com.example.acme", u"a\0b"s)); goodDescriptor(b); }, missingIdentifier, 66},
    {"identifier holding NUL",
     [](auto& b) { b.writeInfoBytes(binaryInfo(u"com.example\0acme"s, u"k")); goodDescriptor(b); }, missingIdentifier, 66},
    {"Info.plist is a FIFO", [](auto& b) { ::mkfifo(b.contents("Info.plist").c_str(), 0644); goodDescriptor(b); }, missingIdentifier,
     66},
    {"--which-runtime without identifier", [](auto& b) { goodDescriptor(b); }, missingIdentifier, 66, {"--which-runtime"}},

    // Choosing the descriptor.
    {"no descriptor", goodInfo, unavailable + "Contents/Resources holds 0 *-runtime.json, none is Acme-runtime.json\n", 66},
    {"two descriptors, neither named after the host",
     [](auto& b) { goodInfo(b); b.writeDescriptor("a", nlohmann::json::object()); b.writeDescriptor("b", nlohmann::json::object()); },
     unavailable + "Contents/Resources holds 2 *-runtime.json, none is Acme-runtime.json\n", 66},
    {"no Contents/Resources folder",
     [](auto& b) { goodInfo(b); ::rmdir(b.contents("Resources").c_str()); },
     unavailable + "Contents/Resources holds 0 *-runtime.json, none is Acme-runtime.json\n", 66},
    {"endings compared exactly",
     [](auto& b) {
         goodInfo(b);
         b.writeFile("Contents/Resources/acme-runtime.JSON", "{}");
         b.writeFile("Contents/Resources/acme-runtime.json.bak", "{}");
         b.writeFile("Contents/Resources/acme-Runtime.json", "{}");
     },
     unavailable + "Contents/Resources holds 0 *-runtime.json, none is Acme-runtime.json\n", 66},
    {"--which-runtime without descriptor", goodInfo,
     unavailable + "Contents/Resources holds 0 *-runtime.json, none is Acme-runtime.json\n", 66, {"--which-runtime"}},

    // Reading it.
    {"descriptor is an array", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "[{\"bun\":\"/bin/sh\"}]"); }, notAnObject, 66},
    {"descriptor is empty", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", ""); }, notAnObject, 66},
    {"descriptor is null", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "null"); }, notAnObject, 66},
    {"descriptor is a string", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "\"{}\""); }, notAnObject, 66},
    {"descriptor has trailing text", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "{} {}"); }, notAnObject, 66},
    {"descriptor is huge",
     [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "{\"pad\":\"" + std::string(5 * 1024 * 1024, 'x') + "\"}"); }, notAnObject,
     66},
    {"descriptor nested too deeply", [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", deeplyNestedDescriptor(300000)); },
     notAnObject, 66},
    {"descriptor with bytes that are not UTF-8",
     [](auto& b) { goodInfo(b); b.writeDescriptorText("acme", "{\"bun\":\"/bin/sh\",\"x\":\"\xff\xfe\"}"); }, notAnObject, 66},
    {"descriptor is a FIFO",
     [](auto& b) { goodInfo(b); ::mkfifo(b.contents("Resources/acme-runtime.json").c_str(), 0644); }, notAnObject, 66},
    {"descriptor is a folder",
     [](auto& b) { goodInfo(b); ::mkdir(b.contents("Resources/acme-runtime.json").c_str(), 0755); }, notAnObject, 66},

    // The program that runs the shell.
    {"neither executable nor bun",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"shell", "/"}}); }, unavailable + "neither executable nor bun\n", 66},
    {"empty descriptor", [](auto& b) { goodInfo(b); b.writeDescriptor("acme", nlohmann::json::object()); },
     unavailable + "neither executable nor bun\n", 66},
    {"members of the wrong type are absent",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", 5}, {"executable", true}, {"bunInBundle", nullptr}, {"shell", "/"}}); },
     unavailable + "neither executable nor bun\n", 66},
    {"unusable bunInBundle and no bun",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bunInBundle", "Contents/Resources/bun"}, {"shell", "/"}}); },
     unavailable + "neither executable nor bun\n", 66},
    {"bun missing",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", "/nonexistent/bun"}, {"shell", "/"}}); },
     unavailable + "/nonexistent/bun is not executable\n", 66},
    {"bun without the x bit",
     [](auto& b) {
         goodInfo(b);
         b.writeFile("Contents/Resources/bun", "#!/bin/sh\n");
         b.writeDescriptor("acme", {{"bun", b.contents("Resources/bun")}, {"shell", "/"}});
     },
     unavailable + "{bundle}/Contents/Resources/bun is not executable\n", 66},
    {"bun is a folder",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", b.contents("Resources")}, {"shell", "/"}}); },
     unavailable + "{bundle}/Contents/Resources is not executable\n", 66},
    {"bun under ~/ is expanded",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", "~/bin/bun"}, {"shell", "/"}}); },
     unavailable + "{home}/bin/bun is not executable\n", 66},
    {"bun is not resolved inside the bundle",
     [](auto& b) {
         goodInfo(b);
         b.installTestShell("Contents/Resources/bun");
         b.writeDescriptor("acme", {{"bun", "Contents/Resources/bun"}, {"shell", "/"}});
     },
     unavailable + "Contents/Resources/bun is not executable\n", 66},
    {"bare bun is not searched in PATH",
     [](auto& b) {
         goodInfo(b);
         b.installTestShell("Contents/Helpers/bin/bun");
         b.writeDescriptor("acme", {{"bun", "bun"}, {"shell", "/"}});
     },
     unavailable + "bun is not executable\n", 66, {}, {{"PATH", "{bundle}/Contents/Helpers/bin:/usr/bin:/bin"}}},
    {"executable found nowhere",
     [](auto& b) {
         b.writeInfoWithIdentifier("com.example.acme", {{"CFBundleName", "Acme"}});
         b.writeDescriptor("acme", {{"executable", "Shell"}});
     },
     unavailable + "{bundle}/Contents/MacOS/Shell is not executable\n", 66},
    {"executable not executable in either place",
     [](auto& b) {
         b.writeInfoWithIdentifier("com.example.acme", {{"CFBundleName", "Acme"}});
         b.writeFile("Contents/Helpers/Acme.app/Contents/MacOS/Shell", "plain");
         b.writeFile("Contents/MacOS/Shell", "plain");
         b.writeDescriptor("acme", {{"executable", "Shell"}, {"bun", fixture::testShell()}, {"shell", "/"}});
     },
     unavailable + "{bundle}/Contents/MacOS/Shell is not executable\n", 66},

    // The script.
    {"shell absent", [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", fixture::testShell()}}); },
     unavailable + "shell is missing\n", 66},
    {"shell names no file",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", fixture::testShell()}, {"shell", "/nonexistent/shell.js"}}); },
     unavailable + "shell is missing\n", 66},
    {"shell not a string", [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", fixture::testShell()}, {"shell", 1}}); },
     unavailable + "shell is missing\n", 66},
    {"shell is not resolved inside the bundle",
     [](auto& b) {
         goodInfo(b);
         b.writeFile("Contents/Resources/shell.js", "");
         b.writeDescriptor("acme", {{"bun", fixture::testShell()}, {"shell", "Contents/Resources/shell.js"}});
     },
     unavailable + "shell is missing\n", 66},

    // Checks come in order: the first failing one is the only one reported.
    {"not executable is told before the missing shell",
     [](auto& b) { goodInfo(b); b.writeDescriptor("acme", {{"bun", "/nonexistent/bun"}}); },
     unavailable + "/nonexistent/bun is not executable\n", 66},

    // The launch itself.
    {"runtime in no executable format",
     [](auto& b) {
         goodInfo(b);
         b.writeFile("Contents/Resources/bun", "\x7f" "ELF garbage\x01\x02\x00"s, true);
         b.writeFile("Contents/Resources/shell.js", "");
         b.writeDescriptor("acme", {{"bun", b.contents("Resources/bun")}, {"shell", b.contents("Resources/shell.js")}});
     },
     "{bundle}/Contents/Resources/bun: " + std::string(std::strerror(ENOEXEC)) + "\n", 71},
    {"runtime whose interpreter is missing",
     [](auto& b) {
         goodInfo(b);
         b.writeFile("Contents/Resources/bun", "#!/nonexistent/interpreter\n", true);
         b.writeFile("Contents/Resources/shell.js", "");
         b.writeDescriptor("acme", {{"bun", b.contents("Resources/bun")}, {"shell", b.contents("Resources/shell.js")}});
     },
     "{bundle}/Contents/Resources/bun: " + std::string(std::strerror(ENOENT)) + "\n", 71},
};

// Failures name the case rather than dump its bytes.
void PrintTo(const Failure& c, std::ostream* out)
{
    *out << c.name;
}

class StartUpFailure : public testing::TestWithParam<Failure> {};

TEST_P(StartUpFailure, SaysWhyAndExitsWithoutWritingAnything)
{
    const Failure& failure = GetParam();
    fixture::Bundle bundle;
    failure.prepare(bundle);
    bundle.installHost("Acme");
    fixture::RunOptions options;
    options.arguments = failure.arguments;
    for (const auto& [name, value] : failure.environment)
        options.environment[name] = bundle.expand(value);
    // A relative path must not find the bundle's files by accident.
    options.workingDirectory = bundle.root();
    auto run = bundle.run(options);
    EXPECT_EQ(run.err, bundle.expand(failure.err));
    EXPECT_EQ(run.status, failure.status);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(bundle.homeEntries(), std::vector<std::string>{});
}

std::string nameOf(const testing::TestParamInfo<Failure>& info)
{
    std::string name;
    for (const char* c = info.param.name; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, StartUpFailure, testing::ValuesIn(failures), nameOf);

// A string may hold NUL: the rest of the Info.plist is read as usual.
TEST(StartUp, ReadsAnInfoPlistWhoseStringHoldsNul)
{
    fixture::Bundle bundle;
    std::string info = binaryInfo(u"com.example.acme", u"k");
    info.replace(info.find("\x6F\x10\x01\x00x"s), 5, "\x6F\x10\x01\x00\x00"s);
    bundle.writeInfoBytes(info);
    goodDescriptor(bundle);
    bundle.installHost("Acme");
    auto run = bundle.run({"--which-runtime"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "acme-runtime.json\n");
}

} // namespace
