#pragma once

/*
 * The process frame: the run-as user and group, the PID file, config (every
 * process-wide object in a fixed order) and the accept loop. The settings
 * it starts from are in options.h.
 */
/* 0 when the PID file was written, the process id of a live daemon named in
 * it, or 1 when the file cannot be created. */
[[nodiscard]] int pid_check(const char *path);

/* Switch the group and the user, or record the current ones; they return
 * only on success and end the process with status 1 otherwise. */
void fix_gid();
void fix_uid();

/* Builds every process-wide object in the fixed order. */
void config();
/* config, then accept connections for ever. */
[[noreturn]] void mainloop();
/* Writes the rating feed file from the previous run's access log. */
void create_feedlog();

/* The whole program; the executable's main only calls it. */
int quillmere_main(int argc, char **argv);

