#include "support/fixture.h"

#include <plist/plist.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fixture {

namespace {

void makeFolders(const std::string& path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        partial += part + "/";
        mkdir(partial.c_str(), 0755);
    }
}

void writeBytes(const std::string& path, const std::string& bytes)
{
    auto slash = path.rfind('/');
    if (slash != std::string::npos)
        makeFolders(path.substr(0, slash));
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

plist_t plistOf(const nlohmann::json& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::object: {
        plist_t dict = plist_new_dict();
        for (const auto& [key, member] : value.items())
            plist_dict_set_item(dict, key.c_str(), plistOf(member));
        return dict;
    }
    case nlohmann::json::value_t::array: {
        plist_t array = plist_new_array();
        for (const auto& element : value)
            plist_array_append_item(array, plistOf(element));
        return array;
    }
    case nlohmann::json::value_t::string:
        return plist_new_string(value.get<std::string>().c_str());
    case nlohmann::json::value_t::boolean:
        return plist_new_bool(value.get<bool>());
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
        return plist_new_uint(static_cast<uint64_t>(value.get<int64_t>()));
    case nlohmann::json::value_t::number_float:
        return plist_new_real(value.get<double>());
    default:
        return plist_new_string("");
    }
}

void removeTree(const std::string& path)
{
    if (path.size() < 8 || path.rfind("/tmp/", 0) != 0)
        return;
    std::string command = "rm -rf '" + path + "'";
    [[maybe_unused]] int ignored = std::system(command.c_str());
}

} // namespace

std::string hostBinary()
{
    return KESTRUNE_HOST_BINARY;
}

std::string testShell()
{
    return KESTRUNE_TEST_SHELL;
}

Started::Started(const std::string& program, const RunOptions& options, const std::string& home)
{
    std::map<std::string, std::string> environment = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"HOME", home},
        {"LANG", "C.UTF-8"},
    };
    // Sanitizer settings reach the host so that a report fails the test.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name))
            environment[name] = value;
    }
    for (const auto& [name, value] : options.environment)
        environment[name] = value;
    for (const auto& name : options.removeFromEnvironment)
        environment.erase(name);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");

    std::vector<std::string> argvTexts{options.argv0.value_or(program)};
    argvTexts.insert(argvTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& text : argvTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> envTexts;
    for (const auto& [name, value] : environment)
        envTexts.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    // A process that stops reading its input must not end the test.
    ::signal(SIGPIPE, SIG_IGN);
    deadline_ = std::chrono::steady_clock::now() + options.timeout;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : options.openDescriptors) {
            int opened = open("/dev/null", O_RDONLY);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
        for (int number : options.ignoredSignals)
            ::signal(number, SIG_IGN);
        // Exactly the signals asked for are blocked, whatever the test
        // process itself blocks.
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int number : options.blockedSignals)
            sigaddset(&blocked, number);
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        if (options.workingDirectory && chdir(options.workingDirectory->c_str()) != 0)
            _exit(127);
        // Its own process group, so a timeout can end everything it started.
        setpgid(0, 0);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid_, pid_);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    feeder_ = std::thread([fd = in[1], input = options.input] {
        std::size_t done = 0;
        while (done < input.size()) {
            ssize_t wrote = write(fd, input.data() + done, input.size() - done);
            if (wrote <= 0)
                break;
            done += static_cast<std::size_t>(wrote);
        }
        close(fd);
    });
    outReader_ = std::thread([this, fd = out[0]] { gather(fd, outText_); });
    errReader_ = std::thread([this, fd = err[0]] { gather(fd, errText_); });
}

// Collects a stream of the process until it closes.
void Started::gather(int fd, std::string& into)
{
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        std::lock_guard<std::mutex> lock(mutex_);
        into.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    ++streamsClosed_;
}

std::string Started::out()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outText_;
}

std::string Started::err()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return errText_;
}

bool Started::waitForError(const std::string& text, std::chrono::milliseconds timeout)
{
    return eventually([&] { return err().find(text) != std::string::npos; }, timeout);
}

