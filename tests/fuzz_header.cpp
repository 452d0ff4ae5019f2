/* Fuzz target of the header parsers and the serialiser. Each input is
 * parsed as a request and as a response. What parses is copied, listed into
 * template variables and serialised for every send kind; every serialised
 * header must be exactly one header block without NUL bytes, and the forms
 * the proxy really sends must parse again; a request's path and host hold
 * no control byte. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "test_support.h"

static CONNECTION_T *fuzz_conn;

static void fuzz_check(bool ok)
{
    if (!ok)
        abort();
}

/* Serialises header for kind and checks the result; reparse says whether
 * this is a form the proxy sends, which must parse again. */
static void fuzz_serialise(const HEADER *header, int kind, bool reparse)
{
    Filebuf buffer;
    fuzz_check(header_send_filebuf(&buffer, header, fuzz_conn, kind) == FILEBUF_OK);
    std::string out(buffer.data ? buffer.data : "", (size_t)buffer.size);
    fuzz_check(memchr(out.data(), '\0', out.size()) == nullptr);
    fuzz_check((size_t)header_length(out.c_str(), out.size()) == out.size());
    if (!reparse)
        return;
    int rc = HEADER_OK;
    HEADER *again = header->type == HEADER_RESPONSE
                        ? http_header_parse_response(out.c_str(), &rc)
                        : http_header_parse_request(out.c_str(), &rc);
    /* regenerated lines may carry a block over the line limit */
    fuzz_check(again != nullptr || rc == HEADER_TOO_LARGE);
    if (again && header->type != HEADER_RESPONSE)
        fuzz_check(strcmp(again->method, header->method) == 0);
    http_header_free(again);
}

/* A request's path and host hold no blank, control byte or DEL. */
static void fuzz_target_clean(const HEADER *header)
{
    for (const char *text : { header->path, header->host })
        for (const char *p = text; p && *p; p++)
            fuzz_check((unsigned char)*p > 32 && (unsigned char)*p != 127);
}

static void fuzz_header(HEADER *header)
{
    HEADER *copy = http_header_dup(header);
    fuzz_check(copy != nullptr);
    header_variables(fuzz_conn, "FUZZ", copy->headers);
    fuzz_conn->variables.clear();

    bool response = header->type == HEADER_RESPONSE;
    bool absolute = header->type == HEADER_ABSOLUTE;
    bool connect = header->type == HEADER_CONNECT;
    fuzz_serialise(copy, HEADER_SEND_ORIGIN, absolute || header->type == HEADER_ORIGIN);
    /* A scheme without a default port gets port 0, which the absolute form
     * writes and no parser accepts back. */
    fuzz_serialise(copy, HEADER_SEND_PROXY, (absolute || connect) && header->port != 0);
    fuzz_serialise(copy, HEADER_SEND_RESPONSE, response);
    fuzz_serialise(copy, HEADER_SEND_ICAP_RESPONSE, false);

    via_header_update(fuzz_conn);
    conditional_header(copy, 0);
    http_header_free(copy);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    fuzz_conn = connection_new();
    fuzz_conn->keepalive_client = 1;
    fuzz_conn->interface = strdup("127.0.0.1");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* The parsers take NUL-terminated text, as header_get returns it. */
    std::string text((const char *)data, size);

    HEADER *request = http_header_parse_request(text.c_str(), nullptr);
    if (request) {
        fuzz_conn->header = request;
        fuzz_target_clean(request);
        fuzz_header(request);
        fuzz_conn->header = nullptr;
        http_header_free(request);
    }
    HEADER *response = http_header_parse_response(text.c_str(), nullptr);
    if (response) {
        fuzz_conn->rheader = response;
        xcache_header_update(fuzz_conn, 1);
        fuzz_header(response);
        fuzz_conn->rheader = nullptr;
        http_header_free(response);
    }
    return 0;
}
