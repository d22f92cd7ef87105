#include "support/desktop_server.h"

#include "platform/desktop.h"
#include "platform/main_queue.h"
#include "platform/unix_socket.h"

#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fixture {

namespace {

// What one read gives; empty at the end.
std::string readSome(int fd)
{
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        return got > 0 ? std::string(buffer, std::size_t(got)) : std::string();
    }
}

// A connected Unix socket, or -1.
int connectTo(const std::string& path)
{
    auto connected = platform::connectToUnixSocket(path);
    return connected ? *connected : -1;
}

// Writes all the bytes, however long the peer takes; false when it is gone.
bool writeAll(platform::LineSocket& lines, const std::string& bytes)
{
    return lines.write(bytes, platform::LineSocket::Clock::time_point::max()) == platform::LineSocket::Write::written;
}

// The next line (of a line past the limit, its start); nothing at the
// deadline or the end.
std::optional<std::string> nextLine(platform::LineSocket& lines, std::chrono::steady_clock::time_point deadline)
{
    std::string line;
    auto read = lines.readLine(line, deadline);
    if (read == platform::LineSocket::Read::line || read == platform::LineSocket::Read::tooLong)
        return line;
    return std::nullopt;
}

} // namespace

std::string desktopServerBinary()
{
    return std::string(KESTRUNE_BUILD_DIR) + "/kestrune-desktop";
}

std::unique_ptr<Background> startHost(const Bundle& bundle, const RunOptions& options, const std::string& name)
{
    return std::make_unique<Background>(bundle.contents("MacOS/" + name), options, bundle.home());
}

// --- The server ---------------------------------------------------------------------

// At a test's first failure, while the session is still as the failure found
// it, writes its picture next to the test's log and says where. It runs
// inside gtest's reporting, which holds gtest's lock: it uses no assertion
// and asks gtest nothing. A passing test costs nothing.
class DesktopServer::PictureOnFailure : public ::testing::EmptyTestEventListener {
public:
    explicit PictureOnFailure(const DesktopServer& server)
        : server_(server)
    {
    }

    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (!result.failed() || taken_.exchange(true))
            return;
        std::string path = server_.failurePicturePath();
        if (server_.picture(path))
            std::fprintf(stderr, "the session when the test failed: %s\n", path.c_str());
        else
            std::fprintf(stderr, "no picture of the session could be made at %s\n", path.c_str());
    }

private:
    const DesktopServer& server_;
    std::atomic<bool> taken_{false};
};

bool DesktopServer::picture(const std::string& path) const
{
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        std::filesystem::create_directories(path.substr(0, slash));
    Run run = client({"picture", path}, 10000ms);
    return run.status == 0;
}

std::string DesktopServer::failurePicturePath() const
{
    std::string folder = std::string(KESTRUNE_BUILD_DIR) + "/Testing/Temporary";
    // --gtest_output=xml:FOLDER/ or xml:FILE puts the test's report there.
    std::string output = ::testing::GTEST_FLAG(output);
    if (auto colon = output.find(':'); colon != std::string::npos) {
        std::string place = output.substr(colon + 1);
        auto slash = place.rfind('/');
        folder = slash == std::string::npos ? "." : place.substr(0, slash);
    }
    return folder + "/" + testName_ + ".png";
}

DesktopServer::DesktopServer()
{
    char pattern[] = "/tmp/kd-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    folder_ = pattern;
    socket_ = folder_ + "/desktop.sock";
    int out[2];
    if (pipe2(out, O_CLOEXEC))
        throw std::runtime_error("pipe");
    std::string program = desktopServerBinary();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        setpgid(0, 0);
        execl(program.c_str(), program.c_str(), "serve", "--socket", socket_.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(out[1]);
    // It says when it listens.
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (said.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{out[0], POLLIN, 0};
        if (::poll(&wait, 1, 100) > 0) {
            std::string bytes = readSome(out[0]);
            if (bytes.empty())
                break;
            said += bytes;
        }
    }
    ::close(out[0]);
    if (said.find("listening on") == std::string::npos)
        throw std::runtime_error("the desktop server did not start: " + said);
    if (const auto* test = ::testing::UnitTest::GetInstance()->current_test_info()) {
        testName_ = std::string(test->test_suite_name()) + "." + test->name();
        // Parameterised names hold slashes.
        for (char& c : testName_)
            c = c == '/' ? '_' : c;
        pictureOnFailure_ = new PictureOnFailure(*this);
        ::testing::UnitTest::GetInstance()->listeners().Append(pictureOnFailure_);
    }
}

DesktopServer::~DesktopServer()
{
    if (pictureOnFailure_)
        delete ::testing::UnitTest::GetInstance()->listeners().Release(pictureOnFailure_);
    if (fd_ >= 0)
        ::close(fd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        auto deadline = std::chrono::steady_clock::now() + 5s;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ::kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
        // A server stopped by SIGTERM ends with status 0; anything else is a fault.
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the desktop server ended with status " << status;
    }
    ::unlink(socket_.c_str());
    ::rmdir(folder_.c_str());
}

void DesktopServer::kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

RunOptions DesktopServer::withDesktop(RunOptions options) const
{
    options.environment[platform::DESKTOP_SOCKET_VARIABLE] = socket_;
    return options;
}

// The client connection of the helper, greeted.
void DesktopServer::connect()
{
    fd_ = connectTo(socket_);
    if (fd_ < 0)
        return;
    lines_.emplace(fd_);
    std::string hello = json{{"op", "hello"}, {"id", 0}, {"protocol", platform::DESKTOP_PROTOCOL}, {"role", "client"}}.dump() + "\n";
    if (!writeAll(*lines_, hello)) {
        lines_.reset();
        ::close(fd_);
        fd_ = -1;
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (auto line = nextLine(*lines_, deadline)) {
        auto reply = json::parse(*line, nullptr, false);
        if (reply.is_object() && reply.value("id", json()) == 0)
            return;
    }
    lines_.reset();
    ::close(fd_);
    fd_ = -1;
}

json DesktopServer::request(json message)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0)
        connect();
    if (fd_ < 0)
        return {{"error", "cannot reach the desktop server"}};
    int64_t id = nextId_++;
    message["id"] = id;
    // Members left null name nothing.
    for (auto member = message.begin(); member != message.end();) {
        if (member->is_null())
            member = message.erase(member);
        else
            ++member;
    }
    if (!writeAll(*lines_, message.dump() + "\n"))
        return {{"error", "the desktop server is gone"}};
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (auto line = nextLine(*lines_, deadline)) {
        auto reply = json::parse(*line, nullptr, false);
        if (reply.is_object() && reply.value("id", json()) == id)
            return reply;
    }
    return {{"error", "no reply from the desktop server"}};
}

