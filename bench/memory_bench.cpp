// Resident memory of the host, each figure against a baseline measured in
// the same run:
//   idle: the host with a sleeping shell against a bare Asio loop linked
//   with the host's shared libraries (and, for reference, one linked with
//   nothing but the C++ library);
//   after long console lines: the host 1 s after its shell printed two
//   15 MiB lines, and its peak while the shell prints 64 MiB lines, both
//   against the idle host.
// With KESTRUNE_BASELINE_HOST naming another build of the host, the idle
// host is also measured against that build in the same bundle.
// Every process is measured after it has settled; each figure is the median
// of a few runs taken in turn.
#include "support/fixture.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int ROUNDS = 5;
constexpr auto SETTLE = 300ms;
constexpr long MIB = 1024 * 1024;

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); nothing when the
// process is gone.
std::optional<long> statusKiB(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return std::nullopt;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A bundle whose host runs the test shell over pipes (it declares a URL
// scheme), so that the output reader runs as it does for most applications.
struct HostWithTestShell {
    fixture::Bundle bundle;
    std::string baseline;
    HostWithTestShell()
    {
        bundle.writeInfoWithIdentifier("com.example.acme",
                                       {{"CFBundleURLTypes", nlohmann::json::array({{{"CFBundleURLSchemes", {"acme"}}}})}});
        bundle.writeTestShellDescriptor("acme");
        if (const char* named = std::getenv("KESTRUNE_BASELINE_HOST"); named && *named) {
            baseline = bundle.contents("MacOS/Before");
            if (link(named, baseline.c_str()) != 0 && symlink(named, baseline.c_str()) != 0)
                baseline.clear();
        }
        bundle.installHost("Acme");
    }
    // The host, its shell told to do `commands`.
    std::unique_ptr<fixture::Started> start(const std::vector<std::string>& commands) const
    {
        fixture::RunOptions options;
        options.arguments = commands;
        options.timeout = 60s;
        return bundle.start(options);
    }
    // The baseline build in the same bundle, likewise.
    std::unique_ptr<fixture::Started> startBaseline(const std::vector<std::string>& commands) const
    {
        fixture::RunOptions options;
        options.arguments = commands;
        options.timeout = 60s;
        return std::make_unique<fixture::Started>(baseline, options, bundle.home());
    }
};

// VmRSS of a process left alone for SETTLE; negative when it died.
double settledRss(fixture::Started& process)
{
    std::this_thread::sleep_for(SETTLE);
    auto rss = statusKiB(process.pid(), "VmRSS");
    return rss ? static_cast<double>(*rss) : -1;
}

// The host after its shell printed `lines` console lines of `bytes` each,
// all copied to the host's output: VmRSS `after` that, and VmHWM.
struct AfterLines {
    double rss = -1;
    double peak = -1;
};
AfterLines afterLines(const HostWithTestShell& host, int lines, long bytes, std::chrono::milliseconds after)
{
    std::vector<std::string> commands;
    for (int i = 0; i < lines; ++i) {
        commands.push_back("ts:fill=" + std::to_string(bytes - 1) + ":x");
        commands.push_back("ts:out=\\n");
    }
    commands.push_back("ts:forever");
    auto process = host.start(commands);
    auto expected = static_cast<std::size_t>(lines) * static_cast<std::size_t>(bytes);
    // The copies go to the gathered output; its size says when they are out.
    if (!fixture::eventually([&] { return process->out().size() >= expected; }, 60000ms))
        return {};
    std::this_thread::sleep_for(after);
    AfterLines measured;
    if (auto rss = statusKiB(process->pid(), "VmRSS"))
        measured.rss = static_cast<double>(*rss);
    if (auto peak = statusKiB(process->pid(), "VmHWM"))
        measured.peak = static_cast<double>(*peak);
    return measured;
}

void printFigure(const char* what, double measured, const char* baseline, double against, const char* goal)
{
    if (measured <= 0 || against <= 0) {
        std::printf("%s: a run failed\n", what);
        return;
    }
    std::printf("%s: %.1f MiB; %s %.1f MiB; ratio %.2f; goal %s\n", what, measured / 1024, baseline, against / 1024,
                measured / against, goal);
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    HostWithTestShell host;
    fixture::Bundle scratch;

    std::vector<double> idle, idleBaseline, bareLinked, bareMinimal, afterRss, peak;
    for (int round = 0; round < ROUNDS; ++round) {
        {
            auto process = host.start({"ts:forever"});
            idle.push_back(settledRss(*process));
        }
        if (!host.baseline.empty()) {
            auto process = host.startBaseline({"ts:forever"});
            idleBaseline.push_back(settledRss(*process));
        }
        {
            fixture::Started process(KESTRUNE_BARE_LOOP_LINKED, {}, scratch.home());
            bareLinked.push_back(settledRss(process));
        }
        {
            fixture::Started process(KESTRUNE_BARE_LOOP_MINIMAL, {}, scratch.home());
            bareMinimal.push_back(settledRss(process));
        }
    }
    for (int round = 0; round < 3; ++round) {
        afterRss.push_back(afterLines(host, 2, 15 * MIB, 1000ms).rss);
        peak.push_back(afterLines(host, 2, 64 * MIB, 0ms).peak);
    }

    double idleHost = median(idle);
    std::printf("\n");
    printFigure("idle resident memory, host with a sleeping shell", idleHost, "bare Asio loop linked like the host",
                median(bareLinked), "<= 1.5");
    printFigure("  the same against a bare loop linked with the C++ library alone", idleHost, "bare loop", median(bareMinimal),
                "-");
    if (!idleBaseline.empty())
        printFigure("  the same against the baseline host", idleHost, "baseline host", median(idleBaseline), "<= 1.02");
    printFigure("memory 1 s after two 15 MiB console lines", median(afterRss), "idle host", idleHost, "back near 1");
    printFigure("peak memory while 64 MiB console lines pass", median(peak), "idle host", idleHost, "bounded, not 64 MiB more");
    return 0;
}
