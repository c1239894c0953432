// The poll schedule on a clock of the test's own: idle is one poll a second,
// activity brings 5 ms polls for a quarter second, then the wait doubles back to
// the second; new activity starts over, and tick counts that wrap change nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/PollPace.h"

namespace kivro {
namespace {

struct Step {
    uint32_t now;
    uint32_t wait;
};

// Asks for the next wait at each step's tick, as the loop does once a pass.
void Expect(PollPace& pace, const std::vector<Step>& steps) {
    for (const Step& s : steps) EXPECT_EQ(pace.NextWait(s.now), s.wait) << "at tick " << s.now;
}

TEST(PollPace, IdleIsOnePollASecond) {
    PollPace pace;
    Expect(pace, {{0, 1000}, {1000, 1000}, {2000, 1000}, {0xFFFFFC18u, 1000}, {500, 1000}});
}

TEST(PollPace, ActivityPollsFastThenBacksOffToTheSecond) {
    PollPace pace;
    pace.Activity(10000);
    Expect(pace, {{10000, 5},
                  {10005, 5},
                  {10249, 5},
                  // The quarter second is over: one doubling per wait.
                  {10250, 10},
                  {10260, 20},
                  {10280, 40},
                  {10320, 80},
                  {10400, 160},
                  {10560, 320},
                  {10880, 640},
                  {11520, 1000},
                  {12520, 1000}});
}

TEST(PollPace, NewActivityStartsOverFromAnyStep) {
    PollPace pace;
    pace.Activity(0);
    Expect(pace, {{300, 10}, {310, 20}});
    pace.Activity(330);
    Expect(pace, {{340, 5}, {579, 5}, {580, 10}});
    for (uint32_t now = 600; now < 5000; now += 100) pace.NextWait(now);
    Expect(pace, {{5000, 1000}});
    pace.Activity(5001);
    Expect(pace, {{5001, 5}});
}

TEST(PollPace, TickCountThatWrapsKeepsTheSchedule) {
    PollPace pace;
    uint32_t start = 0xFFFFFFA0u;  // 96 ms before the count wraps
    pace.Activity(start);
    Expect(pace, {{start + 100, 5}, {start + 249, 5}, {start + 250, 10}, {start + 300, 20}});
}

}  // namespace
}  // namespace kivro
