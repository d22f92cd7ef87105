#include "channel/routes.h"

#include "platform/main_queue.h"

#include <condition_variable>
#include <mutex>

namespace kestrune::channel {

namespace {
RoutingSwitches switches;
ChildMessageOwners owners;

// Routed bytes on their way to the main loop; readers wait on it.
std::mutex backlogLock;
std::condition_variable backlogShrank;
std::size_t backlog = 0;

template <class... Arguments>
void callIfSet(const std::function<void(Arguments...)>& entry, Arguments... arguments)
{
    if (entry)
        entry(arguments...);
}
}

ChildRequests::ChildRequests(std::initializer_list<std::pair<Route, std::string_view>> requests)
{
    for (const auto& [route, line] : requests)
        add(route, line);
}

void ChildRequests::add(Route route, std::string_view line)
{
    entries_.push_back(Entry{route, lines_.size(), line.size()});
    lines_.append(line);
}

ChildRequest ChildRequests::operator[](std::size_t index) const
{
    const Entry& entry = entries_[index];
    return ChildRequest{entry.route, std::string_view(lines_).substr(entry.offset, entry.length)};
}

void ChildRequests::clear()
{
    entries_.clear();
    lines_.clear();
}

void setTheRoutingSwitches(RoutingSwitches given)
{
    switches = std::move(given);
}

const RoutingSwitches& routingSwitches()
{
    return switches;
}

void setTheMessageOwners(ChildMessageOwners given)
{
    platform::assertOnTheMainThread("setTheMessageOwners");
    owners = std::move(given);
}

void perform(const ChildRequest& request)
{
    platform::assertOnTheMainThread("perform");
    std::string_view line = request.line;
    switch (request.route) {
    case Route::panel: return callIfSet(owners.panelHostCall, line);
    case Route::hotKeys: return callIfSet(owners.childHotKeysTake, line);
    case Route::appsWatch: return callIfSet(owners.appsWatchStart);
    case Route::menu: return callIfSet(owners.menuOwnerDraw, line);
    case Route::popUp: return callIfSet(owners.menuOwnerPopUpAtTheCursor);
    case Route::badge: return callIfSet(owners.badgeOwnerShow, line);
    case Route::repliesAnnounced: return callIfSet(owners.focusReturnChildReplies);
    case Route::urlReply: return callIfSet(owners.focusReturnReplied, line);
    }
}

void performOnTheMainQueue(ChildRequests requests)
{
    const std::size_t bytes = requests.bytes();
    {
        std::lock_guard<std::mutex> lock(backlogLock);
        backlog += bytes;
    }
    // One post per batch: the requests of one read keep their order, and
    // batches keep theirs because one thread posts them all.
    platform::post([requests = std::move(requests), bytes] {
        for (std::size_t i = 0; i < requests.size(); ++i)
            perform(requests[i]);
        {
            std::lock_guard<std::mutex> lock(backlogLock);
            backlog -= bytes;
        }
        backlogShrank.notify_all();
    });
    // The main thread never waits for itself.
    if (platform::onTheMainThread())
        return;
    std::unique_lock<std::mutex> lock(backlogLock);
    backlogShrank.wait(lock, [] { return backlog <= MAIN_LOOP_BACKLOG; });
}

std::size_t mainLoopBacklog()
{
    std::lock_guard<std::mutex> lock(backlogLock);
    return backlog;
}

} // namespace kestrune::channel
