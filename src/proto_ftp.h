#pragma once

#include <cstdint>
#include <string>

class Filebuf;
class Socket;
struct CONNECTION_T;

/* The most bytes of a directory listing the gateway reads; a longer one is
 * a bad response. */
#define FTP_LISTING_MAX ((int64_t)8 << 20)
/* The longest reply line kept; the rest of a longer line is dropped. */
#define FTP_LINE_MAX 2048
/* The most lines of one reply, and the most preliminary (1yz) replies
 * before a final one; past either the reply is malformed. */
#define FTP_REPLY_LINES_MAX 1000
#define FTP_PRELIMINARY_MAX 64
/* The FTP time-out when the section gives none. */
#define FTP_TIMEOUT_DEFAULT 60

/*
 * Serves an ftp:// request on the control connection the pipeline opened
 * (conn->server, maybe a pooled one already logged in): logs in, tells a
 * directory from a file, and answers with the listing page, a redirect to
 * the directory's URL, or the file, cached for anonymous users and
 * revalidated by its listing date. Every refusal is a template with status
 * 404. Returns 1 when the request completed (its access-log records are
 * written), -1 when it failed (no record; the server connection is not
 * pooled).
 */
int protocol_ftp(CONNECTION_T *conn);

/*
 * Reads replies from the control connection, each to its last line
 * ("ddd-" lines continue it), until one is not preliminary (1yz) or has
 * code1 or code2. Returns that reply's code, 0 for a reply without a code
 * (or too long), or -1 when no whole reply came within the FTP time-out.
 */
int ftp_code_wait(CONNECTION_T *conn, int code1, int code2);

/*
 * Opens a data connection for the command verb (with argument when not
 * NULL) and sends it: passive (PASV) or active (PORT) as the section says.
 * The data connection only ever reaches the FTP server. The command's
 * preliminary reply is read; a command the server refuses gives no
 * connection. Returns the data socket (the caller deletes it), or NULL.
 */
Socket *ftp_transfer_setup(CONNECTION_T *conn, const char *verb, const char *argument);

/* Reads length bytes (-1: until the server closes) from data into a new
 * buffer of at most limit bytes, the data socket standing in for the
 * server socket so that its observers see every block. *complete says
 * whether all came (for -1: a clean close within the limit). */
Filebuf *ftp_transfer_filebuf(CONNECTION_T *conn, Socket *data, int64_t length, int64_t limit,
                              bool *complete);

/* Relays length bytes (-1: until the server closes) from data to the
 * client the same way. Returns the bytes relayed; CONN_TRANSFER_FAILED is
 * set when the relay did not complete. */
int64_t ftp_transfer(CONNECTION_T *conn, Socket *data, int64_t length);

/* The read observer of a file's data connection: feeds the cache object,
 * counts download_bytes and the download allowance (the block that uses
 * it up fails the read). data is the CONNECTION_T. */
int protocol_ftp_read_callback(void *data, int64_t length, const char *bytes);

/* The Content-Type of an FTP file by its name's extension (compared
 * without case) from the system's table FTP_MIME_TYPES, read once;
 * "application/octet-stream" for a name without a known extension. */
#define FTP_MIME_TYPES "/etc/mime.types"
std::string ftp_content_type(const std::string &name);
