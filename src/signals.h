#pragma once

/* Installs the signal handlers and the self-pipe they write to. The
 * process-directed signals (TERM, HUP, USR1, USR2) are blocked in the calling
 * thread and so in every thread it starts; only the thread that calls
 * signal_dispatch unblocks them. */
void signal_setup();

/* Waits up to timeout_ms for signals and runs their work in the calling
 * thread: logging, rotation, the shutdown steps. Called in a loop by the
 * timer thread, which unblocks the process-directed signals first. */
void signal_dispatch(int timeout_ms);

/* Marks the calling thread as the one that handles signals: unblocks the
 * process-directed signals in it. */
void signal_become_handler();

/* The orderly shutdown after a fatal error: logs "Recieved Signal for
 * Termination", runs the shutdown steps and exits with status 1. main
 * registers it, with startup_pending, as the fatal path's stop
 * (fatal_register in mem.h). */
[[noreturn]] void sigterm();

/* The shutdown steps followed by the exit with the given status. Only one
 * thread runs them; a second caller waits for the process to end. */
[[noreturn]] void shutdown_exit(int status);

/* Start-up reporting: until startup_done, startup_pending is true and what
 * stops the start is also written to standard error. In daemon mode that
 * leads (through the pipe of startup_set_pipe) to the launching process,
 * which exits with the start's status. */
void startup_set_pipe(int fd);
bool startup_pending();
void startup_done();

/* The PID file that this process wrote and removes when it stops. */
void shutdown_set_pidfile(const char *path);
