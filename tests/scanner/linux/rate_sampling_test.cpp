// The two readings of the rate counters on the running machine's code path (HostSystem),
// with its clock and pause replaced by counted ones: the first reading is the one taken at
// program start, the second waits only for what remains of the sample interval, and the
// rates divide the counters' differences by the time that really passed.
#include <gtest/gtest.h>

#include <functional>

#include "WmiFixture.h"

namespace gravelin::testing {
namespace {

class CountedClockSystem : public HostSystem {
public:
    double clock = 0;
    std::vector<double> pauses;
    std::function<void()> duringPause;  // what the machine does while the scanner waits

protected:
    double monotonicSeconds() override { return clock; }
    void sleepSeconds(double seconds) override {
        pauses.push_back(seconds);
        clock += seconds;
        if (duringPause) duringPause();
    }
};

double interval() {
    return std::chrono::duration<double>(kCounterSampleInterval).count();
}

std::uint64_t pageFaultsPerSecond(LinuxWmiProvider& provider) {
    const auto objects =
        provider.query("root\\cimv2", "SELECT * FROM Win32_PerfFormattedData_PerfOS_Memory");
    if (objects.size() != 1) return 0;
    return std::stoull(text(objects[0], "PageFaultsPersec"));
}

// The laptop's counters as the fixture's second sample shows them: 7204 more page faults.
void countersMove(FixtureTree& tree) {
    tree.write("/proc/vmstat",
               readText(fs::path(GRAVELIN_FIXTURES_DIR) / "laptop/.fixture/sample2/proc/vmstat"));
}

TEST(RateSampling, ScanWorkFillsTheIntervalFromTheEarlyReading) {
    struct Case {
        double work;         // seconds of scanning before the rates are first needed
        double pause;        // what the second reading must still wait (0: none)
        std::uint64_t rate;  // 7204 page faults over the time that really passed
    };
    const double i = interval();
    const Case cases[] = {
        {0.0625, i - 0.0625, static_cast<std::uint64_t>(7204 / i)},
        {0.25, 0, 28816},  // the work outlasted the interval: no pause, 7204 / 0.25
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.work);
        FixtureTree tree{"laptop"};
        CountedClockSystem system;
        const RootFs fs(tree.mutableRoot());
        system.takeFirstCounterReading(fs);
        system.clock += c.work;
        countersMove(tree);
        LinuxWmiProvider provider(fs, system);
        const auto rate = pageFaultsPerSecond(provider);
        if (c.pause > 0) {
            ASSERT_EQ(system.pauses.size(), 1U);
            EXPECT_NEAR(system.pauses[0], c.pause, 1e-9);
        } else {
            EXPECT_TRUE(system.pauses.empty());
        }
        EXPECT_NEAR(static_cast<double>(rate), static_cast<double>(c.rate), 1.0);
        // Processor and memory share the two readings: no second pause.
        (void)provider.query("root\\cimv2", "SELECT * FROM Win32_Processor");
        EXPECT_LE(system.pauses.size(), 1U);
    }
}

TEST(RateSampling, WithoutAnEarlyReadingTheWholeIntervalIsWaited) {
    FixtureTree tree{"laptop"};
    CountedClockSystem system;
    const RootFs fs(tree.mutableRoot());
    system.clock = 5;
    system.duringPause = [&] { countersMove(tree); };
    LinuxWmiProvider provider(fs, system);
    const auto rate = pageFaultsPerSecond(provider);
    ASSERT_EQ(system.pauses.size(), 1U);
    EXPECT_NEAR(system.pauses[0], interval(), 1e-9);
    EXPECT_NEAR(static_cast<double>(rate), 7204 / interval(), 1.0);
}

TEST(RateSampling, TheEarlyReadingServesOneScanOnly) {
    FixtureTree tree{"laptop"};
    CountedClockSystem system;
    const RootFs fs(tree.root());
    system.takeFirstCounterReading(fs);
    system.clock = 10;  // long after: the early reading is used by the first scan ...
    EXPECT_EQ(system.firstCounterReading(fs).seconds, 0);
    // ... and a later one reads afresh.
    EXPECT_EQ(system.firstCounterReading(fs).seconds, 10);
}

// What the program does at its start: the running machine's first reading, taken before the
// platform exists, goes to the first HostSystem that reads "/", once; a fixture root never
// gets it.
TEST(RateSampling, ProgramStartReadingGoesToTheFirstHostOfTheRunningMachine) {
    const auto now = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    HostSystem::takeEarlyCounterReading();
    const double afterStart = now();
    FixtureTree tree{"laptop"};
    HostSystem fixtureHost;
    const auto fixtureReading = fixtureHost.firstCounterReading(RootFs(tree.root()));
    EXPECT_GE(fixtureReading.seconds, afterStart);
    EXPECT_NE(fixtureReading.stat, std::nullopt);

    HostSystem host;
    const RootFs machine("/");
    const auto first = host.firstCounterReading(machine);
    EXPECT_LE(first.seconds, afterStart);
    ASSERT_TRUE(first.stat.has_value());
    EXPECT_TRUE(first.stat->starts_with("cpu "));
    EXPECT_GE(HostSystem().firstCounterReading(machine).seconds, afterStart);
}

}  // namespace
}  // namespace gravelin::testing
