/* The connection record's start values, the "bypass" command's options and
 * the response-body budget. */
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "connection.h"
#include "misc.h"

TEST(Connection, StartValues)
{
    CONNECTION_T *c = connection_new();
    EXPECT_EQ(ALLOWANCE_UNLIMITED, c->download_left);
    EXPECT_EQ(ALLOWANCE_UNLIMITED, c->upload_left);
    EXPECT_EQ(FORWARD_DIRECT, c->forward_type);
    for (int score : c->tavrin_scores)
        EXPECT_EQ(-1, score);
    EXPECT_EQ(0u, c->flags);
    EXPECT_EQ(nullptr, c->client);
    EXPECT_TRUE(c->profiles.empty());
    EXPECT_EQ("-", c->logentry.client);
    c->ip = strdup("10.1.2.3");   /* owned texts go with the record */
    c->user = strdup("alice@10.1.2.3");
    connection_free(c);
    connection_free(nullptr);
}

struct BypassCase { unsigned before; const char *options; unsigned after; };
static const BypassCase bypass_cases[] = {
    { 0, nullptr, 0xFFFFFFFFu },                                  /* no brackets: everything */
    { 0x12345, "", 0x12345 },                                     /* "[]" changes nothing */
    { 0, "-a+p", BYPASS_FORWARD },
    { BYPASS_ANTIVIRUS, "-a+p", BYPASS_FORWARD },
    { BYPASS_URLFILTER | BYPASS_MIME, "+-f", BYPASS_MIME },
    { 0, "xyz!?", 0 },                                            /* only unknown characters */
    { 0, "fhmrcwepkdai", 0x1BFFu },     /* every letter */
    { BYPASS_LIMITS | BYPASS_URLBL, "-fhmrcwepkdai", BYPASS_LIMITS | BYPASS_URLBL },
};

TEST(Connection, BypassOptions)
{
    for (const BypassCase &c : bypass_cases) {
        SCOPED_TRACE(c.options ? c.options : "(none)");
        EXPECT_EQ(c.after, bypass_apply(c.before, c.options));
    }
}

/* The response-body budget: maxdbuffer times the worker slots (at most
 * CONNECTION_RESPONSE_BUDGET_SHARES), at least CONNECTION_BODY_BUDGET_MIN. */
TEST(Connection, ResponseBudgetSize)
{
    const int64_t mib = (int64_t)1 << 20;
    struct { int64_t maxdbuffer; int64_t budget; } cases[] = {
        { 0, CONNECTION_BODY_BUDGET_MIN },
        { 1 * mib, CONNECTION_BODY_BUDGET_MIN },
        { 4 * mib, 4 * mib * CONNECTION_RESPONSE_BUDGET_SHARES },
        { INT64_MAX / 2, INT64_MAX },   /* no overflow */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.maxdbuffer);
        EXPECT_EQ(c.budget, connection_response_budget_bytes(c.maxdbuffer));
    }
}

/* Taking, raising, lowering and giving back: what the budget holds is the
 * sum of what the connections hold, and nothing past the budget is taken
 * except the one block forced past a refusal. */
TEST(Connection, ResponseBudgetBooks)
{
    const int64_t budget = connection_response_budget_bytes(0);
    const int64_t base = connection_response_held_bytes();
    CONNECTION_T *a = connection_new();
    CONNECTION_T *b = connection_new();
    EXPECT_TRUE(connection_response_reserve(a, budget / 2, 0, 0));
    EXPECT_TRUE(connection_response_reserve(a, budget / 4, 0, 0));   /* holds more already */
    EXPECT_EQ(budget / 2, a->response_reserved);
    EXPECT_FALSE(connection_response_reserve(b, budget - budget / 2 + 1, 0, 0));
    EXPECT_EQ(0, b->response_reserved);
    EXPECT_TRUE(connection_response_reserve(b, budget - budget / 2, 0, 0));
    EXPECT_EQ(base + budget, connection_response_held_bytes());
    connection_response_force(b, budget - budget / 2 + 8192);
    EXPECT_EQ(base + budget + 8192, connection_response_held_bytes());
    connection_response_trim(a, 1000);
    EXPECT_EQ(1000, a->response_reserved);
    connection_request_done(b);   /* a request's end gives back its share */
    EXPECT_EQ(0, b->response_reserved);
    connection_free(a);           /* and so does the connection's */
    EXPECT_EQ(base, connection_response_held_bytes());
    connection_free(b);
}

/* A taker that waits gets the room another connection gives back; one whose
 * room never comes gives up at its deadline, holding nothing new. */
TEST(Connection, ResponseBudgetWaits)
{
    const int64_t budget = connection_response_budget_bytes(0);
    CONNECTION_T *holder = connection_new();
    CONNECTION_T *waiter = connection_new();
    ASSERT_TRUE(connection_response_reserve(holder, budget, 0, 0));
    EXPECT_FALSE(connection_response_reserve(waiter, 1024, 0, monotonic_ms() + 50));
    EXPECT_EQ(0, waiter->response_reserved);
    std::thread giver([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        connection_response_trim(holder, 0);
    });
    EXPECT_TRUE(connection_response_reserve(waiter, 1024, 0, monotonic_ms() + 60000));
    giver.join();
    EXPECT_EQ(1024, waiter->response_reserved);
    /* More than the whole budget never fits: no wait at all. */
    EXPECT_FALSE(connection_response_reserve(waiter, waiter->response_reserved + budget + 1, 0,
                                             monotonic_ms() + 600000));
    connection_free(waiter);
    connection_free(holder);
}
