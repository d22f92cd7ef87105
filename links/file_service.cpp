#include "links/file_service.h"

#include "links/delivery.h"
#include "links/settings.h"
#include "links/url.h"
#include "platform/main_queue.h"

namespace kestrune::links {

std::optional<std::string> FileService::openFiles(const platform::ServicesRequest& request)
{
    platform::assertOnTheMainThread("FileService::openFiles");
    // Only the message the entries name is answered; any other is a
    // selector the host does not have.
    if (request.message != SERVICES_MESSAGE)
        return "The service message " + request.message + " is not known";
    const auto& declared = schemes();
    if (declared.empty() || !request.userData || request.userData->empty() || request.fileURLs.empty())
        return "No file for the service";
    const std::string& scheme = *declared.begin();   // the set is sorted
    for (const auto& fileURL : request.fileURLs) {
        auto path = filePathOf(fileURL);
        if (!path)
            continue;
        if (auto url = serviceURLOf(scheme, *request.userData, *path))
            deliver(*url, "url");
    }
    return std::nullopt;
}

void FileService::provideTheServices()
{
    platform::assertOnTheMainThread("FileService::provideTheServices");
    if (!services().empty())
        platform::applicationEvents().setServicesProvider(
            [this](const platform::ServicesRequest& request) { return openFiles(request); });
}

} // namespace kestrune::links
