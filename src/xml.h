#pragma once

#include <pthread.h>

#include <cstddef>
#include <string>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}

/* The longest configuration URL; a longer one is refused, never cut. */
#define CONFIG_URL_MAX 254

/* How config_load treats the lists of the sections it loads. */
enum config_load_mode {
    CONFIG_LOAD_APPEND = 0,    /* entries read are appended to each list */
    CONFIG_LOAD_REPLACE = 1,   /* each list is emptied first */
    CONFIG_LOAD_STARTUP = 3,   /* as REPLACE; a failed load is a fatal error */
};

/* The configuration document of the last load that parsed, owned here and
 * replaced by each such load; nullptr before the first. Guarded by
 * documentlock, which also serialises every load and save. documentlock is
 * always taken before a section lock, never while one is held. */
extern tinyxml2::XMLDocument *document;
extern pthread_mutex_t documentlock;

/* The first child of the root element quillmere named name. Throws
 * ConfigError when there is no root or no such child. */
tinyxml2::XMLElement *section_select(tinyxml2::XMLDocument *doc, const char *name);

/* A cursor over the configuration document: on a section's element, or on
 * the entries of one of its lists. */
class XmlElement {
public:
    /* On the section's element; throws ConfigError when it has none. */
    XmlElement(tinyxml2::XMLDocument *doc, const std::string &section);
    /* On the first child named element of the section's element (empty
     * when there is none); throws ConfigError when the section has no
     * element. */
    XmlElement(tinyxml2::XMLDocument *doc, const std::string &section,
               const std::string &element);

    /* True while the cursor stands on an element. */
    bool full() const;
    /* Moves to the next sibling of the same name; returns full(). */
    bool next();
    /* The text of the current element's first child named name; "" when it
     * is missing or has no text. */
    std::string string_read(const std::string &name) const;
    /* The active attribute of the first child named name: true when absent
     * or "true" in any letter case, false for "false" in any letter case.
     * Throws ConfigError when the child is missing or the attribute has any
     * other value. */
    bool check_active(const std::string &name) const;
    std::string section_get() const;
    std::string element_get() const;

    tinyxml2::XMLElement *node;   /* the current element, or nullptr */
    std::string section;
    std::string element;          /* list name; "" on the section element */
};

/* Loads the configuration from a file, or from a URL when name holds a
 * colon between other characters, into every section present in it, in
 * Section::map order (mode: config_load_mode). Returns 1 when the document
 * was loaded into the sections, 0 when the load failed; with
 * CONFIG_LOAD_STARTUP a failure is a fatal error instead. */
[[nodiscard]] int config_load(int mode, std::string name);

/* Whether config_load takes name for a URL: split at colons (runs of
 * colons counting as one, empty pieces dropped), it gives two pieces or
 * more. */
bool config_name_is_url(const std::string &name);

/* The URL branch of config_load; same results. A name over
 * CONFIG_URL_MAX characters, or not a "http" URL, is refused. */
[[nodiscard]] int config_url_load(std::string name, int mode);

/* Loads a configuration document held in memory (a fetched body): parses
 * len bytes of text and loads every section as config_load does. Returns 1
 * or 0 like config_load; a text that does not parse changes nothing and
 * logs nothing. */
[[nodiscard]] int config_text_load(const char *text, size_t len, int mode);

/* Writes every section into document and saves it to path, replacing the
 * file only once the new content is completely written. Returns true when
 * the file was written. */
[[nodiscard]] bool config_save(const std::string &path);

/* Section::save(document) for every section in Section::map order; creates
 * the document and its root when missing. The caller holds documentlock. */
void config_xml_build();

/* Logs a line about a flawed configuration at LOG_ERROR; during the start
 * it also goes to standard error, so that the launcher shows it whole. */
void xml_flaw(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* The longest part of a configuration text or name copied into a log line
 * (through log_text). */
#define XML_LOG_TEXT_MAX 200
