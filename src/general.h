#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

/* One per-profile connection rule. Owns its compiled expression. */
struct General {
    General() = default;
    General(const General &other);
    General &operator=(const General &) = delete;
    ~General();

    bool enabled = false;
    std::string comment;
    StringList profiles;
    int ctimeout = 60;
    int timeout = 60;
    int keeptimeout = 60;
    int64_t maxdbuffer = 0;
    int64_t maxubuffer = 0;
    int bufferwait = 0;
    PortRangeList cportrange;
    std::string encodemime;
    regex_posix_t *encodemime_regex = nullptr;   /* NULL: compresses nothing */
    bool compressout = false;
    bool compressin = false;
    bool xforwardedfor = false;
    bool via = false;
};

/* The proxy's own settings and its per-profile connection rules (section
 * "general"). Every request uses the first enabled rule whose profiles
 * match; with none, the fixed defaults of the getters apply. */
class GeneralSection : public Section {
public:
    GeneralSection();

    /* Rebuilds the rules from list 0, disabled entries included (find skips
     * them); called with the write lock held. */
    void update() override;

    /* The getters take the read lock and read the chosen rule's value, or
     * the default when no rule matches: 60 s for the three time-outs, 0
     * for the buffers, the buffer wait and the switches. */
    int ctimeout_get(CONNECTION_T *conn);
    int timeout_get(CONNECTION_T *conn);
    int keeptimeout_get(CONNECTION_T *conn);
    int64_t maxdbuffer_get(CONNECTION_T *conn);
    int64_t maxubuffer_get(CONNECTION_T *conn);
    int bufferwait_get(CONNECTION_T *conn);
    int compressout_get(CONNECTION_T *conn);
    int compressin_get(CONNECTION_T *conn);
    int xforwardedfor_get(CONNECTION_T *conn);
    int via_get(CONNECTION_T *conn);
    /* 1 when the rule's CONNECT ports are empty or hold port (1 with no rule). */
    int cportrange_check(CONNECTION_T *conn, int port);
    /* 1 when the rule's expression matches the content type (0 with none). */
    int encodemime_check(CONNECTION_T *conn, const char *type);

    /* The text-to-HTML line length; 0 (also for a negative setting) means
     * no wrapping. */
    int linelength_get();
    int poolsize_get();
    int pooltimeout_get();
    /* Copies of the string options, taken under the read lock. */
    std::string hostname_get();
    std::string tempdir_get();

private:
    /* The first enabled rule whose profiles match; the caller holds the read
     * lock. NULL when none. */
    const General *find(CONNECTION_T *conn) const;

    std::vector<General> rules;
};

/* The one instance, created by sections_create. */
extern GeneralSection *general_section;
