// Throughput of the shell's channel in both directions, each against the
// bare work it stands on, measured in the same run:
//   shell to host: lines through the output reader (console lines, and a
//   mix of messages of about 100 bytes the way a shell sends them: menu
//   rows, panel calls, badges, link replies, rarely a watch request), on
//   one core and with the main loop on a second thread, against a bare
//   line-feed splitter;
//   host to shell: messages through the inbox into a thread reading the
//   pipe, against plain writes of the same bytes.
#include "channel/inbox.h"
#include "channel/reader.h"
#include "channel/routes.h"
#include "overlays/badge.h"
#include "platform/main_queue.h"

#include <asio/io_context.hpp>
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <unistd.h>

using namespace kestrune;
using namespace kestrune::channel;

namespace {

// Each case runs this often, the runs of all cases shuffled, and the ratios
// use the medians: the machine's load changes while the benchmark runs.
constexpr int REPETITIONS = 7;
constexpr std::size_t STREAM_BYTES = 8 * 1024 * 1024;
constexpr std::size_t CHUNK = 64 * 1024;

// Lines in turn from `samples`, about STREAM_BYTES in all.
std::string streamOf(const std::vector<std::string>& samples)
{
    std::string stream;
    for (std::size_t i = 0; stream.size() < STREAM_BYTES; ++i)
        stream += samples[i % samples.size()] + "\n";
    return stream;
}

std::size_t linesIn(const std::string& stream)
{
    return static_cast<std::size_t>(std::count(stream.begin(), stream.end(), '\n'));
}

const std::string& consoleStream()
{
    static const std::string stream = streamOf({
        "2025-01-31T12:34:56.789Z info  worker 17: finished job 123456 in 42 ms, queue depth 3, all good",
        "2025-01-31T12:34:56.790Z debug cache: 1024 entries, 87 % hits, next sweep in 30 s, nothing evicted",
        "  {not json at all, but it opens like an object: the reader has to look at it}           ",
    });
    return stream;
}

// The messages a busy shell sends, each with how many of every hundred
// lines are of its kind: about 100 bytes a line on average. A watch request
// comes once per session in practice; it is here at all only so that its
// route is not left out.
struct Sample {
    const char* line;
    int perHundred;
};
const Sample messageMix[] = {
    {R"({"menu":[{"title":"Open the dashboard","id":"open"},{"title":"Quit Acme","id":"quit","key":"q"}]})", 30},
    {R"({"panel":{"id":7,"call":"show","title":"Settings","width":480,"height":320,"anchor":"menu"}})", 25},
    {R"({"badge":{"pid":4242,"text":"3 new messages from the build","ms":900}})", 15},
    {R"({"url":"acme://open/item/123456?from=hotkey","result":{"ok":true,"title":"Item 123456"},"focus":"keep","panel":3})", 29},
    {R"({"watch":"apps"})", 1},
};

// A hundred lines in the proportions of the mix, the kinds spread out.
std::vector<std::string> mixedLines()
{
    std::vector<std::string> lines;
    for (int slot = 0; slot < 100; ++slot) {
        // Slot by slot, the kind furthest behind its share goes next.
        const Sample* next = nullptr;
        double worst = 1e9;
        for (const auto& sample : messageMix) {
            auto already = std::count(lines.begin(), lines.end(), sample.line);
            double share = static_cast<double>(already) - sample.perHundred * (slot + 1) / 100.0;
            if (already < sample.perHundred && share < worst) {
                worst = share;
                next = &sample;
            }
        }
        lines.emplace_back(next->line);
    }
    return lines;
}

const std::string& messageStream()
{
    static const std::string stream = streamOf(mixedLines());
    return stream;
}

double averageLineBytes(const std::string& stream)
{
    return static_cast<double>(stream.size()) / static_cast<double>(linesIn(stream));
}

int nullDevice()
{
    static int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    return fd;
}

// The least a reader can do: find each line feed.
void BM_BareSplitter(benchmark::State& state)
{
    const std::string& stream = state.range(0) ? messageStream() : consoleStream();
    std::size_t lines = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += CHUNK) {
            const char* from = stream.data() + at;
            const char* end = stream.data() + std::min(at + CHUNK, stream.size());
            while (const void* feed = std::memchr(from, '\n', static_cast<std::size_t>(end - from))) {
                ++lines;
                from = static_cast<const char*>(feed) + 1;
            }
        }
        benchmark::DoNotOptimize(lines);
    }
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareSplitter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(REPETITIONS)->ReportAggregatesOnly(true);

// The host's main loop on a thread of its own, performing what the reader
// queues while the reader goes on, as in the host.
class MainLoopThread {
public:
    MainLoopThread()
    {
        std::atomic<bool> started{false};
        thread_ = std::thread([&] {
            platform::markTheMainThread();
            started = true;
            platform::runTheMainQueueUntilStopped();
        });
        while (!started)
            std::this_thread::yield();
    }
    ~MainLoopThread()
    {
        platform::stopTheMainQueue();
        thread_.join();
        platform::markTheMainThread();
    }
    // Returns once everything queued so far has been performed.
    void drain()
    {
        std::atomic<bool> reached{false};
        platform::post([&] { reached = true; });
        while (!reached)
            std::this_thread::yield();
    }

private:
    std::thread thread_;
};

const std::string& readerStream(benchmark::State& state)
{
    return state.range(0) == 0 ? consoleStream() : messageStream();
}

// Every route open, as in a host whose descriptor hands the panel, the hot
// keys and the menu to the shell.
void openEveryRoute(bool open)
{
    RoutingSwitches switches;
    if (open) {
        switches.hostsTheChildsPanel = switches.childOwnsHotKeys = switches.drawsTheChildsMenu = true;
        switches.makesABadge = [](const nlohmann::json& message) { return overlays::badgeOf(message).has_value(); };
    }
    setTheRoutingSwitches(std::move(switches));
}

// The reader's core in the host's shape: split, route, copy to /dev/null and
// queue the requests, one read's worth at a time, while the main loop
// performs them on another thread.
void BM_Reader(benchmark::State& state)
{
    const std::string& stream = readerStream(state);
    const std::size_t linesPerStream = linesIn(stream);
    openEveryRoute(state.range(0) != 0);
    MainLoopThread mainLoop;
    ChildOutput output(nullDevice(), performOnTheMainQueue);
    std::size_t lines = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += CHUNK)
            output.take(std::string_view(stream).substr(at, CHUNK));
        mainLoop.drain();
        lines += linesPerStream;
    }
    openEveryRoute(false);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