json DesktopServer::ok(json message)
{
    std::string op = message.value("op", "");
    json reply = request(std::move(message));
    if (reply.contains("error"))
        ADD_FAILURE() << op << " refused: " << reply["error"];
    return reply;
}

json DesktopServer::state()
{
    return request({{"op", "state"}}).value("state", json());
}

std::vector<json> DesktopServer::log(int64_t since)
{
    std::vector<json> records;
    for (;;) {
        auto reply = request({{"op", "log"}, {"since", since}});
        for (const auto& record : reply.value("records", json::array()))
            records.push_back(record);
        if (!reply.value("more", false))
            return records;
        since = reply["next"].get<int64_t>();
    }
}

std::optional<json> DesktopServer::waitFor(const std::function<bool(const json&)>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        json current = state();
        if (current.is_object() && condition(current))
            return current;
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

std::optional<json> DesktopServer::waitForHost(const std::string& bundleIdentifier, std::chrono::milliseconds timeout)
{
    auto reply = request({{"op", "waitForHost"}, {"bundleIdentifier", bundleIdentifier}, {"timeoutMs", timeout.count()}});
    if (!reply.contains("host"))
        return std::nullopt;
    return reply["host"];
}

json DesktopServer::hostIn(const json& state, pid_t pid)
{
    for (const auto& host : state.value("hosts", json::array())) {
        if (host.value("pid", 0) == pid)
            return host;
    }
    return nullptr;
}

json DesktopServer::applicationIn(const json& state, pid_t pid)
{
    for (const auto& application : state.value("applications", json::array())) {
        if (application.value("pid", 0) == pid)
            return application;
    }
    return nullptr;
}

Run DesktopServer::client(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) const
{
    RunOptions options;
    options.arguments = {"--socket", socket_};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.timeout = timeout;
    return runProgram(desktopServerBinary(), options, folder_);
}

// --- A peer speaking the protocol -----------------------------------------------------

ProtocolPeer::ProtocolPeer(const std::string& socket)
    : fd_(connectTo(socket))
{
    if (fd_ >= 0)
        lines_.emplace(fd_);
}

ProtocolPeer::~ProtocolPeer()
{
    close();
}

void ProtocolPeer::close()
{
    lines_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool ProtocolPeer::write(const std::string& bytes)
{
    return fd_ >= 0 && writeAll(*lines_, bytes);
}

bool ProtocolPeer::send(const json& message)
{
    return write(message.dump() + "\n");
}

std::optional<json> ProtocolPeer::line(std::chrono::steady_clock::time_point deadline)
{
    if (fd_ < 0)
        return std::nullopt;
    auto text = nextLine(*lines_, deadline);
    if (!text)
        return std::nullopt;
    auto message = json::parse(*text, nullptr, false);
    if (message.is_discarded())
        return json{{"unparsed", *text}};
    return message;
}

std::optional<json> ProtocolPeer::request(json message, std::chrono::milliseconds timeout)
{
    int64_t id = nextId_++;
    message["id"] = id;
    if (!send(message))
        return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto received = line(deadline)) {
        if (received->is_object() && received->value("id", json()) == id)
            return received;
        unclaimed_.push_back(*received);
    }
    return std::nullopt;
}

std::optional<json> ProtocolPeer::next(std::chrono::milliseconds timeout)
{
    if (!unclaimed_.empty()) {
        json first = unclaimed_.front();
        unclaimed_.erase(unclaimed_.begin());
        return first;
    }
    return line(std::chrono::steady_clock::now() + timeout);
}

std::optional<json> ProtocolPeer::nextEvent(const std::string& name, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        auto message = next(left);
        if (!message)
            return std::nullopt;
        if (message->is_object() && message->value("event", "") == name)
            return message;
    }
}

std::optional<json> ProtocolPeer::helloAs(const std::string& role, pid_t pid, const std::string& bundleIdentifier)
{
    return request({{"op", "hello"},
                    {"protocol", platform::DESKTOP_PROTOCOL},
                    {"role", role},
                    {"pid", pid},
                    {"bundleIdentifier", bundleIdentifier},
                    {"localizedName", bundleIdentifier}});
}

bool runTheMainQueueUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    return platform::runTheMainQueueUntil(condition, timeout);
}

} // namespace fixture
