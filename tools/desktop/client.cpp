#include "client.h"

#include "picture.h"

#include "platform/desktop.h"
#include "platform/desktop/wire.h"
#include "platform/line_socket.h"
#include "platform/unix_socket.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <unistd.h>

namespace desktop {

namespace {

using nlohmann::json;
namespace wire = platform::wire;

constexpr int DONE = 0, REFUSED = 1, MISUSED = 2, UNREACHABLE = 3;

struct UsageError {
    std::string message;
};

struct Parsed {
    std::map<std::string, std::vector<std::string>> options;
    std::set<std::string> flags;
    std::vector<std::string> positional;

    std::optional<std::string> option(const std::string& name) const
    {
        auto found = options.find(name);
        if (found == options.end() || found->second.empty())
            return std::nullopt;
        return found->second.back();
    }
    std::vector<std::string> all(const std::string& name) const
    {
        auto found = options.find(name);
        return found == options.end() ? std::vector<std::string>{} : found->second;
    }
    bool flag(const std::string& name) const { return flags.count(name) > 0; }
};

struct Command {
    std::string synopsis;
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    std::size_t minimum = 0, maximum = 0;   // positional arguments
    std::function<json(const Parsed&)> request;
};

// A number from the command line.
double numberOf(const std::string& text, const std::string& what)
{
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError{what + " must be a number, not \"" + text + "\""};
    return value;
}

// A whole number from the command line.
int64_t integerOf(const std::string& text, const std::string& what)
{
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError{what + " must be a whole number, not \"" + text + "\""};
    return value;
}

// "X,Y,W,H" as a rectangle.
json rectOf(const std::string& text, const std::string& what)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ','))
        parts.push_back(part);
    if (parts.size() != 4)
        throw UsageError{what + " is X,Y,WIDTH,HEIGHT, not \"" + text + "\""};
    return {{"x", numberOf(parts[0], what)},
            {"y", numberOf(parts[1], what)},
            {"width", numberOf(parts[2], what)},
            {"height", numberOf(parts[3], what)}};
}

// "X,Y,W,H[@LAYER][:offscreen|:desktop]" as a window.
json windowOf(const std::string& text)
{
    std::string rest = text;
    json window;
    for (const char* mark : {":offscreen", ":desktop"}) {
        std::string suffix = mark;
        if (rest.size() > suffix.size() && rest.compare(rest.size() - suffix.size(), suffix.size(), suffix) == 0) {
            window[suffix == ":offscreen" ? "onScreen" : "desktopElement"] = suffix != ":offscreen";
            rest.erase(rest.size() - suffix.size());
        }
    }
    if (auto at = rest.find('@'); at != std::string::npos) {
        window["layer"] = integerOf(rest.substr(at + 1), "a window's layer");
        rest.erase(at);
    }
    window["bounds"] = rectOf(rest, "a window");
    return window;
}

// "X,Y,W,H[@DISPLAY]" as a screen, in screen coordinates.
json screenOf(const std::string& text)
{
    std::string rest = text;
    json screen;
    if (auto at = rest.find('@'); at != std::string::npos) {
        screen["display"] = integerOf(rest.substr(at + 1), "a display id");
        rest.erase(at);
    }
    screen["frame"] = rectOf(rest, "a screen");
    return screen;
}

// "I.J..." as the path of a row.
json pathOf(const std::string& text)
{
    json steps = json::array();
    std::stringstream stream(text);
    std::string step;
    while (std::getline(stream, step, '.'))
        steps.push_back(integerOf(step, "--path"));
    return steps;
}

// An application named on the command line: a process id or a name.
json appOf(const std::string& text)
{
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 10)
        return std::stoll(text);
    return text;
}

// The application that the options of add and launch describe.
json applicationOf(const Parsed& parsed)
{
    json application = json::object();
    if (auto bundle = parsed.option("--bundle"))
        application["bundleIdentifier"] = *bundle;
    if (auto name = parsed.option("--name"))
        application["localizedName"] = *name;
    if (auto path = parsed.option("--path"))
        application["bundlePath"] = *path;
    if (auto pid = parsed.option("--pid"))
        application["pid"] = integerOf(*pid, "--pid");
    if (auto policy = parsed.option("--policy"))
        application["activationPolicy"] = *policy;
    if (parsed.flag("--hidden"))
        application["hidden"] = true;
    if (parsed.flag("--refuses-activation"))
        application["refusesActivation"] = true;
    json windows = json::array();
    for (const auto& window : parsed.all("--window"))
        windows.push_back(windowOf(window));
    application["windows"] = windows;
    return application;
}

