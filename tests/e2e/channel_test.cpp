// The shell's channel seen from outside: what the shell writes reaches the
// host's standard output unless it is a message for the host, and what the
// host sends reaches the shell's standard input.
#include "support/fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A bundle whose shell is piped: it declares a URL scheme.
void makePipedBundle(fixture::Bundle& bundle, const nlohmann::json& descriptor = nlohmann::json::object())
{
    bundle.writeInfoWithIdentifier("com.example.acme",
                                   {{"CFBundleURLTypes", nlohmann::json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
    bundle.writeTestShellDescriptor("acme", descriptor);
    bundle.installHost("Acme");
}

std::string fileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

struct ReaderCase {
    const char* name;
    std::vector<std::string> shell;   // the test shell's arguments
    std::string out;                  // the host's whole standard output
    nlohmann::json descriptor = nlohmann::json::object();
};

} // namespace

TEST(ShellOutput, CopiesWhatIsNoMessageAndKeepsWhatIs)
{
    const std::string megabytes(3 * 1024 * 1024, 'a');
    const char notMessages[] = "{\"a\":1\n{\xff\xfe}\n\x00\x01\x80\xc3\x28\n{\"s\":\"\xc3\x28\"}\n{\"s\":\"\\ud800\"}\n[1,2]\n\"str\"\n{} x\n";
    const ReaderCase cases[] = {
        {"two messages in one read, between console lines",
         {R"(ts:out=first\n{"watch":"apps"}\n{"focus":"replies"}\nlast\n)"},
         "first\nlast\n"},
        {"a message and a console line split across reads",
         {R"(ts:out={"watch")", "ts:sleep=300", R"(ts:out=:"apps"}\nhel)", "ts:sleep=300", R"(ts:out=lo\n)"},
         "hello\n"},
        {"plain and empty lines, carriage returns kept",
         {R"(ts:out=plain\n\n\r\n  \n)"},
         "plain\n\n\r\n  \n"},
        {"a watch request has exactly one key",
         {R"(ts:out={"watch":"apps","x":1}\n{"watch":"other"}\n)"},
         "{\"watch\":\"apps\",\"x\":1}\n{\"watch\":\"other\"}\n"},
        {"a pop-up request is console output while the shell draws no menu",
         {R"(ts:out={"popUp":true}\n)"},
         "{\"popUp\":true}\n"},
        {"a pop-up request is taken when the shell draws the menu",
         {R"(ts:out={"popUp":true}\n{"popUp":true,"x":1}\n)"},
         "{\"popUp\":true,\"x\":1}\n",
         {{"menu", "child"}}},
        {"a link reply is also copied; a url without result or error is only copied",
         {R"(ts:out={"url":"x","result":null}\n{"url":"x"}\n{"url":"x","error":"no","focus":"keep","panel":99999999999}\n)"},
         "{\"url\":\"x\",\"result\":null}\n{\"url\":\"x\"}\n{\"url\":\"x\",\"error\":\"no\",\"focus\":\"keep\",\"panel\":99999999999}\n"},
        {"shell hot keys of the wrong shape are copied",
         {R"(ts:out={"hotkeys":"none"}\n{"hotkeys":[{"key":"cmd+k"}]}\n)"},
         "{\"hotkeys\":\"none\"}\n",
         {{"hotkeys", "child"}}},
        {"the bytes after the last line feed are dropped at the end",
         {R"(ts:out=kept\n{"watch":"apps"})", "ts:sleep=100", R"(ts:out=partial)"},
         "kept\n"},
        {"a console line left open is passed through, then ended at the end",
         {R"(ts:out=kept\nopen)"},
         "kept\nopen\n"},
        {"invalid JSON, binary bytes and invalid UTF-8 pass through unchanged",
         {R"(ts:out={"a":1\n{\xff\xfe}\n\x00\x01\x80\xc3\x28\n{"s":"\xc3\x28"}\n{"s":"\\ud800"}\n[1,2]\n"str"\n{} x\n)"},
         std::string(notMessages, sizeof notMessages - 1)},
        {"a line of megabytes is copied whole",
         {"ts:fill=3145728:a", R"(ts:out=\n)"},
         megabytes + "\n"},
        {"a message of megabytes is taken whole",
         {R"(ts:out={"menu":[{"title":")", "ts:fill=3145728:a", R"(ts:out="}]}\nafter\n)"},
         "after\n",
         {{"menu", "child"}}},
        {"an object of megabytes that is no message is copied whole",
         {R"(ts:out={"note":")", "ts:fill=3145728:a", R"(ts:out="}\n)"},
         "{\"note\":\"" + megabytes + "\"}\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::Bundle bundle;
        makePipedBundle(bundle, c.descriptor);
        auto run = bundle.run(c.shell);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.out == c.out) << "got " << run.out.size() << " bytes: " << run.out.substr(0, 300);
    }
}

TEST(ShellOutput, GoesStraightToTheHostsOutputWhenTheShellIsNotPiped)
{
    fixture::Bundle bundle;
    bundle.writeInfoWithIdentifier();
    bundle.writeTestShellDescriptor("acme", {{"menu", "child"}});
    bundle.installHost("Acme");
    auto run = bundle.run({R"(ts:out={"watch":"apps"}\n{"popUp":true}\npartial)"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "{\"watch\":\"apps\"}\n{\"popUp\":true}\npartial");
}

TEST(ShellOutput, AHostWhoseOutputWasClosedKeepsRunningTheShell)
{
    // The reader of the host's output is gone before the shell writes: the
    // copies fail with EPIPE, which must neither end nor stop the host.
    fixture::Bundle bundle;
    makePipedBundle(bundle);
    std::string host = bundle.contents("MacOS/Acme");
    std::string record = bundle.root() + "/record.json";
    fixture::RunOptions options;
    options.arguments = {"-c", "exec 3>&1; \"$0\" \"$@\" | true; echo \"status=${PIPESTATUS[0]}\" >&3", host, "ts:sleep=300",
                         "ts:out=console\\n", "ts:fill=100000:line\\n", "ts:record=" + record, "ts:exit=7"};
    auto run = fixture::runProgram("/bin/bash", options, bundle.home());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, "status=7\n") << run.err;
    EXPECT_TRUE(fixture::readRecord(record, std::chrono::milliseconds(100)).has_value());
}

TEST(FrontMessage, NothingIsSentWhenNoApplicationIsInFront)
{
    // The headless desktop has no application in front: the "front" message
    // after the launch has nothing to name.
    for (const char* front : {"tell", "keep"}) {
        SCOPED_TRACE(front);
        fixture::Bundle bundle;
        makePipedBundle(bundle, {{"front", front}});
        std::string heard = bundle.root() + "/heard";
        auto run = bundle.run({"ts:echo=500:" + heard});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(fileText(heard), "");
    }
}

namespace {

struct SlowRun {
    std::string out;
    int status = -1;
};

// Runs the bundle's host with its standard output read slowly, at about
// `bytesPerSecond`, to its end.
SlowRun runWithASlowReader(const fixture::Bundle& bundle, const std::vector<std::string>& arguments, std::size_t bytesPerSecond)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    const std::string program = bundle.contents("MacOS/Acme");
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + bundle.home()};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        std::vector<char*> argv, envp;
        for (auto& text : texts)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        for (auto& text : environment)
            envp.push_back(text.data());
        envp.push_back(nullptr);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    SlowRun run;
    const std::size_t piece = bytesPerSecond / 20;
    std::vector<char> buffer(piece);
    for (;;) {
        ssize_t got = read(out[0], buffer.data(), piece);
        if (got <= 0)
            break;
        run.out.append(buffer.data(), static_cast<std::size_t>(got));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

// `count` lines of 100 bytes with their line feeds, each the same.
std::string repeatedLines(const std::string& label, int count)
{
    std::string line = label + " " + std::string(98 - label.size(), '.') + "\n";
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += line;
    return lines;
}

} // namespace

TEST(ShellOutput, ReachesASlowReaderWholeAndInOrderAcrossASwapAndTheEnd)
{
    // The first shell writes its lines and hangs itself up; its replacement
    // writes its own and exits. The host's output is read at 200 KB/s, far
    // slower than either writes: every line of the old shell comes before
    // any of the new one's, none is cut, and the last is out before the
    // host exits.
    fixture::Bundle bundle;
    makePipedBundle(bundle);
    const std::string old = repeatedLines("old", 3000), replacement = repeatedLines("new", 3000);
    auto fill = [](const std::string& label) { return "ts:fill=3000:" + label + " " + std::string(98 - label.size(), '.') + "\\n"; };
    auto run = runWithASlowReader(bundle,
                                  {"ts:first-time=" + bundle.root() + "/first", fill("old"), "ts:first-time=" + bundle.root() + "/second",
                                   "ts:raise=1", fill("new"), "ts:exit=0"},
                                  200 * 1024);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.size(), old.size() + replacement.size());
    EXPECT_TRUE(run.out == old + replacement) << "the output is torn or out of order";
}

TEST(ShellOutput, ALineNestedBeyondAnyMessageIsCopiedAndTheHostGoesOn)
{
    // Numbers too big for the fast parser send the line to a slower one;
    // nesting this deep must not take the reader's thread down with it.
    fixture::Bundle bundle;
    makePipedBundle(bundle);
    const std::string start = "{\"a\":123456789012345678901234567890,\"b\":";
    const std::string line = start + std::string(500000, '[') + std::string(500000, ']') + "}";
    auto run = bundle.run({"ts:out=" + start, "ts:fill=500000:[", "ts:fill=500000:]", "ts:out=}\\n", "ts:print=after", "ts:exit=0"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, line + "\nafter\n");
}

TEST(ShellOutput, LinesOfTwoShellsAreNeverJoinedAtASwap)
{
    // The first shell leaves its last line open and hangs itself up; its
    // replacement writes a line of its own and exits.
    const ReaderCase cases[] = {
        {"a console line, out already, is ended before the next shell's",
         {R"(ts:out=kept\nunterminated)"},
         "kept\nunterminated\nsecond shell\n"},
        {"a line held as a possible message is dropped",
         {R"(ts:out=kept\n{"watch":)"},
         "kept\nsecond shell\n"},
        {"a line too long for a message, passed through, is ended",
         {R"(ts:out={"a":")", "ts:fill=17000000:x"},
         "{\"a\":\"" + std::string(17000000, 'x') + "\nsecond shell\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::Bundle bundle;
        makePipedBundle(bundle);
        // Only the first shell writes the case's bytes: each command of it
        // is skipped by the second.
        std::vector<std::string> shell;
        for (std::size_t i = 0; i < c.shell.size(); ++i) {
            shell.push_back("ts:first-time=" + bundle.root() + "/written-" + std::to_string(i));
            shell.push_back(c.shell[i]);
        }
        shell.push_back("ts:first-time=" + bundle.root() + "/swapped");
        shell.push_back("ts:raise=1");
        shell.push_back(R"(ts:out=second shell\n)");
        shell.push_back("ts:exit=0");
        auto run = bundle.run(shell);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(run.out == c.out) << "got " << run.out.size() << " bytes: " << run.out.substr(0, 300);
    }
}

TEST(ShellOutput, LongLinesWrittenJustBeforeTheEndAreAllOut)
{
    // The shell ends as soon as its last bytes are in the pipe: the host
    // still has long lines to parse and copy when it sees that end, and
    // every line, the long ones and those after them, must come out.
    const std::string zeros = "{\"a\":[" + [] {
        std::string text;
        for (int i = 0; i < 7 * 1024 * 1024; ++i)
            text += "0,";
        return text;
    }() + "0]}";
    const std::string huge = "123456789012345678901234567890";
    const std::string wide = "{\"a\":[" + [&] {
        std::string text;
        for (int i = 0; i < 70000; ++i)
            text += huge + ",";
        return text;
    }() + "0]}";
    struct LongLineCase {
        const char* name;
        std::vector<std::string> shell;
        std::string out;
    };
    const LongLineCase cases[] = {
        {"an object of 14 MiB that is no message",
         {R"(ts:out={"a":[)", "ts:fill=7340032:0,", R"(ts:out=0]}\nafter\n)", "ts:exit=0"},
         zeros + "\nafter\n"},
        {"an object of 2 MiB with integers beyond 64 bits",
         {R"(ts:out={"a":[)", "ts:fill=70000:" + huge + ",", R"(ts:out=0]}\nafter\n)", "ts:exit=0"},
         wide + "\nafter\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixture::Bundle bundle;
        makePipedBundle(bundle);
        auto started = std::chrono::steady_clock::now();
        auto run = bundle.run(c.shell);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(run.out == c.out) << "got " << run.out.size() << " bytes of " << c.out.size() << " in " << took.count() << " ms";
    }
}

TEST(ShellOutput, ALongLineWrittenJustBeforeASwapIsOutBeforeTheNextShells)
{
    const std::string line = "{\"a\":[" + [] {
        std::string text;
        for (int i = 0; i < 4 * 1024 * 1024; ++i)
            text += "0,";
        return text;
    }() + "0]}";
    fixture::Bundle bundle;
    makePipedBundle(bundle);
    const std::string first = bundle.root() + "/first";
    auto run = bundle.run({"ts:first-time=" + first, R"(ts:out={"a":[)", "ts:first-time=" + first + "-fill", "ts:fill=4194304:0,",
                           "ts:first-time=" + first + "-end", R"(ts:out=0]}\nlast of the old shell\n)",
                           "ts:first-time=" + first + "-raise", "ts:raise=1", R"(ts:out=new shell\n)", "ts:exit=0"});
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == line + "\nlast of the old shell\nnew shell\n") << "got " << run.out.size() << " bytes: " << run.out.substr(0, 100);
}
