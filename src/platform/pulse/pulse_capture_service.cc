#include "platform/pulse/pulse_capture_service.h"

#include <set>

#include "platform/pulse/pulse_capture_stream.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_content.h"

namespace sorvanel {

void PulseCaptureService::getShareableContent(
    bool, bool, Completion<std::shared_ptr<ShareableContent>> completion) {
    queryShareableContent(std::make_shared<PulseConnection>(), std::move(completion));
}

std::shared_ptr<CaptureStream> PulseCaptureService::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::shared_ptr<StreamDelegate> delegate) {
    std::set<std::uint32_t> clients;
    for (const auto& application : filter.includedApplications)
        if (auto* client = dynamic_cast<const PulseApplication*>(application.get()))
            clients.insert(client->clientIndex());
    // Video settings have no meaning here; the audio format is what the configuration asks.
    const auto rate =
        static_cast<std::uint32_t>(configuration.sampleRate > 0 ? configuration.sampleRate : 48000);
    const auto channels = static_cast<std::uint32_t>(configuration.channelCount > 0 &&
                                                             configuration.channelCount <= 32
                                                         ? configuration.channelCount
                                                         : 2);
    // A display of no content of ours leaves the stream without a server: starting it fails.
    const auto* display = dynamic_cast<const PulseDisplay*>(filter.display.get());
    return std::make_shared<PulseCaptureStream>(display ? display->connection() : nullptr,
                                                std::move(clients), rate, channels,
                                                std::move(delegate));
}

}  // namespace sorvanel
