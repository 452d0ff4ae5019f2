#pragma once

#include <string>

#include "scanner.h"

class Filebuf;
struct CONNECTION_T;

/* The daemon answers over HTTP on 127.0.0.1 at the first of these ports
 * that is up. */
#define FPROT_PORT_FIRST 10200
#define FPROT_PORT_LAST 10204
/* The longest switch string a rule sends. */
#define FPROT_SWITCHES_MAX 1023

/* The bits of a rule's options, in the order of their switches. */
enum {
    FPROT_ARCHIVE = 0x1,
    FPROT_PACKED = 0x2,
    FPROT_AI = 0x4,
    FPROT_NOHEUR = 0x8,
    FPROT_NOMACRO = 0x10,
    FPROT_ONLYMACRO = 0x20,
};

/* What the daemon's XML answer says. */
enum fprot_reply { FPROT_CLEAN = 0, FPROT_INFECTED, FPROT_ERROR };

/* The F-Prot virus scanner adapter (section "fprot"): the body goes to a
 * temporary file, whose path the daemon gets in the URL of a GET, with
 * the rule's switches; it answers with an XML document. */
class FProtSection : public ScannerSection {
public:
    /* Registers fprot_respcheck, then fprot_buffcheck. */
    FProtSection();

    /* Rebuilds the rules with their archive depth and options; called
     * with the write lock held. */
    void update() override;

    /* Scans body with the daemon; see ScannerSection. */
    int check_and_block(CONNECTION_T *conn, Filebuf *body) override;
};

/* The switches of rule, each followed by "%20" (empty without options),
 * at most FPROT_SWITCHES_MAX characters. */
std::string fprot_switches(const ScannerRule &rule);

/* Judges the daemon's answer: an fprot_reply; with FPROT_INFECTED, name
 * holds the virus name (empty when the answer names none). Document-type
 * declarations with an internal subset are removed before parsing. */
int fprot_reply_parse(Filebuf *answer, std::string *name);

/* The processor callbacks: check_match and check_and_block. */
int fprot_buffcheck(CONNECTION_T *conn, Filebuf *body);
int fprot_respcheck(CONNECTION_T *conn, Filebuf *body);

/* The one instance, created by sections_create. */
extern FProtSection *fprot_section;
