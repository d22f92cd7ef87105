#include "channel/routes.h"

#include "platform/main_queue.h"

namespace kestrune::channel {

namespace {
RoutingSwitches switches;
ChildMessageOwners owners;

template <class... Arguments>
void callIfSet(const std::function<void(Arguments...)>& entry, Arguments... arguments)
{
    if (entry)
        entry(arguments...);
}
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

void performOnTheMainQueue(std::vector<ChildRequest> requests)
{
    // One post per batch: the requests of one read keep their order, and
    // batches keep theirs because one thread posts them all.
    platform::post([requests = std::move(requests)] {
        for (const auto& request : requests)
            perform(request);
    });
}

} // namespace kestrune::channel
