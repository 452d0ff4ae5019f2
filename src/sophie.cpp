/*
 * The Sophie adapter. The body is written to a temporary file readable by
 * all, since the daemon runs as its own user. Over the daemon's UNIX
 * socket it gets the file's path and answers with one reply; over TCP it
 * gets the file's name and size, says "OK", takes the bytes and answers.
 * A reply starting with "1" names a virus. The connection and the file
 * are gone on every path, and a failed exchange lets the response pass.
 */
#include "sophie.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "connection.h"
#include "filebuf.h"
#include "hooks.h"
#include "log.h"
#include "network.h"

static int sophie_fail(CONNECTION_T *conn);
static int sophie_send_file(int fd, const std::string &path, int timeout_s);

/* The options, by position. */
static const FieldDecl sophie_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "socket",   FIELD_STRING },
    {  2, "host",     FIELD_STRING },
    {  3, "port",     FIELD_INT },
    {  4, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl sophie_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

SophieSection *sophie_section = nullptr;

SophieSection::SophieSection()
    : ScannerSection("sophie", LOG_ANTIVIRUS, "cached file already checked for viruses")
{
    fields_require(sophie_global_fields);
    list_require(0, "rule", sophie_rule_fields, std::size(sophie_rule_fields));
    processors.Add(sophie_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(sophie_buffcheck, PROCESSOR_BUFFCHECK);
}

int sophie_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return sophie_section ? sophie_section->check_match(conn) : 0;
}

int sophie_respcheck(CONNECTION_T *conn, Filebuf *body)
{
    return sophie_section ? sophie_section->check_and_block(conn, body) : 0;
}

int sophie_reply_parse(const std::string &line, const char *error_mark, std::string *name)
{
    if (line.compare(0, 1, "1") == 0) {
        size_t start = line.size() > 2 ? 2 : line.size();
        *name = scanner_printable(line.data() + start, line.data() + line.size());
        return SOPHIE_INFECTED;
    }
    if (line.compare(0, strlen(error_mark), error_mark) == 0)
        return SOPHIE_ERROR;
    return SOPHIE_CLEAN;
}

static int sophie_fail(CONNECTION_T *conn)
{
    putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    scanner_verdict_failed(conn);
    return 0;
}

/* The file's bytes in blocks of SOPHIE_BLOCK. Returns 0, or -1 after the
 * failure was logged. */
static int sophie_send_file(int fd, const std::string &path, int timeout_s)
{
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        putlog(LOG_ANTIVIRUS, "cannot open file");
        return -1;
    }
    ScannerFd closer(file);
    char block[SOPHIE_BLOCK];
    for (;;) {
        ssize_t n = read(file, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, unable to read the temporary file %s",
                   errno, strerror(errno), __func__, path.c_str());
            return -1;
        }
        if (n == 0)
            return 0;
        if (scanner_write(fd, block, (size_t)n, timeout_s) != 0) {
            putlog(LOG_ANTIVIRUS, "cann't write into socket");
            return -1;
        }
    }
}

/* The exchange over the UNIX socket at path. Returns a sophie_reply; a
 * failure is logged here, and an error reply by the caller. */
int SophieSection::scan_unix(CONNECTION_T *conn, const Filebuf *body, const std::string &path,
                             std::string *virus)
{
    ScannerFd daemon(scanner_connect(path, 0, net_ctimeout(conn)));
    if (daemon.fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
        scanner_verdict_failed(conn);
        return -1;
    }
    ScannerTempFile file(body, SCANNER_TEMP_PATH_MAX, 0644);
    if (file.path.empty()) {
        scanner_verdict_failed(conn);
        return -1;
    }
    int timeout = net_timeout(conn);
    std::string request = file.path + "\n";
    if (scanner_write(daemon.fd, request.data(), request.size(), timeout) != 0) {
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
        scanner_verdict_failed(conn);
        return -1;
    }
    ScannerReader reader(daemon.fd, timeout);
    std::string line;
    if (reader.line(&line, SOPHIE_UNIX_REPLY_MAX) != 1)
        return SOPHIE_ERROR;
    return sophie_reply_parse(line, "-1", virus);
}

/* The exchange over TCP with host:port. Results as scan_unix. */
int SophieSection::scan_tcp(CONNECTION_T *conn, const Filebuf *body, const std::string &host,
                            int port, std::string *virus)
{
    ScannerFd daemon(scanner_connect(host, port, net_ctimeout(conn)));
    if (daemon.fd == SCANNER_CONNECT_NO_HOST) {
        putlog(LOG_ANTIVIRUS, "Unknown host %s \n", log_text(host, SCANNER_LOG_TEXT_MAX).c_str());
        scanner_verdict_failed(conn);
        return -1;
    }
    if (daemon.fd < 0) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie failed");
        scanner_verdict_failed(conn);
        return -1;
    }
    ScannerTempFile file(body, SCANNER_TEMP_PATH_MAX, 0644);
    if (file.path.empty()) {
        scanner_verdict_failed(conn);
        return -1;
    }
    int timeout = net_timeout(conn);
    ScannerReader reader(daemon.fd, timeout);
    std::string base = file.path.substr(file.path.rfind('/') + 1);
    std::string request = base + "/" + std::to_string(file.size_bytes) + "\n";
    if (scanner_write(daemon.fd, request.data(), request.size(), timeout) != 0) {
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
        scanner_verdict_failed(conn);
        return -1;
    }
    std::string line;
    if (reader.line(&line, SOPHIE_TCP_REPLY_MAX) != 1 || line.compare(0, 2, "OK") != 0) {
        putlog(LOG_ANTIVIRUS, "'OK' not returned from Sophie");
        scanner_verdict_failed(conn);
        return -1;
    }
    if (sophie_send_file(daemon.fd, file.path, timeout) != 0) {
        scanner_verdict_failed(conn);
        return -1;
    }
    if (reader.line(&line, SOPHIE_TCP_REPLY_MAX) != 1)
        return SOPHIE_ERROR;
    return sophie_reply_parse(line, "-", virus);
}

int SophieSection::check_and_block(CONNECTION_T *conn, Filebuf *body)
{
    std::string page, daemon;
    int port;
    {
        SectionReadGuard guard(*this);
        const ScannerRule *rule = find(conn);
        if (!rule)
            return 0;
        page = template_choose(rule, 4);
        if (!fields[1].text.empty()) {
            daemon = fields[1].text;
            port = 0;
        } else {
            daemon = fields[2].text;
            port = fields[3].value;
        }
    }

    bool unix_socket = !daemon.empty() && daemon[0] == '/';
    std::string virus;
    int verdict = unix_socket ? scan_unix(conn, body, daemon, &virus)
                              : scan_tcp(conn, body, daemon, port, &virus);
    if (verdict < 0)
        return 0;   /* logged where it failed */
    switch ((sophie_reply)verdict) {
    case SOPHIE_ERROR:
        return sophie_fail(conn);
    case SOPHIE_CLEAN:
        putlog(LOG_ANTIVIRUS, unix_socket ? "no viruses detected by Sophie" : "No virus Found");
        scanner_verdict_clean(conn);
        return 0;
    case SOPHIE_INFECTED:
        putlog(LOG_ANTIVIRUS, "detected %s virus with Sophie", log_text(virus, SCANNER_NAME_MAX).c_str());
        return scanner_block(conn, "Sophie", "Sophie", virus, page, 200);
    }
    return sophie_fail(conn);
}
