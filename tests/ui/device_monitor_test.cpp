// The device monitor: a burst of udev events gives one refresh once the events have been quiet
// for the settle time, arrivals and removals each on their own timer.

#include "ui/device_monitor.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "ui/qt_test_app.h"

namespace norvale {
namespace {

constexpr int kShortSettleMs = 60;

class DeviceMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        monitor_.SetSettleInterval(kShortSettleMs);
    }
    DeviceMonitor monitor_;
};

TEST_F(DeviceMonitorTest, BurstOfArrivalsRefreshesOnceAfterTheEventsWentQuiet) {
    EXPECT_EQ(DeviceMonitor().SettleInterval(), 5000);  // what a real insertion waits
    QSignalSpy arrivals(&monitor_, &DeviceMonitor::refreshAfterArrival);
    QSignalSpy removals(&monitor_, &DeviceMonitor::refreshAfterRemoval);
    // Events closer together than the settle time: each one pushes the refresh back.
    for (int i = 0; i < 6; ++i) {
        monitor_.SimulateArrival();
        QTest::qWait(kShortSettleMs / 3);
    }
    EXPECT_EQ(arrivals.count(), 0);
    EXPECT_TRUE(arrivals.wait(kShortSettleMs * 10));
    QTest::qWait(kShortSettleMs * 3);
    EXPECT_EQ(arrivals.count(), 1);
    EXPECT_EQ(removals.count(), 0);

    // A later event starts a new round.
    monitor_.SimulateArrival();
    EXPECT_TRUE(arrivals.wait(kShortSettleMs * 10));
    EXPECT_EQ(arrivals.count(), 2);
}

TEST_F(DeviceMonitorTest, ArrivalAndRemovalEachRefreshOnTheirOwnTimer) {
    QSignalSpy arrivals(&monitor_, &DeviceMonitor::refreshAfterArrival);
    QSignalSpy removals(&monitor_, &DeviceMonitor::refreshAfterRemoval);
    monitor_.SimulateRemoval();
    monitor_.SimulateArrival();
    monitor_.SimulateRemoval();  // a card swapped: the removal does not hold the arrival back
    QTest::qWait(kShortSettleMs * 4);
    EXPECT_EQ(arrivals.count(), 1);
    EXPECT_EQ(removals.count(), 1);
}

TEST_F(DeviceMonitorTest, StartingTwiceOrWithoutUdevLeavesTheTimersWorking) {
    // Containers and build machines may have no udev; either answer is fine, twice the same.
    const bool listening = monitor_.Start();
    EXPECT_EQ(monitor_.IsListening(), listening);
    EXPECT_EQ(monitor_.Start(), listening);
    QSignalSpy removals(&monitor_, &DeviceMonitor::refreshAfterRemoval);
    monitor_.SimulateRemoval();
    EXPECT_TRUE(removals.wait(kShortSettleMs * 10));
    EXPECT_EQ(removals.count(), 1);
}

}  // namespace
}  // namespace norvale
