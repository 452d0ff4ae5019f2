#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "configtypes.h"

/*
 * The configuration model. A section is one object of a class derived from
 * Section; its global values are a FieldVector, its rule lists Subsections
 * of Items, each Item a FieldVector of its own. The shape of every section
 * (field names, types, defaults, option lists, lists and their templates)
 * comes from the section description document (sectionxml), read once when
 * the section is constructed.
 *
 * How a section class is written:
 *
 *   // The fields this class reads, by position: a description that lacks
 *   // one, names it differently or gives it another type stops the start.
 *   static const FieldDecl access_globals[] = {
 *       { 0, "allow_first", FIELD_BOOL },
 *       { 1, "realm",       FIELD_STRING },
 *   };
 *   static const FieldDecl access_rule[] = {
 *       { 0, "enabled",  FIELD_BOOL },
 *       { 1, "profiles", FIELD_STRING_LIST },
 *       { 2, "ip",       FIELD_IP_RANGE_LIST },
 *   };
 *
 *   class AccessSection : public Section {
 *   public:
 *       AccessSection() : Section("access", SECTION_RWLOCK)
 *       {
 *           fields_require(access_globals);
 *           list_require(0, "allow", access_rule);
 *           list_require(1, "deny", access_rule);
 *           // register callbacks, keep references to global members:
 *           // &fields[0].value stays valid for the life of the section.
 *       }
 *       void update() override
 *       {
 *           // Called with the write lock held after every change: discard
 *           // the rule objects and rebuild them from subsections[i].items,
 *           // in list order. A section without rules yet does nothing.
 *       }
 *       bool allow_first()
 *       {
 *           return atomic_read(&fields[0].value) != 0;
 *       }
 *   };
 *
 * Request-time code reads values under the section's lock, held by a guard:
 *
 *   SectionReadGuard guard(*this);
 *   for (const Item &rule : subsections[0].items)
 *       if (rule.fields[0].value && rule.fields[2].ipranges.has(ip)) ...
 *
 * Lists without required fields are checked with list_require(i, "name").
 * The members each type fills are listed with field_type below.
 */

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}
class XmlElement;
class Subsection;
class Filebuf;
class CGIMap;
struct CONNECTION_T;
struct regex_posix_t;

/* Field type codes and the members that carry each type's value. The type
 * strings of the description are the names without the prefix. */
enum field_type {
    FIELD_INT = 0,                 /* value */
    FIELD_UINT = 1,                /* uvalue */
    FIELD_BOOL = 2,                /* value: 0 or 1 */
    FIELD_STRING = 3,              /* text */
    FIELD_STRING_SELECT_ONE = 4,   /* value: option index; options[].selected */
    FIELD_STRING_SELECT_MANY = 5,  /* value: bit k for option k; list; options */
    FIELD_STRING_LIST = 6,         /* list */
    FIELD_IP_RANGE_LIST = 7,       /* ipranges */
    FIELD_PORT_RANGE_LIST = 8,     /* portranges */
    FIELD_STRING_RANGE = 10,       /* value, value2: indexes into options, options2 */
    FIELD_INT_RANGE = 11,          /* value, value2 within min..max */
    FIELD_FILE_SIZE = 12,          /* llvalue: every byte count is 64-bit */
    FIELD_MULTILINE_STRING = 13,   /* text */
    FIELD_LONG_FILE_SIZE = 14,     /* llvalue */
    FIELD_DOUBLE = 15,             /* dvalue */
};

/* The most options a STRING_SELECT_MANY field can carry: its mask is the
 * 32 bits of value. */
#define FIELD_SELECT_MANY_MAX 32

/* Section lock kinds. */
enum section_lockkind {
    SECTION_RWLOCK = 0,       /* read-write lock in shards, one per processor:
                                 every section but cache */
    SECTION_MUTEX = 1,        /* plain mutex, usable with cond_wait */
    SECTION_RWLOCK_ONE = 2,   /* one read-write lock, writers preferred: the
                                 cache, which is written on the request path */
};

/*
 * A SECTION_RWLOCK section has a read-write lock per processor (at most
 * this many), each on a cache line of its own. A reader takes the one of
 * the processor it runs on, so readers on different processors never pass
 * a lock word between them, and a thread's reads of the section after its
 * first only count. A writer takes every shard, in order.
 */
