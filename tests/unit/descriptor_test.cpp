#include "host/descriptor.h"
#include "supervision/launch.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace kestrune::host;
using kestrune::supervision::resolvedRuntimeValue;

namespace {

// Sets HOME for one test and puts the old value back.
class HomeIs {
public:
    explicit HomeIs(const char* home)
    {
        if (const char* old = std::getenv("HOME"))
            old_ = old;
        setenv("HOME", home, 1);
    }
    ~HomeIs()
    {
        if (old_)
            setenv("HOME", old_->c_str(), 1);
        else
            unsetenv("HOME");
    }

private:
    std::optional<std::string> old_;
};

} // namespace

TEST(Descriptor, PrefixOfUnit)
{
    EXPECT_EQ(prefixOf("acme-menu"), "ACME_MENU_");
    EXPECT_EQ(prefixOf("other"), "OTHER_");
}

TEST(Descriptor, PrefixOfUpperCasesFullyAndReplacesDashes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "_"},
        {"-", "__"},
        {"a-b--c", "A_B__C_"},
        {"Acme_Menu2", "ACME_MENU2_"},
        {"café", "CAFÉ_"},
        {"straße", "STRASSE_"},
        {"ﬁle", "FILE_"},                          // a ligature becomes two letters
        {"\u0149", "\u02BCN_"},
        {"\u01C6", "\u01C4_"},
        {"\u01C5", "\u01C4_"},                             // title case goes to upper case too
        {"αβγ-ωσς", "ΑΒΓ_ΩΣΣ_"},
        {"\u0390", "\u0399\u0308\u0301_"},
        {"\u1FB3", "\u0391\u0399_"},
        {"iı", "II_"},                            // no Turkish dotted capital: not locale-bound
        {"привет", "ПРИВЕТ_"},
        {"ａｂｃ", "ＡＢＣ_"},
        {"日本-語", "日本_語_"},
        {"😀-x", "😀_X_"},
        {"a\xff-b", "A\xff_B_"},                  // bytes that are not UTF-8 stay
        {"\xc0\x81z", "\xc0\x81Z_"},              // an overlong form is not decoded
        {"\xed\xa0\x80q", "\xed\xa0\x80Q_"},      // nor a surrogate
        {"\xe2\x82", "\xe2\x82_"},                // nor a cut sequence
    };
    for (const auto& [unitName, prefix] : cases)
        EXPECT_EQ(prefixOf(unitName), prefix) << unitName;
}

TEST(Descriptor, ResolvedRuntimeValue)
{
    HomeIs home("/home/someone");
    const std::string base = "/Applications/Acme.app";
    const std::pair<std::string, std::string> cases[] = {
        {"~/x", "/home/someone/x"},
        {"~/", "/home/someone/"},
        {"~", "~"},
        {"~someone/x", "~someone/x"},
        {"Contents/Resources/x", "/Applications/Acme.app/Contents/Resources/x"},
        {"Contents/", "/Applications/Acme.app/Contents/"},
        {"Contents", "Contents"},
        {"contents/x", "contents/x"},
        {"./Contents/x", "./Contents/x"},
        {"/abs/Contents/x", "/abs/Contents/x"},
        {"Resources/x", "Resources/x"},
        {"", ""},
        {"a ~/b", "a ~/b"},
    };
    for (const auto& [value, resolved] : cases)
        EXPECT_EQ(resolvedRuntimeValue(value, base), resolved) << value;
    EXPECT_EQ(resolvedRuntimeValue("Contents/x", "/Applications/Acme.app/"), "/Applications/Acme.app/Contents/x");
}

