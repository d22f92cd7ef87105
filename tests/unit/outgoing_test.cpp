#include "channel/outgoing.h"

#include "channel/inbox.h"
#include "main_loop.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <sys/wait.h>

using namespace kestrune::channel;
using testing_support::Pipe;

namespace {

// An inbox on a pipe the test reads, behind a gate the test opens and
// closes as the shell's supervisor would.
class Telling : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::markTheMainThread();
        inbox = ChildInbox::on(pipe.takeWriteEnd());
        setTheOpenInbox([this]() -> ChildInbox* { return open ? inbox.get() : nullptr; });
        decideWhetherToTellTheFront(true, "tell");
    }
    void TearDown() override
    {
        setTheOpenInbox({});
        decideWhetherToTellTheFront(false, std::nullopt);
    }
    Pipe pipe;
    std::shared_ptr<ChildInbox> inbox;
    bool open = true;
};

Message messageWith(const std::string& key, const std::string& value)
{
    Message message;
    message[key] = value;
    return message;
}

} // namespace

TEST_F(Telling, SendsOneCompactLineWithTheKeysInTheirOwnOrder)
{
    Message message;
    message["zebra"] = "line\nfeed";
    message["apple"] = Message::array({1, true, nullptr});
    tellTheChild(message);
    EXPECT_EQ(pipe.readAvailable(), "{\"zebra\":\"line\\nfeed\",\"apple\":[1,true,null]}\n");
}

TEST_F(Telling, DropsAMessageThatCannotBeEncoded)
{
    tellTheChild(messageWith("text", "\xff\xfe"));
    tellTheChild(messageWith("text", "fine"));
    EXPECT_EQ(pipe.readAvailable(), "{\"text\":\"fine\"}\n");
}

TEST_F(Telling, TheGateDropsMessagesForGood)
{
    // Closed: no shell runs, it is not piped, or a swap is under way.
    open = false;
    EXPECT_FALSE(theChildCanBeTold());
    tellTheChild(messageWith("menu", "dropped"));
    tellTheChildTheFront("com.example.dropped");
    tellTheChildTheFront();
    open = true;
    EXPECT_TRUE(theChildCanBeTold());
    tellTheChild(messageWith("menu", "sent"));
    EXPECT_EQ(pipe.readAvailable(), "{\"menu\":\"sent\"}\n");

    // Without a supervisor nothing is sent at all.
    setTheOpenInbox({});
    EXPECT_FALSE(theChildCanBeTold());
    tellTheChild(messageWith("menu", "dropped"));
    EXPECT_EQ(pipe.readAvailable(), "");
}

TEST_F(Telling, TheFrontIsToldOnlyWhenItHasAnIdentifierAndTheSwitchIsOn)
{
    tellTheChildTheFront("com.example.front");
    EXPECT_EQ(pipe.readAvailable(), "{\"front\":\"com.example.front\"}\n");

    tellTheChildTheFront(std::nullopt);
    // The headless desktop has no application in front.
    tellTheChildTheFront();
    platform::RunningApplication nameless;
    nameless.pid = 4242;
    tellTheChildAboutActivation(nameless);
    tellTheChildAboutActivation(std::nullopt);
    EXPECT_EQ(pipe.readAvailable(), "");

    platform::RunningApplication named = nameless;
    named.bundleIdentifier = "com.example.activated";
    tellTheChildAboutActivation(named);
    EXPECT_EQ(pipe.readAvailable(), "{\"front\":\"com.example.activated\"}\n");

    decideWhetherToTellTheFront(false, "tell");
    tellTheChildTheFront("com.example.front");
    tellTheChildAboutActivation(named);
    EXPECT_EQ(pipe.readAvailable(), "");
}

TEST_F(Telling, TheSwitchNeedsAPipedShellAndExactlyTell)
{
    struct Case {
        bool piped;
        std::optional<std::string> front;
        bool tells;
    };
    const Case cases[] = {
        {true, "tell", true}, {false, "tell", false}, {true, "Tell", false}, {true, "tell ", false}, {true, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.front.value_or("(none)") + (c.piped ? " piped" : ""));
        decideWhetherToTellTheFront(c.piped, c.front);
        EXPECT_EQ(tellsTheChildTheFront(), c.tells);
    }
}
