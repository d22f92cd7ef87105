// A small shell for the host's tests. It does what its "ts:" arguments say,
// in order; every other argument (the script path, the host's own arguments)
// is only recorded.
//
//   ts:record=FILE     write as JSON to FILE: {"args","program","env","signals","blocked","fds",
//                      "stdio","pid","ppid","parentFds","parentStdio","home"}; "stdio" holds what
//                      descriptors 0 to 2 lead to, "home" the entries of $HOME
//   ts:print=TEXT      write TEXT and a line feed to standard output
//   ts:stderr=TEXT     the same on standard error
//   ts:sleep=MS        sleep
//   ts:await=FILE      wait until FILE exists (at most a minute), so that a
//                      test says when the shell goes on
//   ts:exit=N          exit with status N
//   ts:raise=SIG       send itself signal SIG (a number)
//   ts:forever         sleep until a signal ends it
//   ts:ignore=SIG      ignore signal SIG
//   ts:on=SIG:FILE     on signal SIG append "SIG\n" to FILE
//   ts:exit-on=SIG:N   on signal SIG exit with status N
//   ts:tell-host=SIG   send signal SIG to the parent (the host)
//   ts:pid=FILE        write the process id to FILE
//   ts:first-time=FILE when FILE exists, skip the next command; else make it
//   ts:spawn=FILE      start a grandchild that ignores SIGTERM and sleeps;
//                      write its process id to FILE
//   ts:out=TEXT        write TEXT, with \n \r \t \\ \xHH escapes and no line feed
//                      added, in one write to standard output
//   ts:fill=N:TEXT     write N copies of TEXT (escapes as above) to standard output
//   ts:echo=MS:FILE    copy standard input to FILE as it arrives, for MS
//                      milliseconds or until its end; "%p" in FILE stands for
//                      the process id, so that every shell of a swap has its own
//   ts:drain-on=SIG:MS on signal SIG, the echo under way (or the next one, when
//                      none has run yet) copies what still comes until standard
//                      input has been quiet for MS milliseconds, then the shell
//                      exits 0: nothing that reached its pipe is lost. After an
//                      echo, or in ts:forever, SIG ends the shell with status 0
//   ts:closein         close standard input
//   ts:reply-links=DIR read standard input to its end; append each line to DIR/heard
//                      and answer the n-th message with a string "url" (n from 1)
//                      once DIR/reply-n exists: {"url": URL, "result": "handled"}
//                      with the members of the JSON object in that file added
//                      (or put in place: "url" too); the file is taken whole
//                      once its name appears (write it elsewhere, then rename)
//   ts:chatter=MS:FILE start a child that writes "chatter" and a line feed to
//                      standard output every MS milliseconds until it cannot;
//                      its process id goes to FILE
//   ts:grandchildren=FILE
//                      start a child that starts a grandchild, each appending
//                      "PID SIGNAL\n" to FILE for every SIGTERM it gets (and
//                      living on); their ids go to FILE first, as "child PID"
//                      and "grandchild PID" lines
//   ts:register-app=BUNDLEID[:NAME]
//                      join the desktop server's session at $KESTRUNE_DESKTOP_SOCKET
//                      as a running application: hello with role "application",
//                      this process's id, the bundle identifier, NAME (or the
//                      identifier) as its name and the regular activation policy;
//                      wait for the reply and keep the connection open until the
//                      process ends (the server drops the application then). On
//                      failure write "test-shell: register-app failed: REASON" to
//                      standard error and go on
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <pthread.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const std::pair<const char*, int> watchedSignals[] = {
    {"TERM", SIGTERM}, {"HUP", SIGHUP}, {"INT", SIGINT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"PWR", SIGPWR},
};

// The open descriptors of a process, from /proc/<pid>/fd.
nlohmann::json descriptorsOf(const std::string& pid)
{
    nlohmann::json fds = nlohmann::json::array();
    std::string folder = "/proc/" + pid + "/fd";
    if (DIR* dir = opendir(folder.c_str())) {
        int own = dirfd(dir);
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            int fd = std::atoi(entry->d_name);
            if (pid != "self" || fd != own)
                fds.push_back(fd);
        }
        closedir(dir);
    }
    std::sort(fds.begin(), fds.end());
    return fds;
}

// What descriptors 0, 1 and 2 of a process lead to ("/dev/null",
// "pipe:[123]", ...), or null for a closed one.
nlohmann::json standardStreamsOf(const std::string& pid)
{
    nlohmann::json streams = nlohmann::json::array();
    for (int fd = 0; fd < 3; ++fd) {
        char target[4096];
        std::string link = "/proc/" + pid + "/fd/" + std::to_string(fd);
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        streams.push_back(length > 0 ? nlohmann::json(std::string(target, static_cast<std::size_t>(length))) : nlohmann::json(nullptr));
    }
    return streams;
}

