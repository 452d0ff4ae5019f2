/*
 * The section model and the section description file. The program fixes
 * only each section's name, lock kind and the positions at which its class
 * reads values; everything else about a section's shape comes from the
 * description document, walked once when the section is constructed. A
 * fault in the description can only be found then, so every fault stops the
 * start with a line that names the section and the element at fault, and
 * each section class declares the fields it reads (position, name, type) so
 * that a description lacking one is refused at start-up instead of being
 * read out of range at request time.
 */
#include "section.h"

#include <sched.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "log.h"
#include "mem.h"
#include "options.h"
#include "regexp.h"

using tinyxml2::XMLElement;

std::map<std::string, Section *> Section::map;
std::atomic<int> Item::count{0};

static const char *section_text(const XMLElement *element);
static bool section_true(const char *text);
static const XMLElement *section_required(const XMLElement *parent, const char *child,
                                          const char *section, const char *function,
                                          bool nonempty);
static const XMLElement *section_optional(const XMLElement *parent, const char *child,
                                          const char *section, const char *function);
static void section_options_read(const XMLElement *select, const char *section,
                                 std::map<std::string, StringSelectVector> *lists);
static std::string section_of(const XMLElement &list);
static int section_type_find(const std::string &type);
static void section_field_check(const char *section, const char *where, const FieldDecl &decl,
                                const FieldVector &vector);

/* A fault of the description, named after the function that found it. */
#define SECTION_FATAL(function, ...) fatal_error(__FILE__, __LINE__, function, __VA_ARGS__)

/* The character content of an element; "" when it has none. */
static const char *section_text(const XMLElement *element)
{
    const char *text = element ? element->GetText() : nullptr;
    return text ? text : "";
}

/* "true" in any ASCII letter case. */
static bool section_true(const char *text)
{
    static const char word[] = "true";
    for (int i = 0; i < 4; i++) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return text[4] == '\0';
}

/* The first child element of that name, which must exist and, when
 * nonempty, carry text; a fatal error otherwise. */
static const XMLElement *section_required(const XMLElement *parent, const char *child,
                                          const char *section, const char *function,
                                          bool nonempty)
{
    const XMLElement *e = parent->FirstChildElement(child);
    if (!e)
        SECTION_FATAL(function, "section description of %s: <%s> has no <%s>", section,
                      parent->Name(), child);
    if (nonempty && section_text(e)[0] == '\0')
        SECTION_FATAL(function, "section description of %s: <%s> of <%s> has no text", section,
                      child, parent->Name());
    return e;
}

/* The first child element of that name or nullptr; when present it must
 * carry text. */
static const XMLElement *section_optional(const XMLElement *parent, const char *child,
                                          const char *section, const char *function)
{
    const XMLElement *e = parent->FirstChildElement(child);
    if (e && section_text(e)[0] == '\0')
        SECTION_FATAL(function, "section description of %s: <%s> of <%s> has no text", section,
                      child, parent->Name());
    return e;
}

/* Reads the option lists under <select>: each child is a list named by its
 * tag, each grandchild an option named by its tag. A later list of the same
 * name replaces an earlier one. */
static void section_options_read(const XMLElement *select, const char *section,
                                 std::map<std::string, StringSelectVector> *lists)
{
    for (const XMLElement *list = select->FirstChildElement(); list;
         list = list->NextSiblingElement()) {
        StringSelectVector options;
        for (const XMLElement *o = list->FirstChildElement(); o; o = o->NextSiblingElement()) {
            const XMLElement *comment = section_optional(o, "comment", section, "Section");
            const XMLElement *value = section_optional(o, "value", section, "Section");
            const XMLElement *desc = o->FirstChildElement("desc");
            options.emplace_back(o->Name(), comment ? section_text(comment) : o->Name(),
                                 section_text(desc), value && section_true(section_text(value)));
        }
        (*lists)[list->Name()] = options;
    }
}

/* The name of the section whose description holds this field list: the
 * parent of <global>, or the grandparent of a template. */
static std::string section_of(const XMLElement &list)
{
    const tinyxml2::XMLNode *p = list.Parent();
    if (p && p->ToElement() && std::string(p->Value()) == "template")
        p = p->Parent();
    return p && p->ToElement() ? p->Value() : "";
}

