/* URL commands: the labels parsed off host names and the first path
 * segment, their rendering and lookup, the Location of a followed redirect,
 * and the Referer rule with its 302, against a client on a socket pair. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "connection.h"
#include "conntest.h"
#include "header.h"
#include "log.h"
#include "socket.h"
#include "test_support.h"
#include "urlcommand.h"

namespace {

/* The commands rendered back, or "-" for none. */
std::string rendered(url_command_t **commands)
{
    if (!commands)
        return "-";
    char *text = url_command_create(commands);
    std::string out = text;
    free(text);
    return out;
}

struct ParseCase {
    const char *text;
    const char *commands;   /* rendered, "-" for none */
    const char *rest;
};

const ParseCase parse_cases[] = {
    { "xx--raw.xx--bypass[+k-a].example.org", "xx--raw.xx--bypass[+k-a].", "example.org" },
    /* The options may run past the label's dot; the label itself still ends there. */
    { "xx--Template[proxy.pac].example.org", "xx--Template[proxy.pac].", "pac].example.org" },
    { "xx--fresh", "-", "xx--fresh" },                      /* no dot: nothing */
    { "xx--raw[x.", "xx--raw.", "" },                       /* no "]": no options */
    { "XX--raw.host", "xx--raw.", "host" },                 /* the prefix in any case */
    { "example.org", "-", "example.org" },
    { "xx--raw.xx--fresh", "xx--raw.", "xx--fresh" },       /* a later label without dot stays */
    { "xx--a[].host", "xx--a[].", "host" },                 /* empty options are options */
    { "xx--[o].host", "xx--[o].", "host" },                 /* an empty name */
    { "xx--t[a]b.c", "xx--t[a].", "c" },
    /* The "]" is searched among as many bytes from the "[" as the label
     * is long: "xx--t[a" is 7 long, so the "]" must be within "[a.bcde". */
    { "xx--t[a.bcd]", "xx--t[a.bcd].", "bcd]" },
    { "xx--t[a.bcde]", "xx--t.", "bcde]" },
    { "", "-", "" },
    { "x-x--raw.host", "-", "x-x--raw.host" },
};

} // namespace

/* Every label shape lands in name and options and leaves the right rest. */
TEST(UrlCommand, ParseTable)
{
    for (const ParseCase &c : parse_cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        url_command_t **commands = url_command_parse(&text[0]);
        text.resize(strlen(text.c_str()));
        /* Rendering lower-cases nothing: compare the prefix without case. */
        std::string got = rendered(commands);
        EXPECT_EQ(0, strcasecmp(c.commands, got.c_str())) << got;
        EXPECT_EQ(c.rest, text);
        url_command_free(commands);
    }
}

/* Name and options are kept apart, NULL options mean no brackets, and
 * lookup ignores case but not spelling. */
TEST(UrlCommand, FieldsAndFind)
{
    char text[] = "xx--Template[proxy.pac].xx--raw.x";
    url_command_t **commands = url_command_parse(text);
    ASSERT_NE(nullptr, commands);
    EXPECT_STREQ("Template", commands[0]->name);
    EXPECT_STREQ("proxy.pac", commands[0]->options);
    EXPECT_EQ(nullptr, commands[1]);   /* the rest began "pac]." */

    char text2[] = "xx--raw.xx--Bypass[-a].host";
    url_command_t **more = url_command_parse(text2);
    ASSERT_NE(nullptr, more);
    EXPECT_EQ(nullptr, more[0]->options);
    EXPECT_EQ(more[1], url_command_find(more, "BYPASS"));
    EXPECT_EQ(more[0], url_command_find(more, "raw"));
    EXPECT_EQ(nullptr, url_command_find(more, "bypas"));
    EXPECT_EQ(nullptr, url_command_find(nullptr, "raw"));
    EXPECT_EQ(nullptr, more[2]);

    url_command_free(commands);
    url_command_free(more);
    url_command_free(nullptr);

    char *empty = url_command_create(nullptr);
    EXPECT_STREQ("", empty);
    free(empty);
}

