// The worker gate with real threads and real time.
#include "base/unique_handle.h"
#include "base/worker_gate.h"
#include "support/timing.h"

#include <gtest/gtest.h>

#include <thread>

using drvtest::AtLeast;
using drvtest::AtMost;
using drvtest::FastestOf;

namespace {

class WorkerGateTest : public ::testing::Test {
protected:
    unique_handle stopEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HANDLE stop = stopEvent.get();
    CWorkerGate gate{stop};

    DWORD TimeWaitIdle(DWORD timeoutMs) {
        const DWORD begin = GetTickCount();
        gate.WaitIdle(timeoutMs);
        return GetTickCount() - begin;
    }
};

} // namespace

TEST_F(WorkerGateTest, IdleGateReturnsAtOnce) {
    EXPECT_LT(FastestOf(3, [&] { gate.WaitIdle(kShutdownWaitMs); }), kWaitStepMs / 2)
        << "no step is waited";
}

TEST_F(WorkerGateTest, ZeroTimeoutOnABusyGateReturnsAfterOneStep) {
    gate.Enter(1);
    EXPECT_GE(TimeWaitIdle(0), AtLeast(kWaitStepMs));
    EXPECT_LT(FastestOf(3, [&] { gate.WaitIdle(0); }), AtLeast(2 * kWaitStepMs))
        << "a second step was waited";
}

TEST_F(WorkerGateTest, WorkerThatNeverLeavesHoldsTheWaitForItsWholeLimit) {
    gate.Enter(1);
    const DWORD elapsed = TimeWaitIdle(kShutdownWaitMs);
    EXPECT_GE(elapsed, kShutdownWaitMs);
    EXPECT_LE(elapsed, AtMost(kShutdownWaitMs));
}

TEST_F(WorkerGateTest, CountSaturatesBetweenZeroAndTen) {
    for (int i = 0; i < 11; ++i) {
        gate.Enter(1);
    }
    EXPECT_EQ(gate.Count(), 10);
    for (int i = 0; i < 10; ++i) {
        gate.Leave(1);
    }
    EXPECT_EQ(gate.Count(), 0);
    EXPECT_LT(FastestOf(3, [&] { gate.WaitIdle(kShutdownWaitMs); }), kWaitStepMs / 2)
        << "an eleventh worker is not counted";

    EXPECT_TRUE(gate.Leave(1));
    EXPECT_EQ(gate.Count(), 0);
    gate.Enter(8);
    gate.Enter(5);
    EXPECT_EQ(gate.Count(), 10);
}

TEST_F(WorkerGateTest, WorkerLeavingDuringTheWaitIsNoticedAtTheNextStep) {
    gate.Enter(1);
    DWORD leftAt = 0;
    std::thread worker([&] {
        Sleep(350);
        leftAt = GetTickCount();
        gate.Leave(1);
    });
    gate.WaitIdle(kShutdownWaitMs);
    const DWORD returnedAt = GetTickCount();
    worker.join();
    // One step: far below the 10 s limit the wait would otherwise run to.
    EXPECT_LE(returnedAt - leftAt, AtMost(kWaitStepMs));
}

TEST_F(WorkerGateTest, ManyThreadsEnteringAndLeavingKeepTheCountExact) {
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                gate.Enter(1);
                gate.Leave(1);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(gate.Count(), 0);
}

TEST_F(WorkerGateTest, SignalledStopEventEndsTheWait) {
    constexpr DWORD stopAfterMs = 200;
    gate.Enter(1);
    std::thread stopper([&] {
        Sleep(stopAfterMs);
        SetEvent(stop);
    });
    const DWORD elapsed = TimeWaitIdle(kShutdownWaitMs);
    stopper.join();
    EXPECT_LT(elapsed, AtMost(stopAfterMs)) << "the wait ran on towards its 10 s limit";
    // With the lock free, a signalled stop event does not keep anyone out.
    gate.Enter(1);
    EXPECT_EQ(gate.Count(), 2);
}

// Without a stop event, or with one whose waits fail, the gate waits in steps all the same: only
// its count or its limit ends the wait.
class WorkerGateWithoutUsableStopEvent : public testing::TestWithParam<HANDLE> {};

TEST_P(WorkerGateWithoutUsableStopEvent, WaitsInStepsUntilItsLimit) {
    constexpr DWORD limitMs = 300;
    CWorkerGate gate(GetParam());
    gate.Enter(1);
    const DWORD begin = GetTickCount();
    gate.WaitIdle(limitMs);
    const DWORD elapsed = GetTickCount() - begin;
    EXPECT_GE(elapsed, limitMs);
    EXPECT_LT(elapsed, AtMost(limitMs));
}

// A value no handle of the process has: every wait on it fails.
INSTANTIATE_TEST_SUITE_P(StopEvents, WorkerGateWithoutUsableStopEvent,
                         testing::Values(HANDLE(nullptr), reinterpret_cast<HANDLE>(0x3FFFFF0)),
                         [](const testing::TestParamInfo<HANDLE>& info) {
                             return info.index == 0 ? "None" : "WaitsFail";
                         });
