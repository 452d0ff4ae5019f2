#pragma once

#include <string>

class Section;

/* Thread table, global record and in-memory log, as config leaves them;
 * logging goes to memory only. */
void test_runtime_init();

/* True when a line of the in-memory log contains text. */
bool test_log_contains(const std::string &text);

/* Empties the in-memory log. */
void test_log_clear();

/* A new empty directory under the system's temporary directory. */
std::string test_temp_dir();

/* The source tree: $QUILL_SOURCE, or the parent of this file's directory. */
std::string test_source_dir();

/* Loads the shipped section description file into sectionxml, once per
 * process; false when it does not parse. */
bool test_description_load();

/* Whether a thread of its own gets section's read lock (its write lock
 * when write is set) without waiting; it gives the lock back at once. */
bool test_section_lock_elsewhere(Section &section, bool write);
