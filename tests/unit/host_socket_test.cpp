// The host socket from a client's side: framing and order of replies, what
// a peer's misbehaviour costs the host, the socket file and its folder.
#include "socket/listener.h"
#include "socket/request_lines.h"
#include "socket/requests.h"

#include "fake_host.h"
#include "main_loop.h"

#include "platform/unix_socket.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace kestrune::socket;
using testing_support::FakeHost;
using testing_support::pumpUntil;

namespace {

// A title whose reply is far larger than the request that asks for it.
constexpr std::size_t BIG_TITLE = 32 * 1024;
const std::string BIG_REQUEST = R"({"invoke":"big"})" "\n";

// Lets the main queue run briefly.
void pumpOnce()
{
    platform::runTheMainQueueFor(std::chrono::milliseconds(1));
}

// A peer of the host socket, driven from the main thread: what it sends
// never blocks the test, and it reads while the main queue runs.
class Client {
public:
    explicit Client(const std::string& path)
    {
        auto connected = platform::connectToUnixSocket(path);
        if (connected)
            fd_ = *connected;
    }
    ~Client()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return fd_ >= 0; }

    // Sends every byte, letting the main queue run while the socket is full;
    // false once the host has closed the connection.
    bool send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
                continue;
            }
            if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
                pumpOnce();
                continue;
            }
            return false;
        }
        return true;
    }

    void stopSending() { ::shutdown(fd_, SHUT_WR); }

    // The next `count` reply lines, parsed; fewer when the host closed first.
    std::vector<nlohmann::json> replies(std::size_t count)
    {
        pumpUntil([&] {
            readWhatCame();
            return linesReceived() >= count || ended_;
        });
        std::vector<nlohmann::json> lines;
        while (lines.size() < count) {
            auto feed = received_.find('\n');
            if (feed == std::string::npos)
                break;
            lines.push_back(nlohmann::json::parse(received_.substr(0, feed), nullptr, false));
            received_.erase(0, feed + 1);
        }
        return lines;
    }

    // Waits until the host has closed the connection; true when it did.
    bool closedByTheHost()
    {
        return pumpUntil([&] {
            readWhatCame();
            return ended_;
        });
    }

    // Bytes that came and were not taken as replies.
    const std::string& leftOver()
    {
        readWhatCame();
        return received_;
    }

    int fd() const { return fd_; }

private:
    std::size_t linesReceived() const { return static_cast<std::size_t>(std::count(received_.begin(), received_.end(), '\n')); }

    void readWhatCame()
    {
        char buffer[65536];
        for (;;) {
            ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) {
                received_.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EINTR))
                ended_ = true;
            return;
        }
    }

    int fd_ = -1;
    std::string received_;
    bool ended_ = false;
};

nlohmann::json parsed(const char* text)
{
    return nlohmann::json::parse(text);
}

class HostSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::markTheMainThread();
        char pattern[] = "/tmp/khs-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder_ = pattern;
        host_.titles["big"] = std::string(BIG_TITLE, 't');
        host_.install();
    }
    void TearDown() override
    {
        listener_.reset();
        setTheHostRequestSeams({});
        std::filesystem::remove_all(folder_);
    }

    // A socket path in a folder that does not exist yet.
    std::string socketPath() const { return folder_ + "/app/menu.sock"; }

    // A socket path in that folder exactly `length` bytes long.
    std::string socketPathOfLength(std::size_t length) const
    {
        std::string path = folder_ + "/app/";
        path.append(length - path.size(), 's');
        return path;
    }

    HostListener& listenAt(const std::string& path)
    {
        auto listener = HostListener::listen(path);
        EXPECT_TRUE(listener) << listener.failure().description();
        if (listener)
            listener_ = std::move(*listener);
        return *listener_;
    }

    // Whether a client at `path` gets its refresh answered.
    bool answers(const std::string& path)
    {
        Client client(path);
        if (!client.connected() || !client.send("{\"refresh\":true}\n"))
            return false;
        auto replies = client.replies(1);
        return replies.size() == 1 && replies[0] == parsed(R"({"refreshed":true})");
    }

    std::string folder_;
    FakeHost host_;
    std::unique_ptr<HostListener> listener_;
};

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