TEST(Descriptor, ChooseRuntimeFile)
{
    struct Case {
        std::vector<std::string> files;
        std::string executable;
        std::string chosenOrMessage;
        bool chosen;
    };
    const Case cases[] = {
        {{"/R/other-runtime.json", "/R/Acme-runtime.json"}, "Acme", "/R/Acme-runtime.json", true},
        {{"/R/Acme-runtime.json", "/R/other-runtime.json"}, "Acme", "/R/Acme-runtime.json", true},
        {{"/R/other-runtime.json"}, "Acme", "/R/other-runtime.json", true},
        {{"/R/acme-runtime.json"}, "Acme", "/R/acme-runtime.json", true},
        {{"/R/acme-runtime.json", "/R/ACME-runtime.json"}, "Acme", "Contents/Resources holds 2 *-runtime.json, none is Acme-runtime.json", false},
        {{}, "Acme", "Contents/Resources holds 0 *-runtime.json, none is Acme-runtime.json", false},
        {{"/R/a-runtime.json", "/R/b-runtime.json", "/R/c-runtime.json"}, "Helper", "Contents/Resources holds 3 *-runtime.json, none is Helper-runtime.json", false},
        {{"/Acme-runtime.json/x-runtime.json", "/R/y-runtime.json"}, "Acme", "Contents/Resources holds 2 *-runtime.json, none is Acme-runtime.json", false},
        {{"/R/-runtime.json", "/R/x-runtime.json"}, "", "/R/-runtime.json", true},
    };
    for (const auto& c : cases) {
        auto result = chooseRuntimeFile(c.files, c.executable);
        ASSERT_EQ(result.ok(), c.chosen) << c.chosenOrMessage;
        EXPECT_EQ(c.chosen ? *result : result.failure().description(), c.chosenOrMessage);
    }
}

TEST(Descriptor, RuntimeObjectFrom)
{
    auto nested = [](int levels) {
        return "{\"a\":" + std::string(static_cast<std::size_t>(levels - 1), '[') + std::string(static_cast<std::size_t>(levels - 1), ']') + "}";
    };
    const std::pair<std::string, bool> cases[] = {
        {"{}", true},
        {" \n{\"bun\":\"/b\",\"n\":1,\"t\":true,\"o\":{},\"a\":[]}\n ", true},
        {"{\"dup\":1,\"dup\":2}", true},
        {"\xef\xbb\xbf{}", true},   // a byte-order mark
        {"", false},
        {"   ", false},
        {"[]", false},
        {"[{}]", false},
        {"null", false},
        {"1", false},
        {"\"{}\"", false},
        {"true", false},
        {"{", false},
        {"{} x", false},
        {"{}{}", false},
        {"{'a':1}", false},
        {"{\"a\":1,}", false},
        {"{\"a\":\"\xff\"}", false},
        {"{\"a\":\"\xc0\xaf\"}", false},
        {"{\"a\":\"\xed\xa0\x80\"}", false},
        {"{\"a\":\"\\ud800\"}", false},
        {std::string("{\"a\":\"x\0y\"}", 11), false},
        {"{\"a\":1e999}", false},
        {nested(RUNTIME_NESTING_LIMIT), true},
        {nested(RUNTIME_NESTING_LIMIT + 1), false},
        {nested(1000000), false},
        {"{\"a\":" + std::string(1000000, '[') + "}", false},
    };
    for (const auto& [text, isObject] : cases) {
        auto object = runtimeObjectFrom(text);
        EXPECT_EQ(object.has_value(), isObject) << text.substr(0, 60);
        if (object) {
            EXPECT_TRUE(object->is_object());
        }
    }
}

TEST(Descriptor, StringMembersKeepTheirTypes)
{
    HomeIs home("/home/someone");
    auto object = runtimeObjectFrom(R"({"bun":"~/bun","shell":"Contents/s.js","temporary":true,"n":1,"null":null,
                                        "a":["x"],"o":{"k":"v"},"t":"true","tilde":"~","e":""})");
    ASSERT_TRUE(object);
    std::map<std::string, std::string> expected = {
        {"bun", "/home/someone/bun"}, {"shell", "Contents/s.js"}, {"t", "true"}, {"tilde", "~"}, {"e", ""}};
    EXPECT_EQ(stringMembersOf(*object), expected);
}