// The host a command names and whether it waits for the answer.
void addHostAndWait(json& request, const Parsed& parsed)
{
    if (auto host = parsed.option("--host"))
        request["host"] = appOf(*host);
    if (parsed.flag("--wait"))
        request["wait"] = true;
}

// The sender of an Apple event.
void addSender(json& request, const Parsed& parsed)
{
    if (auto sender = parsed.option("--sender"))
        request["sender"] = appOf(*sender);
}

// The system brings the application forward with what it hands it.
void addActivate(json& request, const Parsed& parsed)
{
    if (parsed.flag("--activate"))
        request["activate"] = true;
}

// A path as a file URL: made absolute against the working folder, with
// everything but unreserved characters and "/" percent-encoded.
std::string fileURLOf(const std::string& path)
{
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char here[4096];
        if (::getcwd(here, sizeof here))
            absolute = std::string(here) + "/" + path;
    }
    static const char* hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : absolute) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
            url.push_back(char(c));
        else {
            url.push_back('%');
            url.push_back(hex[c >> 4]);
            url.push_back(hex[c & 15]);
        }
    }
    return url;
}

const std::set<std::string> applicationOptions = {"--bundle", "--name", "--path", "--pid", "--policy", "--window"};
const std::set<std::string> applicationFlags = {"--hidden", "--refuses-activation"};