Run Started::wait(std::chrono::milliseconds timeout)
{
    deadline_ = std::chrono::steady_clock::now() + timeout;
    return wait();
}

Started::~Started()
{
    // Whatever is left of the group goes, so that the pipes reach their end.
    kill(-pid_, SIGKILL);
    if (!reaped_)
        kill(pid_, SIGKILL);
    wait();
}

void Started::reap()
{
    while (!reaped_) {
        if (waitpid(pid_, &status_, 0) == pid_ || errno != EINTR)
            reaped_ = true;
    }
}

void Started::signal(int number)
{
    if (!ended())
        kill(pid_, number);
}

bool Started::ended()
{
    if (reaped_)
        return true;
    pid_t done = waitpid(pid_, &status_, WNOHANG);
    if (done == pid_)
        reaped_ = true;
    return reaped_;
}

Run Started::wait()
{
    Run result;
    while (!ended()) {
        if (std::chrono::steady_clock::now() > deadline_) {
            result.timedOut = true;
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Whatever the process left behind in its group may hold the pipes: it
    // gets a moment to let go (a launcher's child may still be starting),
    // then the group goes.
    if (result.timedOut || !eventually([this] { return streamsClosed_ == 2; }, std::chrono::milliseconds(3000)))
        kill(-pid_, SIGKILL);
    if (feeder_.joinable())
        feeder_.join();
    if (outReader_.joinable())
        outReader_.join();
    if (errReader_.joinable())
        errReader_.join();
    result.out = out();
    result.err = err();
    result.status = WIFSIGNALED(status_) ? 128 + WTERMSIG(status_) : WEXITSTATUS(status_);
    return result;
}

Run runProgram(const std::string& program, const RunOptions& options, const std::string& home)
{
    Started started(program, options, home);
    return started.wait();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

Bundle::Bundle(const std::string& name)
{
    char pattern[] = "/tmp/kestrune-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    root_ = pattern;
    path_ = root_ + "/" + name + ".app";
    home_ = root_ + "/home";
    makeFolders(path_ + "/Contents/MacOS");
    makeFolders(path_ + "/Contents/Resources");
    makeFolders(home_);
}

Bundle::~Bundle()
{
    if (!std::getenv("KESTRUNE_KEEP_FIXTURES"))
        removeTree(root_);
}

std::string Bundle::contents(const std::string& relative) const
{
    return relative.empty() ? path_ + "/Contents" : path_ + "/Contents/" + relative;
}

std::string Bundle::applicationSupport(const std::string& identifier) const
{
    return home_ + "/Library/Application Support/" + identifier;
}

void Bundle::writeInfo(const nlohmann::json& dictionary)
{
    plist_t root = plistOf(dictionary);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    writeBytes(contents("Info.plist"), std::string(xml, length));
    std::free(xml);
    plist_free(root);
}

void Bundle::writeInfoBytes(const std::string& bytes)
{
    writeBytes(contents("Info.plist"), bytes);
}

void Bundle::writeInfoBinary(const nlohmann::json& dictionary)
{
    plist_t root = plistOf(dictionary);
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &binary, &length);
    writeBytes(contents("Info.plist"), std::string(binary, length));
    std::free(binary);
    plist_free(root);
}

void Bundle::writeInfoWithIdentifier(const std::string& identifier, const nlohmann::json& extra)
{
    nlohmann::json info = extra;
    info["CFBundleIdentifier"] = identifier;
    writeInfo(info);
}

void Bundle::writeDescriptor(const std::string& unit, const nlohmann::json& descriptor)
{
    writeDescriptorText(unit, descriptor.dump());
}

void Bundle::writeDescriptorText(const std::string& unit, const std::string& text)
{
    writeBytes(contents("Resources/" + unit + "-runtime.json"), text);
}

void Bundle::writeTestShellDescriptor(const std::string& unit, const nlohmann::json& extra)
{
    writeFile("Contents/Resources/shell.js", "// the test shell ignores its script\n");
    nlohmann::json descriptor = extra;
    descriptor["bun"] = testShell();
    descriptor["shell"] = contents("Resources/shell.js");
    writeDescriptor(unit, descriptor);
}

namespace {
// Hard-links `source` to `target`, or copies it onto another file system.
void linkOrCopy(const std::string& source, const std::string& target)
{
    auto slash = target.rfind('/');
    if (slash != std::string::npos)
        makeFolders(target.substr(0, slash));
    unlink(target.c_str());
    if (link(source.c_str(), target.c_str()) != 0) {
        std::ifstream from(source, std::ios::binary);
        std::ofstream to(target, std::ios::binary);
        to << from.rdbuf();
        to.close();
        chmod(target.c_str(), 0755);
    }
}
}

std::string Bundle::installHost(const std::string& name)
{
    host_ = contents("MacOS/" + name);
    linkOrCopy(hostBinary(), host_);
    return host_;
}

std::string Bundle::installTestShell(const std::string& relative)
{
    std::string path = path_ + "/" + relative;
    linkOrCopy(testShell(), path);
    return path;
}

void Bundle::writeFile(const std::string& relative, const std::string& bytes, bool executable)
{
    std::string path = path_ + "/" + relative;
    writeBytes(path, bytes);
    if (executable)
        chmod(path.c_str(), 0755);
}

std::unique_ptr<Started> Bundle::start(const RunOptions& options) const
{
    if (host_.empty())
        throw std::runtime_error("installHost() first");
    return std::make_unique<Started>(host_, options, home_);
}

Run Bundle::run(const RunOptions& options) const
{
    if (host_.empty())
        throw std::runtime_error("installHost() first");
    return runProgram(host_, options, home_);
}

Run Bundle::run(const std::vector<std::string>& arguments) const
{
    RunOptions options;
    options.arguments = arguments;
    return run(options);
}

Bundle::Recorded Bundle::runRecorded(RunOptions options) const
{
    static int next = 0;
    Recorded result;
    result.recordPath = root_ + "/record-" + std::to_string(++next) + ".json";
    options.arguments.push_back("ts:record=" + result.recordPath);
    options.arguments.push_back("ts:exit=0");
    result.run = run(options);
    if (auto record = readRecord(result.recordPath, std::chrono::milliseconds(0)))
        result.record = *record;
    return result;
}

std::string Bundle::expand(std::string text) const
{
    std::string shell = testShell();
    const std::pair<std::string, std::string> names[] = {
        {"{bundle}", path_}, {"{home}", home_}, {"{root}", root_}, {"{testShellDir}", shell.substr(0, shell.rfind('/'))}};
    for (const auto& [name, value] : names) {
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    }
    return text;
}

std::vector<std::string> Bundle::homeEntries() const
{
    std::vector<std::string> entries;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        std::string relative = pending.back();
        pending.pop_back();
        DIR* dir = opendir((home_ + "/" + relative).c_str());
        if (!dir)
            continue;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            std::string path = relative.empty() ? name : relative + "/" + name;
            entries.push_back(path);
            if (entry->d_type == DT_DIR)
                pending.push_back(path);
        }
        closedir(dir);
    }
    return entries;
}

std::optional<nlohmann::json> readRecord(const std::string& path, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::ifstream file(path);
        if (file) {
            std::stringstream text;
            text << file.rdbuf();
            auto parsed = nlohmann::json::parse(text.str(), nullptr, false);
            if (!parsed.is_discarded())
                return parsed;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string textOf(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

pid_t pidIn(const std::string& path)
{
    return static_cast<pid_t>(std::atoi(textOf(path).c_str()));
}

std::vector<nlohmann::json> readLines(const std::string& path)
{
    // A record still being written has no line feed yet: a test that polls a
    // log while the host appends to it must not read half a record.
    std::vector<nlohmann::json> lines;
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        if (end > start)
            lines.push_back(nlohmann::json::parse(text.begin() + start, text.begin() + end, nullptr, false));
    }
    return lines;
}

void Bundle::writeLaunchAgent(const std::string& name, const nlohmann::json& dictionary)
{
    plist_t root = plistOf(dictionary);
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    writeBytes(contents("Library/LaunchAgents/" + name), std::string(xml, length));
    std::free(xml);
    plist_free(root);
}

} // namespace fixture
