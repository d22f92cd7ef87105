// Where the views library is loaded from, and which language the updater's
// row speaks.
#include "menu/updater.h"
#include "overlays/panel_host.h"
#include "platform/locale.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace kestrune;

namespace {
class TemporaryFolder {
public:
    TemporaryFolder()
    {
        char name[] = "/tmp/kestrune-views-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string touch(const std::string& relative) const
    {
        std::string file = path_ + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        std::ofstream(file) << "x";
        return file;
    }

private:
    std::string path_;
};
} // namespace

TEST(ViewsPath, TheEnvironmentThenTheBundleThenTheOutermostApplication)
{
    TemporaryFolder root;
    const std::string outer = root.path() + "/A.app";
    const std::string helper = outer + "/Contents/Helpers/B.app";
    const std::string given = root.touch("elsewhere/libViews.dylib");

    // Nothing exists: the outermost application's library, unchecked.
    EXPECT_EQ(overlays::viewsPathFor({}, helper), outer + "/Contents/Frameworks/libViews.dylib");
    EXPECT_EQ(overlays::viewsPathFor({}, root.path() + "/Plain"), root.path() + "/Plain/Contents/Frameworks/libViews.dylib");
    // A variable naming a missing file is passed over.
    EXPECT_EQ(overlays::viewsPathFor({{"SWIFT_VIEWS_DYLIB", root.path() + "/missing"}}, helper),
              outer + "/Contents/Frameworks/libViews.dylib");
    // The helper's own library comes before the outer one.
    const std::string own = root.touch("A.app/Contents/Helpers/B.app/Contents/Frameworks/libViews.dylib");
    EXPECT_EQ(overlays::viewsPathFor({}, helper), own);
    // The environment's, when its file exists, comes first.
    EXPECT_EQ(overlays::viewsPathFor({{"SWIFT_VIEWS_DYLIB", given}}, helper), given);
}

TEST(Updater, SpeaksTurkishByTheFirstPreferredLanguage)
{
    struct Case {
        const char* language;
        const char* lcAll;
        const char* lang;
        bool turkish;
    };
    const Case cases[] = {
        {"tr:en", nullptr, "en_US.UTF-8", true},
        {"en:tr", nullptr, "tr_TR.UTF-8", false},
        {nullptr, nullptr, "tr_TR.UTF-8", true},
        {nullptr, "tr", "en_US.UTF-8", true},
        {nullptr, "C", "tr_TR.UTF-8", false},
        {"", nullptr, "tr", true},
        {nullptr, nullptr, nullptr, false},
        {nullptr, nullptr, "de_DE", false},
    };
    for (const auto& c : cases) {
        auto set = [](const char* name, const char* value) { value ? setenv(name, value, 1) : unsetenv(name); };
        set("LANGUAGE", c.language);
        set("LC_ALL", c.lcAll);
        set("LC_MESSAGES", nullptr);
        set("LANG", c.lang);
        auto languages = platform::preferredLanguages();
        EXPECT_EQ(!languages.empty() && menu::isTurkish(languages.front()), c.turkish)
            << (c.language ? c.language : "-") << " " << (c.lcAll ? c.lcAll : "-") << " " << (c.lang ? c.lang : "-");
    }
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
    unsetenv("LANG");
}