/* A read lock the calling thread holds on a SECTION_RWLOCK section: the
 * shard it took and how many reads it stands for. */
struct SectionHeld {
    const Section *section;
    unsigned shard;
    unsigned reads;
};

/* The most sections one thread holds read locks on at once. */
#define SECTION_HELD_MAX 32

/* The read locks of the thread, in no order; zero filled. */
static thread_local SectionHeld section_held[SECTION_HELD_MAX];
static thread_local int section_held_count;

/* The shards of every SECTION_RWLOCK section: one per processor the system
 * has, at most SECTION_LOCK_SHARDS_MAX. */
static unsigned section_shards_wanted()
{
    static const unsigned count = [] {
        long n = sysconf(_SC_NPROCESSORS_CONF);
        return n < 1 ? 1u : n > SECTION_LOCK_SHARDS_MAX ? SECTION_LOCK_SHARDS_MAX : (unsigned)n;
    }();
    return count;
}

/* The thread's read lock on section, or NULL. */
static SectionHeld *section_held_find(const Section *section)
{
    for (int i = 0; i < section_held_count; i++)
        if (section_held[i].section == section)
            return &section_held[i];
    return nullptr;
}

Section::Section(std::string name_, int lockkind_) : lockkind(lockkind_), name(std::move(name_))
{
    ASSERT(lockkind == SECTION_RWLOCK || lockkind == SECTION_MUTEX ||
           lockkind == SECTION_RWLOCK_ONE);
    map[name] = this;
    if (lockkind == SECTION_MUTEX) {
        pthread_mutex_init(&mutex, nullptr);
    } else if (lockkind == SECTION_RWLOCK_ONE) {
        /* Its readers hold it all the time under load: a writer waiting
         * for it goes first, so it is never starved. */
        pthread_rwlockattr_t attr;
        pthread_rwlockattr_init(&attr);
        pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
        pthread_rwlock_init(&rwlock, &attr);
        pthread_rwlockattr_destroy(&attr);
    } else {
        shard_count = section_shards_wanted();
        shards = new SectionLockShard[shard_count];
        for (unsigned i = 0; i < shard_count; i++)
            pthread_rwlock_init(&shards[i].lock, nullptr);
    }

    putlog(LOG_DEBUG, "Validating Section: %s", name.c_str());
    const char *sn = name.c_str();

    const XMLElement *root = sectionxml ? sectionxml->FirstChildElement("section") : nullptr;
    if (!root)
        SECTION_FATAL("Section", "section description: no root element <section> (wanted by %s)",
                      sn);
    const XMLElement *own = root->FirstChildElement(sn);
    if (!own)
        SECTION_FATAL("Section", "section description: no element for section %s", sn);
    comment = section_text(section_required(own, "comment", sn, "Section", true));
    desc = section_text(section_required(own, "desc", sn, "Section", true));

    std::map<std::string, StringSelectVector> lists;
    const XMLElement *select = own->FirstChildElement("select");
    if (select)
        section_options_read(select, sn, &lists);

    fields.parse(*section_required(own, "global", sn, "Section", false), lists);

    std::map<std::string, FieldVector> templates;
    const XMLElement *tmpl = own->FirstChildElement("template");
    if (tmpl)
        for (const XMLElement *t = tmpl->FirstChildElement(); t; t = t->NextSiblingElement())
            templates[t->Name()] = FieldVector(*t, lists);

    const XMLElement *subs = own->FirstChildElement("subsection");
    if (subs) {
        for (const XMLElement *s = subs->FirstChildElement(); s; s = s->NextSiblingElement()) {
            const char *scomment = section_text(section_required(s, "comment", sn, "Section", true));
            const char *stmpl = section_text(section_required(s, "template", sn, "Section", true));
            const char *sdesc = section_text(section_required(s, "desc", sn, "Section", true));
            const XMLElement *enabled = section_optional(s, "enabled", sn, "Section");
            bool on = !enabled || section_true(section_text(enabled));
            auto found = templates.find(stmpl);
            subsections.emplace_back(on, name, s->Name(), scomment, sdesc,
                                     found == templates.end() ? FieldVector() : found->second);
        }
    }
}