/* Commands reach the log with control bytes escaped. */
TEST(UrlCommand, LogEscapes)
{
    char text[] = "xx--a\nforged[o\r].host";
    url_command_t **commands = url_command_parse(text);
    ASSERT_NE(nullptr, commands);
    test_log_clear();
    url_command_log(commands);
    EXPECT_TRUE(test_log_contains("command: a\\x0aforged, options: o\\x0d"));
    url_command_free(commands);
}

namespace {

/* A connection on a socket pair whose request may carry a host the parser
 * would refuse. */
class Client : public SocketPairClient {
public:
    /* Parses a request block into conn->header. With host, the parsed
     * host is replaced by it (and the URL rebuilt): the request parser
     * refuses brackets in a host, so command options arrive this way. */
    void request(const std::string &text, const char *host = nullptr)
    {
        ASSERT_TRUE(SocketPairClient::request(text));
        if (host) {
            header_field_set(&conn->header->host, host);
            header_complete(conn->header);
        }
    }
};

struct ExtractCase {
    const char *what;
    const char *request;
    const char *raw_host;   /* the host as the client wrote it, or NULL */
    int result;
    const char *commands;   /* the request's commands afterwards, "-" none */
    const char *host;       /* request host, "-" for none */
    const char *path;
    const char *referer;    /* "-" for none */
    const char *location;   /* the 302's Location, "-" when none was sent */
};

const ExtractCase extract_cases[] = {
    { "absolute URL with two commands",
      "GET http://placeholder/p HTTP/1.1\r\n\r\n",
      "xx--raw.xx--bypass[+k-a].example.org", 1, "xx--raw.xx--bypass[+k-a].", "example.org", "/p", "-", "-" },
    { "origin form, commands in the first segment",
      "GET /xx--raw./index.html HTTP/1.0\r\n\r\n",
      nullptr, 1, "xx--raw.", "-", "/index.html", "-", "-" },
    { "origin form, the segment is decoded first",
      "GET /xx--raw%2e/index.html HTTP/1.0\r\n\r\n",
      nullptr, 1, "xx--raw.", "-", "/index.html", "-", "-" },
    { "origin form, a single segment stays",
      "GET /xx--raw. HTTP/1.0\r\n\r\n",
      nullptr, 1, "-", "-", "/xx--raw.", "-", "-" },
    { "origin form with a Host header: only the header counts",
      "GET /xx--fresh./a HTTP/1.1\r\nHost: xx--raw.example.org:8080\r\n\r\n",
      nullptr, 1, "xx--raw.", "-", "/xx--fresh./a", "-", "-" },
    { "GET from a page with commands: redirected",
      "GET http://other.org/x?y=1 HTTP/1.1\r\nReferer: http://xx--bypass.example.org/page\r\n\r\n",
      nullptr, 0, "-", "other.org", "/x?y=1", "http://example.org/page",
      "http://xx--bypass.other.org:80/x?y=1" },
    { "POST from such a page takes the commands over",
      "POST http://other.org/x HTTP/1.1\r\nReferer: http://xx--bypass.example.org/page\r\n"
      "Content-Length: 0\r\n\r\n",
      nullptr, 1, "xx--bypass.", "other.org", "/x", "http://example.org/page", "-" },
    { "own commands win over the Referer's",
      "GET http://xx--raw.other.org/x HTTP/1.1\r\nReferer: http://xx--bypass.example.org/\r\n\r\n",
      nullptr, 1, "xx--raw.", "other.org", "/x", "http://example.org/", "-" },
    { "the Referer keeps every other byte as written",
      "POST http://other.org/ HTTP/1.1\r\n"
      "Referer: HTTPS://xx--bypass%2Eexample.org/a%20b+c?q=%41\r\n\r\n",
      nullptr, 1, "xx--bypass.", "other.org", "/", "HTTPS://example.org/a%20b+c?q=%41", "-" },
    { "a Referer without commands is untouched",
      "GET http://other.org/ HTTP/1.1\r\nReferer: http://example.org/a%20b\r\n\r\n",
      nullptr, 1, "-", "other.org", "/", "http://example.org/a%20b", "-" },
    { "a Host header with a port is split before the Location is built",
      "GET /path HTTP/1.1\r\nHost: example.org:8080\r\nReferer: http://xx--raw.a.org/\r\n\r\n",
      nullptr, 0, "-", "-", "/path", "http://a.org/", "http://xx--raw.example.org:8080/path" },
    { "origin form without any host takes the commands over",
      "GET /path HTTP/1.0\r\nReferer: http://xx--raw.a.org/\r\n\r\n",
      nullptr, 1, "xx--raw.", "-", "/path", "http://a.org/", "-" },
    { "a Referer without a scheme is parsed whole",
      "POST http://other.org/ HTTP/1.1\r\nReferer: xx--raw.a.org/x\r\n\r\n",
      nullptr, 1, "xx--raw.", "other.org", "/", "a.org/x", "-" },
};

} // namespace

