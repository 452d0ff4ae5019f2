#pragma once

#include <string>

#include "scanner.h"

class Filebuf;
struct CONNECTION_T;

/* The longest reply over the UNIX socket, and the longest reply line over
 * TCP, line feed included. */
#define SOPHIE_UNIX_REPLY_MAX 512
#define SOPHIE_TCP_REPLY_MAX 255
/* The block in which a file's bytes go to the daemon over TCP. */
#define SOPHIE_BLOCK 512

/* What a reply of the daemon says. */
enum sophie_reply { SOPHIE_CLEAN = 0, SOPHIE_INFECTED, SOPHIE_ERROR };

/* The Sophie virus scanner adapter (section "sophie"): the body goes to a
 * temporary file, whose path the daemon gets over its UNIX socket, or
 * whose name, size and bytes it gets over TCP. */
class SophieSection : public ScannerSection {
public:
    /* Registers sophie_respcheck, then sophie_buffcheck. */
    SophieSection();

    /* Scans body with the daemon; see ScannerSection. */
    int check_and_block(CONNECTION_T *conn, Filebuf *body) override;

private:
    int scan_unix(CONNECTION_T *conn, const Filebuf *body, const std::string &path,
                  std::string *virus);
    int scan_tcp(CONNECTION_T *conn, const Filebuf *body, const std::string &host, int port,
                 std::string *virus);
};

/* Judges a verdict (CR and LF stripped): "1" first is a find whose name is
 * the text from the third character on (empty when shorter), error_mark
 * first an error, anything else clean. */
int sophie_reply_parse(const std::string &line, const char *error_mark, std::string *name);

/* The processor callbacks: check_match and check_and_block. */
int sophie_buffcheck(CONNECTION_T *conn, Filebuf *body);
int sophie_respcheck(CONNECTION_T *conn, Filebuf *body);

/* The one instance, created by sections_create. */
extern SophieSection *sophie_section;