Section::~Section()
{
    auto it = map.find(name);
    if (it != map.end() && it->second == this)
        map.erase(it);
    if (lockkind == SECTION_MUTEX) {
        pthread_mutex_destroy(&mutex);
    } else if (lockkind == SECTION_RWLOCK_ONE) {
        pthread_rwlock_destroy(&rwlock);
    } else {
        for (unsigned i = 0; i < shard_count; i++)
            pthread_rwlock_destroy(&shards[i].lock);
        delete[] shards;
        shards = nullptr;
    }
}

/* The longest a reader waits for writers before it takes its shard
 * anyway: a reader held up longer could be one link of a circle of waits
 * (see shard_write_lock). */
#define SECTION_READER_PAUSE_NS 20000000
#define SECTION_READER_PAUSE_STEP_NS 50000

/* Waits while a writer waits for the shards, at most
 * SECTION_READER_PAUSE_NS: the readers inside leave, none come in, and the
 * writer gets its turn however many readers there are. */
static void section_reader_pause(const std::atomic<int> *writers_waiting)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const struct timespec step = { 0, SECTION_READER_PAUSE_STEP_NS };
    while (writers_waiting->load(std::memory_order_relaxed) > 0) {
        nanosleep(&step, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) >=
            SECTION_READER_PAUSE_NS)
            return;
    }
}

/* A thread's first read of a SECTION_RWLOCK section takes the shard of the
 * processor it runs on, and records it, as the thread may have moved by
 * the time it unlocks; its further reads, and the writer's reads, only
 * count. With deadline set, the wait ends then (false). */
bool Section::shard_read_lock(const struct timespec *deadline)
{
    SectionHeld *held = section_held_find(this);
    if (held) {
        held->reads++;
        return true;
    }
    if (pthread_equal(writer.load(std::memory_order_relaxed), pthread_self())) {
        writer_reads++;
        return true;
    }
    ASSERT(section_held_count < SECTION_HELD_MAX);
    if (writers_waiting.load(std::memory_order_relaxed) > 0)
        section_reader_pause(&writers_waiting);
    int cpu = sched_getcpu();
    unsigned shard = cpu < 0 ? 0 : (unsigned)cpu % shard_count;
    int rc = deadline ? pthread_rwlock_timedrdlock(&shards[shard].lock, deadline)
                      : pthread_rwlock_rdlock(&shards[shard].lock);
    if (rc == ETIMEDOUT)
        return false;
    if (rc != 0)
        SECTION_FATAL("read_lock", "section %s: read lock refused (%d)", name.c_str(), rc);
    section_held[section_held_count++] = SectionHeld{ this, shard, 1 };
    return true;
}

/* How long a writer that holds some shards waits for the next before it
 * gives them all back, at first; each round it misses doubles the wait, up
 * to the most. On a loaded machine a reader is often preempted while it
 * holds its shard, for longer than the first wait: with a fixed wait the
 * writer could miss round after round for minutes. */
#define SECTION_WRITER_GRACE_NS 1000000
#define SECTION_WRITER_GRACE_MAX_NS 64000000

/*
 * A writer takes every shard. It waits for the first with none held, then
 * for each of the others in order, but at most SECTION_WRITER_GRACE_NS in
 * all: when that runs out it gives back what it took and starts again,
 * first waiting alone for the shard it missed, with a longer grace. A
 * reader held up by a waiting writer so waits a moment only, and cannot be
 * one link of a circle of waits (a thread reading the section, waiting for
 * something that another thread holds while it waits for a shard the
 * writer took).
 * With deadline set, the wait ends then (false, nothing held).
 */
bool Section::shard_write_lock(const struct timespec *deadline)
{
    /* Announced while it waits: new readers pause (section_reader_pause). */
    struct WaitingWriter {
        std::atomic<int> &count;
        explicit WaitingWriter(std::atomic<int> &c) : count(c) { count.fetch_add(1); }
        ~WaitingWriter() { count.fetch_sub(1); }
    } waiting(writers_waiting);
    unsigned first = 0;
    long grace_ns = SECTION_WRITER_GRACE_NS;
    for (;;) {
        int rc = deadline ? pthread_rwlock_timedwrlock(&shards[first].lock, deadline)
                          : pthread_rwlock_wrlock(&shards[first].lock);
        if (rc != 0)
            return false;
        struct timespec grace;
        clock_gettime(CLOCK_REALTIME, &grace);
        grace.tv_nsec += grace_ns;
        while (grace.tv_nsec >= 1000000000) {
            grace.tv_sec++;
            grace.tv_nsec -= 1000000000;
        }
        unsigned missed = shard_count;
        for (unsigned i = 0; i < shard_count && missed == shard_count; i++)
            if (i != first && pthread_rwlock_timedwrlock(&shards[i].lock, &grace) != 0)
                missed = i;
        if (missed == shard_count)
            break;
        for (unsigned i = 0; i < missed; i++)
            if (i != first)
                pthread_rwlock_unlock(&shards[i].lock);
        pthread_rwlock_unlock(&shards[first].lock);
        first = missed;
        grace_ns = std::min<long>(grace_ns * 2, SECTION_WRITER_GRACE_MAX_NS);
    }
    writer.store(pthread_self(), std::memory_order_relaxed);
    return true;
}

