// Calls the freedesktop application interface of an application on a
// session bus, as a launcher or another program of the session would, and
// waits for the answer. The live desktop's tests run it from inside or
// outside a bundle, so that the host sees a caller of either kind.
//
//   bus-call ADDRESS NAME activate
//   bus-call ADDRESS NAME open URI...
//   bus-call ADDRESS NAME action ACTION
//
// Prints "answered" on success, or "error NAME: MESSAGE"; exits 0 or 1.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The object path an application's bus name is served at.
std::string objectPathOf(std::string name)
{
    for (auto& c : name) {
        if (c == '.')
            c = '/';
        else if (c == '-')
            c = '_';
    }
    return "/" + name;
}

// Appends an empty platform-data dictionary.
int appendNoPlatformData(sd_bus_message* call)
{
    int error = sd_bus_message_open_container(call, 'a', "{sv}");
    return error < 0 ? error : sd_bus_message_close_container(call);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: bus-call ADDRESS NAME activate|open URI...|action ACTION\n");
        return 2;
    }
    // Each answer is out before the program ends, however it ends.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string what = argv[3];
    sd_bus* bus = nullptr;
    int error = sd_bus_new(&bus);
    if (error >= 0)
        error = sd_bus_set_address(bus, argv[1]);
    if (error >= 0)
        error = sd_bus_set_bus_client(bus, 1);
    if (error >= 0)
        error = sd_bus_start(bus);
    if (error < 0) {
        std::printf("error connect: %s\n", std::strerror(-error));
        return 1;
    }
    const std::string path = objectPathOf(argv[2]);
    const char* method = what == "activate" ? "Activate" : what == "open" ? "Open" : "ActivateAction";
    sd_bus_message* call = nullptr;
    error = sd_bus_message_new_method_call(bus, &call, argv[2], path.c_str(), "org.freedesktop.Application", method);
    if (error >= 0 && what == "open") {
        error = sd_bus_message_open_container(call, 'a', "s");
        for (int i = 4; i < argc && error >= 0; ++i)
            error = sd_bus_message_append_basic(call, 's', argv[i]);
        if (error >= 0)
            error = sd_bus_message_close_container(call);
    }
    if (error >= 0 && what == "action") {
        error = sd_bus_message_append(call, "s", argc > 4 ? argv[4] : "");
        if (error >= 0)
            error = sd_bus_message_open_container(call, 'a', "v");
        if (error >= 0)
            error = sd_bus_message_close_container(call);
    }
    if (error >= 0)
        error = appendNoPlatformData(call);
    if (error < 0) {
        std::printf("error message: %s\n", std::strerror(-error));
        return 1;
    }
    sd_bus_error failure = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    // Long enough for a person to answer an alert.
    error = sd_bus_call(bus, call, 120'000'000, &failure, &reply);
    if (error < 0)
        std::printf("error %s: %s\n", failure.name ? failure.name : "call", failure.message ? failure.message : std::strerror(-error));
    else
        std::printf("answered\n");
    std::fflush(stdout);
    sd_bus_error_free(&failure);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    sd_bus_flush_close_unref(bus);
    return error < 0 ? 1 : 0;
}