/* The request's commands, what is left of host, path and Referer, and the
 * redirect, for each way commands can arrive. */
TEST(UrlCommand, ExtractTable)
{
    for (const ExtractCase &c : extract_cases) {
        SCOPED_TRACE(c.what);
        Client client;
        client.request(c.request, c.raw_host);
        CONNECTION_T *conn = client.conn;

        EXPECT_EQ(c.result, url_command_extract(conn));
        EXPECT_EQ(c.commands, rendered(conn->urlcommands));
        EXPECT_EQ(c.host, std::string(conn->header->host ? conn->header->host : "-"));
        EXPECT_EQ(c.path, std::string(conn->header->path));
        EXPECT_EQ(c.referer, std::string(conn->header->referer ? conn->header->referer : "-"));

        std::string sent = client.received();
        if (strcmp(c.location, "-") == 0) {
            EXPECT_EQ("", sent);
            continue;
        }
        std::unique_ptr<HEADER, void (*)(HEADER *)> response(
            http_header_parse_response(sent.c_str()), http_header_free);
        ASSERT_NE(nullptr, response.get()) << sent;
        EXPECT_EQ(302, response->status);
        EXPECT_STREQ(c.location, response->location);
        EXPECT_EQ(0, response->content_length);
        EXPECT_NE(0u, response->flags & HEADER_HAS_LENGTH);
        EXPECT_EQ(302, conn->logentry.status);
        EXPECT_EQ("quillmere", conn->logentry.peer);
        EXPECT_EQ(1, conn->keepalive_client);
    }
}

/* A second extraction replaces the first one's commands, and the URL of
 * an absolute request loses the labels with the host. */
