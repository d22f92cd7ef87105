#include "host/startup.h"
#include "platform/main_queue.h"

int main(int argc, char** argv)
{
    platform::markTheMainThread();
    kestrune::host::startUp(argc, argv);
}
