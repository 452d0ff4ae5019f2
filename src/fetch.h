#pragma once

#include <cstdint>
#include <list>

class Filebuf;
struct CONNECTION_T;
struct HEADER;
struct HTTP_HEADER;
struct URL;

/* The most bytes of a body http_fetch reads; a longer one fails. */
#define FETCH_BODY_MAX ((int64_t)16 << 20)
/* Seconds http_fetch waits for the response header unless told
 * otherwise. */
#define FETCH_HEADER_TIMEOUT 60
/* The User-Agent of a fetch made without header lines of the caller. */
#define FETCH_USER_AGENT "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"

/* The result of http_fetch, owned by the caller and released with
 * httpresponse_free. */
struct HTTPRESPONSE {
    HEADER *header;   /* owned: the parsed response */
    Filebuf *body;    /* owned: the whole body */
};

/*
 * Fetches url with one GET of HTTP/1.1 on a connection of its own (no
 * client): directly, or on an idle pooled connection to the same server.
 * The request carries the caller's header lines, or with headers NULL only
 * the User-Agent FETCH_USER_AGENT; a URL with a user or password adds
 * Basic authorization. Returns a new response, or NULL when the URL is not
 * "http", nothing usable came back (no connection, no header or one that
 * does not parse), or the body was cut short, broken or over
 * FETCH_BODY_MAX. The caller logs. Runs on any thread. timeout_s: the
 * seconds to wait for the response header (at least 1).
 */
HTTPRESPONSE *http_fetch(URL *url, std::list<HTTP_HEADER> *headers,
                         int timeout_s = FETCH_HEADER_TIMEOUT);

/* Frees the header, the body and the record; NULL is ignored. */
void httpresponse_free(HTTPRESPONSE *response);

/* Releases a clientless record like http_fetch's (or proxy_test's caller's)
 * with its server socket and both headers. */
void fetch_conn_free(CONNECTION_T *conn);

/* Sends conn's request header to the origin server with the Authorization
 * "Basic " and the Base64 of "user:password" from the request (each empty
 * when absent), then takes the value off the header again. Returns 1 when
 * the header was sent, 0 when the write failed. */
int authenicate_basic_response(CONNECTION_T *conn);

/*
 * Sends conn's request along its route (conn->server, typically an
 * upstream proxy, already connected) to a listener of our own on the local
 * address of that connection, and captures the request as it arrives
 * there: on return conn->rheader holds the captured request (the caller
 * frees it), or is unchanged when nothing came within the general
 * time-out. The server connection is not reused afterwards.
 */
void proxy_test(CONNECTION_T *conn);
