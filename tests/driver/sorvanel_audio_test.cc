#include "driver/sorvanel_audio.h"

#include <gtest/gtest.h>

#include "lines/lines.h"
#include "support/fake_platform.h"
#include "support/process_harness.h"

namespace sorvanel {
namespace {

using testing::FakeAccess;
using testing::ProcessHarness;

struct Call {
    ProcessHarness process;
    FakeAccess access;
    testing::UnusedCapture capture;
    testing::UnusedWriters writers;
    testing::UnusedFiles files;
    sorvanel::Invocation invocation{process.runtime};
    std::vector<std::pair<std::string, double>> runs;

    void run(std::vector<std::string> arguments) {
        Platform platform{std::move(arguments), process.runtime, access, capture, writers, files};
        process.run(
            SorvanelAudio::main(platform, invocation,
                                [this](std::string path, double seconds) -> asio::awaitable<void> {
                                    runs.emplace_back(std::move(path), seconds);
                                    co_return;
                                }));
    }
};

constexpr const char* kUsage = R"({"error":"Usage: SorvanelAudio output.m4a duration_seconds"})";

TEST(CheckMode, ReportsThePreflightWithoutEverRequesting) {
    for (bool granted : {true, false}) {
        Call invocation;
        invocation.access.preflightAnswer = granted;
        invocation.access.requestAnswer = true;
        invocation.run({"SorvanelAudio", "--check", "output.m4a", "5"});
        EXPECT_EQ(invocation.process.lines,
                  std::vector<std::string>{serializeResult(checkLine(granted))});
        EXPECT_EQ(invocation.process.status, 0);
        EXPECT_EQ(invocation.access.requests, 0);
        EXPECT_TRUE(invocation.runs.empty());
    }
}

TEST(CheckMode, WinsOverPermissionRequestAndWorksFromElementZero) {
    Call both;
    both.run({"SorvanelAudio", "--request-permission", "--check"});
    EXPECT_EQ(both.process.lines.at(0), serializeResult(checkLine(true)));
    EXPECT_EQ(both.access.requests, 0);

    Call named;
    named.run({"--check"});
    EXPECT_EQ(named.process.lines.at(0), serializeResult(checkLine(true)));
    EXPECT_EQ(named.process.status, 0);
}

TEST(PermissionRequestMode, RequestsOnceWithoutPreflightAndReportsTheAnswer) {
    for (bool granted : {true, false}) {
        Call invocation;
        invocation.access.requestAnswer = granted;
        invocation.run({"SorvanelAudio", "output.m4a", "5", "--request-permission"});
        EXPECT_EQ(invocation.process.lines,
                  std::vector<std::string>{serializeResult(permissionRequestLine(granted))});
        EXPECT_EQ(invocation.process.status, 0);
        EXPECT_EQ(invocation.access.requests, 1);
        EXPECT_EQ(invocation.access.preflights, 0);
    }
}

TEST(RecordMode, BadCommandLinesGetUsageAndStatus2BeforeAnyPermissionCall) {
    const std::vector<std::vector<std::string>> bad = {
        {"SorvanelAudio"},
        {"SorvanelAudio", "out.m4a"},
        {"SorvanelAudio", "out.m4a", "5", "extra"},
        {"SorvanelAudio", "out.m4a", "0.999"},
        {"SorvanelAudio", "out.m4a", "30.0001"},
        {"SorvanelAudio", "out.m4a", " 5"},
        {"SorvanelAudio", "out.m4a", "5 "},
        {"SorvanelAudio", "out.m4a", "5s"},
        {"SorvanelAudio", "out.m4a", ""},
        {"SorvanelAudio", "out.m4a", "-5"},
        {"SorvanelAudio", "out.m4a", "1,5"},
        {"SorvanelAudio", "out.m4a", "nan"},
        {"SorvanelAudio", "out.m4a", "inf"},
        {"SorvanelAudio", "out.m4a", "-inf"},
        {"SorvanelAudio", "out.m4a", "1e400"},
    };
    for (const auto& arguments : bad) {
        Call invocation;
        invocation.access.preflightAnswer = false;
        invocation.access.requestAnswer = false;
        invocation.run(arguments);
        EXPECT_EQ(invocation.process.lines, std::vector<std::string>{kUsage}) << arguments.size();
        EXPECT_EQ(invocation.process.status, 2);
        EXPECT_EQ(invocation.access.preflights + invocation.access.requests, 0);
        EXPECT_TRUE(invocation.runs.empty());
    }
}

TEST(RecordMode, AcceptedDurationsReachTheRunWithThePathUnchanged) {
    const std::pair<const char*, double> accepted[] = {
        {"1", 1}, {"30", 30}, {"2.5", 2.5}, {"1e1", 10}, {"0x1E", 30}};
    for (const auto& [text, seconds] : accepted) {
        Call invocation;
        invocation.run({"SorvanelAudio", "./takes/\xFF take.m4a", text});
        ASSERT_EQ(invocation.runs.size(), 1u) << text;
        EXPECT_EQ(invocation.runs[0].first, "./takes/\xFF take.m4a");
        EXPECT_EQ(invocation.runs[0].second, seconds);
        EXPECT_TRUE(invocation.process.lines.empty());
        EXPECT_EQ(invocation.process.status, 0);
    }
}

TEST(PermissionGate, PreflightFirstThenRequestThenRefusal) {
    Call granted;
    granted.run({"SorvanelAudio", "out.m4a", "5"});
    EXPECT_EQ(granted.access.preflights, 1);
    EXPECT_EQ(granted.access.requests, 0);
    EXPECT_EQ(granted.runs.size(), 1u);

    Call askedAndGranted;
    askedAndGranted.access.preflightAnswer = false;
    askedAndGranted.run({"SorvanelAudio", "out.m4a", "5"});
    EXPECT_EQ(askedAndGranted.access.requests, 1);
    EXPECT_EQ(askedAndGranted.runs.size(), 1u);

    Call refused;
    refused.access.preflightAnswer = false;
    refused.access.requestAnswer = false;
    refused.run({"SorvanelAudio", "out.m4a", "5"});
    EXPECT_EQ(refused.process.lines,
              std::vector<std::string>{serializeResult(permissionRequiredLine())});
    EXPECT_EQ(refused.process.status, 3);
    EXPECT_TRUE(refused.runs.empty());
}

TEST(ExitStatus, HoldsEvenWhenTheLineWasNotPrinted) {
    Call invocation;
    auto silent = replaceLineWriter([](std::string_view) {});
    invocation.run({"SorvanelAudio"});
    replaceLineWriter(std::move(silent));
    EXPECT_EQ(invocation.process.status, 2);
}

}  // namespace
}  // namespace sorvanel
