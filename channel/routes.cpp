#include "channel/routes.h"

#include "platform/main_queue.h"

namespace kestrune {

namespace {
template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
}

void perform(const ChildRequest& request)
{
    platform::assertOnTheMainThread("perform");
    const auto& owners = childMessageOwners;
    std::visit(Overloaded{
                   [&](const PanelCalled& r) { if (owners.panelHostCall) owners.panelHostCall(r.call); },
                   [&](const HotKeysDeclared& r) { if (owners.childHotKeysTake) owners.childHotKeysTake(r.hotKeys); },
                   [&](const AppsWatchAsked&) { if (owners.appsWatchStart) owners.appsWatchStart(); },
                   [&](const MenuDrawingAsked& r) { if (owners.menuOwnerDraw) owners.menuOwnerDraw(r.rows); },
                   [&](const PopUpAsked&) { if (owners.menuOwnerPopUpAtTheCursor) owners.menuOwnerPopUpAtTheCursor(); },
                   [&](const BadgeAsked& r) { if (owners.badgeOwnerShow) owners.badgeOwnerShow(r.badge); },
                   [&](const RepliesAnnounced&) { if (owners.focusReturnChildReplies) owners.focusReturnChildReplies(); },
                   [&](const UrlReplied& r) {
                       if (owners.focusReturnReplied)
                           owners.focusReturnReplied(r.url, r.focus, r.panel);
                   },
               },
               request);
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

} // namespace kestrune