// Every command, with its options and the request it makes.
const std::map<std::string, Command>& commands()
{
    static const std::map<std::string, Command> table = {
        {"state", {"state", {}, {}, 0, 0, [](const Parsed&) { return json{{"op", "state"}}; }}},
        {"log",
         {"log [--since SEQ]", {"--since"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "log"}};
              if (auto since = p.option("--since"))
                  request["since"] = integerOf(*since, "--since");
              return request;
          }}},
        {"send",
         {"send JSON", {}, {}, 1, 1,
          [](const Parsed& p) {
              auto request = wire::objectOfLine(p.positional[0]);
              if (!request)
                  throw UsageError{"send takes one JSON object"};
              return *request;
          }}},
        {"load",
         {"load FILE", {}, {}, 1, 1,
          [](const Parsed& p) {
              std::ifstream file(p.positional[0]);
              std::stringstream text;
              text << file.rdbuf();
              if (!file)
                  throw UsageError{"cannot read " + p.positional[0]};
              auto session = json::parse(text.str(), nullptr, false);
              if (session.is_discarded())
                  throw UsageError{p.positional[0] + " is not JSON"};
              return json{{"op", "load"}, {"session", session}};
          }}},
        {"add",
         {"add [--bundle ID] [--name NAME] [--path PATH] [--pid PID] [--policy POLICY] [--window X,Y,W,H[@LAYER][:offscreen|:desktop]]... [--hidden] [--refuses-activation]",
          applicationOptions, applicationFlags, 0, 0,
          [](const Parsed& p) { return json{{"op", "add"}, {"application", applicationOf(p)}}; }}},
        {"launch",
         {"launch [the options of add]", applicationOptions, applicationFlags, 0, 0,
          [](const Parsed& p) { return json{{"op", "launch"}, {"application", applicationOf(p)}}; }}},
        {"quit", {"quit APP", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "quit"}, {"app", appOf(p.positional[0])}}; }}},
        {"hide", {"hide APP", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "hide"}, {"app", appOf(p.positional[0])}}; }}},
        {"unhide", {"unhide APP", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "unhide"}, {"app", appOf(p.positional[0])}}; }}},
        {"front", {"front APP", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "front"}, {"app", appOf(p.positional[0])}}; }}},
        {"windows",
         {"windows APP [X,Y,W,H[@LAYER][:offscreen|:desktop]]...", {}, {}, 1, 1000,
          [](const Parsed& p) {
              json windows = json::array();
              for (std::size_t i = 1; i < p.positional.size(); ++i)
                  windows.push_back(windowOf(p.positional[i]));
              return json{{"op", "windows"}, {"app", appOf(p.positional[0])}, {"windows", windows}};
          }}},
        {"screens",
         {"screens [X,Y,W,H[@DISPLAY]]... (none: no screen at all)", {}, {}, 0, 64,
          [](const Parsed& p) {
              json screens = json::array();
              for (const auto& screen : p.positional)
                  screens.push_back(screenOf(screen));
              return json{{"op", "setScreens"}, {"screens", screens}};
          }}},
        {"reconfigure",
         {"reconfigure [--without-begin] [X,Y,W,H[@DISPLAY]]...", {}, {"--without-begin"}, 0, 64,
          [](const Parsed& p) {
              json screens = json::array();
              for (const auto& screen : p.positional)
                  screens.push_back(screenOf(screen));
              return json{{"op", "reconfigure"}, {"screens", screens}, {"begin", !p.flag("--without-begin")}};
          }}},
        {"mouse",
         {"mouse X Y", {}, {}, 2, 2,
          [](const Parsed& p) {
              return json{{"op", "setMouse"}, {"x", numberOf(p.positional[0], "X")}, {"y", numberOf(p.positional[1], "Y")}};
          }}},
        {"keyboard", {"keyboard ANSI|ISO|JIS", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "setKeyboardLayoutType"}, {"type", p.positional[0]}}; }}},
        {"refuse-activation",
         {"refuse-activation APP [--allow]", {}, {"--allow"}, 1, 1,
          [](const Parsed& p) {
              return json{{"op", "refuseActivation"}, {"app", appOf(p.positional[0])}, {"refused", !p.flag("--allow")}};
          }}},
        {"refuse-hotkey",
         {"refuse-hotkey CHORD STATUS (0 lifts the refusal)", {}, {}, 2, 2,
          [](const Parsed& p) {
              return json{{"op", "refuseHotKey"}, {"chord", p.positional[0]}, {"status", integerOf(p.positional[1], "STATUS")}};
          }}},
        {"take-hotkey",
         {"take-hotkey CHORD APP (an application of the session holds the chord)", {}, {}, 2, 2,
          [](const Parsed& p) { return json{{"op", "takeHotKey"}, {"chord", p.positional[0]}, {"app", appOf(p.positional[1])}}; }}},
        {"release-hotkey",
         {"release-hotkey CHORD", {}, {}, 1, 1, [](const Parsed& p) { return json{{"op", "releaseHotKey"}, {"chord", p.positional[0]}}; }}},
        {"hotkeys",
         {"hotkeys (every held hot key: chord, holder, host or application)", {}, {}, 0, 0,
          [](const Parsed&) { return json{{"op", "heldHotKeys"}}; }}},
        {"missing-symbols",
         {"missing-symbols [NAME]...", {}, {}, 0, 1000,
          [](const Parsed& p) { return json{{"op", "missingSymbols"}, {"names", p.positional}}; }}},
        {"press",
         {"press CHORD [--wait]", {}, {"--wait"}, 1, 1,
          [](const Parsed& p) {
              json request = {{"op", "press"}, {"chord", p.positional[0]}};
              addHostAndWait(request, p);
              return request;
          }}},
        {"pick",
         {"pick [--host H] [--item N] (ROW | --path I.J...) [--wait]", {"--host", "--item", "--path"}, {"--wait"}, 0, 1,
          [](const Parsed& p) {
              json request = {{"op", "pick"}};
              addHostAndWait(request, p);
              if (auto item = p.option("--item"))
                  request["item"] = integerOf(*item, "--item");
              if (auto path = p.option("--path")) {
                  request["path"] = pathOf(*path);
              } else if (p.positional.size() == 1) {
                  request["row"] = p.positional[0];
              } else {
                  throw UsageError{"pick needs a ROW or --path"};
              }
              return request;
          }}},
        {"open-menu",
         {"open-menu [--host H] [--item N]", {"--host", "--item"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "openMenu"}};
              addHostAndWait(request, p);
              if (auto item = p.option("--item"))
                  request["item"] = integerOf(*item, "--item");
              return request;
          }}},
        {"dismiss",
         {"dismiss [--host H]", {"--host"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "dismiss"}};
              addHostAndWait(request, p);
              return request;
          }}},
        {"open-submenu",
         {"open-submenu [--host H] (ROW | --path I.J...) (in the pop-up, else the open menu)", {"--host", "--path"}, {}, 0, 1,
          [](const Parsed& p) {
              json request = {{"op", "openSubmenu"}};
              addHostAndWait(request, p);
              if (auto path = p.option("--path"))
                  request["path"] = pathOf(*path);
              else if (p.positional.size() == 1)
                  request["row"] = p.positional[0];
              else
                  throw UsageError{"open-submenu needs a ROW or --path"};
              return request;
          }}},
        {"answer",
         {"answer [--host H] BUTTON (its index from 0, or its title)", {"--host"}, {}, 1, 1,
          [](const Parsed& p) {
              json request = {{"op", "answerAlert"}};
              addHostAndWait(request, p);
              const auto& button = p.positional[0];
              if (!button.empty() && button.find_first_not_of("0123456789") == std::string::npos && button.size() < 6)
                  request["button"] = std::stoi(button);
              else
                  request["button"] = button;
              return request;
          }}},
        {"get-url",
         {"get-url [--host H] [--sender APP|PID] [--activate] [URL]", {"--host", "--sender"}, {"--activate"}, 0, 1,
          [](const Parsed& p) {
              json request = {{"op", "getURL"}};
              addHostAndWait(request, p);
              addSender(request, p);
              addActivate(request, p);
              if (!p.positional.empty())
                  request["url"] = p.positional[0];
              return request;
          }}},
        {"open-urls",
         {"open-urls [--host H] [--sender APP|PID] [--activate] URL...", {"--host", "--sender"}, {"--activate"}, 1, 1000,
          [](const Parsed& p) {
              json request = {{"op", "openURLs"}, {"urls", p.positional}};
              addHostAndWait(request, p);
              addSender(request, p);
              addActivate(request, p);
              return request;
          }}},
        {"open-files",
         {"open-files [--host H] [--sender APP|PID] [--activate] PATH...", {"--host", "--sender"}, {"--activate"}, 1, 1000,
          [](const Parsed& p) {
              json urls = json::array();
              for (const auto& path : p.positional)
                  urls.push_back(fileURLOf(path));
              json request = {{"op", "openURLs"}, {"urls", urls}};
              addHostAndWait(request, p);
              addSender(request, p);
              addActivate(request, p);
              return request;
          }}},
        {"reopen",
         {"reopen [--host H] [--sender APP|PID] [--wait]", {"--host", "--sender"}, {"--wait"}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "reopen"}};
              addHostAndWait(request, p);
              addSender(request, p);
              return request;
          }}},
        {"ask-quit",
         {"ask-quit [--host H] [--reason CODE] [--sender APP|PID] [--apple-event] [--wait]", {"--host", "--reason", "--sender"},
          {"--apple-event", "--wait"}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "askToQuit"}};
              addHostAndWait(request, p);
              addSender(request, p);
              if (auto reason = p.option("--reason"))
                  request["reason"] = *reason;
              if (p.flag("--apple-event"))
                  request["appleEvent"] = true;
              return request;
          }}},
        {"service",
         {"service [--host H] [--message NAME] [--user-data TEXT] [--wait] FILE...", {"--host", "--message", "--user-data"},
          {"--wait"}, 0, 1000,
          [](const Parsed& p) {
              json request = {{"op", "service"}, {"files", p.positional}};
              addHostAndWait(request, p);
              if (auto message = p.option("--message"))
                  request["message"] = *message;
              if (auto userData = p.option("--user-data"))
                  request["userData"] = *userData;
              return request;
          }}},
        {"wait-host",
         {"wait-host [--bundle ID] [--pid PID] [--within MS]", {"--bundle", "--pid", "--within"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "waitForHost"}};
              if (auto bundle = p.option("--bundle"))
                  request["bundleIdentifier"] = *bundle;
              if (auto pid = p.option("--pid"))
                  request["pid"] = integerOf(*pid, "--pid");
              if (auto within = p.option("--within"))
                  request["timeoutMs"] = integerOf(*within, "--within");
              return request;
          }}},
        {"panels",
         {"panels [--host H] (the host's panels: text, frame, visible, level, ignoresMouseEvents, nonactivating)", {"--host"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "hostPanels"}};
              addHostAndWait(request, p);
              return request;
          }}},
        {"views",
         {"views [--host H] (the panels and the updater of the host's views library)", {"--host"}, {}, 0, 0,
          [](const Parsed& p) {
              json request = {{"op", "viewsLibrary"}};
              addHostAndWait(request, p);
              return request;
          }}},
        {"act",
         {"act [--host H] PANEL TEXT (the user acts in an open or prepared panel of the host's views library)", {"--host"}, {}, 2, 2,
          [](const Parsed& p) {
              json request = {{"op", "panelAct"}, {"panel", p.positional[0]}, {"text", p.positional[1]}};
              addHostAndWait(request, p);
              return request;
          }}},
        {"shutdown", {"shutdown", {}, {}, 0, 0, [](const Parsed&) { return json{{"op", "shutdown"}}; }}},
        // The client draws the state it fetched: drawing never holds up the
        // server's one loop, no image travels through JSON lines, and a saved
        // state (--state) draws the same without a server.
        {"picture",
         {"picture [--host H] [--scale N] [--svg] [--state FILE] FILE (a PNG of the session; an SVG with --svg)",
          {"--host", "--scale", "--state"}, {"--svg"}, 1, 1, [](const Parsed&) { return json{{"op", "state"}}; }}},
    };
    return table;
}

