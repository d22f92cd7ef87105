#include "channel/inbox.h"

#include "main_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

using namespace kestrune::channel;
using testing_support::Pipe;
using testing_support::pumpUntil;

namespace {

// What each message's callback was told, by message name, in call order.
struct Outcomes {
    std::vector<std::pair<std::string, std::optional<std::string>>> calls;
    ChildInbox::Settled of(const std::string& name)
    {
        return [this, name](const std::optional<std::string>& failure) { calls.emplace_back(name, failure); };
    }
    bool settled(const std::string& name) const
    {
        for (const auto& call : calls) {
            if (call.first == name)
                return true;
        }
        return false;
    }
};

class Inbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::markTheMainThread();
        // As the host does at start-up: a write to a closed pipe fails with
        // EPIPE instead of ending the process.
        signal(SIGPIPE, SIG_IGN);
        inbox = ChildInbox::on(pipe.takeWriteEnd());
    }
    Pipe pipe;
    std::shared_ptr<ChildInbox> inbox;
    Outcomes outcomes;
};

const std::optional<std::string> delivered = std::nullopt;

} // namespace

TEST_F(Inbox, HoldsUpToTheLimitRefusesOneByteMoreAndStaysOpen)
{
    // Whole queues that leave no room: the bytes in the pipe still count
    // until their message is written completely.
    const std::vector<std::vector<std::int64_t>> queues = {{CHILD_INBOX_LIMIT}, {CHILD_INBOX_LIMIT - 10, 10}};
    for (const auto& sizes : queues) {
        SCOPED_TRACE(sizes.size());
        Pipe fresh;
        auto full = ChildInbox::on(fresh.takeWriteEnd());
        Outcomes seen;
        std::string expected;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            std::string bytes(static_cast<std::size_t>(sizes[i]), static_cast<char>('a' + i));
            expected += bytes;
            EXPECT_TRUE(full->send(bytes, seen.of("row" + std::to_string(i))));
        }
        EXPECT_EQ(full->held(), CHILD_INBOX_LIMIT);
        EXPECT_TRUE(full->watching());

        EXPECT_FALSE(full->send("x", seen.of("refused")));
        ASSERT_EQ(seen.calls.size(), 1u);
        EXPECT_EQ(seen.calls[0], std::make_pair(std::string("refused"), std::optional<std::string>("child-not-reading")));
        EXPECT_EQ(full->held(), CHILD_INBOX_LIMIT);
        EXPECT_FALSE(full->failure().has_value());

        // The shell reads: the rows complete, in order and whole, and a
        // message that fits is taken again.
        std::string got;
        ASSERT_TRUE(pumpUntil([&] {
            got += fresh.readAvailable();
            return full->held() == 0;
        }));
        EXPECT_FALSE(full->watching());
        EXPECT_TRUE(full->send("later\n", seen.of("later")));
        got += fresh.readAvailable();
        EXPECT_TRUE(got == expected + "later\n");
        std::vector<std::string> order;
        for (const auto& [name, failure] : seen.calls) {
            EXPECT_EQ(failure, name == "refused" ? std::optional<std::string>("child-not-reading") : delivered) << name;
            order.push_back(name);
        }
        std::vector<std::string> expectedOrder{"refused"};
        for (std::size_t i = 0; i < sizes.size(); ++i)
            expectedOrder.push_back("row" + std::to_string(i));
        expectedOrder.push_back("later");
        EXPECT_EQ(order, expectedOrder);
    }
}

TEST_F(Inbox, RefusesAMessageLargerThanTheLimitEvenWhenEmpty)
{
    EXPECT_FALSE(inbox->send(std::string(CHILD_INBOX_LIMIT + 1, 'a'), outcomes.of("huge")));
    ASSERT_EQ(outcomes.calls.size(), 1u);
    EXPECT_EQ(outcomes.calls[0].second, std::optional<std::string>("child-not-reading"));
    EXPECT_EQ(inbox->held(), 0);
    EXPECT_EQ(pipe.readAvailable(), "");
    EXPECT_TRUE(inbox->send("small\n", outcomes.of("small")));
    EXPECT_EQ(pipe.readAvailable(), "small\n");
    EXPECT_EQ(outcomes.calls.back(), std::make_pair(std::string("small"), delivered));
}

TEST_F(Inbox, AShellThatNeverReadsBlocksNothing)
{
    // Messages pile up past what the pipe holds; every send returns at once
    // and the main loop keeps running while the waker waits for room.
    std::string line(1000, 'm');
    line.back() = '\n';
    std::size_t accepted = 0;
    while (inbox->send(line))
        ++accepted;
    EXPECT_GT(inbox->held(), CHILD_INBOX_LIMIT - 1000);
    EXPECT_LE(inbox->held(), CHILD_INBOX_LIMIT);
    EXPECT_TRUE(inbox->watching());
    EXPECT_FALSE(inbox->failure().has_value());

    bool ran = false;
    platform::post([&] { ran = true; });
    ASSERT_TRUE(pumpUntil([&] { return ran; }));
    EXPECT_TRUE(inbox->watching());

    // Once the shell reads, the waker writes the rest and then rests.
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        got += pipe.readAvailable();
        return inbox->held() == 0;
    }));
    EXPECT_EQ(got.size(), accepted * line.size());
    EXPECT_FALSE(inbox->watching());
}

