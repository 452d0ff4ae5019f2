/* Fuzz target of what an FTP server sends: control-connection replies and
 * directory listings with the HTML listing page. The first byte of an
 * input chooses which; the rest is the server's bytes.
 *
 * Replies are read over a socket pair until none is left: every code given
 * is a final one in 100-999 that starts a line of the input, or 0 or -1,
 * and every read takes bytes, so a hostile server cannot loop the reader.
 * A listing parses into entries with names from within one line and no
 * control byte that could break the page; sorting keeps every entry and
 * orders them; the page has exactly the markup of its rows: the counts of
 * "<" and of '"' grow by the same number per entry as for a plain name, so
 * nothing of a name escaped into markup. */
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "connection.h"
#include "dirlist.h"
#include "filebuf.h"
#include "header.h"
#include "interface_diag.h"
#include "proto_ftp.h"
#include "socket.h"
#include "fuzztest.h"
#include "test_support.h"

static size_t fuzz_count(const std::string &text, char c)
{
    size_t n = 0;
    for (char x : text)
        n += x == c;
    return n;
}

/* The listing page of list, as the client receives it (body only). */
static std::string fuzz_page(const dir_t *list)
{
    int fds[2];
    fuzz_pair(fds);
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.0.0.1");
    conn->client = new Socket(fds[0]);
    conn->keepalive_client = 1;
    conn->header = http_header_parse_request("GET ftp://f.test/pub/ HTTP/1.1\r\n\r\n");
    fuzz_check(conn->header != nullptr);
    show_dirlist(conn, list);
    delete conn->client;
    conn->client = nullptr;
    std::string out = fuzz_drain(fds[1]);
    close(fds[1]);
    http_header_free(conn->header);
    conn->header = nullptr;
    connection_free(conn);
    size_t body = out.find("\r\n\r\n");
    fuzz_check(body != std::string::npos);
    return out.substr(body + 4);
}

/* The markup of a page with no entries, and what one plain entry adds. */
static size_t base_lt, base_quote, entry_lt, entry_quote;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    std::string empty = fuzz_page(nullptr);
    struct tm t = {};
    t.tm_year = 100;
    t.tm_mday = 1;
    dir_t *one = dir_list_add(nullptr, 0, 0644, "o", "g", 5, &t, "plain");
    std::string page = fuzz_page(one);
    dir_list_free(one);
    base_lt = fuzz_count(empty, '<');
    base_quote = fuzz_count(empty, '"');
    entry_lt = fuzz_count(page, '<') - base_lt;
    entry_quote = fuzz_count(page, '"') - base_quote;
    return 0;
}

static void fuzz_replies(const std::string &sent, int code1, int code2)
{
    int fds[2];
    fuzz_pair(fds);
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.0.0.1");
    conn->server = new Socket(fds[0]);
    fuzz_send_all(fds[1], sent);
    shutdown(fds[1], SHUT_WR);
    for (size_t calls = 0;; calls++) {
        fuzz_check(calls <= sent.size() + 1);
        int code = ftp_code_wait(conn, code1, code2);
        if (code < 0)
            break;
        fuzz_check(code == 0 || (code >= 100 && code <= 999));
        if (code > 0) {
            /* A final reply, or one asked for, starting a line. */
            fuzz_check(code >= 200 || code == code1 || code == code2);
            char digits[5];
            snprintf(digits, sizeof digits, "%03d", code);
            fuzz_check(sent.compare(0, 3, digits) == 0 ||
                       sent.find("\n" + std::string(digits)) != std::string::npos);
        }
    }
    delete conn->server;
    conn->server = nullptr;
    close(fds[1]);
    connection_free(conn);
}

static bool fuzz_sorted(const dir_t *list, int order, int field)
{
    for (const dir_t *e = list; e && e->next; e = e->next) {
        const dir_t *a = order == DIR_SORT_ASCENDING ? e : e->next;
        const dir_t *b = order == DIR_SORT_ASCENDING ? e->next : e;
        if (field == DIR_SORT_NAME && strcasecmp(a->name, b->name) > 0)
            return false;
        if (field == DIR_SORT_DATE && a->mtime > b->mtime)
            return false;
        /* ascending sizes put directories first; descending is the exact
         * reverse */
        if (field == DIR_SORT_SIZE &&
            ((a->type == 0 && b->type == 1) || (a->type == b->type && a->size > b->size)))
            return false;
    }
    return true;
}

static size_t fuzz_length(const dir_t *list)
{
    size_t n = 0;
    for (const dir_t *e = list; e; e = e->next)
        n++;
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    std::string sent((const char *)data + 1, size - 1);
    if (data[0] & 1) {
        fuzz_replies(sent, 100 + data[0] % 100, 150);
        return 0;
    }

    Filebuf listing;
    fuzz_check(listing.Add(sent.data(), (int64_t)sent.size()) == FILEBUF_OK);
    dir_t *list = dir_list_parse(&listing);
    size_t lines = fuzz_count(sent, '\n') + 1;
    size_t entries = fuzz_length(list);
    fuzz_check(entries <= lines);
    for (const dir_t *e = list; e; e = e->next) {
        size_t n = strlen(e->name);
        fuzz_check(n > 0 && n <= sent.size() + 1);
        for (const char *p = e->name; *p; p++)
            fuzz_check(*p != '\n' && *p != '\r');
        fuzz_check(e->type == 0 || e->name[n - 1] == '/');
        fuzz_check(e->owner && e->group);
    }

    int field = 1 + data[0] / 2 % 3;
    int order = data[0] / 8 % 2;
    list = dir_list_sort(list, order, field);
    fuzz_check(fuzz_length(list) == entries);
    fuzz_check(list == nullptr || list->prev == nullptr);
    fuzz_check(fuzz_sorted(list, order, field));

    std::string page = fuzz_page(list);
    fuzz_check(fuzz_count(page, '<') == base_lt + entries * entry_lt);
    fuzz_check(fuzz_count(page, '"') == base_quote + entries * entry_quote);

    list = dir_list_filter(list, "a");
    for (const dir_t *e = list; e; e = e->next)
        fuzz_check(strpbrk(e->name, "aA") != nullptr);
    dir_list_free(list);
    return 0;
}