// 0: console lines; 1: the message mix.
BENCHMARK(BM_Reader)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(REPETITIONS)->ReportAggregatesOnly(true);

// The same with the main loop's work done on the reader's own thread: what
// one core gets through.
void BM_ReaderOnOneCore(benchmark::State& state)
{
    platform::markTheMainThread();
    const std::string& stream = readerStream(state);
    const std::size_t linesPerStream = linesIn(stream);
    openEveryRoute(state.range(0) != 0);
    ChildOutput output(nullDevice(), performOnTheMainQueue);
    std::size_t lines = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += CHUNK) {
            output.take(std::string_view(stream).substr(at, CHUNK));
            platform::runWhatIsReady();
        }
        lines += linesPerStream;
    }
    openEveryRoute(false);
    state.counters["lines/s"] = benchmark::Counter(static_cast<double>(lines), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReaderOnOneCore)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(REPETITIONS)->ReportAggregatesOnly(true);

constexpr std::size_t MESSAGES_PER_ROUND = 20000;

const std::string& outgoingLine()
{
    static const std::string line = R"({"url":"acme://open/item/123456?from=bench&n=1","source":"hotkey","padding":"0123456789ab"})" "\n";
    return line;
}

// A shell that reads its input as fast as it can; counts what it read.
struct ReadingShell {
    int writeEnd = -1;
    std::thread reader;
    std::size_t bytes = 0;
    ReadingShell()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            std::abort();
        writeEnd = ends[1];
        reader = std::thread([this, fd = ends[0]] {
            char buffer[65536];
            for (;;) {
                ssize_t got = read(fd, buffer, sizeof buffer);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    break;
                bytes += static_cast<std::size_t>(got);
            }
            close(fd);
        });
    }
    void finish()
    {
        if (writeEnd >= 0)
            close(writeEnd);
        writeEnd = -1;
        reader.join();
    }
};

