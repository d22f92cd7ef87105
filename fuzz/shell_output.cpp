// Bytes from the shell through the output reader on a thread of its own,
// with every routing switch on, and each routed request then read on the
// main thread the way its owner reads it. The first two
// bytes choose how the rest is cut into reads and how long a message may be,
// so one input exercises lines split anywhere and the pass-through of lines
// too long to be messages.
#include "channel/reader.h"
#include "channel/routes.h"
#include "overlays/badge.h"
#include "platform/main_queue.h"

#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

using namespace kestrune;

namespace {

int nullDevice = -1;

// An owner reads its line again; what the router let through must read as
// an object, or the owner would meet a message it cannot make sense of.
nlohmann::json messageOf(std::string_view line)
{
    auto message = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!message.is_object())
        std::abort();
    return message;
}

// What the owners look at in each kind of message, read here only to make
// the reading happen.
void readTheMenu(std::string_view line)
{
    auto message = messageOf(line);
    for (const auto& item : message.value("menu", nlohmann::json::array())) {
        if (item.is_object()) {
            (void)item.value("title", std::string());
            (void)item.value("id", std::string());
        }
    }
}

void readTheObject(std::string_view line, const char* member)
{
    auto message = messageOf(line);
    auto found = message.find(member);
    if (found != message.end() && found->is_object())
        (void)found->dump();
}

void readTheHotKeys(std::string_view line)
{
    auto message = messageOf(line);
    for (const auto& entry : message.value("hotkeys", nlohmann::json::array())) {
        if (entry.is_object())
            (void)entry.value("key", std::string());
    }
}

void readTheBadge(std::string_view line)
{
    // The router asked badgeOf() before routing; the owner asks it again.
    if (!overlays::badgeOf(messageOf(line)))
        std::abort();
}

void readTheReply(std::string_view line)
{
    // A line routed as a link reply reads as one.
    if (!channel::urlReplyOf(line))
        std::abort();
}

// The reader gets a stack far smaller than its thread has in the host, so
// that recursion whose depth the input decides overflows at input sizes the
// fuzzer reaches, while the depth the parsers allow (1024) still fits.
constexpr std::size_t READER_STACK = 512 * 1024;

struct Input {
    const uint8_t* data;
    std::size_t size;
};

void* readAll(void* argument)
{
    const auto& input = *static_cast<const Input*>(argument);
    const uint8_t* data = input.data;
    // Byte 0: the high bit makes messages short (64 bytes), so that long
    // lines pass through; the rest and byte 1 seed the sizes of the reads.
    std::size_t longest = (data[0] & 0x80) ? 64 : channel::LONGEST_CHILD_MESSAGE;
    uint32_t state = (uint32_t(data[0]) << 8 | data[1]) * 2654435761u + 1;
    std::size_t widest = (data[0] & 0x7f) + 1;
    std::string_view bytes(reinterpret_cast<const char*>(data) + 2, input.size - 2);

    channel::ChildOutput output(nullDevice, channel::performOnTheMainQueue, longest);
    while (!bytes.empty()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::size_t piece = std::min<std::size_t>(bytes.size(), 1 + state % (widest * 16));
        output.take(bytes.substr(0, piece));
        bytes.remove_prefix(piece);
    }
    // A line without its line feed is held only while it could still be a
    // message.
    if (output.pending().size() > longest)
        std::abort();
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::markTheMainThread();
    nullDevice = open("/dev/null", O_WRONLY | O_CLOEXEC);
    channel::setTheRoutingSwitches({
        .hostsTheChildsPanel = true,
        .childOwnsHotKeys = true,
        .drawsTheChildsMenu = true,
        .makesABadge = [](const nlohmann::json& message) { return overlays::badgeOf(message).has_value(); },
    });
    channel::setTheMessageOwners({
        .panelHostCall = [](std::string_view line) { readTheObject(line, "panel"); },
        .childHotKeysTake = readTheHotKeys,
        .appsWatchStart = [] {},
        .menuOwnerDraw = readTheMenu,
        .menuOwnerPopUpAtTheCursor = [] {},
        .badgeOwnerShow = readTheBadge,
        .focusReturnChildReplies = [] {},
        .focusReturnReplied = readTheReply,
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    Input input{data, size};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, READER_STACK);
    pthread_t reader;
    if (pthread_create(&reader, &attributes, readAll, &input) != 0)
        std::abort();
    pthread_join(reader, nullptr);
    pthread_attr_destroy(&attributes);
    // The owners read what the reader queued, on the main thread, as in the
    // host.
    platform::runWhatIsReady();
    return 0;
}
