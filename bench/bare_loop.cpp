// The least an event-driven host is: one Asio loop kept alive by a work
// guard, listening for the end signals. The memory benchmark holds the host
// against it.
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>

int main()
{
    asio::io_context loop(1);
    auto guard = asio::make_work_guard(loop);
    asio::signal_set ends(loop, SIGTERM, SIGINT, SIGHUP);
    ends.async_wait([&](const asio::error_code&, int) { loop.stop(); });
    loop.run();
    return 0;
}
