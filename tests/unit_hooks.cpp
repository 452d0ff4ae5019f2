/* The callback registries and the timer list. */
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hooks.h"
#include "timers.h"

static std::string hooks_calls;
static int hooks_cb_a(CONNECTION_T *, Filebuf *) { hooks_calls += "a"; return 0; }
static int hooks_cb_b(CONNECTION_T *, Filebuf *) { hooks_calls += "b"; return 1; }
static int hooks_cb_c(CONNECTION_T *, Filebuf *) { hooks_calls += "c"; return 2; }

TEST(Hooks, ProcessorsRegisterOnceAndStopByKind)
{
    Processors p;
    EXPECT_EQ(1, p.Add(hooks_cb_a, PROCESSOR_REQCHECK));
    EXPECT_EQ(1, p.Add(hooks_cb_b, PROCESSOR_REQCHECK));
    EXPECT_EQ(1, p.Add(hooks_cb_c, PROCESSOR_REQCHECK));
    EXPECT_EQ(0, p.Add(hooks_cb_a, PROCESSOR_RESPMOD));   /* once, whatever the kind */
    EXPECT_EQ(3u, p.size());

    hooks_calls.clear();
    EXPECT_EQ(1, p.Execute(PROCESSOR_REQCHECK, nullptr, nullptr));
    EXPECT_EQ("ab", hooks_calls);                          /* stopped at b's 1 */
    EXPECT_EQ(0, p.Execute(PROCESSOR_AUTH, nullptr, nullptr));

    Processors all;
    all.Add(hooks_cb_a, PROCESSOR_RESPMOD);
    all.Add(hooks_cb_b, PROCESSOR_RESPMOD);
    all.Add(hooks_cb_c, PROCESSOR_RESPMOD);
    hooks_calls.clear();
    EXPECT_EQ(2, all.Execute(PROCESSOR_RESPMOD, nullptr, nullptr));
    EXPECT_EQ("abc", hooks_calls);                         /* every callback runs */

    EXPECT_EQ(1, all.Remove(hooks_cb_b));
    EXPECT_EQ(0, all.Remove(hooks_cb_b));
}

static int hook_one(void *, void *) { hooks_calls += "1"; return 1; }
static int hook_two(void *, void *) { hooks_calls += "2"; return 0; }

TEST(Hooks, HooksStopAtFirstOne)
{
    Hooks h;
    h.Add(hook_two, HOOK_CONFIG);
    h.Add(hook_one, HOOK_CONFIG);
    EXPECT_EQ(0, h.Add(hook_one, HOOK_PRERESPMOD));
    hooks_calls.clear();
    EXPECT_EQ(1, h.Execute(HOOK_CONFIG, nullptr, nullptr));
    EXPECT_EQ("21", hooks_calls);
    EXPECT_EQ(0, h.Execute(HOOK_POSTRESPMOD, nullptr, nullptr));
}

static std::string timer_calls;
static void timer_mark(void *arg) { timer_calls += (const char *)arg; }

TEST(Timers, DueOrderAndCatchUp)
{
    TIMERS *t = timers_init();
    time_t now = timers_now();
    timers_add(t, 1, TIMER_REPEAT, timer_mark, (void *)"a");
    timers_add(t, 1, TIMER_REPEAT, timer_mark, (void *)"b");
    timers_add(t, 3, 0, timer_mark, (void *)"o");

    timer_calls.clear();
    timers_check_at(t, now);          /* nothing due yet */
    EXPECT_EQ("", timer_calls);
    timers_check_at(t, now + 1);      /* same due time: insertion order */
    EXPECT_EQ("ab", timer_calls);

    /* Five seconds late: each repeating timer runs once, then is due a
     * second later instead of catching up on every missed interval. */
    timer_calls.clear();
    timers_check_at(t, now + 7);
    EXPECT_EQ("abo", timer_calls);
    timer_calls.clear();
    timers_check_at(t, now + 7);
    EXPECT_EQ("", timer_calls);
    timers_check_at(t, now + 8);
    EXPECT_EQ("ab", timer_calls);     /* the one-shot timer is gone */
    timers_free(t);
}

/* Requests walk the registry while a configuration load registers and
 * removes callbacks: a walk never sees a freed or half-moved list. Run
 * under the address sanitizer, the old in-place vector failed here. */
static int hooks_cb_count(CONNECTION_T *, Filebuf *) { return 0; }
static int hooks_cb_extra(CONNECTION_T *, Filebuf *) { return 0; }

TEST(Hooks, RegisteringWhileRequestsRunIsSafe)
{
    Processors p;
    p.Add(hooks_cb_count, PROCESSOR_REQCHECK);
    const Processor *first = &p.snapshot()[0];
    std::atomic<bool> stop(false);
    std::atomic<long> walks(0);
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; i++)
        readers.emplace_back([&] {
            while (!stop.load()) {
                EXPECT_EQ(0, p.Execute(PROCESSOR_REQCHECK, nullptr, nullptr));
                walks++;
            }
        });
    /* On a loaded machine the readers may start late: let every round of
     * registering overlap with walks that are already running. */
    while (walks.load() == 0)
        std::this_thread::yield();
    for (int round = 0; round < 2000; round++) {
        EXPECT_EQ(1, p.Add(hooks_cb_extra, PROCESSOR_REQCHECK));
        EXPECT_EQ(1, p.Remove(hooks_cb_extra));
    }
    stop = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_GT(walks.load(), 0);
    EXPECT_EQ(1u, p.size());
    /* A list once published stays readable: the first one is intact. */
    EXPECT_EQ(hooks_cb_count, first->callback);
}

/* Timers are due on the monotonic clock: what timers_add schedules runs at
 * timers_now() + interval, whatever the wall clock says. */
TEST(Timers, DueOnTheMonotonicClock)
{
    TIMERS *t = timers_init();
    time_t now = timers_now();
    timers_add(t, 2, 0, timer_mark, (void *)"m");
    timer_calls.clear();
    timers_check_at(t, now + 1);
    EXPECT_EQ("", timer_calls);
    timers_check_at(t, now + 3);
    EXPECT_EQ("m", timer_calls);
    timers_free(t);
}
