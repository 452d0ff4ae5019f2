/*
 * The ClamAV adapter. A buffered response body goes to clamd on one
 * connection (its UNIX-domain socket, or TCP) with the INSTREAM command:
 * the body in chunks of at most 64 KiB, each after its length in four
 * bytes in network order, then a zero length. clamd answers with one line
 * naming the stream and its verdict. Anything but a clean or a found line
 * is an error, and an error lets the response through, logged.
 */
#include "clamav.h"

#include <arpa/inet.h>

#include <cstring>
#include <iterator>

#include "connection.h"
#include "filebuf.h"
#include "hooks.h"
#include "log.h"
#include "network.h"

static int clamav_send(int fd, const Filebuf *body, int timeout_s);
static int clamav_fail(CONNECTION_T *conn);

/* The options, by position. */
static const FieldDecl clamav_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "address",  FIELD_STRING },
    {  2, "port",     FIELD_INT },
    {  3, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl clamav_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

ClamAVSection *clamav_section = nullptr;

ClamAVSection::ClamAVSection()
    : ScannerSection("clamav", LOG_DEBUG, "ClamAV: cached file already checked for viruses")
{
    fields_require(clamav_global_fields);
    list_require(0, "rule", clamav_rule_fields, std::size(clamav_rule_fields));
    processors.Add(clamav_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(clamav_buffcheck, PROCESSOR_BUFFCHECK);
}

int clamav_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return clamav_section ? clamav_section->check_match(conn) : 0;
}

int clamav_respcheck(CONNECTION_T *conn, Filebuf *body)
{
    return clamav_section ? clamav_section->check_and_block(conn, body) : 0;
}

int clamav_reply_parse(const std::string &line, std::string *name)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size() && words.size() <= 3) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
        if (i > start)
            words.emplace_back(line, start, i - start);
    }
    if (words.size() == 2 && words[1] == "OK")
        return CLAMAV_REPLY_CLEAN;
    if (words.size() == 3 && words[2] == "FOUND") {
        *name = words[1];
        return CLAMAV_REPLY_FOUND;
    }
    return CLAMAV_REPLY_ERROR;
}

/* The command and the body in INSTREAM chunks, then the end mark. Returns
 * 0, or -1 when a write failed or timed out. */
static int clamav_send(int fd, const Filebuf *body, int timeout_s)
{
    static const char command[] = "nINSTREAM\n";
    if (scanner_write(fd, command, sizeof command - 1, timeout_s) != 0)
        return -1;
    const char *p = body ? body->data : nullptr;
    int64_t left = body ? body->size : 0;
    while (left > 0) {
        uint32_t n = (uint32_t)(left > CLAMAV_CHUNK_MAX ? CLAMAV_CHUNK_MAX : left);
        uint32_t wire = htonl(n);
        if (scanner_write(fd, (const char *)&wire, sizeof wire, timeout_s) != 0 ||
            scanner_write(fd, p, n, timeout_s) != 0)
            return -1;
        p += n;
        left -= n;
    }
    uint32_t end = 0;
    return scanner_write(fd, (const char *)&end, sizeof end, timeout_s);
}

static int clamav_fail(CONNECTION_T *conn)
{
    putlog(LOG_ANTIVIRUS, "error: ClamAV: failed to check file for viruses");
    scanner_verdict_failed(conn);
    return 0;
}

int ClamAVSection::check_and_block(CONNECTION_T *conn, Filebuf *body)
{
    std::string page, address;
    int port;
    {
        SectionReadGuard guard(*this);
        const ScannerRule *rule = find(conn);
        if (!rule)
            return 0;
        page = template_choose(rule, 3);
        address = fields[1].text;
        port = fields[2].value;
    }

    ScannerFd daemon(scanner_connect(address, port, net_ctimeout(conn)));
    if (daemon.fd < 0) {
        if (!address.empty() && address[0] == '/')
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s",
                   log_text(address, SCANNER_LOG_TEXT_MAX).c_str());
        else
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s:%d",
                   log_text(address, SCANNER_LOG_TEXT_MAX).c_str(), port);
        return clamav_fail(conn);
    }

    int timeout = net_timeout(conn);
    if (clamav_send(daemon.fd, body, timeout) != 0) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Write Permissions");
        return clamav_fail(conn);
    }

    ScannerReader reader(daemon.fd, timeout);
    std::string line;
    if (reader.line(&line, CLAMAV_REPLY_MAX) != 1) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
        return clamav_fail(conn);
    }

    std::string name;
    switch ((clamav_reply)clamav_reply_parse(line, &name)) {
    case CLAMAV_REPLY_CLEAN:
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "ClamAV: no viruses found");
        scanner_verdict_clean(conn);
        return 0;
    case CLAMAV_REPLY_FOUND: {
        std::string virus = scanner_printable(name.data(), name.data() + name.size());
        putlog(LOG_ANTIVIRUS, "ClamAV: detected %s virus", log_text(virus, SCANNER_NAME_MAX).c_str());
        return scanner_block(conn, "ClamAV", "ClamAV", virus, page, 200);
    }
    case CLAMAV_REPLY_ERROR:
        break;
    }
    return clamav_fail(conn);
}