// The arguments of a command sorted into options, flags and the rest.
Parsed parse(const Command& command, const std::vector<std::string>& arguments)
{
    Parsed parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const auto& argument = arguments[i];
        if (argument.rfind("--", 0) == 0 && argument.size() > 2) {
            if (command.flagOptions.count(argument)) {
                parsed.flags.insert(argument);
                continue;
            }
            if (command.valueOptions.count(argument)) {
                if (i + 1 >= arguments.size())
                    throw UsageError{argument + " needs a value"};
                parsed.options[argument].push_back(arguments[++i]);
                continue;
            }
            throw UsageError{"unknown option " + argument};
        }
        parsed.positional.push_back(argument);
    }
    if (parsed.positional.size() < command.minimum || parsed.positional.size() > command.maximum)
        throw UsageError{"usage: kestrune-desktop " + command.synopsis};
    return parsed;
}

// Draws the state as the picture command asks and writes the file; prints
// where it went and its size.
int writePicture(const Parsed& parsed, const json& state)
{
    PictureOptions options;
    options.format = parsed.flag("--svg") ? PictureFormat::svg : PictureFormat::png;
    if (auto scale = parsed.option("--scale"))
        options.scale = numberOf(*scale, "--scale");
    if (auto host = parsed.option("--host"))
        options.host = appOf(*host);
    Picture picture = drawPicture(state, options);
    if (!picture.error.empty()) {
        std::fprintf(stderr, "kestrune-desktop: %s\n", picture.error.c_str());
        return REFUSED;
    }
    const std::string& path = parsed.positional[0];
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(picture.bytes.data(), std::streamsize(picture.bytes.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "kestrune-desktop: cannot write %s\n", path.c_str());
        return REFUSED;
    }
    json written = {{"picture", path}, {"format", parsed.flag("--svg") ? "svg" : "png"}, {"width", picture.width}, {"height", picture.height}};
    std::printf("%s\n", wire::lineOf(written).c_str());
    return DONE;
}

