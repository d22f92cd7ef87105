// Focus return: after the shell handled a link, activation goes back to the
// application the user was working in, unless the shell keeps it on a panel.
// Every move of focus is a line of the link log, beside the link's delivery.
#pragma once

#include "platform/desktop/workspace.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrune::links {

// The "focus" value of a link reply that keeps focus on a panel.
inline const std::string PANEL_FOCUS = "panel";

class FocusReturn : public std::enable_shared_from_this<FocusReturn> {
public:
    // Installs the observers of activations, of applications that end and
    // of the host becoming active, for the life of the process, and takes
    // the application in front now as the one to return to.
    void observe();

    // A link of the application's schemes was just handed to the shell.
    void linkArrived(const std::string& url);
    // The shell answered a link, with a focus word and a panel's process.
    void replied(const std::string& url, const std::optional<std::string>& focus, std::optional<int32_t> panel);
    // The shell said {"focus":"replies"}: from now on it answers every link.
    void childRepliesFromNowOn();
    // The application was opened again: nothing is handed away after it.
    void reopened();
    // The shell's reply line, as the output reader routed it.
    void takeReplyLine(std::string_view line);

    // An application that is not regular and has no on-screen window below
    // the status-window level (a menu-bar extra): it never becomes `previous`.
    static bool isAWindowlessAccessory(const platform::RunningApplication& application);

private:
    void otherActivated(const std::optional<platform::RunningApplication>& application);
    void otherEnded(const std::optional<platform::RunningApplication>& application);
    void becameActive();
    void giveBack();

    std::optional<platform::RunningApplication> previous_;
    bool owed_ = false;
    std::string link_;
    bool childReplies_ = false;
    bool answered_ = false;
    std::optional<pid_t> panelHeld_;
};

} // namespace kestrune::links