#define SECTION_LOCK_SHARDS_MAX 64
#define SECTION_CACHE_LINE_BYTES 64

/* One shard of a section's read lock. */
struct alignas(SECTION_CACHE_LINE_BYTES) SectionLockShard {
    pthread_rwlock_t lock;
};

/* The result of loading one field from the configuration document. */
enum field_load_result {
    FIELD_LOADED = 0,   /* loaded, skipped (disabled) or left inactive */
    FIELD_FLAWED,       /* a bad value: logged by Field::error_log */
};

/* The result of loading one section from the configuration document. */
enum section_load_result {
    SECTION_LOADED = 0,   /* values and lists replaced, update() has run */
    SECTION_ABSENT,       /* no element for the section: nothing changed */
    SECTION_STOPPED,      /* an optional global field without element or with
                             a bad active attribute: the fields before it are
                             loaded, the rest of the section is not */
    SECTION_FLAWED,       /* a bad value, logged: the section is unchanged */
};

/* One typed value. */
class Field {
public:
    /* A field of a non-option type with its default text, parsed by type.
     * Throws ConfigError when the default is refused by the type's parser
     * (and for an INT_RANGE default that is not two integers). */
    Field(bool enabled, std::string name, std::string comment, std::string desc,
          std::string value, int type, bool optional);
    /* A field of an option type (STRING_SELECT_ONE, STRING_SELECT_MANY,
     * STRING_RANGE) with its own copy of the option list. */
    Field(bool enabled, std::string name, std::string comment, std::string desc,
          StringSelectVector &options, int type, bool optional);

    /* The code of a type string, compared exactly; any other string is a
     * fatal error. */
    static int type_get(const std::string &type);
    /* The type string of a code; "" for a code outside the table. */
    static const char *type_string(int type);

    /* The text printed after "must be" in error messages; "" for a code
     * outside the table. */
    std::string nature() const;
    /* The option names joined by single commas. */
    std::string possible_values() const;

    /* Loads the value from the element named name under the cursor's
     * current element. Returns FIELD_LOADED or FIELD_FLAWED (logged). Throws
     * ConfigError when the field is optional and its element is missing or
     * its active attribute is neither true nor false; text is replaced
     * first in every case. */
    [[nodiscard]] int load(const XmlElement &cursor);
    /* Appends <name active="...">text</name> to parent. */
    void save(tinyxml2::XMLElement *parent) const;
    /* Sets the typed members from text as the loader reads it. Throws
     * ConfigError when text is refused; the members other than text then
     * stay as they were. */
    void text_parse();
    /* Logs the "flawed XML file" line for this field's text. */
    void error_log(const XmlElement &cursor) const;

    /* The web forms of the configuration editor (section_forms.cpp). */

    /* Reads the field from the form parameters of its position (F<n>,
     * F<n>_2, F<n>_active, F<n>_<option>); an absent parameter reads as
     * "". A disabled field, and an optional one whose box is not ticked,
     * keep their values. Throws ConfigError when a value is refused; text
     * and other members may then have changed, so callers read into a
     * copy. */
    void read(CGIMap &args, int position);
    /* Appends the form row of the field at position (nothing for a
     * disabled field), class entryfieldodd when odd is set, else
     * entryfieldeven; flips odd. */
    void dialog_display(Filebuf *page, CGIMap &args, int position, bool &odd) const;
    /* Appends the read-only row of the field when it is shown (enabled,
     * and active or non-empty); flips odd for each row written. Text is
     * wrapped after line_length characters (0: no wrapping). */
    void display(Filebuf *page, bool &odd, int line_length = 0) const;

    bool enabled;
    std::string name;
    int type;
    std::string comment;
    std::string desc;
    int size;                  /* form input width */
    int min, max;              /* INT_RANGE bounds */
    bool optional;
    bool active;               /* optional fields only */
    int value;
    int value2;
    uint32_t uvalue;
    uint64_t llvalue;
    std::string text;          /* as written; the only member saved */
    StringList list;
    IpRangeList ipranges;
    PortRangeList portranges;
    StringSelectVector options;
    StringSelectVector options2;
    double dvalue;
};

