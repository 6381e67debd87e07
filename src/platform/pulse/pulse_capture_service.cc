#include "platform/pulse/pulse_capture_service.h"

#include <set>

#include "platform/pulse/pulse_capture_stream.h"
#include "platform/pulse/pulse_connection.h"
#include "platform/pulse/pulse_content.h"

namespace sorvanel {

const std::shared_ptr<PulseConnection>& PulseCaptureService::connection() {
    if (!connection_) connection_ = std::make_shared<PulseConnection>();
    return connection_;
}

void PulseCaptureService::getShareableContent(
    bool, bool, Completion<std::shared_ptr<ShareableContent>> completion) {
    queryShareableContent(connection(), std::move(completion));
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
    // A stream with no display of ours has nothing to record: starting it fails.
    const bool ours = dynamic_cast<const PulseDisplay*>(filter.display.get()) != nullptr;
    return std::make_shared<PulseCaptureStream>(ours ? connection() : nullptr, std::move(clients),
                                                rate, channels, std::move(delegate));
}

}  // namespace sorvanel
