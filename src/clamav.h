#pragma once

#include <string>

#include "scanner.h"

class Filebuf;
struct CONNECTION_T;

/* The largest block of a body in one INSTREAM chunk. */
#define CLAMAV_CHUNK_MAX 65536
/* The longest reply line clamd may send, line feed included. */
#define CLAMAV_REPLY_MAX 1024

/* What a clamd reply line says. */
enum clamav_reply { CLAMAV_REPLY_CLEAN = 0, CLAMAV_REPLY_FOUND, CLAMAV_REPLY_ERROR };

/* The ClamAV virus scanner adapter (section "clamav"): streams bodies to
 * clamd with INSTREAM over its UNIX-domain socket or TCP. */
class ClamAVSection : public ScannerSection {
public:
    /* Registers clamav_respcheck, then clamav_buffcheck. */
    ClamAVSection();

    /* Scans body with clamd; see ScannerSection. */
    int check_and_block(CONNECTION_T *conn, Filebuf *body) override;
};

/* Judges a reply line (CR and LF stripped): two words ending in "OK" are
 * clean, three ending in "FOUND" a find whose name (the second word) goes
 * to name; anything else is an error. */
int clamav_reply_parse(const std::string &line, std::string *name);

/* The processor callbacks: check_match and check_and_block. */
int clamav_buffcheck(CONNECTION_T *conn, Filebuf *body);
int clamav_respcheck(CONNECTION_T *conn, Filebuf *body);

/* The one instance, created by sections_create. */
extern ClamAVSection *clamav_section;