TEST_F(Inbox, FailsWithTheSystemsTextWhenTheShellClosedItsInput)
{
    const std::string brokenPipe = std::strerror(EPIPE);
    // Rows waiting in a full pipe fail, in order, when the waker finds the
    // reader gone; later sends fail at once with the same text.
    std::string chunk(40000, 'w');
    ASSERT_TRUE(inbox->send(chunk, outcomes.of("first")));
    ASSERT_TRUE(inbox->send(chunk, outcomes.of("second")));
    ASSERT_TRUE(inbox->send(chunk, outcomes.of("third")));
    ASSERT_TRUE(inbox->watching());
    pipe.closeReadEnd();
    ASSERT_TRUE(pumpUntil([&] { return inbox->failure().has_value(); }));
    EXPECT_EQ(*inbox->failure(), brokenPipe);
    using Calls = decltype(outcomes.calls);
    EXPECT_EQ(outcomes.calls, (Calls{{"first", delivered}, {"second", brokenPipe}, {"third", brokenPipe}}));
    EXPECT_EQ(inbox->held(), 0);
    EXPECT_FALSE(inbox->watching());
    EXPECT_FALSE(inbox->send("late\n", outcomes.of("late")));
    EXPECT_EQ(outcomes.calls.back(), std::make_pair(std::string("late"), std::optional<std::string>(brokenPipe)));

    // A send into an empty inbox meets the closed pipe in its own write.
    Pipe other;
    auto fresh = ChildInbox::on(other.takeWriteEnd());
    other.closeReadEnd();
    Outcomes seen;
    EXPECT_FALSE(fresh->send("x\n", seen.of("direct")));
    EXPECT_EQ(seen.calls, (Calls{{"direct", brokenPipe}}));
}

TEST_F(Inbox, CloseSettlesQueuedRowsWithClosedInOrderAndOnlyOnce)
{
    std::string chunk(40000, 'c');
    for (const char* name : {"one", "two", "three"})
        ASSERT_TRUE(inbox->send(chunk, outcomes.of(name)));
    inbox->close();
    using Calls = decltype(outcomes.calls);
    const std::optional<std::string> closed = "closed";
    EXPECT_EQ(outcomes.calls, (Calls{{"one", delivered}, {"two", closed}, {"three", closed}}));
    EXPECT_EQ(inbox->failure(), closed);
    EXPECT_EQ(inbox->held(), 0);
    EXPECT_FALSE(inbox->watching());

    inbox->close();
    EXPECT_EQ(outcomes.calls.size(), 3u);
    EXPECT_FALSE(inbox->send("after\n", outcomes.of("after")));
    EXPECT_EQ(outcomes.calls.back(), std::make_pair(std::string("after"), closed));

    // The write end is closed: the reader sees the end after the bytes
    // that made it into the pipe.
    bool ended = false;
    std::string got;
    ASSERT_TRUE(pumpUntil([&] {
        got += pipe.readAvailable(&ended);
        return ended;
    }));
    EXPECT_LT(got.size(), 2 * chunk.size());
}

TEST_F(Inbox, CloseAfterAWriteFailureReplacesItsText)
{
    pipe.closeReadEnd();
    EXPECT_FALSE(inbox->send("x\n"));
    ASSERT_EQ(inbox->failure(), std::optional<std::string>(std::strerror(EPIPE)));
    inbox->close();
    EXPECT_EQ(inbox->failure(), std::optional<std::string>("closed"));
    EXPECT_FALSE(inbox->send("y\n", outcomes.of("y")));
    EXPECT_EQ(outcomes.calls.back().second, std::optional<std::string>("closed"));
}

TEST_F(Inbox, AnEmptyMessageSettlesAtOnce)
{
    EXPECT_TRUE(inbox->send("", outcomes.of("empty")));
    using Calls = decltype(outcomes.calls);
    EXPECT_EQ(outcomes.calls, (Calls{{"empty", delivered}}));
    EXPECT_EQ(inbox->held(), 0);
    EXPECT_FALSE(inbox->watching());
}

TEST_F(Inbox, CallbacksMaySendAndCloseWithoutDisorder)
{
    // A message sent from a callback goes behind those already queued.
    Pipe other;
    auto replying = ChildInbox::on(other.takeWriteEnd());
    Outcomes seen;
    ASSERT_TRUE(replying->send("first\n", [&](const std::optional<std::string>& failure) {
        seen.calls.emplace_back("first", failure);
        replying->send("reply\n", seen.of("reply"));
    }));
    EXPECT_EQ(other.readAvailable(), "first\nreply\n");
    using Calls = decltype(seen.calls);
    EXPECT_EQ(seen.calls, (Calls{{"first", delivered}, {"reply", delivered}}));

    // The pipe is full; once the shell reads, one write takes "a", "b" and
    // part of "c", and the callback of "a" closes the inbox: "b" was
    // written all the same, "c" was not.
    const std::size_t room = 65536;
    ASSERT_TRUE(inbox->send(std::string(room, 'f'), outcomes.of("full")));
    ASSERT_TRUE(inbox->send(std::string(30000, 'a'), [&](const std::optional<std::string>& failure) {
        outcomes.calls.emplace_back("a", failure);
        inbox->close();
    }));
    ASSERT_TRUE(inbox->send(std::string(30000, 'b'), outcomes.of("b")));
    ASSERT_TRUE(inbox->send(std::string(30000, 'c'), outcomes.of("c")));
    ASSERT_TRUE(inbox->watching());
    EXPECT_EQ(pipe.readAvailable().size(), room);
    ASSERT_TRUE(pumpUntil([&] { return outcomes.settled("c"); }));
    const std::optional<std::string> closed = "closed";
    EXPECT_EQ(outcomes.calls, (Calls{{"full", delivered}, {"a", delivered}, {"b", delivered}, {"c", closed}}));
}
