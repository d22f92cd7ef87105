#include "channel/reader.h"

#include "platform/json_line.h"

#include <nlohmann/json.hpp>
#include <simdjson.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace kestrune::channel {

namespace {

// One read takes at most what a pipe holds by default.
constexpr std::size_t READ_CHUNK = 64 * 1024;
// Buffers that grew for a long line are given back above this size.
constexpr std::size_t KEPT_CAPACITY = 1024 * 1024;
// The most bytes one write of copies takes, so that a slow reader of the
// host's output shows progress (or its absence) at least this often.
constexpr std::size_t COPIED_AT_ONCE = 64 * 1024;
// Processor time between two looks of the end of a shell at its busy
// reader that shows the reader is working, in nanoseconds.
constexpr std::int64_t WORKING_TIME = 1000000;
// Nesting the fast parser refuses anyway; the slower one is held to it.
constexpr int DEEPEST_MESSAGE = 1024;

// One reader writes to the host's output at a time: a batch of whole lines
// never mixes with another shell's.
std::mutex copying;

std::int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Marks a reader busy for as long as it works on what it read.
class Busy {
public:
    explicit Busy(ReaderProgress* progress)
        : progress_(progress)
    {
        if (progress_)
            progress_->busy(true);
    }
    ~Busy()
    {
        if (progress_)
            progress_->busy(false);
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    ReaderProgress* progress_;
};

bool isJsonSpace(char byte)
{
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

nlohmann::json toJson(simdjson::dom::element value)
{
    using Type = simdjson::dom::element_type;
    switch (value.type()) {
    case Type::OBJECT: {
        nlohmann::json object(nlohmann::json::value_t::object);
        auto& members = object.get_ref<nlohmann::json::object_t&>();
        // A dictionary keeps the last of repeated keys.
        for (auto field : simdjson::dom::object(value))
            members.insert_or_assign(std::string(field.key), toJson(field.value));
        return object;
    }
    case Type::ARRAY: {
        simdjson::dom::array elements(value);
        nlohmann::json array(nlohmann::json::value_t::array);
        auto& items = array.get_ref<nlohmann::json::array_t&>();
        items.reserve(elements.size());
        for (auto element : elements)
            items.push_back(toJson(element));
        return array;
    }
    case Type::STRING:
        return std::string(std::string_view(value));
    case Type::INT64:
        return int64_t(value);
    case Type::UINT64:
        return uint64_t(value);
    case Type::DOUBLE:
        return double(value);
    case Type::BOOL:
        return bool(value);
    case Type::NULL_VALUE:
        break;
    }
    return nullptr;
}

// The members the router looks at, each the last of its name, and whether
// the object has exactly one key (and which).
struct Members {
    std::optional<simdjson::dom::element> panel, hotkeys, watch, menu, popUp, badge, focus, url;
    bool result = false, error = false;
    std::optional<std::string_view> onlyKey;
};

Members membersOf(simdjson::dom::object message)
{
    Members found;
    std::size_t count = 0;
    std::string_view first;
    bool allFirst = true;
    for (auto field : message) {
        std::string_view key = field.key;
        if (count++ == 0)
            first = key;
        else if (key != first)
            allFirst = false;
        switch (key.size()) {
        case 3:
            if (key == "url")
                found.url = field.value;
            break;
        case 4:
            if (key == "menu")
                found.menu = field.value;
            break;
        case 5:
            if (key == "panel")
                found.panel = field.value;
            else if (key == "watch")
                found.watch = field.value;
            else if (key == "popUp")
                found.popUp = field.value;
            else if (key == "badge")
                found.badge = field.value;
            else if (key == "focus")
                found.focus = field.value;
            else if (key == "error")
                found.error = true;
            break;
        case 6:
            if (key == "result")
                found.result = true;
            break;
        case 7:
            if (key == "hotkeys")
                found.hotkeys = field.value;
            break;
        default:
            break;
        }
    }
    if (count > 0 && allFirst)
        found.onlyKey = first;
    return found;
}

bool isArrayOfObjects(const std::optional<simdjson::dom::element>& value)
{
    if (!value || !value->is_array())
        return false;
    for (auto element : simdjson::dom::array(*value)) {
        if (!element.is_object())
            return false;
    }
    return true;
}

bool isString(const std::optional<simdjson::dom::element>& value, std::string_view text)
{
    return value && value->is_string() && std::string_view(*value) == text;
}

// A panel number names a panel only when it is an integer that fits 32
// bits; any other value, a larger integer included, names none.
std::optional<int32_t> panelNumberOf(const std::optional<simdjson::dom::element>& value)
{
    if (!value || value->type() != simdjson::dom::element_type::INT64)
        return std::nullopt;
    int64_t number = int64_t(*value);
    if (number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return static_cast<int32_t>(number);
}

// A JSON object whose numbers the fast parser cannot hold (integers beyond
// 64 bits, exponents beyond a double), written again with those numbers as
// the nearest doubles; nothing when the text is not a JSON object.
std::optional<std::string> withNumbersWidened(const char* line, std::size_t length)
{
    // Encoding recurses per level: nesting beyond what a message may have
    // is refused while parsing.
    auto parsed = platform::objectWithin(std::string_view(line, length), DEEPEST_MESSAGE);
    if (!parsed)
        return std::nullopt;
    try {
        return parsed->dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

// The JSON object on a line, parsed by `parser`; false when the line holds
// none. `padded`: the line is followed by the parser's padding in its own
// buffer. Numbers the fast parser cannot hold are read again widened, into
// `widened`, which must outlive `message`.
bool objectIn(simdjson::dom::parser& parser, const char* line, std::size_t length, bool padded,
              std::optional<simdjson::padded_string>& widened, simdjson::dom::object& message)
{
    simdjson::dom::element root;
    auto error = padded ? parser.parse(line, length, /*realloc_if_needed=*/false).get(root)
                        : parser.parse(line, length, /*realloc_if_needed=*/true).get(root);
    if (error == simdjson::NUMBER_ERROR) {
        if (auto text = withNumbersWidened(line, length)) {
            widened.emplace(*text);
            error = parser.parse(*widened).get(root);
        }
    }
    return !error && !root.get_object().get(message);
}

} // namespace

ReaderProgress::ReaderProgress()
    : lastProgress_(steadyNow())
{
}

void ReaderProgress::progressed()
{
    lastProgress_ = steadyNow();
}

void ReaderProgress::onTheReadersThread()
{
    readersClock_ = platform::ThreadClock::ofTheCallingThread();
    if (readersClock_)
        clocked_.store(true, std::memory_order_release);
}

bool ReaderProgress::stillDraining(std::chrono::steady_clock::duration waited)
{
    // A long line takes a while to parse and copy after its last bytes came:
    // a busy reader that spent processor time since the last look is working.
    // A reader that only waits for room in a non-blocking output spends some
    // microseconds a look: that is no progress.
    if (busy_ && clocked_.load(std::memory_order_acquire)) {
        if (auto spent = readersClock_->spent()) {
            std::int64_t now = spent->count();
            if (now - readersTime_.exchange(now) >= WORKING_TIME)
                progressed();
        }
    }
    auto idle = std::chrono::nanoseconds(steadyNow() - lastProgress_.load());
    if (busy_)
        return idle < CONSUMER_STALL;
    // Bytes the shell wrote just before it ended count from its end.
    return std::min<std::chrono::nanoseconds>(idle, waited) < OUTPUT_IDLE;
}

ChildOutput::ChildOutput(int copyTo, Dispatch dispatch, std::size_t longestMessage)
    : copyTo_(copyTo)
    , dispatch_(std::move(dispatch))
    , longestMessage_(longestMessage)
    , parser_(std::make_unique<simdjson::dom::parser>())
{
}

ChildOutput::~ChildOutput() = default;

void ChildOutput::reserve(std::size_t room)
{
    std::size_t needed = size_ + room + simdjson::SIMDJSON_PADDING;
    if (capacity_ >= needed)
        return;
    std::size_t grown = std::max(needed, capacity_ * 2);
    // Not zero-filled: every byte is written before it is read.
    std::unique_ptr<char[]> bigger(new char[grown]);
    if (size_ > 0)
        std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = grown;
}

std::span<char> ChildOutput::readSpace()
{
    reserve(READ_CHUNK);
    return {data_.get() + size_, capacity_ - size_ - simdjson::SIMDJSON_PADDING};
}

void ChildOutput::take(std::string_view bytes)
{
    while (!bytes.empty()) {
        auto space = readSpace();
        std::size_t count = std::min(space.size(), bytes.size());
        std::memcpy(space.data(), bytes.data(), count);
        received(count);
        bytes.remove_prefix(count);
    }
}

void ChildOutput::received(std::size_t count)
{
    Busy busy(progress_.get());
    size_ += count;
    char* data = data_.get();
    std::size_t lineStart = 0;
    std::size_t from = scanned_;
    while (from < size_) {
        auto* feed = static_cast<char*>(std::memchr(data + from, '\n', size_ - from));
        if (!feed)
            break;
        std::size_t end = static_cast<std::size_t>(feed - data);
        if (passingThrough_) {
            copy(lineStart, end + 1);
            passingThrough_ = false;
        } else {
            route(lineStart, end);
        }
        leadingSpaces_ = 0;
        lineStart = end + 1;
        from = lineStart;
    }
    // A line that cannot be a message is passed through as it comes rather
    // than held: one that does not open an object, and one that outgrows
    // any message, so a shell that never ends its line cannot exhaust memory.
    if (!passingThrough_ && size_ > lineStart) {
        std::size_t at = lineStart + leadingSpaces_;
        while (at < size_ && isJsonSpace(data[at]))
            ++at;
        leadingSpaces_ = at - lineStart;
        passingThrough_ = at < size_ && data[at] != '{';
    }
    if (passingThrough_ || size_ - lineStart > longestMessage_) {
        passingThrough_ = true;
        copy(lineStart, size_);
        lineStart = size_;
    }
    writeTheCopies();
    handOver();

    std::size_t left = size_ - lineStart;
    if (lineStart > 0 && left > 0)
        std::memmove(data, data + lineStart, left);
    size_ = left;
    scanned_ = left;
    if (capacity_ > KEPT_CAPACITY && size_ < READ_CHUNK) {
        std::unique_ptr<char[]> smaller(new char[READ_CHUNK + simdjson::SIMDJSON_PADDING]);
        std::memcpy(smaller.get(), data_.get(), size_);
        data_ = std::move(smaller);
        capacity_ = READ_CHUNK + simdjson::SIMDJSON_PADDING;
    }
}

// Routes one message, in the order of the checks below: true when it is
// consumed, false when it is to be copied (a link reply is both routed and
// copied). A key whose value has the wrong shape matches no check.
bool ChildOutput::routed(const char* line, std::size_t length, const simdjson::dom::object& message)
{
    const RoutingSwitches& switches = routingSwitches();
    Members m = membersOf(message);
    auto request = [&](Route route) { requests_.add(route, std::string_view(line, length)); };
    if (switches.hostsTheChildsPanel && m.panel && m.panel->is_object()) {
        request(Route::panel);
        return true;
    }
    if (switches.childOwnsHotKeys && isArrayOfObjects(m.hotkeys)) {
        request(Route::hotKeys);
        return true;
    }
    if (m.onlyKey == "watch" && isString(m.watch, "apps")) {
        request(Route::appsWatch);
        return true;
    }
    if (switches.drawsTheChildsMenu) {
        if (isArrayOfObjects(m.menu)) {
            request(Route::menu);
            return true;
        }
        if (m.onlyKey == "popUp" && m.popUp->is_bool() && bool(*m.popUp)) {
            request(Route::popUp);
            return true;
        }
        if (m.badge && m.badge->is_object() && switches.makesABadge
            && switches.makesABadge(nlohmann::json{{"badge", toJson(*m.badge)}})) {
            request(Route::badge);
            return true;
        }
    }
    if (m.onlyKey == "focus" && isString(m.focus, FOCUS_REPLIES)) {
        request(Route::repliesAnnounced);
        return true;
    }
    if (m.url && m.url->is_string() && (m.result || m.error))
        request(Route::urlReply);
    return false;
}

void ChildOutput::route(std::size_t start, std::size_t end)
{
    const char* line = data_.get() + start;
    std::size_t length = end - start;
    // Only a line that opens an object can be a message: anything else is
    // console output and is not parsed at all.
    std::size_t first = 0;
    while (first < length && isJsonSpace(line[first]))
        ++first;
    bool consumed = first < length && line[first] == '{' && length <= longestMessage_ && routeMessage(line, length);
    if (!consumed)
        copy(start, end + 1);
}

bool ChildOutput::routeMessage(const char* line, std::size_t length)
{
    simdjson::dom::object message;
    std::optional<simdjson::padded_string> widened;
    bool consumed = objectIn(*parser_, line, length, /*padded=*/true, widened, message) && routed(line, length, message);
    if (progress_)
        progress_->progressed();
    // A parser that grew for a long line lets its memory go.
    if (parser_->capacity() > KEPT_CAPACITY)
        parser_ = std::make_unique<simdjson::dom::parser>();
    return consumed;
}

std::optional<UrlReply> urlReplyOf(std::string_view line)
{
    simdjson::dom::parser parser;
    simdjson::dom::object message;
    std::optional<simdjson::padded_string> widened;
    if (!objectIn(parser, line.data(), line.size(), /*padded=*/false, widened, message))
        return std::nullopt;
    Members m = membersOf(message);
    if (!m.url || !m.url->is_string() || !(m.result || m.error))
        return std::nullopt;
    UrlReply reply;
    reply.url = std::string(std::string_view(*m.url));
    if (m.focus && m.focus->is_string())
        reply.focus = std::string(std::string_view(*m.focus));
    reply.panel = panelNumberOf(m.panel);
    return reply;
}

// The requests of one read go to the main queue together: one post, one
// wake-up of the main thread.
void ChildOutput::handOver()
{
    if (requests_.empty())
        return;
    dispatch_(std::move(requests_));
    requests_.clear();
}

void ChildOutput::copy(std::size_t start, std::size_t end)
{
    if (start == end || copyTo_ < 0)
        return;
    char* base = data_.get() + start;
    std::size_t length = end - start;
    // Consecutive copied lines are consecutive bytes: one range for them all.
    if (!copies_.empty()) {
        iovec& last = copies_.back();
        if (static_cast<char*>(last.iov_base) + last.iov_len == base) {
            last.iov_len += length;
            return;
        }
    }
    copies_.push_back(iovec{base, length});
}

void ChildOutput::writeTheCopies()
{
    if (copies_.empty())
        return;
    std::lock_guard<std::mutex> turn(copying);
    ReaderProgress* progress = progress_.get();
    std::size_t next = 0;
    while (next < copies_.size() && !(progress && progress->givenUp())) {
        // At most COPIED_AT_ONCE bytes a call: the last range is cut short.
        int count = 0;
        std::size_t bytes = 0;
        iovec cut{};
        while (next + static_cast<std::size_t>(count) < copies_.size() && count < IOV_MAX && bytes < COPIED_AT_ONCE) {
            bytes += copies_[next + static_cast<std::size_t>(count)].iov_len;
            ++count;
        }
        iovec& last = copies_[next + static_cast<std::size_t>(count) - 1];
        const bool cutting = bytes > COPIED_AT_ONCE;
        if (cutting) {
            cut = last;
            last.iov_len -= bytes - COPIED_AT_ONCE;
        }
        ssize_t wrote = ::writev(copyTo_, &copies_[next], count);
        if (cutting)
            last.iov_len = cut.iov_len;
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Someone made the host's output non-blocking: wait for room.
                pollfd ready{copyTo_, POLLOUT, 0};
                ::poll(&ready, 1, 100);
                continue;
            }
            // The output is gone or failing (closed, full disk): this read's
            // copies are lost, reading and routing go on, and the next read
            // tries again.
            break;
        }
        if (wrote == 0)
            break;
        if (progress)
            progress->progressed();
        auto done = static_cast<std::size_t>(wrote);
        while (next < copies_.size() && done >= copies_[next].iov_len) {
            done -= copies_[next].iov_len;
            ++next;
        }
        if (done > 0) {
            copies_[next].iov_base = static_cast<char*>(copies_[next].iov_base) + done;
            copies_[next].iov_len -= done;
        }
    }
    copies_.clear();
}

void ChildOutput::ended()
{
    Busy busy(progress_.get());
    // The line's first bytes are out already and cannot be dropped.
    if (passingThrough_ && copyTo_ >= 0) {
        char lineFeed = '\n';
        copies_.push_back(iovec{&lineFeed, 1});
        writeTheCopies();
    }
    passingThrough_ = false;
    size_ = 0;
    scanned_ = 0;
    leadingSpaces_ = 0;
}

void readTheChildsOutput(int fd, ChildOutput& output)
{
    for (;;) {
        auto space = output.readSpace();
        ssize_t got = ::read(fd, space.data(), space.size());
        if (got < 0 && errno == EINTR)
            continue;
        // The end of the shell's output (or a read error, which ends it too).
        if (got <= 0)
            break;
        if (output.progress())
            output.progress()->progressed();
        output.received(static_cast<std::size_t>(got));
    }
    output.ended();
    ::close(fd);
}

void listen(platform::ChildProcess& shell)
{
    if (!shell.isPiped())
        return;
    // The shell's end waits for this reader while it makes progress, so its
    // last lines are out before the host acts on that end, and a new shell's
    // lines never come before them.
    auto progress = std::make_shared<ReaderProgress>();
    shell.setOutputReader(
        [progress](int fd) {
            progress->onTheReadersThread();
            progress->progressed();
            ChildOutput output(STDOUT_FILENO, performOnTheMainQueue);
            output.reportProgressTo(progress);
            readTheChildsOutput(fd, output);
        },
        platform::OutputDrain{
            .keepWaiting = [progress](std::chrono::steady_clock::duration waited) { return progress->stillDraining(waited); },
            .giveUp = [progress] { progress->giveUp(); },
        });
}

} // namespace kestrune::channel