// The state a file holds, as "state" prints it.
json stateInFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    if (!file)
        throw UsageError{"cannot read " + path};
    auto state = json::parse(text.str(), nullptr, false);
    if (state.is_discarded() || !state.is_object())
        throw UsageError{path + " holds no state (a JSON object)"};
    return state;
}

// The connection to the server, with a deadline on every wait.
class Line {
public:
    ~Line()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    std::optional<std::string> connect(const std::string& path)
    {
        auto connected = platform::connectToUnixSocket(path);
        if (!connected)
            return connected.failure().description();
        fd_ = *connected;
        lines_.emplace(fd_);
        return std::nullopt;
    }

    // The server takes what it is sent; a writer waits as long as it reads.
    bool write(const json& message)
    {
        return lines_->write(wire::lineOf(message) + "\n", platform::LineSocket::Clock::time_point::max())
            == platform::LineSocket::Write::written;
    }

    // The reply with this id; nothing on timeout or end, with the reason.
    std::optional<json> replyTo(int64_t id, std::chrono::milliseconds timeout, std::string& failure)
    {
        auto deadline = platform::LineSocket::Clock::now() + timeout;
        std::string line;
        for (;;) {
            switch (lines_->readLine(line, deadline)) {
            case platform::LineSocket::Read::line:
                if (auto message = wire::objectOfLine(line); message && wire::integerAt(*message, "id") == id)
                    return message;
                break;
            case platform::LineSocket::Read::tooLong:
                break;
            case platform::LineSocket::Read::timedOut:
                failure = "no answer within " + std::to_string(timeout.count()) + " ms";
                return std::nullopt;
            case platform::LineSocket::Read::closed:
            case platform::LineSocket::Read::failed:
                failure = "the server closed the connection";
                return std::nullopt;
            }
        }
    }

private:
    int fd_ = -1;
    std::optional<platform::LineSocket> lines_;
};

} // namespace