/* The ordered values of an entry or of a section's globals, read by
 * position. A section's global vector never changes its size after
 * construction, so references to its members stay valid. */
class FieldVector : public std::vector<Field> {
public:
    FieldVector() = default;
    /* Builds the vector from a list of field descriptions; lists maps the
     * section's option-list names to their options. Faults in the
     * description are fatal errors. */
    FieldVector(const tinyxml2::XMLElement &list,
                std::map<std::string, StringSelectVector> &lists);
    void parse(const tinyxml2::XMLElement &list,
               std::map<std::string, StringSelectVector> &lists);

    /* Appends every field, in order, to parent. */
    void save(tinyxml2::XMLElement *parent) const;

    /* Reads every field from the form parameters (Field::read), also after
     * a refusal. Returns one text per refused field, in position order:
     * the label, " must be " and the field's nature. */
    StringList read(CGIMap &args);
    /* The form rows of every field, alternating from entryfieldeven. */
    void dialog_display(Filebuf *page, CGIMap &args) const;
    /* The read-only rows of the fields that are shown. */
    void display(Filebuf *page, int line_length = 0) const;
};

/* One entry (rule) of a list. */
class Item {
public:
    /* A new entry of list: a fresh id, the list's names and a copy of its
     * template fields. With an element, every field is loaded from it; a
     * field whose optional element is missing or has a bad active attribute
     * keeps its template values (with the new text). *load_rc (required
     * with an element) receives FIELD_LOADED, or FIELD_FLAWED when a value
     * was bad (logged; the entry must then be discarded). */
    explicit Item(const Subsection &list, const XmlElement *element = nullptr,
                  int *load_rc = nullptr);
    /* A deep copy with a fresh id. */
    Item(const Item &other);
    /* Copies the other entry's names and fields and takes a fresh id. */
    Item &operator=(const Item &other);
    ~Item() = default;

    /* FieldVector::read of the entry's fields. */
    StringList read(CGIMap &args);
    /*
     * Appends the read-only view of the entry as rows of a two-column table
     * the caller opens and closes (class entrydialog): a head row "Option"
     * and "Value", the shown fields, and a foot row with the Edit, Delete
     * and Clone links, and with moves not 0 also Up, Down, Top and Bottom.
     * line_length wraps long texts (0: no wrapping); callers read it with
     * section_line_length() before they take any section lock. The caller
     * holds the section's lock.
     */
    void display(Filebuf *page, int moves, int line_length = 0) const;
    /* Whether the entry is shown by a search: some field (disabled ones
     * included) whose name matches name_pattern and whose text matches
     * value_pattern, each NULL meaning "any". An entry without fields never
     * matches. */
    bool match(const regex_posix_t *name_pattern, const regex_posix_t *value_pattern) const;

    /* The next id; advanced by every construction and assignment. */
    static std::atomic<int> count;

    int id;
    std::string section;
    std::string subsection;
    FieldVector fields;
};

using ItemList = std::list<Item>;

/* One named list of entries of a section. */
class Subsection {
public:
    Subsection(bool enabled, std::string section, std::string name, std::string comment,
               std::string desc, const FieldVector &template_fields);

    bool enabled;               /* false hides it from the forms only */
    std::string section;
    std::string name;           /* element name of each entry */
    std::string comment;
    std::string desc;
    ItemList items;             /* in match order */
    FieldVector template_fields;
};

/* What Section::load_stage read for one section, waiting to be put in
 * place by Section::load_commit. */
struct SectionStage {
    int result = SECTION_ABSENT;   /* section_load_result */
    FieldVector fields;            /* the global fields as loaded */
    size_t fields_loaded = 0;      /* how many of them to put in place */
    std::vector<ItemList> lists;   /* the entries read, per list */
};

/* A field that a section class reads: its position, element name and type.
 * Checked against the description when the section is constructed. */
struct FieldDecl {
    int position;
    const char *name;
    int type;
};

/* The abstract base of every section. */
class Section {
public:
    /* Builds the section from its element in sectionxml and enters it in
     * Section::map. Every fault in the description is a fatal error. */
    Section(std::string name, int lockkind);
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

