#include "channel/outgoing.h"

#include "channel/inbox.h"
#include "host/descriptor.h"
#include "main_loop.h"
#include "supervision/exit.h"
#include "supervision/launch.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>

using namespace kestrune;
using testing_support::Pipe;

namespace {

// A running shell with its inbox on a pipe the test reads: the gate open.
class Telling : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::markTheMainThread();
        input = ChildInbox::on(pipe.takeWriteEnd());
        child = std::make_unique<Child>("/bin/sleep", std::vector<std::string>{"60"}, platform::Environment{}, false);
        ASSERT_FALSE(child->launch().has_value());
        shell = child->pid();
        swapping = false;
        tellsTheChildTheFront = true;
    }
    void TearDown() override
    {
        // The shell shares the test's output: it must not outlive the test.
        if (shell > 0) {
            kill(shell, SIGKILL);
            waitpid(shell, nullptr, 0);
        }
        child.reset();
        input.reset();
        swapping = false;
        tellsTheChildTheFront = false;
        piped = false;
        runtime.clear();
    }
    Pipe pipe;
    pid_t shell = -1;
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
    struct Closing {
        const char* name;
        std::function<void(Telling&)> close, reopen;
    };
    auto keptInput = std::make_shared<std::shared_ptr<ChildInbox>>();
    const Closing closings[] = {
        {"no inbox", [=](Telling&) { *keptInput = std::move(input); }, [=](Telling&) { input = std::move(*keptInput); }},
        {"a swap under way", [](Telling&) { swapping = true; }, [](Telling&) { swapping = false; }},
    };
    for (const auto& closing : closings) {
        SCOPED_TRACE(closing.name);
        closing.close(*this);
        EXPECT_FALSE(theChildCanBeTold());
        tellTheChild(messageWith("menu", "dropped"));
        tellTheChildTheFront("com.example.dropped");
        closing.reopen(*this);
        EXPECT_TRUE(theChildCanBeTold());
        tellTheChild(messageWith("menu", "sent"));
        EXPECT_EQ(pipe.readAvailable(), "{\"menu\":\"sent\"}\n");
    }

    // A shell that has ended is told nothing more.
    child->markEnded();
    EXPECT_FALSE(theChildCanBeTold());
    tellTheChild(messageWith("menu", "dropped"));
    tellTheChildTheFront("com.example.dropped");
    child.reset();
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

    tellsTheChildTheFront = false;
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
        piped = c.piped;
        runtime.clear();
        if (c.front)
            runtime["front"] = *c.front;
        decideWhetherToTellTheFront();
        EXPECT_EQ(tellsTheChildTheFront, c.tells);
    }
}