std::string usage()
{
    std::string text =
        "usage: kestrune-desktop serve [--socket PATH] [--session FILE]\n"
        "       kestrune-desktop [--socket PATH] [--timeout MS] [--pretty] COMMAND [ARGUMENTS]\n"
        "The socket defaults to $" + std::string(platform::DESKTOP_SOCKET_VARIABLE) + ". Commands:\n";
    for (const auto& [name, command] : commands())
        text += "  " + command.synopsis + "\n";
    text += "APP: a process id, a bundle identifier or a name. H: a host, named the same way.\n"
            "CHORD: ⌃⌥K, ctrl+opt+k or CODE:MODIFIERS. See docs/desktop.md.\n";
    return text;
}

int runTheClient(const std::vector<std::string>& arguments)
{
    std::optional<std::string> socketPath;
    if (const char* fromEnvironment = std::getenv(platform::DESKTOP_SOCKET_VARIABLE); fromEnvironment && *fromEnvironment)
        socketPath = fromEnvironment;
    std::chrono::milliseconds timeout(30000);
    bool pretty = false;
    std::size_t next = 0;
    try {
        for (; next < arguments.size() && arguments[next].rfind("--", 0) == 0; ++next) {
            const auto& option = arguments[next];
            if (option == "--pretty")
                pretty = true;
            else if ((option == "--socket" || option == "--timeout") && next + 1 < arguments.size()) {
                const auto& value = arguments[++next];
                if (option == "--socket")
                    socketPath = value;
                else
                    timeout = std::chrono::milliseconds(integerOf(value, "--timeout"));
            } else if (option == "--help") {
                std::fputs(usage().c_str(), stdout);
                return DONE;
            } else {
                throw UsageError{"unknown option " + option};
            }
        }
        if (next >= arguments.size())
            throw UsageError{"name a command"};
        auto command = commands().find(arguments[next]);
        if (command == commands().end())
            throw UsageError{"unknown command " + arguments[next]};
        Parsed parsed = parse(command->second, {arguments.begin() + long(next) + 1, arguments.end()});
        json request = command->second.request(parsed);
        bool picture = command->first == "picture";
        if (picture) {
            if (auto scale = parsed.option("--scale"); scale && !(numberOf(*scale, "--scale") > 0 && numberOf(*scale, "--scale") <= PICTURE_SCALE_LIMIT))
                throw UsageError{"--scale must be above 0 and at most 8"};
            if (auto saved = parsed.option("--state"))
                return writePicture(parsed, stateInFile(*saved));
        }
        if (!socketPath)
            throw UsageError{"name the server's socket with --socket or $" + std::string(platform::DESKTOP_SOCKET_VARIABLE)};

        Line line;
        if (auto error = line.connect(*socketPath)) {
            std::fprintf(stderr, "kestrune-desktop: cannot reach the desktop server at %s: %s\n", socketPath->c_str(), error->c_str());
            return UNREACHABLE;
        }
        std::string failure;
        json hello = {{"op", "hello"}, {"id", 1}, {"protocol", platform::DESKTOP_PROTOCOL}, {"role", "client"}};
        auto welcome = line.write(hello) ? line.replyTo(1, timeout, failure) : std::nullopt;
        if (!welcome || welcome->contains("error")) {
            std::fprintf(stderr, "kestrune-desktop: the server did not take the greeting: %s\n",
                         welcome ? welcome->value("error", "").c_str() : failure.c_str());
            return UNREACHABLE;
        }
        request["id"] = 2;
        auto answer = line.write(request) ? line.replyTo(2, timeout, failure) : std::nullopt;
        if (!answer) {
            std::fprintf(stderr, "kestrune-desktop: %s\n", failure.empty() ? "the request could not be sent" : failure.c_str());
            return UNREACHABLE;
        }
        if (auto error = wire::stringAt(*answer, "error")) {
            std::fprintf(stderr, "kestrune-desktop: %s\n", error->c_str());
            return REFUSED;
        }
        if (picture)
            return writePicture(parsed, answer->value("state", json::object()));
        answer->erase("id");
        answer->erase("ok");
        // The state is printed as itself, everything else as the answer.
        json shown = answer->contains("state") ? (*answer)["state"] : *answer;
        std::string text = pretty ? shown.dump(2, ' ', false, json::error_handler_t::replace) : wire::lineOf(shown);
        std::printf("%s\n", text.c_str());
        return DONE;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kestrune-desktop: %s\n", error.message.c_str());
        return MISUSED;
    }
}

} // namespace desktop