    /* Rebuilds the derived section's rules from fields and subsections;
     * always called with the write lock held. */
    virtual void update() = 0;
    /* Removes the section from Section::map when it is still the entry
     * there. */
    virtual ~Section();
    /* Whether an entry may stand, beyond what its field types accept.
     * Returns -1 when it may, else the position in item.fields of the
     * refused field, with the text it must be (for example "a valid
     * regular expression") in *nature. A refused entry fails the load of
     * its section ("flawed XML file" line) and a form that submits it
     * (label, " must be ", nature). Checks log nothing themselves. */
    virtual int item_check(const Item &item, std::string *nature);

    /* The section lock: the shards for SECTION_RWLOCK, rwlock for
     * SECTION_RWLOCK_ONE, mutex for SECTION_MUTEX. Prefer SectionReadGuard
     * and SectionWriteGuard. A thread may take the read lock of a
     * SECTION_RWLOCK section again while it holds it, also while a writer
     * waits, and while it holds the write lock; each such read is given
     * back by one unlock. */
    void read_lock();
    void write_lock();
    void unlock();
    /* read_lock and write_lock giving up at deadline (CLOCK_REALTIME);
     * false, with nothing held, when the lock was not had by then. */
    bool read_lock_until(const struct timespec *deadline);
    bool write_lock_until(const struct timespec *deadline);
    /* SECTION_MUTEX sections only; any other section is a fatal error. */
    void mutex_lock();
    int cond_wait(pthread_cond_t *cond);

    /* One value read under the section lock. */
    int atomic_read(int *p);
    unsigned int atomic_read(unsigned int *p);
    long atomic_read(long *p);
    unsigned long atomic_read(unsigned long *p);
    double atomic_read(double *p);

    std::string name_get();
    std::string comment_get();

    /* The list named exactly name, or nullptr. */
    Subsection *subsection_get(const std::string &name);
    /* The entry with this id in any list of the section, or nullptr. The
     * caller holds the section lock while it uses the result. */
    Item *item_get(int id);
    /* The list and position of the entry with this id; false when none. */
    bool item_iterator_get(int id, Subsection **list, ItemList::iterator *position);

    /* Loads the section from the configuration document: every global
     * field, then each list's entries (mode 0 appends them, any other mode
     * replaces each list), then update(), under the write lock. Returns a
     * section_load_result. load_stage and load_commit together. */
    [[nodiscard]] int load(tinyxml2::XMLDocument *doc, int mode);
    /* Reads the section's element of doc into stage (copies of the fields
     * and the new entries) without changing the section, under the read
     * lock; stage->result is the section_load_result the commit gives, and
     * is returned. A flawed value or refused entry is logged here. */
    [[nodiscard]] int load_stage(tinyxml2::XMLDocument *doc, SectionStage *stage);
    /* Puts a stage of result SECTION_LOADED or SECTION_STOPPED in place
     * under the write lock and runs update(); any other stage changes
     * nothing. The stage is emptied. */
    void load_commit(SectionStage *stage, int mode);
    /* Whether the section's element own holds only the elements its
     * description knows (a load refuses it otherwise); logs the first
     * unknown one with xml_flaw. */
    bool elements_known(const tinyxml2::XMLElement *own) const;
    /* Replaces the section's element in doc (created at the end of the root
     * when missing) by the current values, under the read lock. */
    void save(tinyxml2::XMLDocument *doc);

    /* The web forms of the configuration editor (section_forms.cpp). The
     * section lock is taken inside; the caller holds none. */

    /* Appends the section page: head, the global form (errors listed
     * above its fields; hidden during a search), and each enabled list
     * with its Add link and the entries the search (matchname,
     * matchvalue) shows. */
    void interface(Filebuf *page, CGIMap &args, CONNECTION_T *conn, const StringList &errors);
    /* Appends the add dialog (no id) or edit dialog (id) of the list named
     * by subsection, or only the errors when there are any. An unknown or
     * disabled list, or an id of no entry, appends nothing. */
    void interface_dialog(Filebuf *page, CGIMap &args, CONNECTION_T *conn,
                          const StringList &errors);
    /* Applies the form or link action of args under the write lock and
     * returns the error texts; an empty list when it was applied or there
     * was nothing to do. update() runs after every change. */
    StringList interface_action(Filebuf *page, CGIMap &args, CONNECTION_T *conn);

