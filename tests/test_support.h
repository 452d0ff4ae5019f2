#pragma once

#include <string>

/* Thread table, global record and in-memory log, as config leaves them;
 * logging goes to memory only. */
void test_runtime_init();

/* True when a line of the in-memory log contains text. */
bool test_log_contains(const std::string &text);

/* Empties the in-memory log. */
void test_log_clear();

/* A new empty directory under the system's temporary directory. */
std::string test_temp_dir();
