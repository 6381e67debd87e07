// The capture stream's contract, as the run and the sink rely on it, run against every stream
// that builds here: the strict double, and on Linux the libpulse stream against a private
// PulseAudio. A stream that forgives what ScreenCaptureKit's rejects would hide a fault of the
// core on the Mac.
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "contract/implementation_name.h"
#include "platform/asio/asio_runtime.h"
#include "support/completion_wait.h"
#include "support/fake_capture.h"
#include "support/fake_sample_buffer.h"

#ifndef __APPLE__
#include "platform/pulse/private_sound_server.h"
#include "platform/pulse/pulse_capture_service.h"
#endif

namespace sorvanel {
namespace {

using namespace std::chrono_literals;

// Counts the buffers, and those that did not come on the queue they were registered with.
class CountingOutput final : public StreamOutput {
  public:
    explicit CountingOutput(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}
    void didOutputSampleBuffer(const SampleBuffer&, StreamOutputType) override {
        if (!queue_->isCurrent()) ++offQueue;
        ++count;
    }
    std::atomic<int> count{0};
    std::atomic<int> offQueue{0};

  private:
    std::shared_ptr<SerialQueue> queue_;
};

class QuietDelegate final : public StreamDelegate {
  public:
    void didStopWithError(const Error&) override {}
};

struct StrictDouble {
    static constexpr const char* kName = "StrictDouble";
    StrictDouble() {
        service.whileRunning = [](testing::FakeCaptureService::Stream& stream) {
            for (int i = 0; i < 3; ++i)
                stream.deliver(std::make_shared<testing::FakeSampleBuffer>(i * 480));
        };
    }
    std::shared_ptr<CaptureStream> stream(std::shared_ptr<StreamDelegate> delegate) {
        return service.makeStream(ContentFilter{}, StreamConfiguration{}, std::move(delegate));
    }
    std::optional<std::string> unavailable;
    testing::FakeCaptureService service;
};

#ifndef __APPLE__
// A private PulseAudio with a tagged player, whose audio the stream records.
struct Pulse {
    static constexpr const char* kName = "Pulse";
    Pulse() {
        if (!unavailable) player.emplace(std::vector<std::string>{"--app-id", "com.ableton.live"});
    }
    std::shared_ptr<CaptureStream> stream(std::shared_ptr<StreamDelegate> delegate) {
        server.settle();
        auto content = testing::wait<std::shared_ptr<ShareableContent>>(
            [this](auto done) { service.getShareableContent(true, false, done); });
        const ContentFilter filter{content->displays().at(0), content->applications()};
        StreamConfiguration configuration;
        configuration.capturesAudio = true;
        return service.makeStream(filter, configuration, std::move(delegate));
    }
    testing::PrivateSoundServer server{"pulseaudio"};
    std::optional<std::string> unavailable = server.unavailable;
    std::optional<testing::TonePlayer> player;
    PulseCaptureService service;
};
using Streams = ::testing::Types<StrictDouble, Pulse>;
#else
using Streams = ::testing::Types<StrictDouble>;
#endif

template <class Implementation>
class CaptureContract : public ::testing::Test {
  protected:
    void SetUp() override {
        if (implementation.unavailable) GTEST_SKIP() << *implementation.unavailable;
        stream = implementation.stream(std::make_shared<QuietDelegate>());
        stream->addStreamOutput(output, StreamOutputType::audio, queue);
    }
    void start() {
        testing::wait<void>([this](Completion<void> done) { stream->startCapture(done); });
    }
    void stop() {
        testing::wait<void>([this](Completion<void> done) { stream->stopCapture(done); });
    }
    void drain() {
        std::promise<void> drained;
        queue->post([&] { drained.set_value(); });
        ASSERT_EQ(drained.get_future().wait_for(10s), std::future_status::ready);
    }

    Implementation implementation;
    std::shared_ptr<SerialQueue> queue = std::make_shared<AsioSerialQueue>("org.sorvanel.contract");
    std::shared_ptr<CountingOutput> output = std::make_shared<CountingOutput>(queue);
    std::shared_ptr<CaptureStream> stream;
};

TYPED_TEST_SUITE(CaptureContract, Streams, testing::ImplementationName);

TYPED_TEST(CaptureContract, StartsOnceDeliversOnItsQueueAndNothingAfterItsStop) {
    this->start();
    EXPECT_THROW(this->start(), Error) << "a stream starts once";
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (this->output->count == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    this->stop();
    this->drain();
    const int delivered = this->output->count;
    EXPECT_GT(delivered, 0);
    std::this_thread::sleep_for(100ms);  // a window to see nothing more come
    this->drain();
    EXPECT_EQ(this->output->count, delivered) << "a buffer came after the stop completed";
    EXPECT_EQ(this->output->offQueue, 0);
}

// The run never does either; a stream that allowed them would let a core that did pass here.
TYPED_TEST(CaptureContract, AStreamThatIsNotRunningCannotBeStopped) {
    EXPECT_THROW(this->stop(), Error) << "before its start";
    this->start();
    this->stop();
    EXPECT_THROW(this->stop(), Error) << "after its stop";
}

}  // namespace
}  // namespace sorvanel