    /* Every section by name, in byte order of the names. */
    static std::map<std::string, Section *> map;

    pthread_rwlock_t rwlock;   /* SECTION_RWLOCK_ONE */
    pthread_mutex_t mutex;     /* SECTION_MUTEX */
    int lockkind;
    std::string name;
    std::string comment;
    std::string desc;
    FieldVector fields;
    std::vector<Subsection> subsections;

protected:
    /* SECTION_RWLOCK: shard_count shards, allocated by the constructor and
     * freed by the destructor. */
    SectionLockShard *shards = nullptr;
    unsigned shard_count = 0;
    /* The thread that holds every shard, else a value no thread has; and
     * the reads it made since, not given back yet (its own only). */
    std::atomic<pthread_t> writer{};
    unsigned writer_reads = 0;
    /* Writers waiting for the shards: a thread's first read pauses for a
     * moment while there is one, so that a stream of readers cannot keep
     * a writer out. */
    std::atomic<int> writers_waiting{ 0 };

    /* read_lock and write_lock of a SECTION_RWLOCK section, giving up at
     * deadline when it is not NULL (false). */
    bool shard_read_lock(const struct timespec *deadline);
    bool shard_write_lock(const struct timespec *deadline);

    /* Stop the start unless global field decl.position exists with that
     * element name and type. */
    void fields_require(const FieldDecl *decls, size_t count);
    template <size_t N>
    void fields_require(const FieldDecl (&decls)[N])
    {
        fields_require(decls, N);
    }

    /* Stop the start unless list index exists with that name and its
     * template has every declared field. */
    void list_require(int index, const char *list_name, const FieldDecl *decls, size_t count);
    void list_require(int index, const char *list_name)
    {
        list_require(index, list_name, nullptr, 0);
    }
    template <size_t N>
    void list_require(int index, const char *list_name, const FieldDecl (&decls)[N])
    {
        list_require(index, list_name, decls, N);
    }
};

/* The general section's line length for wrapping entry texts, 0 without
 * one. Read it before taking any section lock: drawing the general
 * section itself must not take its read lock twice. */
int section_line_length();

/* For item_check: the first of positions whose field text is neither
 * empty nor a regular expression that compiles (caseless, as rule fields
 * are compiled), with *nature "a valid regular expression"; -1 when all
 * are. */
int section_expressions_check(const Item &item, std::initializer_list<int> positions,
                              std::string *nature);

/* A rule's optional expression: NULL for an empty text, else text
 * compiled caseless; a text that does not compile gives NULL and sets
 * *refused (the rule then never matches). The caller frees the result
 * with reg_free. */
regex_posix_t *section_expression_compile(const std::string &text, bool *refused);

/* Rebuilds the allow and deny rule lists of a section from its first two
 * entry lists, every entry in order, enabled or not. */
template <class List>
void section_rules_rebuild(List &allow, List &deny, const std::vector<Subsection> &lists)
{
    allow.clear();
    deny.clear();
    for (const Item &item : lists[0].items)
        allow.emplace_back(item);
    for (const Item &item : lists[1].items)
        deny.emplace_back(item);
}

/* Holds a section's read lock (the mutex for SECTION_MUTEX) for a scope. */
class SectionReadGuard {
public:
    explicit SectionReadGuard(Section &section) : held(section) { held.read_lock(); }
    ~SectionReadGuard() { held.unlock(); }
    SectionReadGuard(const SectionReadGuard &) = delete;
    SectionReadGuard &operator=(const SectionReadGuard &) = delete;

private:
    Section &held;
};

/* Holds a section's write lock (the mutex for SECTION_MUTEX) for a scope. */
class SectionWriteGuard {
public:
    explicit SectionWriteGuard(Section &section) : held(section) { held.write_lock(); }
    ~SectionWriteGuard() { held.unlock(); }
    SectionWriteGuard(const SectionWriteGuard &) = delete;
    SectionWriteGuard &operator=(const SectionWriteGuard &) = delete;

private:
    Section &held;
};