void Section::read_lock()
{
    if (lockkind == SECTION_RWLOCK)
        shard_read_lock(nullptr);
    else if (lockkind == SECTION_RWLOCK_ONE)
        pthread_rwlock_rdlock(&rwlock);
    else
        pthread_mutex_lock(&mutex);
}

void Section::write_lock()
{
    if (lockkind == SECTION_RWLOCK) {
        shard_write_lock(nullptr);
    } else if (lockkind == SECTION_RWLOCK_ONE) {
        pthread_rwlock_wrlock(&rwlock);
    } else {
        pthread_mutex_lock(&mutex);
    }
}

/* Only the thread that holds every shard stores its own id in writer, and
 * it clears it before it lets them go, so a thread finds its id there
 * exactly when it is the writer, whatever other threads do meanwhile. A
 * thread that is not the writer gives back a read. */
void Section::unlock()
{
    if (lockkind == SECTION_RWLOCK) {
        if (pthread_equal(writer.load(std::memory_order_relaxed), pthread_self())) {
            if (writer_reads > 0) {
                writer_reads--;
                return;
            }
            writer.store(pthread_t{}, std::memory_order_relaxed);
            for (unsigned i = shard_count; i-- > 0;)
                pthread_rwlock_unlock(&shards[i].lock);
            return;
        }
        SectionHeld *held = section_held_find(this);
        ASSERT(held != nullptr);
        if (--held->reads > 0)
            return;
        unsigned shard = held->shard;
        *held = section_held[--section_held_count];
        pthread_rwlock_unlock(&shards[shard].lock);
    } else if (lockkind == SECTION_RWLOCK_ONE) {
        pthread_rwlock_unlock(&rwlock);
    } else {
        pthread_mutex_unlock(&mutex);
    }
}

bool Section::read_lock_until(const struct timespec *deadline)
{
    if (lockkind == SECTION_RWLOCK)
        return shard_read_lock(deadline);
    if (lockkind == SECTION_RWLOCK_ONE)
        return pthread_rwlock_timedrdlock(&rwlock, deadline) == 0;
    return pthread_mutex_timedlock(&mutex, deadline) == 0;
}

bool Section::write_lock_until(const struct timespec *deadline)
{
    if (lockkind == SECTION_RWLOCK_ONE)
        return pthread_rwlock_timedwrlock(&rwlock, deadline) == 0;
    if (lockkind == SECTION_MUTEX)
        return pthread_mutex_timedlock(&mutex, deadline) == 0;
    return shard_write_lock(deadline);
}

void Section::mutex_lock()
{
    if (lockkind != SECTION_MUTEX)
        SECTION_FATAL("mutex_lock", "section %s has no mutex", name.c_str());
    pthread_mutex_lock(&mutex);
}

int Section::cond_wait(pthread_cond_t *cond)
{
    if (lockkind != SECTION_MUTEX)
        SECTION_FATAL("cond_wait", "section %s has no mutex", name.c_str());
    return pthread_cond_wait(cond, &mutex);
}

int Section::atomic_read(int *p)
{
    SectionReadGuard guard(*this);
    return *p;
}

unsigned int Section::atomic_read(unsigned int *p)
{
    SectionReadGuard guard(*this);
    return *p;
}

long Section::atomic_read(long *p)
{
    SectionReadGuard guard(*this);
    return *p;
}

unsigned long Section::atomic_read(unsigned long *p)
{
    SectionReadGuard guard(*this);
    return *p;
}

double Section::atomic_read(double *p)
{
    SectionReadGuard guard(*this);
    return *p;
}

