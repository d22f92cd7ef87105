#include "alerts.h"

#include "session.h"

namespace desktop {

namespace wire = platform::wire;

Alerts::Alerts(Session& session)
    : session_(session)
{
    session_.serve("alert", Session::hosts, [this](Request& request) { alert(request); });
    session_.serve("answerAlert", Session::clients, [this](Request& request) { answerAlert(request); });
}

void Alerts::describeHost(const HostRecord& host, json& record)
{
    auto found = hosts_.find(host.connection);
    const HostAlerts& alerts = found != hosts_.end() ? found->second : HostAlerts();
    record["alert"] = alerts.shown ? alerts.shown->body : json(nullptr);
    record["alerts"] = alerts.answered;
}

void Alerts::hostLeft(HostRecord& host)
{
    if (auto found = hosts_.find(host.connection); found != hosts_.end())
        found->second.shown.reset();
}

// A host shows a modal alert; the reply waits for the user.
void Alerts::alert(Request& request)
{
    const json& message = request.message();
    HostRecord* host = session_.hostByConnection(request.connection().number);
    auto alert = message.contains("alert") ? wire::alertOf(message["alert"]) : std::nullopt;
    if (!alert || !message.contains("id")) {
        request.refuse("an alert needs an \"id\" and an \"alert\" of the alert shape");
        return;
    }
    if (host->inModalCall) {
        request.refuse("the host is in a modal call already");
        return;
    }
    if (alert->buttons.empty())
        alert->buttons.push_back("OK");
    host->inModalCall = true;
    hosts_[host->connection].shown = PendingCall{message, wire::toJson(*alert), session_.nextSeq()};
}

// The user answers the host's alert, by the button's index or title.
void Alerts::answerAlert(Request& request)
{
    HostRecord* host = session_.namedHost(request);
    if (!host)
        return;
    HostAlerts& alerts = hosts_[host->connection];
    if (!alerts.shown) {
        request.refuse("the host shows no alert");
        return;
    }
    const json& buttons = alerts.shown->body["buttons"];
    std::optional<int> chosen;
    auto button = request.message().value("button", json());
    if (button.is_number_integer() && button.get<int64_t>() >= 0 && button.get<int64_t>() < int64_t(buttons.size()))
        chosen = int(button.get<int64_t>());
    else if (button.is_string()) {
        for (std::size_t i = 0; i < buttons.size() && !chosen; ++i) {
            if (buttons[i] == button)
                chosen = int(i);
        }
    }
    if (!chosen) {
        request.refuse("the alert has no button " + button.dump() + "; its buttons are " + buttons.dump());
        return;
    }
    PendingCall shown = std::move(*alerts.shown);
    alerts.shown.reset();
    host->inModalCall = false;
    json title = shown.body["buttons"][std::size_t(*chosen)];
    alerts.answered.push_back({{"alert", shown.body}, {"button", *chosen}, {"title", title}});
    session_.replyTo(host->connection, shown.request, {{"button", *chosen}});
    request.reply({{"host", host->identity.pid}, {"button", *chosen}, {"title", title}});
}

} // namespace desktop
