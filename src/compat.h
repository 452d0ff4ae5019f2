#pragma once

#include <atomic>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdio>

/* Descriptor-creating calls. Each tries once; when the system's file table
 * is full (ENFILE) it frees the idle pooled connections (fd_failure) and
 * tries exactly once more, logging a failed retry. */
int s_open(const char *path, int flags, mode_t mode = 0);
int s_open64(const char *path, int flags, mode_t mode = 0);
FILE *s_fopen(const char *path, const char *mode);
DIR *s_opendir(const char *path);
int s_socket(int family, int type, int protocol);
/* Also relieves EMFILE (the process's own limit) and then backs off
 * briefly, so a full table cannot turn the accept loop into a busy loop;
 * its error line is written at most once a second. flags (SOCK_NONBLOCK,
 * SOCK_CLOEXEC) are set on the new descriptor in the same call. */
int s_accept(int socket, struct sockaddr *address, socklen_t *length, int flags = 0);

/* Logs and empties the client and server pools, the cheapest descriptors to
 * give up; pools not created yet are skipped. */
void fd_failure();

/* A test seam: when set, it is asked before each wrapped call and may
 * return an errno value to fail the call with (0 lets it run). */
extern int (*compat_fault_hook)(const char *call);

/* poll(); a wait (timeout not 0) is counted in poll_waiting while it
 * lasts, and releases the thread's held log line first. */
int p_poll(struct pollfd *fds, nfds_t count, int timeout);
/* The threads waiting in p_poll or a name lookup (p_gethostbyname) now:
 * with the workers in service, it tells the client pool how many of them
 * can go on at once without waiting for a peer. */
extern std::atomic<int> poll_waiting;
void *p_mremap(void *address, size_t old_size, size_t new_size, int flags);

/* One resolved IPv4 address in network order. */
struct HOSTENT {
    char *addr;   /* owned, 4 bytes */
    int len;      /* always 4 */
};

/* Resolves name; a new HOSTENT with the first address, or NULL. */
HOSTENT *p_gethostbyname(const char *name);
void hostent_free(HOSTENT *host);

/* Creates every directory of the path (made absolute) with mode 0755.
 * Returns 1, or -1 after an error line; a component that exists but is not
 * a directory, or a path over 255 characters, fails. */
int create_recursive_directory(const char *path);