nlohmann::json entriesOf(const char* folder)
{
    nlohmann::json names = nlohmann::json::array();
    if (DIR* dir = folder ? opendir(folder) : nullptr) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

nlohmann::json snapshot(int argc, char** argv)
{
    nlohmann::json record;
    record["program"] = argc > 0 ? argv[0] : "";
    record["args"] = nlohmann::json::array();
    for (int i = 1; i < argc; ++i)
        record["args"].push_back(argv[i]);
    record["env"] = nlohmann::json::object();
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos)
            record["env"][text.substr(0, equals)] = text.substr(equals + 1);
    }
    record["signals"] = nlohmann::json::object();
    for (auto [name, number] : watchedSignals) {
        struct sigaction current {};
        sigaction(number, nullptr, &current);
        record["signals"][name] = current.sa_handler == SIG_DFL ? "default" : current.sa_handler == SIG_IGN ? "ignored" : "caught";
    }
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    record["blocked"] = nlohmann::json::array();
    for (int number = 1; number < NSIG; ++number) {
        if (sigismember(&mask, number) == 1)
            record["blocked"].push_back(number);
    }
    record["fds"] = descriptorsOf("self");
    record["stdio"] = standardStreamsOf("self");
    record["pid"] = getpid();
    record["ppid"] = getppid();
    record["parentFds"] = descriptorsOf(std::to_string(getppid()));
    record["parentStdio"] = standardStreamsOf(std::to_string(getppid()));
    record["home"] = entriesOf(std::getenv("HOME"));
    return record;
}

bool startsWith(const std::string& text, const char* start, std::string& rest)
{
    std::size_t length = std::strlen(start);
    if (text.compare(0, length, start) != 0)
        return false;
    rest = text.substr(length);
    return true;
}

void writeText(const std::string& path, const std::string& text)
{
    std::string temporary = path + ".part";
    std::ofstream(temporary) << text;
    std::rename(temporary.c_str(), path.c_str());
}

// Signal handlers may only use what is async-signal-safe: the files are
// opened up front.
int signalFiles[65] = {};
int exitStatuses[65] = {};
volatile sig_atomic_t drainAsked = 0;
volatile sig_atomic_t echoed = 0;
long drainQuietMs = -1;   // below 0: no ts:drain-on

void appendSignal(int number)
{
    char line[8];
    int length = std::snprintf(line, sizeof line, "%d\n", number);
    [[maybe_unused]] ssize_t ignored = write(signalFiles[number], line, static_cast<size_t>(length));
}

void exitOnSignal(int number)
{
    _exit(exitStatuses[number]);
}

// Once the echo is over nothing will drain: the shell ends at once.
void askToDrain(int)
{
    if (echoed)
        _exit(0);
    drainAsked = 1;
}

void handle(int number, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
}

std::string unescaped(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes.push_back(text[i]);
            continue;
        }
        char kind = text[++i];
        if (kind == 'n')
            bytes.push_back('\n');
        else if (kind == 'r')
            bytes.push_back('\r');
        else if (kind == 't')
            bytes.push_back('\t');
        else if (kind == 'x' && i + 2 < text.size()) {
            bytes.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else
            bytes.push_back(kind);
    }
    return bytes;
}

void writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            std::_Exit(3);
        done += static_cast<std::size_t>(wrote);
    }
}

// FILE with every "%p" replaced by the process id.
std::string withPid(std::string file)
{
    const std::string pid = std::to_string(getpid());
    for (auto at = file.find("%p"); at != std::string::npos; at = file.find("%p", at + pid.size()))
        file.replace(at, 2, pid);
    return file;
}

void echoInput(long milliseconds, const std::string& file)
{
    int target = open(withPid(file).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        // Asked to drain: only quiet input ends the copy now, then the shell.
        const bool draining = drainAsked && drainQuietMs >= 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (!draining && left <= 0)
            break;
        // Short slices, so that a drain asked between two polls is seen soon.
        int slice = draining ? static_cast<int>(drainQuietMs) : static_cast<int>(std::min<long long>(left, 50));
        pollfd ready{0, POLLIN, 0};
        int polled = poll(&ready, 1, slice);
        if (polled == 0 && draining) {
            close(target);
            std::_Exit(0);
        }
        if (polled <= 0)
            continue;
        char buffer[65536];
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        writeAll(target, std::string(buffer, static_cast<std::size_t>(got)));
    }
    close(target);
}

// The connection that keeps this process an application of the desktop
// session; a grandchild must not hold it, or the application outlives us.
int registration = -1;

