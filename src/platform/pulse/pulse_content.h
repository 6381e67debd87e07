#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pulse/proplist.h>

#include "platform/capture.h"
#include "platform/pulse/pulse_connection.h"

namespace sorvanel {

// A client of the sound server, identified by its application id.
class PulseApplication final : public RunningApplication {
  public:
    PulseApplication(std::uint32_t clientIndex, std::optional<std::string> identifier)
        : clientIndex_(clientIndex), identifier_(std::move(identifier)) {}
    std::optional<std::string> bundleIdentifier() const override { return identifier_; }
    std::uint32_t clientIndex() const { return clientIndex_; }

  private:
    std::uint32_t clientIndex_;
    std::optional<std::string> identifier_;
};

// A playback device of the sound server.
class PulseDisplay final : public Display {
  public:
    PulseDisplay(std::uint32_t sinkIndex, std::string name)
        : sinkIndex_(sinkIndex), name_(std::move(name)) {}
    std::uint32_t sinkIndex() const { return sinkIndex_; }
    const std::string& name() const { return name_; }

  private:
    std::uint32_t sinkIndex_;
    std::string name_;
};

class PulseShareableContent final : public ShareableContent {
  public:
    std::vector<std::shared_ptr<RunningApplication>> applications() const override {
        return applications_;
    }
    std::vector<std::shared_ptr<Display>> displays() const override { return displays_; }

    std::vector<std::shared_ptr<RunningApplication>> applications_;
    std::vector<std::shared_ptr<Display>> displays_;
};

// The identifier a client goes by: its application id, else the id of the Flatpak it runs in.
std::optional<std::string> applicationIdentifier(const pa_proplist* properties);

// Connects `connection` (or takes its outcome) and lists the server's clients (without ourselves)
// and sinks, in the server's order. Completes once, on the loop's thread or the caller's.
void queryShareableContent(std::shared_ptr<PulseConnection> connection,
                           Completion<std::shared_ptr<ShareableContent>> completion);

}  // namespace sorvanel
