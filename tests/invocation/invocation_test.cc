#include "invocation/invocation.h"

#include <algorithm>
#include <csignal>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "platform/asio/asio_runtime.h"

namespace sorvanel {
namespace {

// What became of the wait a signal arrived in.
enum class Outcome { waiting, endedEarly, failed };

struct Row {
    const char* name;
    std::vector<Stage> stages;  // entered in turn; the signals arrive during the last one's wait
    std::vector<int> signals;
    Outcome outcome;
    std::optional<int> interruption;  // what the run will report
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

class WhatASignalDoes : public ::testing::TestWithParam<Row> {};

bool hasAction(int signal, void (*handler)(int)) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    return action.sa_handler == handler;
}

bool defaultAction(int signal) {
    return hasAction(signal, SIG_DFL);
}

TEST_P(WhatASignalDoes, InEachStage) {
    const Row& row = GetParam();
    AsioRuntime runtime;
    Invocation invocation(runtime, [](int) { throw std::logic_error("the process ended"); });
    std::vector<Completion<void>> held;  // answered by nobody, as by a server that is frozen
    std::optional<Outcome> outcome;
    std::string text;
    for (Stage stage : row.stages) {
        invocation.enter(stage);
        outcome.reset();
        asio::co_spawn(
            runtime.context(),
            [&]() -> asio::awaitable<void> {
                try {
                    co_await invocation.wait<void>(
                        [&](Completion<void> done) { held.push_back(done); });
                    outcome = Outcome::endedEarly;
                } catch (const Error& error) {
                    outcome = Outcome::failed;
                    text = error.description();
                }
            },
            asio::detached);
        runtime.context().poll();
        // The signals of a stage before the last one were taken there (a recording's).
        if (stage != row.stages.back()) {
            ::raise(SIGTERM);
            runtime.context().run_for(std::chrono::milliseconds(100));
        }
    }
    for (int signal : row.signals) {
        ::raise(signal);
        runtime.context().run_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(outcome.value_or(Outcome::waiting), row.outcome);
    EXPECT_EQ(invocation.interruption(), row.interruption);
    // The line names the signal that interrupted the recording, not the one that insisted.
    if (row.outcome == Outcome::failed) {
        EXPECT_EQ(text, interruptedError(*row.interruption).description());
    }
    // The last line's wait for its reader leaves signals their default effect again, but for a
    // repeat of a SIGTERM or SIGHUP that came, which would kill the process amid its last line.
    invocation.enter(Stage::ending);
    const bool termOrHupCame =
        row.stages.size() > 1 ||
        std::any_of(row.signals.begin(), row.signals.end(), [](int s) { return s != SIGINT; });
    const auto repeatAction = termOrHupCame ? SIG_IGN : SIG_DFL;
    EXPECT_TRUE(defaultAction(SIGINT));
    EXPECT_TRUE(hasAction(SIGTERM, repeatAction) && hasAction(SIGHUP, repeatAction));
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
}

using S = Stage;
INSTANTIATE_TEST_SUITE_P(
    Stages, WhatASignalDoes,
    ::testing::Values(
        Row{"AccessCheckEndsAtOnce", {S::accessCheck}, {SIGTERM}, Outcome::failed, SIGTERM},
        Row{"ContentQueryEndsAtOnce", {S::querying}, {SIGHUP}, Outcome::failed, SIGHUP},
        Row{"StartEndsAtOnce", {S::capturing}, {SIGINT}, Outcome::failed, SIGINT},
        Row{"RecordingEndsTheWaitEarly", {S::recording}, {SIGTERM}, Outcome::endedEarly, SIGTERM},
        Row{"ACompleteRecordingIsNotTurnedIntoAnError",
            {S::finishing},
            {SIGTERM, SIGHUP, SIGINT},
            Outcome::waiting,
            std::nullopt},
        Row{"ARepeatedTermOrHupNeverCostsTheFile",
            {S::recording, S::finishing},
            {SIGTERM, SIGHUP, SIGTERM},
            Outcome::waiting,
            SIGTERM},
        Row{"ASecondSigintInsists",
            {S::recording, S::stopping},
            {SIGINT, SIGINT},
            Outcome::failed,
            SIGTERM}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

TEST(Invocation, OnlyAValidRecordingRequestTakesTheSignals) {
    AsioRuntime runtime;
    Invocation invocation(runtime, [](int) { throw std::logic_error("the process ended"); });
    invocation.enter(Stage::readingArguments);
    EXPECT_TRUE(defaultAction(SIGINT));
    invocation.enter(Stage::accessCheck);
    EXPECT_FALSE(defaultAction(SIGINT));
}

}  // namespace
}  // namespace sorvanel
