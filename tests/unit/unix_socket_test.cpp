// The Unix-socket helper: the path limit, and what connecting and listening
// report when they fail.
#include "platform/unix_socket.h"
#include "socket/dead_socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <unistd.h>

using namespace platform;

namespace {

// A temporary folder and socket paths in it, removed with the test.
class UnixSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kus-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        folder_ = pattern;
    }
    void TearDown() override
    {
        for (const auto& path : made_)
            ::unlink(path.c_str());
        ::rmdir(folder_.c_str());
    }
    // A path in the folder exactly `length` bytes long.
    std::string pathOfLength(std::size_t length)
    {
        std::string path = folder_ + "/";
        path.append(length - path.size(), 's');
        made_.push_back(path);
        return path;
    }

    std::string folder_;
    std::vector<std::string> made_;
};

bool closesOnExec(int fd)
{
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC);
}

} // namespace

TEST_F(UnixSocketTest, APathAtTheLimitWorksAndOneByteMoreFailsBeforeAnySystemCall)
{
    std::string longest = pathOfLength(UNIX_SOCKET_PATH_LIMIT);
    auto listener = listenOnUnixSocket(longest, 1);
    ASSERT_TRUE(listener) << listener.failure().description();
    EXPECT_TRUE(closesOnExec(*listener));
    auto connected = connectToUnixSocket(longest);
    ASSERT_TRUE(connected) << connected.failure().description();
    EXPECT_TRUE(closesOnExec(*connected));
    int accepted = ::accept(*listener, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    ::close(accepted);
    ::close(*connected);
    ::close(*listener);

    std::string tooLong = pathOfLength(UNIX_SOCKET_PATH_LIMIT + 1);
    for (auto result : {connectToUnixSocket(tooLong), listenOnUnixSocket(tooLong, 1)}) {
        ASSERT_FALSE(result);
        EXPECT_EQ(result.failure().error, 0);
        EXPECT_EQ(result.failure().subject, tooLong);
        EXPECT_EQ(result.failure().description(), "the socket path is longer than 103 bytes");
    }
    EXPECT_NE(::access(tooLong.c_str(), F_OK), 0) << "nothing was bound";
}

TEST_F(UnixSocketTest, ConnectingWhereNobodyListensNamesTheReason)
{
    // No file at all, then a socket file whose listener has closed.
    std::string missing = pathOfLength(40);
    std::string abandoned = pathOfLength(50);
    auto listener = listenOnUnixSocket(abandoned, 1);
    ASSERT_TRUE(listener);
    ::close(*listener);
    const std::pair<std::string, int> cases[] = {{missing, ENOENT}, {abandoned, ECONNREFUSED}};
    for (const auto& [path, error] : cases) {
        SCOPED_TRACE(path);
        auto connected = connectToUnixSocket(path);
        ASSERT_FALSE(connected);
        EXPECT_EQ(connected.failure().call, "connect");
        EXPECT_EQ(connected.failure().error, error);
        EXPECT_EQ(connected.failure().subject, path);
    }
}

TEST_F(UnixSocketTest, ListeningWhereAFileIsFails)
{
    std::string path = pathOfLength(40);
    auto first = listenOnUnixSocket(path, 1);
    ASSERT_TRUE(first);
    auto second = listenOnUnixSocket(path, 1);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.failure().call, "bind");
    EXPECT_EQ(second.failure().error, EADDRINUSE);
    ::close(*first);
}

TEST_F(UnixSocketTest, OnlyASocketNobodyListensOnIsRemovedAsDead)
{
    // A live listener keeps its socket.
    std::string live = pathOfLength(folder_.size() + 10);
    auto listening = listenOnUnixSocket(live, 4);
    ASSERT_TRUE(listening.ok());
    kestrune::socket::removeDeadSocket(live);
    EXPECT_EQ(::access(live.c_str(), F_OK), 0);

    // Once it stops listening, the socket is dead and goes.
    ::close(*listening);
    kestrune::socket::removeDeadSocket(live);
    EXPECT_NE(::access(live.c_str(), F_OK), 0);

    // A plain file at the path refuses connections too, and stays.
    std::string file = pathOfLength(folder_.size() + 12);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    kestrune::socket::removeDeadSocket(file);
    EXPECT_EQ(::access(file.c_str(), F_OK), 0);
    kestrune::socket::removeDeadSocket(folder_ + "/missing");
}
