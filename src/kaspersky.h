#pragma once

#include <string>

#include "scanner.h"

class Filebuf;
struct CONNECTION_T;

/* The longest reply line of the daemon, line feed included. */
#define KASPERSKY_REPLY_MAX 1024
/* The longest temporary file path the daemon takes. */
#define KASPERSKY_PATH_MAX 63
/* The most progress lines (201, 321, 322, 325) one scan may bring. */
#define KASPERSKY_LINES_MAX 100

/* What one reply line of the daemon means. */
enum kaspersky_reply {
    KASPERSKY_READ_ON = 0,   /* progress, or 322 with the virus name */
    KASPERSKY_CLEAN,         /* 220 */
    KASPERSKY_INFECTED,      /* 230 */
    KASPERSKY_UNKNOWN,       /* any other code */
};

/* The Kaspersky virus scanner adapter (section "kaspersky"): the body goes
 * to a temporary file whose path is sent to the daemon's UNIX socket. */
class KasperskySection : public ScannerSection {
public:
    /* Registers kaspersky_respcheck, then kaspersky_buffcheck. */
    KasperskySection();

    /* Scans body with the daemon; see ScannerSection. */
    int check_and_block(CONNECTION_T *conn, Filebuf *body) override;
};

/* Judges one reply line (CR and LF stripped). A 322 line puts the virus
 * name (after the code and one separator, up to the first blank, at most
 * SCANNER_NAME_MAX bytes; empty when the line is too short) in name. */
int kaspersky_reply_parse(const std::string &line, std::string *name);

/* The processor callbacks: check_match and check_and_block. */
int kaspersky_buffcheck(CONNECTION_T *conn, Filebuf *body);
int kaspersky_respcheck(CONNECTION_T *conn, Filebuf *body);

/* The one instance, created by sections_create. */
extern KasperskySection *kaspersky_section;
