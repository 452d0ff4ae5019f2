#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "configtypes.h"
#include "misc.h"
#include "section.h"

class LimitGroup;
struct CONNECTION_T;

/* The options of a limit rule's flags. */
enum {
    LIMIT_CACHED = 0x1,        /* cache hits count against the download cap */
    LIMIT_EXCLUDE = 0x2,       /* the rule's requests are not booked */
    LIMIT_SHARED_RATE = 0x4,   /* one bandwidth group for all the rule's connections */
};

/* A rate below this many bytes per second limits nothing. */
#define LIMIT_RATE_MIN 10

/* The allowance the limit lines print for "no limit". */
#define LIMIT_UNLIMITED_TEXT "4294967295"

/* counter + n, stopping at the largest value instead of wrapping. */
uint64_t limit_add(uint64_t counter, uint64_t n);

/* What is left of cap after used: 0 once used reaches or passes it. */
uint64_t limit_remainder(uint64_t cap, uint64_t used);

/*
 * One limit rule, copied out of an entry of the list limit, with its
 * counters of the current window. Counters are 64-bit and never wrap;
 * finished requests add to them under the section's read lock, so they are
 * atomics, and they are cleared under its write lock. A copy shares the
 * bandwidth group (one more reference).
 */
struct Limit {
    explicit Limit(const Item &item);
    Limit(const Limit &other);
    Limit &operator=(const Limit &) = delete;
    ~Limit();

    /* enabled, the profiles and the window at now. */
    bool matches(const StringList &request_profiles, const struct tm *now) const;
    /* Whether now lies in the window; always without a window. */
    bool inside(const struct tm *now) const;

    int enabled = 0;
    std::string comment;
    StringList profiles;
    int deny = 0;
    std::string template_name;
    uint64_t downloadlimit = 0;   /* 0: no cap */
    uint64_t uploadlimit = 0;
    uint32_t maxrequests = 0;
    uint64_t rate = 0;            /* bytes per second; below LIMIT_RATE_MIN none */
    int recurring = 0;
    unsigned flags = 0;           /* LIMIT_* */
    tm_partial from = {};
    tm_partial to = {};
    bool windowed = false;        /* some window component is active */
    std::atomic<uint64_t> downloaded{0};   /* counters of the current window */
    std::atomic<uint64_t> uploaded{0};
    std::atomic<uint64_t> requests{0};
    LimitGroup *group = nullptr;  /* with LIMIT_SHARED_RATE, one reference */
};

/* A rule's counters, for tests and status pages. */
struct LimitCounters {
    uint64_t downloaded;
    uint64_t uploaded;
    uint64_t requests;
};

/*
 * The limits (section "limits"): time windows, request counts, transfer
 * caps and bandwidth. Each matching rule refuses the request or restricts
 * it; the counters of a rule are shared by every connection it matches and
 * cleared by the timer once the time lies outside the rule's window.
 */
class LimitSection : public Section {
public:
    LimitSection();

    /* Rebuilds the rules from list 0 (every entry, enabled or not) with
     * counters at 0 and new shared groups; called with the write lock
     * held. */
    void update() override;

    /*
     * The check of a request (after authentication and profiles): resets
     * the request's allowances, refuses it (deny window, request count,
     * a body over the upload allowance) or sets its download and upload
     * allowances and the client socket's bandwidth group. Returns 1 when
     * it answered the request with a refusal page, else 0. The page is
     * sent after the section lock is released. An admitted request books
     * one request in every matching rule with a request count (but those
     * with exclude) at once, so parallel requests never pass a cap
     * together; a refused one books none.
     */
    int check_and_block(CONNECTION_T *conn);
    int check_and_block_at(CONNECTION_T *conn, const struct tm *now);

    /* Books a finished request (whose header was read) against every
     * matching rule without exclude, under the read lock: its bytes. Its
     * request was booked when the check admitted it, and is given back
     * here when the request never reached a server (conn->limit_served
     * unset): a refusal after the limits costs no request. */
    void update(CONNECTION_T *conn);
    void update_at(CONNECTION_T *conn, const struct tm *now);

    /* Clears the counters of the rules whose window does not hold now;
     * the write lock is taken only when there is one to clear. */
    void reset();
    void reset_at(const struct tm *now);

    /* The counters of rule index (in configuration order); false when
     * there is no such rule. */
    bool counters_get(size_t index, LimitCounters *out);

private:
    /* Gives back the requests conn booked; the caller holds the lock. */
    void release(CONNECTION_T *conn);

    const int *enabled;
    std::vector<Limit> rules;
    uint64_t generation = 0;   /* counts rebuilds: a booking names its rules */
};

/* The one instance, created by sections_create. */
extern LimitSection *limit_section;

/* The timer callback: LimitSection::reset on the section; arg unused. */
void limits_reset(void *arg);

/* After a request was booked: nothing of it is left for the next request
 * (no bytes counted, no allowance in force). */
void limits_request_clear(CONNECTION_T *conn);
