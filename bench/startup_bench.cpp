// Start-up, timed over whole processes, each case against its shell run
// alone in the same run:
//   the host running a Bun shell, until the shell's first line reaches the
//   host's output, against the same Bun shell until its first line;
//   the host running a static shell that exits at once, until the host has
//   exited, against that shell until it has exited.
// Bun comes from npm (`npm install bun` in <build>/npm), or from KESTRUNE_BUN.
// With KESTRUNE_BASELINE_HOST naming another build of the host (an earlier
// commit's, say), the static-shell case also runs that host in its place:
// the ratio says what a change cost the start of every application.
#include "support/fixture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUNDS = 21;
constexpr int WARM_UP = 3;

enum class Until { firstLine, exit };

// Seconds from the start of `argv` until its first line feed on standard
// output, or until it exits; negative when that never happens.
double timed(const std::vector<std::string>& argv, const std::string& home, Until until)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> args;
    for (const auto& text : argv)
        args.push_back(const_cast<char*>(text.c_str()));
    args.push_back(nullptr);
    std::string homeEntry = "HOME=" + home;
    char path[] = "PATH=/usr/local/bin:/usr/bin:/bin";
    char lang[] = "LANG=C.UTF-8";
    char* env[] = {homeEntry.data(), path, lang, nullptr};

    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(out[1], 1);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        execve(args[0], args.data(), env);
        _exit(127);
    }
    close(out[1]);
    double seconds = -1;
    if (until == Until::firstLine) {
        char buffer[4096];
        for (;;) {
            ssize_t got = read(out[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (std::find(buffer, buffer + got, '\n') != buffer + got) {
                seconds = std::chrono::duration<double>(Clock::now() - start).count();
                break;
            }
        }
        kill(-pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    } else {
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
        kill(-pid, SIGKILL);
    }
    close(out[0]);
    return seconds;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs both alternately, so that both see the same state of the machine.
bool compare(const char* what, const std::vector<std::string>& host, const std::vector<std::string>& alone,
             const std::string& home, Until until, double goal)
{
    std::vector<double> hosted, bare;
    for (int round = 0; round < ROUNDS + WARM_UP; ++round) {
        double h = timed(host, home, until);
        double b = timed(alone, home, until);
        if (h < 0 || b < 0) {
            std::printf("%s: a run failed\n", what);
            return false;
        }
        if (round >= WARM_UP) {
            hosted.push_back(h);
            bare.push_back(b);
        }
    }
    double h = median(hosted), b = median(bare);
    std::printf("%-40s host %7.2f ms  alone %7.2f ms  ratio %.2f  (goal <= %.2f)%s\n", what, h * 1e3, b * 1e3, h / b, goal,
                h / b <= goal ? "" : "  MISSED");
    return true;
}

std::string bunPath()
{
    if (const char* named = std::getenv("KESTRUNE_BUN"))
        return named;
    return KESTRUNE_BUN_FROM_NPM;
}

nlohmann::json pipedInfo()
{
    return {{"CFBundleURLTypes", nlohmann::json::array({{{"CFBundleURLSchemes", {"acme"}}}})}};
}

} // namespace

int main()
{
    signal(SIGPIPE, SIG_IGN);
    bool ok = true;

    std::string bun = bunPath();
    if (access(bun.c_str(), X_OK) != 0) {
        std::printf("start-up with a Bun shell: skipped, no Bun at %s (run `npm install bun` in the build folder's npm/, "
                    "or set KESTRUNE_BUN)\n",
                    bun.c_str());
    } else {
        fixture::Bundle bundle;
        bundle.writeInfoWithIdentifier("com.example.acme", pipedInfo());
        bundle.writeFile("Contents/Resources/shell.js", "console.log(\"ready\");\nsetInterval(() => {}, 1 << 30);\n");
        std::string script = bundle.contents("Resources/shell.js");
        bundle.writeDescriptor("acme", {{"bun", bun}, {"shell", script}});
        std::string host = bundle.installHost("Acme");
        ok = compare("start-up, Bun shell to its first line", {host}, {bun, script}, bundle.home(), Until::firstLine, 1.15) && ok;
    }

    {
        fixture::Bundle bundle;
        bundle.writeInfoWithIdentifier("com.example.acme", pipedInfo());
        std::string shell = bundle.contents("MacOS/Trivial");
        if (link(KESTRUNE_TRIVIAL_SHELL, shell.c_str()) != 0) {
            std::printf("cannot place the trivial shell\n");
            return 1;
        }
        bundle.writeDescriptor("acme", {{"executable", "Trivial"}});
        std::string host = bundle.installHost("Acme");
        ok = compare("start-up, static shell to the exit", {host}, {shell}, bundle.home(), Until::exit, 2.5) && ok;
        if (const char* baseline = std::getenv("KESTRUNE_BASELINE_HOST"); baseline && *baseline) {
            std::string before = bundle.contents("MacOS/Before");
            if (link(baseline, before.c_str()) != 0 && symlink(baseline, before.c_str()) != 0) {
                std::printf("cannot place the baseline host %s\n", baseline);
                return 1;
            }
            ok = compare("start-up, this host against the baseline", {host}, {before}, bundle.home(), Until::exit, 1.05)
                 && ok;
        }
    }
    return ok ? 0 : 1;
}
