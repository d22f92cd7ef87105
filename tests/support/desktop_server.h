// A desktop server for a test: started on a socket in a temporary folder,
// driven through its protocol as a client, and stopped with the test. Hosts
// run against it with its socket in their environment, in the background
// while the test plays the user and the system.
#pragma once

#include "support/fixture.h"

#include "platform/line_socket.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fixture {

using nlohmann::json;
using namespace std::chrono_literals;

std::string desktopServerBinary();

// A process running in the background, its output gathered as it comes.
using Background = Started;

// The bundle's installed host started in the background.
std::unique_ptr<Background> startHost(const Bundle& bundle, const RunOptions& options = {}, const std::string& name = "Acme");

class DesktopServer {
public:
    // Starts `kestrune-desktop serve` and waits until it listens.
    DesktopServer();
    ~DesktopServer();
    DesktopServer(const DesktopServer&) = delete;
    DesktopServer& operator=(const DesktopServer&) = delete;

    const std::string& socket() const { return socket_; }
    pid_t pid() const { return pid_; }
    // `options` with the server's socket in the environment.
    RunOptions withDesktop(RunOptions options = {}) const;

    // One request as a client; its reply, an object with "error" when the
    // server refused it. Safe from any thread.
    json request(json message);
    // The same, failing the test when the server refuses.
    json ok(json message);

    json state();
    std::vector<json> log(int64_t since = 0);
    // Waits until `condition` holds of the state; the state then.
    std::optional<json> waitFor(const std::function<bool(const json&)>& condition, std::chrono::milliseconds timeout = 10000ms);
    // The connected host with this bundle identifier, waiting for it.
    std::optional<json> waitForHost(const std::string& bundleIdentifier, std::chrono::milliseconds timeout = 10000ms);
    // Of a state: the host with this pid (connected or not), or null.
    static json hostIn(const json& state, pid_t pid);
    // Of a state: the application with this pid, or null.
    static json applicationIn(const json& state, pid_t pid);

    // The session.
    json add(json application) { return ok({{"op", "add"}, {"application", application}}); }
    json launch(json application) { return ok({{"op", "launch"}, {"application", application}}); }
    json quit(json app) { return ok({{"op", "quit"}, {"app", app}}); }
    json hide(json app) { return ok({{"op", "hide"}, {"app", app}}); }
    json unhide(json app) { return ok({{"op", "unhide"}, {"app", app}}); }
    json front(json app) { return ok({{"op", "front"}, {"app", app}}); }
    json setWindows(json app, json windows) { return ok({{"op", "windows"}, {"app", app}, {"windows", windows}}); }
    json setScreens(json screens) { return ok({{"op", "setScreens"}, {"screens", screens}}); }
    // The displays change; without `begin` the hosts get only what changed.
    json reconfigure(json screens, bool begin = true) { return ok({{"op", "reconfigure"}, {"screens", screens}, {"begin", begin}}); }
    json setMouse(double x, double y) { return ok({{"op", "setMouse"}, {"x", x}, {"y", y}}); }
    json setKeyboard(const std::string& type) { return ok({{"op", "setKeyboardLayoutType"}, {"type", type}}); }
    json refuseActivation(json app, bool refused = true) { return ok({{"op", "refuseActivation"}, {"app", app}, {"refused", refused}}); }
    json refuseHotKey(const std::string& chord, int status) { return ok({{"op", "refuseHotKey"}, {"chord", chord}, {"status", status}}); }
    json missingSymbols(std::vector<std::string> names) { return ok({{"op", "missingSymbols"}, {"names", names}}); }

    // The user. Calls that ask a host wait for its answer.
    json press(const std::string& chord) { return request({{"op", "press"}, {"chord", chord}, {"wait", true}}); }
    json pick(const std::string& row, json host = nullptr) { return request({{"op", "pick"}, {"row", row}, {"host", host}, {"wait", true}}); }
    json openMenu(json host = nullptr) { return request({{"op", "openMenu"}, {"host", host}}); }
    json dismiss(json host = nullptr) { return request({{"op", "dismiss"}, {"host", host}}); }
    json answerAlert(json button, json host = nullptr) { return request({{"op", "answerAlert"}, {"button", button}, {"host", host}}); }

    // The system.
    json getURL(json url, json sender = nullptr, json host = nullptr)
    {
        return request({{"op", "getURL"}, {"url", url}, {"sender", sender}, {"host", host}});
    }
    json openURLs(json urls, json sender = nullptr, json host = nullptr)
    {
        return request({{"op", "openURLs"}, {"urls", urls}, {"sender", sender}, {"host", host}});
    }
    json reopen(json host = nullptr) { return request({{"op", "reopen"}, {"host", host}, {"wait", true}}); }
    json askToQuit(json reason = nullptr, json sender = nullptr, json host = nullptr)
    {
        return request({{"op", "askToQuit"}, {"reason", reason}, {"sender", sender}, {"host", host}, {"wait", true}});
    }
    json service(json files, json userData, json host = nullptr)
    {
        return request({{"op", "service"}, {"files", files}, {"userData", userData}, {"host", host}, {"wait", true}});
    }

    // The client program with the server's socket: `kestrune-desktop --socket S ARGUMENTS`.
    Run client(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout = 20000ms) const;

    // Ends the server abruptly, as a crash would.
    void kill();

    // Writes a picture of the session (PNG) to `path`; false when it could not.
    bool picture(const std::string& path) const;
    // Where the picture of a failed test goes: next to the test's log (the
    // folder of --gtest_output, else the build's Testing/Temporary, where
    // ctest keeps its log), named after the test.
    std::string failurePicturePath() const;

private:
    class PictureOnFailure;
    PictureOnFailure* pictureOnFailure_ = nullptr;   // owned by gtest's listeners while the server runs
    std::string testName_;
    std::string folder_;
    std::string socket_;
    pid_t pid_ = -1;
    std::mutex mutex_;
    int fd_ = -1;
    std::optional<platform::LineSocket> lines_;
    int64_t nextId_ = 1;
    void connect();
};

// A connection to a server speaking the protocol directly, for tests that
// play a host or an application themselves.
class ProtocolPeer {
public:
    explicit ProtocolPeer(const std::string& socket);
    ~ProtocolPeer();
    ProtocolPeer(const ProtocolPeer&) = delete;
    ProtocolPeer& operator=(const ProtocolPeer&) = delete;

    bool connected() const { return fd_ >= 0; }
    // Writes raw bytes (a line or not).
    bool write(const std::string& bytes);
    bool send(const json& message);
    // A request with the next id, and its reply (other lines kept for next()).
    std::optional<json> request(json message, std::chrono::milliseconds timeout = 10000ms);
    // The next line that is not a reply (an event or an error without id).
    std::optional<json> next(std::chrono::milliseconds timeout = 10000ms);
    // The next event of this name, skipping others.
    std::optional<json> nextEvent(const std::string& name, std::chrono::milliseconds timeout = 10000ms);
    // Says hello as a host (or application) with this pid and identity.
    std::optional<json> helloAs(const std::string& role, pid_t pid, const std::string& bundleIdentifier);
    void close();

private:
    std::optional<json> line(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    std::optional<platform::LineSocket> lines_;
    std::vector<json> unclaimed_;
    int64_t nextId_ = 1;
};

// Runs the main queue until `condition` holds; false when it did not in time.
bool runTheMainQueueUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10000ms);

} // namespace fixture
