/* The connection record's start values and the "bypass" command's options. */
#include <gtest/gtest.h>

#include <cstring>

#include "connection.h"

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