TEST_F(HostSocket, RequestsAreAnsweredInOrderHoweverTheyArrive)
{
    listenAt(socketPath());

    // Two requests and an empty line in one packet.
    Client client(socketPath());
    ASSERT_TRUE(client.send("{\"refresh\":true}\n{\"invoke\":\"open\",\"title\":\"Open\"}\n\n"));
    EXPECT_EQ(client.replies(3), (std::vector<nlohmann::json>{parsed(R"({"refreshed":true})"), parsed(R"({"invoked":"open","title":"Open"})"),
                                                              parsed(R"({"error":"not-json"})")}));

    // A request split over reads is answered once its line feed comes.
    const std::string first = R"({"url":"acme:)", second = R"(//split"})";
    ASSERT_TRUE(client.send(first));
    ASSERT_TRUE(pumpUntil([&] { return listener_->heldBytes() == first.size(); }));
    ASSERT_TRUE(client.send(second));
    ASSERT_TRUE(pumpUntil([&] { return listener_->heldBytes() == first.size() + second.size(); }));
    EXPECT_EQ(client.leftOver(), "");
    ASSERT_TRUE(client.send("\n"));
    EXPECT_EQ(client.replies(1), (std::vector<nlohmann::json>{parsed(R"({"delivered":"acme://split","shell":4242})")}));

    // Far more than one read's worth at once, with the replies left unread
    // meanwhile: every line is read and answered, though nothing more
    // happens on the socket to announce the rest.
    std::string burst;
    std::vector<nlohmann::json> expected;
    for (int i = 0; i < 1000; ++i) {
        std::string url = "acme://burst/" + std::to_string(i);
        burst += i % 2 ? R"({"invoke":"quit","title":"Quit Acme"})" "\n" : R"({"url":")" + url + "\"}\n";
        expected.push_back(i % 2 ? parsed(R"({"invoked":"quit","title":"Quit Acme"})") : nlohmann::json{{"delivered", url}, {"shell", 4242}});
    }
    ASSERT_GT(burst.size(), 4 * READ_AT_ONCE);
    host_.effects.clear();
    ASSERT_TRUE(client.send(burst));
    ASSERT_TRUE(pumpUntil([&] { return host_.effects.size() == 1000; })) << host_.effects.size() << " answered";
    EXPECT_EQ(client.replies(1000), expected);
    EXPECT_EQ(client.leftOver(), "");
}

TEST_F(HostSocket, APeerThatStopsSendingGetsTheRepliesItEarnedAndNoMore)
{
    listenAt(socketPath());
    struct Case {
        const char* what;
        std::string sent;
        std::vector<nlohmann::json> replies;
    };
    const Case cases[] = {
        {"half a line", R"({"refresh":true})", {}},
        {"a line, then half a line", "{\"invoke\":\"open\",\"title\":\"Open\"}\n{\"refresh\":true}", {parsed(R"({"invoked":"open","title":"Open"})")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        host_.effects.clear();
        Client client(socketPath());
        ASSERT_TRUE(client.send(c.sent));
        client.stopSending();
        EXPECT_TRUE(client.closedByTheHost());
        EXPECT_EQ(client.replies(c.replies.size() + 1), c.replies);
        EXPECT_EQ(client.leftOver(), "");
        EXPECT_EQ(host_.effects, c.replies.empty() ? std::vector<std::string>{} : std::vector<std::string>{"send open"}) << "the half line did nothing";
    }
    ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == 0; }));
}

TEST_F(HostSocket, APathAtTheLimitWorksAndOneByteMoreCreatesNothing)
{
    std::string longest = socketPathOfLength(platform::UNIX_SOCKET_PATH_LIMIT);
    listenAt(longest);
    EXPECT_TRUE(answers(longest));
    listener_.reset();
    std::filesystem::remove_all(folder_ + "/app");

    std::string tooLong = socketPathOfLength(platform::UNIX_SOCKET_PATH_LIMIT + 1);
    auto refused = HostListener::listen(tooLong);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().description(), "the socket path is longer than 103 bytes");
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/app")) << "not even the folder";
}

TEST_F(HostSocket, ADeadSocketIsReplacedAndALiveOneOrAnythingElseIsLeftAlone)
{
    std::filesystem::create_directory(folder_ + "/app");

    // Left by a host that crashed: nobody listens on it any more.
    auto crashed = platform::listenOnUnixSocket(socketPath(), 1);
    ASSERT_TRUE(crashed);
    ::close(*crashed);
    listenAt(socketPath());
    EXPECT_TRUE(answers(socketPath()));
    listener_.reset();

    // A running host's: this one does not listen, and that one still does.
    std::filesystem::remove(socketPath());
    auto running = platform::listenOnUnixSocket(socketPath(), 1);
    ASSERT_TRUE(running);
    auto refused = HostListener::listen(socketPath());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().error, EADDRINUSE);
    Client client(socketPath());
    ASSERT_TRUE(client.connected());
    int accepted = ::accept(*running, nullptr, nullptr);
    EXPECT_GE(accepted, 0) << "the running host's listener got the connection";
    ::close(accepted);
    ::close(*running);

    // Not a socket at all.
    std::string file = folder_ + "/app/file.sock";
    ASSERT_TRUE(std::filesystem::create_directory(file));
    EXPECT_FALSE(HostListener::listen(file));
    EXPECT_TRUE(std::filesystem::is_directory(file));
}