// Plain blocking writes, one per message.
void BM_RawPipeWrites(benchmark::State& state)
{
    ReadingShell shell;
    const std::string& line = outgoingLine();
    std::size_t messages = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < MESSAGES_PER_ROUND; ++i) {
            std::size_t done = 0;
            while (done < line.size()) {
                ssize_t wrote = write(shell.writeEnd, line.data() + done, line.size() - done);
                if (wrote < 0 && errno == EINTR)
                    continue;
                if (wrote <= 0)
                    std::abort();
                done += static_cast<std::size_t>(wrote);
            }
        }
        messages += MESSAGES_PER_ROUND;
    }
    shell.finish();
    if (shell.bytes != messages * line.size())
        state.SkipWithError("bytes lost");
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawPipeWrites)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(REPETITIONS)->ReportAggregatesOnly(true);

// The inbox: non-blocking writes, rows queued while the pipe is full and
// written by the waker from the main loop.
void BM_InboxToAReadingShell(benchmark::State& state)
{
    platform::markTheMainThread();
    ReadingShell shell;
    auto inbox = ChildInbox::on(shell.writeEnd);
    shell.writeEnd = -1;
    const std::string& line = outgoingLine();
    std::size_t messages = 0;
    std::size_t refused = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < MESSAGES_PER_ROUND; ++i) {
            // A sender never waits; this one lets the loop run when the
            // inbox is full, as the host's main loop would between events.
            while (inbox->held() + static_cast<std::int64_t>(line.size()) > CHILD_INBOX_LIMIT) {
                platform::runOneHandler();
            }
            if (!inbox->send(line))
                ++refused;
        }
        while (inbox->held() > 0) {
            platform::runOneHandler();
        }
        messages += MESSAGES_PER_ROUND;
    }
    inbox->close();
    inbox.reset();
    shell.finish();
    if (refused > 0 || shell.bytes != messages * line.size())
        state.SkipWithError("messages lost");
    state.counters["messages/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InboxToAReadingShell)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(REPETITIONS)->ReportAggregatesOnly(true);

// Keeps each benchmark's rate so that the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        // The median of the repetitions when there are some, else the run.
        for (const auto& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && run.run_type != Run::RT_Iteration)
                continue;
            for (const char* counter : {"lines/s", "messages/s"}) {
                auto found = run.counters.find(counter);
                if (found == run.counters.end())
                    continue;
                std::string name = run.run_name.function_name;
                if (!run.run_name.args.empty())
                    name += "/" + run.run_name.args;
                if (median || !rates.count(name))
                    rates[name] = found->second.value;
            }
        }
    }
    std::map<std::string, double> rates;
};

// One line per figure: the measured rate, the baseline's, their ratio and
// the goal.
void printFigure(const RatioReporter& reporter, const char* what, const std::string& measured, const char* baseline,
                 const std::string& against, const char* unit, const char* goal)
{
    auto m = reporter.rates.find(measured);
    auto a = reporter.rates.find(against);
    if (m == reporter.rates.end() || a == reporter.rates.end()) {
        std::printf("%s: not measured in this run\n", what);
        return;
    }
    std::printf("%s: %.2f M %s; %s %.1f M; ratio %.3f; goal %s\n", what, m->second / 1e6, unit, baseline, a->second / 1e6,
                m->second / a->second, goal);
}

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    std::vector<char*> arguments(argv, argv + argc);
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleaving);
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nconsole lines average %.0f bytes, messages %.0f bytes\n", averageLineBytes(consoleStream()),
                averageLineBytes(messageStream()));
    printFigure(reporter, "routed messages, one core", "BM_ReaderOnOneCore/1", "bare splitter", "BM_BareSplitter/1", "lines/s",
                ">= 3 M lines/s");
    printFigure(reporter, "routed messages, two threads", "BM_Reader/1", "bare splitter", "BM_BareSplitter/1", "lines/s",
                ">= 3 M lines/s");
    printFigure(reporter, "console lines, one core", "BM_ReaderOnOneCore/0", "bare splitter", "BM_BareSplitter/0", "lines/s",
                ">= 5 M lines/s");
    printFigure(reporter, "console lines, two threads", "BM_Reader/0", "bare splitter", "BM_BareSplitter/0", "lines/s",
                ">= 5 M lines/s");
    printFigure(reporter, "host to shell, inbox", "BM_InboxToAReadingShell", "raw pipe writes", "BM_RawPipeWrites", "messages/s",
                "ratio >= 0.70");
    benchmark::Shutdown();
    return 0;
}