/* The name and title never change after construction, so they are read
 * without the lock, which also lets code that holds it call these. */
std::string Section::name_get()
{
    return name;
}

std::string Section::comment_get()
{
    return comment;
}

Subsection *Section::subsection_get(const std::string &list_name)
{
    for (Subsection &s : subsections)
        if (s.name == list_name)
            return &s;
    return nullptr;
}

bool Section::item_iterator_get(int id, Subsection **list, ItemList::iterator *position)
{
    for (Subsection &s : subsections) {
        for (ItemList::iterator it = s.items.begin(); it != s.items.end(); ++it) {
            if (it->id == id) {
                *list = &s;
                *position = it;
                return true;
            }
        }
    }
    return false;
}

Item *Section::item_get(int id)
{
    Subsection *list;
    ItemList::iterator position;
    if (!item_iterator_get(id, &list, &position))
        return nullptr;
    return &*position;
}

/* Stops the start unless vector holds decl's field at decl's position
 * with decl's name and type; where says which vector, for the message. */
static void section_field_check(const char *section, const char *where, const FieldDecl &decl,
                                const FieldVector &vector)
{
    if (decl.position < 0 || (size_t)decl.position >= vector.size())
        SECTION_FATAL("fields_require",
                      "section description of %s: %s field %d must be <%s> of type %s, "
                      "but the description declares only %zu fields there",
                      section, where, decl.position, decl.name, Field::type_string(decl.type),
                      vector.size());
    const Field &f = vector[(size_t)decl.position];
    if (f.name != decl.name)
        SECTION_FATAL("fields_require",
                      "section description of %s: %s field %d must be <%s> of type %s, "
                      "but the description names it <%s>",
                      section, where, decl.position, decl.name, Field::type_string(decl.type),
                      f.name.c_str());
    if (f.type != decl.type)
        SECTION_FATAL("fields_require",
                      "section description of %s: %s field %d must be <%s> of type %s, "
                      "but the description gives it type %s",
                      section, where, decl.position, decl.name, Field::type_string(decl.type),
                      Field::type_string(f.type));
}

void Section::fields_require(const FieldDecl *decls, size_t count)
{
    for (size_t i = 0; i < count; i++)
        section_field_check(name.c_str(), "global", decls[i], fields);
}

void Section::list_require(int index, const char *list_name, const FieldDecl *decls, size_t count)
{
    if (index < 0 || (size_t)index >= subsections.size())
        SECTION_FATAL("list_require",
                      "section description of %s: list %d must be <%s>, but the description "
                      "declares only %zu lists",
                      name.c_str(), index, list_name, subsections.size());
    const Subsection &list = subsections[(size_t)index];
    if (list.name != list_name)
        SECTION_FATAL("list_require",
                      "section description of %s: list %d must be <%s>, but the description "
                      "names it <%s>",
                      name.c_str(), index, list_name, list.name.c_str());
    std::string where = std::string("list <") + list_name + ">";
    for (size_t i = 0; i < count; i++)
        section_field_check(name.c_str(), where.c_str(), decls[i], list.template_fields);
}

Subsection::Subsection(bool enabled_, std::string section_, std::string name_,
                       std::string comment_, std::string desc_, const FieldVector &template_fields_)
    : enabled(enabled_), section(std::move(section_)), name(std::move(name_)),
      comment(std::move(comment_)), desc(std::move(desc_)), template_fields(template_fields_)
{
}

Item::Item(const Item &other)
    : id(count.fetch_add(1)), section(other.section), subsection(other.subsection),
      fields(other.fields)
{
}

Item &Item::operator=(const Item &other)
{
    if (this != &other) {
        section = other.section;
        subsection = other.subsection;
        fields = other.fields;
    }
    id = count.fetch_add(1);
    return *this;
}

static const char *const field_type_strings[] = {
    "INT", "UINT", "BOOL", "STRING", "STRING_SELECT_ONE", "STRING_SELECT_MANY",
    "STRING_LIST", "IP_RANGE_LIST", "PORT_RANGE_LIST", nullptr, "STRING_RANGE",
    "INT_RANGE", "FILE_SIZE", "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE",
};
#define FIELD_TYPE_COUNT ((int)(sizeof field_type_strings / sizeof field_type_strings[0]))