TEST_F(HostSocket, OnlyTheOwnerCanReachTheSocket)
{
    // Whatever the umask: with none, bind alone would leave the file open
    // to everyone.
    mode_t saved = ::umask(0);
    listenAt(socketPath());
    EXPECT_EQ(modeOf(folder_ + "/app"), 0700u) << "a folder it creates is the owner's";
    EXPECT_EQ(modeOf(socketPath()), 0600u);
    listener_.reset();

    // A folder that is already there is shared with other files and keeps
    // its mode; the socket itself is still the owner's.
    std::string shared = folder_ + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    listenAt(shared + "/menu.sock");
    EXPECT_EQ(modeOf(shared), 0755u);
    EXPECT_EQ(modeOf(shared + "/menu.sock"), 0600u);
    ::umask(saved);
}

TEST_F(HostSocket, ALineTooLongIsDroppedWithItsConnectionAndOthersGoOn)
{
    listenAt(socketPath());
    Client flooding(socketPath());
    Client atTheLimit(socketPath());
    Client other(socketPath());

    ASSERT_TRUE(atTheLimit.send(std::string(REQUEST_LINE_LIMIT, 'x') + "\n"));
    EXPECT_EQ(atTheLimit.replies(1), (std::vector<nlohmann::json>{parsed(R"({"error":"not-json"})")}));

    // One byte more, never ended: the host does not wait for its line feed.
    flooding.send(std::string(REQUEST_LINE_LIMIT + 1, 'x'));
    EXPECT_TRUE(flooding.closedByTheHost());
    EXPECT_EQ(flooding.leftOver(), "");

    EXPECT_TRUE(other.send("{\"refresh\":true}\n"));
    EXPECT_EQ(other.replies(1), (std::vector<nlohmann::json>{parsed(R"({"refreshed":true})")}));
    EXPECT_TRUE(atTheLimit.send("{\"refresh\":true}\n"));
    EXPECT_EQ(atTheLimit.replies(1).size(), 1u);
    EXPECT_EQ(listener_->connectionCount(), 2u);
}

TEST_F(HostSocket, APeerThatNeverReadsIsDisconnectedWithTheHostsMemoryBounded)
{
    listenAt(socketPath());
    Client deaf(socketPath());
    std::size_t mostHeld = 0;
    int sent = 0;
    // Each request of a few bytes asks for a reply of BIG_TITLE bytes.
    while (sent < 10000 && deaf.send(BIG_REQUEST)) {
        ++sent;
        pumpOnce();
        mostHeld = std::max(mostHeld, listener_->heldBytes());
    }
    EXPECT_LT(sent, 10000) << "the host never gave up on the peer";
    EXPECT_GT(mostHeld, UNSENT_REPLY_LIMIT / 2) << "replies did pile up";
    EXPECT_LE(mostHeld, UNSENT_REPLY_LIMIT + BIG_TITLE + 100);
    ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == 0; }));
    EXPECT_EQ(listener_->heldBytes(), 0u);
    EXPECT_TRUE(answers(socketPath()));
}

TEST_F(HostSocket, APeerThatVanishesMidReplyCostsOnlyItsConnection)
{
    // As a process that has not chosen to ignore SIGPIPE: a write to the
    // vanished peer that raised it would end the test run here.
    auto previous = std::signal(SIGPIPE, SIG_DFL);
    listenAt(socketPath());
    for (bool readSome : {true, false}) {
        SCOPED_TRACE(readSome);
        auto peer = std::make_unique<Client>(socketPath());
        // Replies of about half the queue's bound: more than the socket
        // takes at once, so some wait in the host when the peer goes.
        std::string requests;
        for (int i = 0; i < 16; ++i)
            requests += BIG_REQUEST;
        ASSERT_TRUE(peer->send(requests));
        ASSERT_TRUE(pumpUntil([&] { return listener_->heldBytes() > 0; }));
        if (readSome) {
            char some[1000];
            EXPECT_GT(::recv(peer->fd(), some, sizeof some, 0), 0);
        }
        peer.reset();
        ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == 0; }));
        EXPECT_EQ(listener_->heldBytes(), 0u);
    }
    EXPECT_TRUE(answers(socketPath()));
    std::signal(SIGPIPE, previous);
}

