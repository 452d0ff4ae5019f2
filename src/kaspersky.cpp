/*
 * The Kaspersky adapter. The body is written to a temporary file and the
 * daemon, reached through its UNIX-domain socket, is told to scan it with
 * "SCAN <switches> <path>". It answers with lines that each start with a
 * three-digit code: progress lines (one of which, 322, names the virus)
 * and then a verdict, 220 clean or 230 infected. A daemon that closes,
 * goes silent, or answers with a code we do not know has not judged the
 * body: that is a failure, logged, and the response passes.
 */
#include "kaspersky.h"

#include <cctype>
#include <iterator>

#include "connection.h"
#include "filebuf.h"
#include "hooks.h"
#include "log.h"
#include "network.h"

static int kaspersky_fail(CONNECTION_T *conn);

/* The options, by position. */
static const FieldDecl kaspersky_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "template", FIELD_STRING },
    {  2, "socket",   FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl kaspersky_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

KasperskySection *kaspersky_section = nullptr;

KasperskySection::KasperskySection()
    : ScannerSection("kaspersky", LOG_ANTIVIRUS, "cached file already checked for viruses")
{
    fields_require(kaspersky_global_fields);
    list_require(0, "rule", kaspersky_rule_fields, std::size(kaspersky_rule_fields));
    processors.Add(kaspersky_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(kaspersky_buffcheck, PROCESSOR_BUFFCHECK);
}

int kaspersky_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return kaspersky_section ? kaspersky_section->check_match(conn) : 0;
}

int kaspersky_respcheck(CONNECTION_T *conn, Filebuf *body)
{
    return kaspersky_section ? kaspersky_section->check_and_block(conn, body) : 0;
}

int kaspersky_reply_parse(const std::string &line, std::string *name)
{
    int code = 0;
    size_t digits = 0;
    while (digits < line.size() && digits < 4 && isdigit((unsigned char)line[digits]))
        code = code * 10 + (line[digits++] - '0');
    if (digits != 3)
        return KASPERSKY_UNKNOWN;
    switch (code) {
    case 201:
    case 321:
    case 325:
        return KASPERSKY_READ_ON;
    case 322: {
        /* The code, one separator, then the name up to the first blank. */
        size_t start = line.size() > 4 ? 4 : line.size();
        size_t end = line.find(' ', start);
        if (end == std::string::npos)
            end = line.size();
        *name = scanner_printable(line.data() + start, line.data() + end);
        return KASPERSKY_READ_ON;
    }
    case 220:
        return KASPERSKY_CLEAN;
    case 230:
        return KASPERSKY_INFECTED;
    default:
        return KASPERSKY_UNKNOWN;
    }
}

static int kaspersky_fail(CONNECTION_T *conn)
{
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    scanner_verdict_failed(conn);
    return 0;
}

int KasperskySection::check_and_block(CONNECTION_T *conn, Filebuf *body)
{
    std::string page, socket_path;
    {
        SectionReadGuard guard(*this);
        const ScannerRule *rule = find(conn);
        if (!rule)
            return 0;
        page = template_choose(rule, 1);
        socket_path = fields[2].text;
    }

    /* A relative path would name a file the daemon does not know. */
    ScannerFd daemon(socket_path.empty() || socket_path[0] != '/'
                         ? SCANNER_CONNECT_FAILED
                         : scanner_connect(socket_path, 0, net_ctimeout(conn)));
    if (daemon.fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Kaspersky daemon failed");
        return kaspersky_fail(conn);
    }

    ScannerTempFile file(body, KASPERSKY_PATH_MAX);
    if (file.path.empty())
        return kaspersky_fail(conn);

    int timeout = net_timeout(conn);
    std::string command = "SCAN xmQPRSTUWabcdefghi " + file.path + "\r\n";
    if (scanner_write(daemon.fd, command.data(), command.size(), timeout) != 0)
        return kaspersky_fail(conn);

    ScannerReader reader(daemon.fd, timeout);
    std::string line, name;
    int verdict = KASPERSKY_READ_ON;
    for (int lines = 0; verdict == KASPERSKY_READ_ON; lines++) {
        if (lines > KASPERSKY_LINES_MAX || reader.line(&line, KASPERSKY_REPLY_MAX) != 1)
            return kaspersky_fail(conn);
        verdict = kaspersky_reply_parse(line, &name);
    }
    static const char quit[] = "QUIT\r\n";
    (void)scanner_write(daemon.fd, quit, sizeof quit - 1, timeout);

    switch ((kaspersky_reply)verdict) {
    case KASPERSKY_READ_ON:
        break;
    case KASPERSKY_UNKNOWN:
        putlog(LOG_WARNING, "unknown response from Kaspersky daemon: %s",
               log_text(line, SCANNER_NAME_MAX).c_str());
        return kaspersky_fail(conn);
    case KASPERSKY_CLEAN:
        putlog(LOG_ANTIVIRUS, "no viruses detected by Kaspersky");
        scanner_verdict_clean(conn);
        return 0;
    case KASPERSKY_INFECTED:
        putlog(LOG_ANTIVIRUS, "detected %s virus with Kaspersky", log_text(name, SCANNER_NAME_MAX).c_str());
        return scanner_block(conn, "Kaspersky", "Kaspersky", name, page, 200);
    }
    return kaspersky_fail(conn);
}