/* The code of a type string, or -1. */
static int section_type_find(const std::string &type)
{
    for (int i = 0; i < FIELD_TYPE_COUNT; i++)
        if (field_type_strings[i] && type == field_type_strings[i])
            return i;
    return -1;
}

int Field::type_get(const std::string &type)
{
    int code = section_type_find(type);
    if (code < 0)
        SECTION_FATAL("type_get", "section description: unknown field type %.100s", type.c_str());
    return code;
}

const char *Field::type_string(int type)
{
    if (type < 0 || type >= FIELD_TYPE_COUNT || !field_type_strings[type])
        return "";
    return field_type_strings[type];
}

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             std::string value_, int type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), size(20), min(0), max(0), optional(optional_), active(false),
      value(0), value2(0), uvalue(0), llvalue(0), text(std::move(value_)), dvalue(0)
{
    switch ((field_type)type) {
    case FIELD_INT:
        value = string_to_int(text);
        break;
    case FIELD_UINT:
        uvalue = string_to_uint(text);
        break;
    case FIELD_BOOL:
        value = section_true(text.c_str()) ? 1 : 0;
        break;
    case FIELD_STRING:
    case FIELD_STRING_LIST:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
        size = 80;   /* the lists stay empty until the configuration loads */
        break;
    case FIELD_INT_RANGE: {
        Couple bounds(text);
        min = string_to_int(bounds.first());
        max = string_to_int(bounds.second());
        break;
    }
    case FIELD_FILE_SIZE:
        llvalue = string_to_filesize(text);
        break;
    case FIELD_LONG_FILE_SIZE:
        llvalue = string_to_longfilesize(text);
        break;
    case FIELD_MULTILINE_STRING:
    case FIELD_DOUBLE:
    case FIELD_STRING_SELECT_ONE:
    case FIELD_STRING_SELECT_MANY:
    case FIELD_STRING_RANGE:
        break;
    }
}

Field::Field(bool enabled_, std::string name_, std::string comment_, std::string desc_,
             StringSelectVector &options_, int type_, bool optional_)
    : enabled(enabled_), name(std::move(name_)), type(type_), comment(std::move(comment_)),
      desc(std::move(desc_)), size(0), min(0), max(0), optional(optional_), active(false),
      value(0), value2(0), uvalue(0), llvalue(0), options(options_), options2(options_),
      dvalue(0)
{
    /* The pre-selected options are the field's value until a configuration
     * sets it, so a field that is never loaded behaves as its form shows
     * it, and saves as a text that loads back to the same choice. */
    std::string chosen;
    for (size_t i = 0; i < options.size(); i++) {
        if (!options[i].selected)
            continue;
        if (type == FIELD_STRING_SELECT_MANY) {
            if (i < 32)
                value |= (int)(1u << i);
            list.push_back(options[i].name);
            chosen += (chosen.empty() ? "" : ",") + options[i].name;
        } else if (chosen.empty()) {
            value = (int)i;
            value2 = (int)i;
            chosen = options[i].name;
        }
    }
    if (type == FIELD_STRING_RANGE && !chosen.empty())
        chosen += "," + chosen;
    text = chosen;
}

std::string Field::possible_values() const
{
    std::string names;
    for (size_t i = 0; i < options.size(); i++) {
        if (i > 0)
            names += ',';
        names += options[i].name;
    }
    return names;
}

std::string Field::nature() const
{
    switch ((field_type)type) {
    case FIELD_INT:
        return "an integer";
    case FIELD_UINT:
        return "a positive integer";
    case FIELD_BOOL:
        return "true or false";
    case FIELD_STRING:
        return "a string";
    case FIELD_STRING_SELECT_ONE:
        return "a string among these values : " + possible_values();
    case FIELD_STRING_SELECT_MANY:
        return "a list of strings among these values : " + possible_values();
    case FIELD_STRING_LIST:
        return "a string list";
    case FIELD_IP_RANGE_LIST:
        return "an IP range list (see manual)";
    case FIELD_PORT_RANGE_LIST:
        return "a port range list (see manual)";
    case FIELD_STRING_RANGE:
        return "a couple of strings among these values : " + possible_values();
    case FIELD_INT_RANGE: {
        char text_[100];
        snprintf(text_, sizeof text_, "a couple of integers between %d and %d inclusive", min, max);
        return text_;
    }
    case FIELD_FILE_SIZE:
    case FIELD_LONG_FILE_SIZE:
        return "a file size (for example 120, 10K, 1M)";
    case FIELD_MULTILINE_STRING:
        return "a multi-line string";
    case FIELD_DOUBLE:
        return "a floating point number";
    }
    return "";
}