TEST_F(HostSocket, AHundredClientsAtOnceAreAllAnswered)
{
    listenAt(socketPath());
    constexpr int CLIENTS = 100;
    std::atomic<int> finished{0};
    std::vector<int> answered(CLIENTS, 0);
    std::vector<std::thread> clients;
    const std::string path = socketPath();
    for (int i = 0; i < CLIENTS; ++i) {
        clients.emplace_back([&, i] {
            // Blocking, as a plain client would be: a request, then its reply.
            auto fd = platform::connectToUnixSocket(path);
            if (fd) {
                std::string url = "acme://client/" + std::to_string(i);
                const std::pair<std::string, nlohmann::json> exchanges[] = {
                    {"{\"refresh\":true}\n", parsed(R"({"refreshed":true})")},
                    {"{\"url\":\"" + url + "\"}\n", nlohmann::json{{"delivered", url}, {"shell", 4242}}},
                    {"{\"invoke\":\"open\",\"title\":\"Open\"}\n", parsed(R"({"invoked":"open","title":"Open"})")},
                };
                for (const auto& [request, reply] : exchanges) {
                    if (::send(*fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
                        break;
                    std::string line;
                    char byte = 0;
                    while (::recv(*fd, &byte, 1, 0) == 1 && byte != '\n')
                        line += byte;
                    if (nlohmann::json::parse(line, nullptr, false) != reply)
                        break;
                    ++answered[static_cast<std::size_t>(i)];
                }
                ::close(*fd);
            }
            ++finished;
        });
    }
    bool allFinished = pumpUntil([&] { return finished == CLIENTS; }, std::chrono::seconds(60));
    for (auto& client : clients)
        client.join();
    ASSERT_TRUE(allFinished);
    EXPECT_EQ(std::count(answered.begin(), answered.end(), 3), CLIENTS);
    EXPECT_EQ(std::count(host_.effects.begin(), host_.effects.end(), "publish"), CLIENTS);
    ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == 0; }));
}

TEST_F(HostSocket, ConnectionsBeyondTheLimitAreClosedAtOnce)
{
    listenAt(socketPath());
    std::vector<std::unique_ptr<Client>> clients;
    for (std::size_t i = 0; i < HOST_CONNECTION_LIMIT; ++i) {
        clients.push_back(std::make_unique<Client>(socketPath()));
        ASSERT_TRUE(clients.back()->connected());
        // The backlog holds only a few not yet accepted.
        if (i % 4 == 3) {
            ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == i + 1; }));
        }
    }
    ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == HOST_CONNECTION_LIMIT; }));
    Client oneTooMany(socketPath());
    ASSERT_TRUE(oneTooMany.connected());
    EXPECT_TRUE(oneTooMany.closedByTheHost());
    ASSERT_TRUE(clients.front()->send("{\"refresh\":true}\n"));
    EXPECT_EQ(clients.front()->replies(1).size(), 1u);

    // One leaves, and there is room again.
    clients.pop_back();
    ASSERT_TRUE(pumpUntil([&] { return listener_->connectionCount() == HOST_CONNECTION_LIMIT - 1; }));
    EXPECT_TRUE(answers(socketPath()));
}

TEST_F(HostSocket, TheHostListensOnceForItsLife)
{
    // The process-wide listener stays for the rest of the test run; its file
    // goes with the test's folder.
    std::string path = socketPath();
    EXPECT_FALSE(listeningForTheHost());
    EXPECT_FALSE(listenForTheHost(socketPathOfLength(platform::UNIX_SOCKET_PATH_LIMIT + 1)));
    EXPECT_FALSE(listeningForTheHost()) << "a failure leaves nothing";
    EXPECT_TRUE(listenForTheHost(path));
    EXPECT_TRUE(listeningForTheHost());
    EXPECT_TRUE(listenForTheHost(folder_ + "/elsewhere.sock"));
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/elsewhere.sock")) << "no second listener";
    EXPECT_TRUE(answers(path));
}
