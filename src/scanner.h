#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

/* The longest UNIX-domain socket path a daemon address may give: the size
 * of sun_path less its NUL. A longer one is refused, never cut short. */
#define SCANNER_UNIX_PATH_MAX 107
/* The blank-free template of every temporary file handed to a daemon. */
#define SCANNER_TEMP_TEMPLATE "ssXXXXXX"
/* The longest temporary file path an adapter without its own limit takes. */
#define SCANNER_TEMP_PATH_MAX 4095
/* The longest virus name taken from a daemon's reply. */
#define SCANNER_NAME_MAX 127

/* One scan rule of an adapter section, copied out of its entry by update().
 * archive_depth and options are read by F-Prot only. */
struct ScannerRule {
    bool enabled = false;
    std::string comment;
    StringList profiles;
    std::string template_name;   /* empty: the section's template */
    int archive_depth = 0;
    unsigned options = 0;
};

/*
 * The shape every virus-scanner adapter shares: the list "rule" of scan
 * rules (subsection 0), the first enabled rule whose profiles match the
 * connection, and the skip of a cached object that an earlier scan found
 * clean. A derived section scans in check_and_block; it reads its options
 * only through its own copy taken under the read lock.
 */
class ScannerSection : public Section {
public:
    /* skip_level and skip_text: the log line of a skipped clean object. */
    ScannerSection(const char *name, int skip_level, const char *skip_text);

    /* Rebuilds the rules from list 0 (fields 0-3), in order; called with
     * the write lock held. */
    void update() override;

    /* 1 when a rule applies to conn, so the body must be read whole; 0
     * when none does, and 0 too for a connection that only reads a cached
     * object already scanned clean (logged). Takes the read lock. */
    int check_match(CONNECTION_T *conn);

    /* 1 when the body is infected and the block page was sent; 0 when it
     * may pass (clean, no rule, or the scan failed, which is logged). */
    virtual int check_and_block(CONNECTION_T *conn, Filebuf *body) = 0;

protected:
    /* The first enabled rule whose profiles match conn; NULL when the
     * section is off or the connection bypasses the scanners. The caller
     * holds the read lock. */
    const ScannerRule *find(CONNECTION_T *conn) const;

    /* The block page for rule: its template, else the option at
     * template_field, else "virus". The caller holds the read lock. */
    std::string template_choose(const ScannerRule *rule, int template_field) const;

    std::vector<ScannerRule> rules;

private:
    int skip_level;
    const char *skip_text;
};

/* Verdicts of one scan, kept on the connection for the cache: an object is
 * marked clean only when a scanner passed it and none failed. */
void scanner_verdict_clean(CONNECTION_T *conn);
void scanner_verdict_failed(CONNECTION_T *conn);

/*
 * Answers an infected response: sets the template variables "VIRUSNAME"
 * and "AVSCANNER", sends the page page_name with status (closing the
 * client when no such page exists, so the body never follows), and fills
 * the log entry's filter name and reason. Returns 1.
 */
int scanner_block(CONNECTION_T *conn, const char *avscanner, const char *filter_name,
                  const std::string &virus, const std::string &page_name, int status);

/* The text without control bytes and at most max_bytes long, fit for a
 * page variable and the access log; log lines take log_text (log.h). */
std::string scanner_printable(const char *start, const char *end,
                              size_t max_bytes = SCANNER_NAME_MAX);
/* The longest configured address or host in a log line. */
#define SCANNER_LOG_TEXT_MAX 1024

/* Results of scanner_connect besides a descriptor (0 or more). */
enum scanner_connect_result {
    SCANNER_CONNECT_FAILED = -1,     /* refused, silent, or a path too long */
    SCANNER_CONNECT_NO_HOST = -2,    /* the host name did not resolve */
};

/* Connects to a daemon: a UNIX-domain stream socket when address begins
 * with "/" (port unused), else TCP to address:port. Waits at most
 * timeout_s seconds. Returns a non-blocking descriptor the caller closes,
 * or a scanner_connect_result. */
[[nodiscard]] int scanner_connect(const std::string &address, int port, int timeout_s);

/* Writes len bytes to fd within timeout_s seconds (for the whole write).
 * Returns 0, or -1 on an error, a closed peer or the time-out. */
[[nodiscard]] int scanner_write(int fd, const char *bytes, size_t len, int timeout_s);

/*
 * Reads a daemon's reply lines from a non-blocking descriptor. A line ends
 * at its line feed or where the daemon closes; it may hold at most
 * max_bytes bytes, line feed included. Every wait ends at the deadline set
 * at construction, so a silent or trickling daemon costs at most that.
 */
class ScannerReader {
public:
    ScannerReader(int fd, int timeout_s);

    /* Puts the next line, without its CR and LF, in line. Returns 1; 0
     * when the daemon closed before sending a byte of it; -1 on an error,
     * the time-out, or max_bytes bytes without a line feed. */
    [[nodiscard]] int line(std::string *line, size_t max_bytes);

private:
    int fd;
    int64_t deadline_ms;
    bool closed = false;
    std::string pending;
};

/*
 * A body written to a new file "<tempdir>/ssXXXXXX" (mode 0600, or mode),
 * deleted when the record goes. path is empty when creating or writing
 * failed (logged as a system error); a path longer than max_path bytes is
 * refused before anything is created.
 */
class ScannerTempFile {
public:
    ScannerTempFile(const Filebuf *body, size_t max_path, int mode = 0600);
    ~ScannerTempFile();
    ScannerTempFile(const ScannerTempFile &) = delete;
    ScannerTempFile &operator=(const ScannerTempFile &) = delete;

    std::string path;
    int64_t size_bytes = 0;
};

/* Closes the descriptor when the scan leaves its scope. */
class ScannerFd {
public:
    explicit ScannerFd(int fd) : fd(fd) {}
    ~ScannerFd();
    ScannerFd(const ScannerFd &) = delete;
    ScannerFd &operator=(const ScannerFd &) = delete;

    int fd;
};