TEST(UrlCommand, ExtractAgainAndUrl)
{
    Client client;
    client.request("GET http://xx--raw.example.org:8080/p HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(client.conn));
    EXPECT_STREQ("http://example.org:8080/p", client.conn->header->url);
    ASSERT_EQ(1, url_command_extract(client.conn));   /* no labels left now */
    EXPECT_EQ(nullptr, client.conn->urlcommands);
}

/* Command names decoded from a Referer cannot break the header: CR, LF and
 * blanks reach the Location percent-encoded. A GET that came with a body
 * cannot keep its connection, since the body was never read. */
TEST(UrlCommand, HostileRefererRedirect)
{
    Client client;
    client.request("GET http://other.org/ HTTP/1.1\r\nContent-Length: 4\r\n"
                   "Referer: http://xx--a%0d%0aSet-Cookie:%20x=1.example.org/\r\n\r\n");
    EXPECT_EQ(0, url_command_extract(client.conn));
    std::string sent = client.received();
    EXPECT_EQ(std::string::npos, sent.find("\r\nSet-Cookie")) << sent;
    EXPECT_NE(std::string::npos,
              sent.find("Location: http://xx--a%0D%0ASet-Cookie:%20x=1.other.org:80/\r\n"))
        << sent;
    EXPECT_NE(std::string::npos, sent.find("Connection: close\r\n")) << sent;
    EXPECT_EQ(0, client.conn->keepalive_client);
}

/* Without a client (an internal fetch) the redirect is not written, and
 * the request still counts as answered. */
TEST(UrlCommand, RedirectWithoutClient)
{
    Client client;
    client.request("GET http://other.org/ HTTP/1.1\r\nReferer: http://xx--raw.a.org/\r\n\r\n");
    client.conn->flags |= CONN_NOCLIENT;
    EXPECT_EQ(0, url_command_extract(client.conn));
    EXPECT_EQ("", client.received());
}

namespace {

struct AddCase {
    const char *request;     /* the request line's target */
    const char *location;
    const char *result;
};

const AddCase add_cases[] = {
    { "http://host/dir/page.html", "next.html", "http://xx--raw.host:80/dir/next.html" },
    { "http://host:8080/dir/page.html", "/abs?q", "http://xx--raw.host:8080/abs?q" },
    { "http://host/", "http://other.org/x", "http://xx--raw.other.org/x" },
    { "http://host/", "HTTP://other.org/x", "http://xx--raw.other.org/x" },
    /* Commands do not follow a change of scheme. */
    { "http://host/", "https://other.org/x", "https://other.org/x" },
    { "ftp://host/", "http://other.org/x", "http://other.org/x" },
    /* A protocol-relative Location takes the request's scheme. */
    { "http://host/", "//cdn.org/x", "http://xx--raw.cdn.org/x" },
    /* A "://" inside the path or query is no scheme. */
    { "http://host/a/b", "/go?to=http://x/", "http://xx--raw.host:80/go?to=http://x/" },
    { "http://host/a/b", "go?to=http://x/", "http://xx--raw.host:80/a/go?to=http://x/" },
    /* A "/" in the query is not a directory of the path. */
    { "http://host/dir/page?x=a/b", "next", "http://xx--raw.host:80/dir/next" },
    { "http://host", "next", "http://xx--raw.host:80/next" },
};

} // namespace

/* The Location of a redirect gets the commands in front of its host. */
TEST(UrlCommand, AddTable)
{
    for (const AddCase &c : add_cases) {
        SCOPED_TRACE(std::string(c.request) + " -> " + c.location);
        Client client;
        std::string target = c.request;
        target.insert(target.find("://") + 3, "xx--raw.");
        client.request("GET " + target + " HTTP/1.1\r\n\r\n");
        ASSERT_EQ(1, url_command_extract(client.conn));
        char *result = url_command_add(client.conn, c.location);
        EXPECT_STREQ(c.result, result);
        free(result);
    }
}

/* Options render in brackets; a result past 4095 characters would be cut
 * into another URL, so the Location passes without commands instead, and
 * exactly 4095 characters still carry them. */
TEST(UrlCommand, AddOptionsAndLimit)
{
    Client client;
    client.request("GET http://placeholder/ HTTP/1.1\r\n\r\n", "xx--bypass[+k-a].host");
    ASSERT_EQ(1, url_command_extract(client.conn));

    char *result = url_command_add(client.conn, "/x");
    EXPECT_STREQ("http://xx--bypass[+k-a].host:80/x", result);
    free(result);

    /* "http://xx--bypass[+k-a]." is 24 characters before the rest. */
    std::string rest = "other.org/" + std::string(URL_COMMAND_LOCATION_MAX - 24 - 10, 'a');
    std::string at_limit = "http://" + rest;
    result = url_command_add(client.conn, at_limit.c_str());
    EXPECT_EQ((size_t)URL_COMMAND_LOCATION_MAX, strlen(result));
    free(result);

    std::string past = at_limit + "b";
    result = url_command_add(client.conn, past.c_str());
    EXPECT_EQ(past, result);
    free(result);
}

/* Without commands a Location passes as it is. */
TEST(UrlCommand, AddWithoutCommands)
{
    Client client;
    client.request("GET http://host/ HTTP/1.1\r\n\r\n");
    ASSERT_EQ(1, url_command_extract(client.conn));
    char *result = url_command_add(client.conn, "next");
    EXPECT_STREQ("next", result);
    free(result);
}