// Reads one reply line from the server, waiting at most `milliseconds`;
// false with the reason when none comes.
bool readReplyLine(int fd, long milliseconds, std::string& line, std::string& reason)
{
    constexpr std::size_t limit = 1 << 20;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        auto newline = line.find('\n');
        if (newline != std::string::npos) {
            line.erase(newline);
            return true;
        }
        if (line.size() > limit) {
            reason = "a reply longer than " + std::to_string(limit) + " bytes";
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            reason = "no reply within " + std::to_string(milliseconds) + " ms";
            return false;
        }
        pollfd ready{fd, POLLIN, 0};
        int polled = poll(&ready, 1, static_cast<int>(left));
        if (polled <= 0)
            continue;
        char buffer[4096];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            reason = got == 0 ? "the server closed the connection" : std::strerror(errno);
            return false;
        }
        line.append(buffer, static_cast<std::size_t>(got));
    }
}

// Joins the desktop session as a running application; the reason when it cannot.
std::optional<std::string> registerApplication(const std::string& value)
{
    const char* path = std::getenv("KESTRUNE_DESKTOP_SOCKET");
    if (!path || !*path)
        return "KESTRUNE_DESKTOP_SOCKET is not set";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return std::string("the socket path is too long: ") + path;
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("socket: ") + std::strerror(errno);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::string reason = std::string("cannot connect to ") + path + ": " + std::strerror(errno);
        close(fd);
        return reason;
    }
    auto colon = value.find(':');
    std::string identifier = value.substr(0, colon);
    std::string name = colon == std::string::npos ? identifier : value.substr(colon + 1);
    nlohmann::json hello = {{"op", "hello"},
                            {"id", 1},
                            {"protocol", 1},
                            {"role", "application"},
                            {"pid", getpid()},
                            {"bundleIdentifier", identifier},
                            {"localizedName", name},
                            {"activationPolicy", 0}};
    std::string line = hello.dump() + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        std::string reason = std::string("cannot send the hello: ") + std::strerror(errno);
        close(fd);
        return reason;
    }
    std::string reply, reason;
    if (!readReplyLine(fd, 10000, reply, reason)) {
        close(fd);
        return reason;
    }
    auto answer = nlohmann::json::parse(reply, nullptr, false);
    if (!answer.is_object() || answer.value("ok", false) != true) {
        close(fd);
        if (answer.is_object() && answer.contains("error") && answer["error"].is_string())
            return answer["error"].get<std::string>();
        return "an answer that is no ok reply: " + reply.substr(0, 200);
    }
    // Nothing more is expected; what comes is read and dropped so that the
    // server never finds us not reading. Signals stay with the main thread,
    // where the other commands expect them.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    std::thread([fd] {
        char buffer[4096];
        for (;;) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EINTR))
                return;
        }
    }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    registration = fd;
    return std::nullopt;
}

// The whole of a small file, or nothing while it does not exist.
std::optional<std::string> fileText(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return text;
}

void replyToLinks(const std::string& folder)
{
    int heard = open((folder + "/heard").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string pending;
    int answered = 0;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(0, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(got));
        for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
            std::string line = pending.substr(0, newline + 1);
            pending.erase(0, newline + 1);
            writeAll(heard, line);
            auto message = nlohmann::json::parse(line, nullptr, false);
            if (!message.is_object() || !message.contains("url") || !message["url"].is_string())
                continue;
            const std::string replyFile = folder + "/reply-" + std::to_string(++answered);
            std::optional<std::string> text;
            while (!(text = fileText(replyFile)))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            nlohmann::json reply = {{"url", message["url"]}, {"result", "handled"}};
            auto extra = nlohmann::json::parse(*text, nullptr, false);
            if (extra.is_object())
                reply.update(extra);
            writeAll(1, reply.dump() + "\n");
        }
    }
    close(heard);
}

volatile sig_atomic_t termsLogFd = -1;

void noteTheTerm(int)
{
    char line[48];
    int length = std::snprintf(line, sizeof line, "%d %d\n", static_cast<int>(getpid()), SIGTERM);
    [[maybe_unused]] ssize_t ignored = write(termsLogFd, line, static_cast<size_t>(length));
}

// A process that notes each SIGTERM it gets and lives on until killed.
[[noreturn]] void liveNotingTerms(int log)
{
    if (registration >= 0)
        close(registration);
    termsLogFd = log;
    handle(SIGTERM, noteTheTerm);
    for (;;)
        pause();
}

