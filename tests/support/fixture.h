// A bundle in a temporary folder, with a temporary HOME, and a way to run the
// real host binary in it.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fixture {

// The result of one run of a process.
struct Run {
    int status = -1;          // exit status, or 128 + signal like a shell reports it
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::string> arguments;                  // after the program path
    std::map<std::string, std::string> environment;      // added to the base environment
    std::vector<std::string> removeFromEnvironment;
    std::string input;                                   // written to standard input, then closed
    std::chrono::milliseconds timeout{20000};
    std::optional<std::string> workingDirectory;
    std::optional<std::string> argv0;                    // what the program is told its path is
    std::vector<int> openDescriptors;                    // left open (on the null device) in the program
    std::vector<int> ignoredSignals;                     // the program starts with these ignored
    std::vector<int> blockedSignals;                     // and these blocked
};

// A process started in the background, in a process group of its own, with
// its standard output and error gathered as they come.
class Started {
public:
    Started(const std::string& program, const RunOptions& options, const std::string& home);
    ~Started();   // ends what is still running (the whole group)
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    pid_t pid() const { return pid_; }
    // Sends a signal, unless the process has already ended (its number may
    // belong to another process by then).
    void signal(int number);
    // Waits for the end (at most the options' timeout from the start; then
    // the whole group is killed and the run says it timed out).
    Run wait();
    // The same with a deadline counted from now.
    Run wait(std::chrono::milliseconds timeout);
    // True once the process has ended (it is then reaped).
    bool ended();
    bool hasEnded() { return ended(); }
    // Waits for the process alone, not for what it left holding its output.
    void reap();
    // What it wrote so far.
    std::string out();
    std::string err();
    // Waits until standard error holds `text`.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

private:
    void gather(int fd, std::string& into);
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    std::mutex mutex_;
    std::string outText_, errText_;
    std::atomic<int> streamsClosed_{0};
    std::thread outReader_, errReader_, feeder_;
};

// Runs `program` with a clean environment (PATH, HOME of the caller's choice)
// plus the options' additions, and waits for it.
Run runProgram(const std::string& program, const RunOptions& options, const std::string& home);

// Waits until `condition` holds, polling, for at most `timeout`.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));

class Bundle {
public:
    // Makes <tmp>/<name>.app with Contents/MacOS, Contents/Resources, and a
    // <tmp>/home folder.
    explicit Bundle(const std::string& name = "Acme");
    ~Bundle();
    Bundle(const Bundle&) = delete;
    Bundle& operator=(const Bundle&) = delete;

    const std::string& root() const { return root_; }     // the temporary folder
    const std::string& path() const { return path_; }     // the .app folder
    const std::string& home() const { return home_; }
    std::string contents(const std::string& relative = "") const;
    std::string applicationSupport(const std::string& identifier) const;

    // Info.plist as an XML property list made from a JSON object (strings,
    // numbers, booleans, arrays, objects), or as raw bytes.
    void writeInfo(const nlohmann::json& dictionary);
    void writeInfoBytes(const std::string& bytes);
    // The same dictionary as a binary property list.
    void writeInfoBinary(const nlohmann::json& dictionary);
    // The usual Info.plist: the identifier and any extra keys.
    void writeInfoWithIdentifier(const std::string& identifier = "com.example.acme",
                                 const nlohmann::json& extra = nlohmann::json::object());

    // Contents/Resources/<unit>-runtime.json.
    void writeDescriptor(const std::string& unit, const nlohmann::json& descriptor);
    void writeDescriptorText(const std::string& unit, const std::string& text);
    // A descriptor that runs the test shell as the "bun" runtime with a script
    // file in the bundle (the test shell ignores the script).
    void writeTestShellDescriptor(const std::string& unit = "acme", const nlohmann::json& extra = nlohmann::json::object());

    // Contents/Library/LaunchAgents/<name> as an XML property list made from a
    // JSON object, like writeInfo.
    void writeLaunchAgent(const std::string& name, const nlohmann::json& dictionary);

    // Hard-links the host into Contents/MacOS under `name`; gives its path.
    std::string installHost(const std::string& name = "Acme");

    // Hard-links the test shell to a path below the bundle; gives its path.
    std::string installTestShell(const std::string& relative);

    // Writes any file below the bundle (folders made on the way).
    void writeFile(const std::string& relative, const std::string& bytes, bool executable = false);

    // Starts the installed host in the background with HOME set to home().
    std::unique_ptr<Started> start(const RunOptions& options = {}) const;

    // Runs the installed host with HOME set to home().
    Run run(const RunOptions& options = {}) const;
    Run run(const std::vector<std::string>& arguments) const;

    // Runs the host with "ts:record=<file>" and "ts:exit=0" after the
    // options' arguments, so that the test shell records itself and ends;
    // gives the run and the record (null when the shell wrote none).
    struct Recorded {
        Run run;
        nlohmann::json record;
        std::string recordPath;
    };
    Recorded runRecorded(RunOptions options = {}) const;

    // `text` with {bundle}, {home}, {root} and {testShellDir} replaced by
    // this bundle's paths and the test shell's folder.
    std::string expand(std::string text) const;
    // Every folder and file below home(), as paths relative to it.
    std::vector<std::string> homeEntries() const;

private:
    std::string root_;
    std::string path_;
    std::string home_;
    std::string host_;
};

// Reads a JSON file the test shell recorded, waiting up to `timeout` for it.
std::optional<nlohmann::json> readRecord(const std::string& path,
                                         std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// The whole of a file, as bytes; "" when it cannot be read.
std::string textOf(const std::string& path);

// The process id written in a file (by ts:pid=FILE); 0 when there is none.
pid_t pidIn(const std::string& path);

// Every whole line of a JSON-lines file, parsed (a last line still without
// its line feed is being written and is left out).
std::vector<nlohmann::json> readLines(const std::string& path);

std::string hostBinary();
std::string testShell();

} // namespace fixture