FieldVector::FieldVector(const XMLElement &list, std::map<std::string, StringSelectVector> &lists)
{
    parse(list, lists);
}

void FieldVector::parse(const XMLElement &list, std::map<std::string, StringSelectVector> &lists)
{
    std::string sname = section_of(list);
    const char *sn = sname.c_str();
    int position = 0;
    for (const XMLElement *f = list.FirstChildElement(); f; f = f->NextSiblingElement(), position++) {
        const char *n = f->Attribute("n");
        if (!n)
            SECTION_FATAL("parse", "section description of %s: field <%s> of <%s> has no n",
                          sn, f->Name(), list.Name());
        int declared = -1;
        try {
            declared = string_to_int(n);
        } catch (const ConfigError &) {
            declared = -1;
        }
        if (n[0] == '\0' || declared != position)
            SECTION_FATAL("parse",
                          "section description of %s: field <%s> of <%s> has n=\"%.20s\", "
                          "but it stands at position %d",
                          sn, f->Name(), list.Name(), n, position);

        const char *comment = section_text(section_required(f, "comment", sn, "parse", true));
        const char *value = section_text(section_required(f, "value", sn, "parse", false));
        const char *type_text = section_text(section_required(f, "type", sn, "parse", true));
        const XMLElement *optional = section_optional(f, "optional", sn, "parse");
        const char *desc = section_text(section_required(f, "desc", sn, "parse", false));
        const XMLElement *enabled = section_optional(f, "enabled", sn, "parse");
        if (section_type_find(type_text) < 0)
            SECTION_FATAL("type_get",
                          "section description of %s: field <%s> has the unknown type %.100s", sn,
                          f->Name(), type_text);
        int type = Field::type_get(type_text);
        bool is_optional = optional && section_true(section_text(optional));
        bool is_enabled = !enabled || section_true(section_text(enabled));

        if (type == FIELD_STRING_SELECT_ONE || type == FIELD_STRING_SELECT_MANY ||
            type == FIELD_STRING_RANGE) {
            auto found = lists.find(value);
            StringSelectVector options;
            if (found != lists.end())
                options = found->second;
            if (type == FIELD_STRING_SELECT_MANY && options.size() > FIELD_SELECT_MANY_MAX)
                SECTION_FATAL("parse",
                              "section description of %s: field <%s> offers %zu options, "
                              "more than %d",
                              sn, f->Name(), options.size(), FIELD_SELECT_MANY_MAX);
            emplace_back(is_enabled, f->Name(), comment, desc, options, type, is_optional);
            continue;
        }
        try {
            emplace_back(is_enabled, f->Name(), comment, desc, std::string(value), type,
                         is_optional);
        } catch (const ConfigError &) {
            std::string nature = "two integers separated by a comma";
            if (type != FIELD_INT_RANGE) {
                Field probe(is_enabled, f->Name(), comment, desc, std::string(), FIELD_STRING,
                            is_optional);
                probe.type = type;
                nature = probe.nature();
            }
            SECTION_FATAL("parse",
                          "section description of %s: default of field <%s> must be %s, "
                          "but it is given value %.200s",
                          sn, f->Name(), nature.c_str(), value);
        }
    }
}

int Section::item_check(const Item &, std::string *)
{
    return -1;
}

regex_posix_t *section_expression_compile(const std::string &text, bool *refused)
{
    if (text.empty())
        return nullptr;
    regex_posix_t *regex = reg_compile(text.c_str(), REG_COMPILE_ICASE);
    if (!regex)
        *refused = true;
    return regex;
}

int section_expressions_check(const Item &item, std::initializer_list<int> positions,
                              std::string *nature)
{
    for (int position : positions) {
        const std::string &text = item.fields[(size_t)position].text;
        if (text.empty())
            continue;
        regex_posix_t *regex = reg_compile(text.c_str(), REG_COMPILE_ICASE);
        if (!regex) {
            *nature = "a valid regular expression";
            return position;
        }
        reg_free(regex);
    }
    return -1;
}