void startGrandchildren(const std::string& file)
{
    int log = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t child = fork();
    if (child == 0) {
        pid_t grandchild = fork();
        if (grandchild == 0)
            liveNotingTerms(log);
        std::string line = "grandchild " + std::to_string(grandchild) + "\n";
        writeAll(log, line);
        liveNotingTerms(log);
    }
    writeAll(log, "child " + std::to_string(child) + "\n");
    close(log);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        std::string value;
        if (startsWith(argument, "ts:record=", value)) {
            std::string temporary = value + ".part";
            // Taken before the file is opened, so that its descriptor is not counted.
            std::string text = snapshot(argc, argv).dump();
            std::ofstream(temporary) << text << "\n";
            std::rename(temporary.c_str(), value.c_str());
        } else if (startsWith(argument, "ts:print=", value)) {
            std::printf("%s\n", value.c_str());
            std::fflush(stdout);
        } else if (startsWith(argument, "ts:stderr=", value)) {
            std::fprintf(stderr, "%s\n", value.c_str());
        } else if (startsWith(argument, "ts:sleep=", value)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
        } else if (startsWith(argument, "ts:await=", value)) {
            for (int waited = 0; waited < 60000 && access(value.c_str(), F_OK) != 0; ++waited)
                usleep(1000);
        } else if (startsWith(argument, "ts:exit=", value)) {
            std::fflush(stdout);
            std::_Exit(std::atoi(value.c_str()));
        } else if (startsWith(argument, "ts:raise=", value)) {
            std::fflush(stdout);
            // The default action, even where a sanitizer installed a handler.
            signal(std::atoi(value.c_str()), SIG_DFL);
            raise(std::atoi(value.c_str()));
        } else if (startsWith(argument, "ts:ignore=", value)) {
            signal(std::atoi(value.c_str()), SIG_IGN);
        } else if (startsWith(argument, "ts:on=", value)) {
            int number = std::atoi(value.c_str());
            std::string file = value.substr(value.find(':') + 1);
            signalFiles[number] = open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            handle(number, appendSignal);
        } else if (startsWith(argument, "ts:exit-on=", value)) {
            int number = std::atoi(value.c_str());
            exitStatuses[number] = std::atoi(value.substr(value.find(':') + 1).c_str());
            handle(number, exitOnSignal);
        } else if (startsWith(argument, "ts:tell-host=", value)) {
            kill(getppid(), std::atoi(value.c_str()));
        } else if (startsWith(argument, "ts:pid=", value)) {
            writeText(value, std::to_string(getpid()));
        } else if (startsWith(argument, "ts:first-time=", value)) {
            if (access(value.c_str(), F_OK) == 0)
                ++i;
            else
                writeText(value, "");
        } else if (startsWith(argument, "ts:spawn=", value)) {
            pid_t grandchild = fork();
            if (grandchild == 0) {
                if (registration >= 0)
                    close(registration);
                signal(SIGTERM, SIG_IGN);
                for (;;)
                    pause();
            }
            writeText(value, std::to_string(grandchild));
        } else if (startsWith(argument, "ts:out=", value)) {
            std::fflush(stdout);
            writeAll(1, unescaped(value));
        } else if (startsWith(argument, "ts:fill=", value)) {
            std::fflush(stdout);
            auto colon = value.find(':');
            long count = std::atol(value.substr(0, colon).c_str());
            std::string piece = unescaped(colon == std::string::npos ? "" : value.substr(colon + 1));
            std::string block;
            for (long done = 0; done < count; ++done) {
                block += piece;
                if (block.size() >= 65536) {
                    writeAll(1, block);
                    block.clear();
                }
            }
            writeAll(1, block);
        } else if (startsWith(argument, "ts:echo=", value)) {
            auto colon = value.find(':');
            echoInput(std::atol(value.substr(0, colon).c_str()), colon == std::string::npos ? "" : value.substr(colon + 1));
            echoed = 1;
        } else if (startsWith(argument, "ts:drain-on=", value)) {
            auto colon = value.find(':');
            drainQuietMs = colon == std::string::npos ? 100 : std::atol(value.substr(colon + 1).c_str());
            handle(std::atoi(value.c_str()), askToDrain);
        } else if (startsWith(argument, "ts:register-app=", value)) {
            if (auto failure = registerApplication(value))
                std::fprintf(stderr, "test-shell: register-app failed: %s\n", failure->c_str());
        } else if (startsWith(argument, "ts:reply-links=", value)) {
            replyToLinks(value);
        } else if (startsWith(argument, "ts:chatter=", value)) {
            auto colon = value.find(':');
            long every = std::atol(value.substr(0, colon).c_str());
            pid_t chatter = fork();
            if (chatter == 0) {
                if (registration >= 0)
                    close(registration);
                for (;;) {
                    writeAll(1, "chatter\n");
                    std::this_thread::sleep_for(std::chrono::milliseconds(every));
                }
            }
            writeText(value.substr(colon + 1), std::to_string(chatter));
        } else if (startsWith(argument, "ts:grandchildren=", value)) {
            startGrandchildren(value);
        } else if (argument == "ts:closein") {
            close(0);
        } else if (argument == "ts:forever") {
            for (;;) {
                if (drainAsked)
                    std::_Exit(0);
                pause();
            }
        }
    }
    return 0;
}
