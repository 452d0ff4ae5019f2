/*
 * Loading and saving the configuration document. A load parses the whole
 * file first and only then touches the sections, one at a time under each
 * section's write lock, so request threads see every section change at once
 * together with the rules its update() rebuilds. A section whose element
 * holds a bad value keeps what it had: its values and entries are read into
 * copies, which replace the live ones only when the whole section read
 * well. A save rebuilds every section element from memory inside the
 * document of the last load, so whatever else that file held (declaration,
 * comments between sections, unknown elements) is written back as it was;
 * the new file replaces the old one only once it is completely written.
 */
#include "xml.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "compat.h"
#include "fetch.h"
#include "filebuf.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "section.h"
#include "signals.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

tinyxml2::XMLDocument *document = nullptr;
pthread_mutex_t documentlock = PTHREAD_MUTEX_INITIALIZER;

static bool xml_equal_nocase(const char *a, const char *b);
static XMLElement *xml_root(XMLDocument *doc);
static int xml_document_load(std::unique_ptr<XMLDocument> doc, int mode, const char *origin);
static bool xml_write_file(const std::string &path, const char *data, size_t len);
static bool xml_write_all(int fd, const char *data, size_t len);

static bool xml_equal_nocase(const char *a, const char *b)
{
    for (; *a && *b; a++, b++) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return *a == *b;
}

bool config_name_is_url(const std::string &name)
{
    int pieces = 0;
    bool in_piece = false;
    for (char c : name) {
        if (c == ':') {
            in_piece = false;
        } else if (!in_piece) {
            in_piece = true;
            pieces++;
        }
    }
    return pieces >= 2;
}

/* The root element quillmere of doc, appended when it has none. */
static XMLElement *xml_root(XMLDocument *doc)
{
    XMLElement *root = doc->FirstChildElement("quillmere");
    if (!root) {
        root = doc->NewElement("quillmere");
        doc->InsertEndChild(root);
    }
    return root;
}

XMLElement *section_select(XMLDocument *doc, const char *name)
{
    XMLElement *root = doc ? doc->FirstChildElement("quillmere") : nullptr;
    XMLElement *own = root ? root->FirstChildElement(name) : nullptr;
    if (!own)
        throw ConfigError();
    return own;
}

XmlElement::XmlElement(XMLDocument *doc, const std::string &section_)
    : node(section_select(doc, section_.c_str())), section(section_)
{
}

XmlElement::XmlElement(XMLDocument *doc, const std::string &section_, const std::string &element_)
    : node(nullptr), section(section_), element(element_)
{
    node = section_select(doc, section_.c_str())->FirstChildElement(element_.c_str());
}

bool XmlElement::full() const
{
    return node != nullptr;
}

bool XmlElement::next()
{
    if (node)
        node = node->NextSiblingElement(element.c_str());
    return full();
}

std::string XmlElement::string_read(const std::string &name) const
{
    const XMLElement *child = node ? node->FirstChildElement(name.c_str()) : nullptr;
    const char *text = child ? child->GetText() : nullptr;
    return text ? text : "";
}

bool XmlElement::check_active(const std::string &name) const
{
    const XMLElement *child = node ? node->FirstChildElement(name.c_str()) : nullptr;
    if (!child)
        throw ConfigError();
    const char *active = child->Attribute("active");
    if (!active || xml_equal_nocase(active, "true"))
        return true;
    if (xml_equal_nocase(active, "false"))
        return false;
    throw ConfigError();
}

std::string XmlElement::section_get() const
{
    return section;
}

std::string XmlElement::element_get() const
{
    return element;
}

void xml_flaw(const char *format, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    putlog(LOG_ERROR, "%s", line);
    if (startup_pending())
        fprintf(stderr, "%s\n", line);
}

void Field::error_log(const XmlElement &cursor) const
{
    xml_flaw("flawed XML file, section %s, element %s: %s must be %s, but it is given value %s",
             cursor.section.c_str(), cursor.element.c_str(), name.c_str(), nature().c_str(),
             log_text(text, XML_LOG_TEXT_MAX).c_str());
}

void Field::text_parse()
{
    /* Each branch computes the new members before storing any, so a refused
     * text leaves everything but text as it was. */
    switch ((field_type)type) {
    case FIELD_INT:
        value = string_to_int(text);
        break;
    case FIELD_UINT:
        uvalue = string_to_uint(text);
        break;
    case FIELD_BOOL:
        if (text == "true" || text == "TRUE")
            value = 1;
        else if (text == "false" || text == "FALSE")
            value = 0;
        else
            throw ConfigError();
        break;
    case FIELD_STRING:
    case FIELD_MULTILINE_STRING:
        break;
    case FIELD_STRING_SELECT_ONE: {
        int chosen = -1;
        for (size_t k = 0; k < options.size(); k++) {
            options[k].selected = chosen < 0 && options[k].name == text;
            if (options[k].selected)
                chosen = (int)k;
        }
        if (chosen >= 0)
            value = chosen;
        break;
    }
    case FIELD_STRING_SELECT_MANY: {
        StringList names(text, ',');
        uint32_t mask = 0;
        for (size_t k = 0; k < options.size(); k++) {
            options[k].selected = names.has(options[k].name);
            if (options[k].selected && k < FIELD_SELECT_MANY_MAX)
                mask |= (uint32_t)1 << k;
        }
        list = names;
        value = (int)mask;
        break;
    }
    case FIELD_STRING_LIST:
        list = StringList(text, ',');
        break;
    case FIELD_IP_RANGE_LIST:
        ipranges = IpRangeList(text);
        break;
    case FIELD_PORT_RANGE_LIST:
        portranges = PortRangeList(text);
        break;
    case FIELD_STRING_RANGE: {
        Couple pair(text);
        int first = options.case_indexof(pair.first());
        int second = options2.case_indexof(pair.second());
        value = first;
        value2 = second;
        break;
    }
    case FIELD_INT_RANGE: {
        Couple pair(text);
        int first = string_to_int(pair.first());
        int second = string_to_int(pair.second());
        if (first < min || first > max || second < min || second > max)
            throw ConfigError();
        value = first;
        value2 = second;
        break;
    }
    case FIELD_FILE_SIZE:
        llvalue = string_to_filesize(text);
        break;
    case FIELD_LONG_FILE_SIZE:
        llvalue = string_to_longfilesize(text);
        break;
    case FIELD_DOUBLE:
        dvalue = string_to_double(text);
        break;
    }
}

int Field::load(const XmlElement &cursor)
{
    if (!enabled)
        return FIELD_LOADED;   /* keeps its description default */
    text = cursor.string_read(name);
    if (optional) {
        active = cursor.check_active(name);   /* may throw ConfigError */
        if (!active)
            return FIELD_LOADED;   /* the parsed members stay as they were */
    }

    try {
        text_parse();
    } catch (const ConfigError &) {
        error_log(cursor);
        return FIELD_FLAWED;
    }
    return FIELD_LOADED;
}

void Field::save(XMLElement *parent) const
{
    XMLDocument *doc = parent->GetDocument();
    XMLElement *e = doc->NewElement(name.c_str());
    if (optional)
        e->SetAttribute("active", active ? "true" : "false");
    e->InsertEndChild(doc->NewText(text.c_str()));
    parent->InsertEndChild(e);
}

void FieldVector::save(XMLElement *parent) const
{
    for (const Field &f : *this)
        f.save(parent);
}

Item::Item(const Subsection &list, const XmlElement *element, int *load_rc)
    : id(count.fetch_add(1)), section(list.section), subsection(list.name),
      fields(list.template_fields)
{
    if (!element)
        return;
    ASSERT(load_rc != nullptr);
    *load_rc = FIELD_LOADED;
    for (Field &f : fields) {
        try {
            if (f.load(*element) == FIELD_FLAWED) {
                *load_rc = FIELD_FLAWED;
                return;
            }
        } catch (const ConfigError &) {
            /* A missing optional element or a bad active attribute: the
             * field keeps its template values with the new text. */
        }
    }
}

/* Whether every child element of parent is named in known. The first that
 * is not is logged (a misspelt element would otherwise be ignored, and a
 * rule missing its condition matches everybody); entry names the place. */
static bool xml_children_known(const XMLElement *parent, const std::set<std::string> &known,
                               const std::string &section, const char *entry)
{
    for (const XMLElement *child = parent->FirstChildElement(); child;
         child = child->NextSiblingElement()) {
        if (known.count(child->Name()) == 0) {
            xml_flaw("flawed XML file, section %s, entry %s, element %s: the section's "
                     "description has no such element",
                     section.c_str(), entry, log_text(child->Name(), XML_LOG_TEXT_MAX).c_str());
            return false;
        }
    }
    return true;
}

/* Whether the section's element holds only its global fields and the
 * entries of its lists, and each entry only the fields of its list. */
bool Section::elements_known(const XMLElement *own) const
{
    std::set<std::string> known;
    for (const Field &f : fields)
        known.insert(f.name);
    for (const Subsection &list : subsections)
        known.insert(list.name);
    if (!xml_children_known(own, known, name, "global"))
        return false;
    for (const Subsection &list : subsections) {
        std::set<std::string> entry_known;
        for (const Field &f : list.template_fields)
            entry_known.insert(f.name);
        for (const XMLElement *e = own->FirstChildElement(list.name.c_str()); e;
             e = e->NextSiblingElement(list.name.c_str()))
            if (!xml_children_known(e, entry_known, name, list.name.c_str()))
                return false;
    }
    return true;
}

int Section::load(XMLDocument *doc, int mode)
{
    SectionStage stage;
    int rc = load_stage(doc, &stage);
    load_commit(&stage, mode);
    return rc;
}

int Section::load_stage(XMLDocument *doc, SectionStage *stage)
{
    stage->result = SECTION_ABSENT;
    stage->lists.clear();
    std::unique_ptr<XmlElement> cursor;
    try {
        cursor.reset(new XmlElement(doc, name));
    } catch (const ConfigError &) {
        return stage->result;
    }
    if (!elements_known(cursor->node))
        return stage->result = SECTION_FLAWED;

    SectionReadGuard guard(*this);

    /* Everything is read into copies; the live values change only in
     * load_commit, once every section of the document has read well. */
    stage->fields = fields;
    FieldVector &staged = stage->fields;
    stage->fields_loaded = staged.size();
    for (size_t i = 0; i < staged.size(); i++) {
        try {
            if (staged[i].load(*cursor) == FIELD_FLAWED)
                return stage->result = SECTION_FLAWED;
        } catch (const ConfigError &) {
            /* An optional global field without element or with a bad
             * active attribute ends this section's load; what was read
             * before it stays, and the rules follow the values. */
            putlog(LOG_WARNING,
                   "section %s: optional element %s is missing or its active attribute is "
                   "neither true nor false; the rest of the section is not loaded",
                   name.c_str(), staged[i].name.c_str());
            stage->fields_loaded = i + 1;
            return stage->result = SECTION_STOPPED;
        }
    }

    std::vector<ItemList> &loaded = stage->lists;
    loaded.resize(subsections.size());
    for (size_t j = 0; j < subsections.size(); j++) {
        XmlElement entries(doc, name, subsections[j].name);
        for (; entries.full(); entries.next()) {
            int rc = FIELD_LOADED;
            Item entry(subsections[j], &entries, &rc);
            if (rc == FIELD_FLAWED)
                return SECTION_FLAWED;
            std::string nature;
            int refused = item_check(entry, &nature);
            if (refused >= 0) {
                const Field &f = entry.fields[(size_t)refused];
                xml_flaw("flawed XML file, section %s, element %s: %s must be %s, but it is given "
                         "value %s",
                         name.c_str(), subsections[j].name.c_str(), f.name.c_str(),
                         nature.c_str(), log_text(f.text, XML_LOG_TEXT_MAX).c_str());
                return stage->result = SECTION_FLAWED;
            }
            loaded[j].push_back(entry);   /* the stored copy takes a fresh id */
        }
    }
    return stage->result = SECTION_LOADED;
}

void Section::load_commit(SectionStage *stage, int mode)
{
    if (stage->result != SECTION_LOADED && stage->result != SECTION_STOPPED) {
        stage->lists.clear();
        return;
    }
    {
        SectionWriteGuard guard(*this);
        /* one by one: references into fields stay valid */
        for (size_t i = 0; i < stage->fields_loaded && i < fields.size(); i++)
            fields[i] = stage->fields[i];
        if (stage->result == SECTION_LOADED) {
            for (size_t j = 0; j < subsections.size() && j < stage->lists.size(); j++) {
                if (mode != CONFIG_LOAD_APPEND)
                    subsections[j].items.swap(stage->lists[j]);
                else
                    subsections[j].items.splice(subsections[j].items.end(), stage->lists[j]);
            }
        }
        update();
    }
    /* The replaced entries are destroyed only now, after update() has
     * dropped every rule that could refer to them. */
    stage->lists.clear();
    stage->fields.clear();
}

void Section::save(XMLDocument *doc)
{
    SectionReadGuard guard(*this);
    XMLElement *root = xml_root(doc);
    XMLElement *own = root->FirstChildElement(name.c_str());
    if (!own) {
        own = doc->NewElement(name.c_str());
        root->InsertEndChild(own);
    }
    own->DeleteChildren();
    fields.save(own);
    for (const Subsection &list : subsections) {
        for (const Item &entry : list.items) {
            XMLElement *e = doc->NewElement(list.name.c_str());
            entry.fields.save(e);
            own->InsertEndChild(e);
        }
    }
}

/* Loads a parsed document into every section; the caller holds
 * documentlock. Every section is read first, in map order; only when none
 * holds a bad value are they all put in place and the document becomes
 * document. A document without the root quillmere, or with a bad value,
 * changes no section and keeps the held document. origin names the source
 * for log lines. Returns 1 or 0; with CONFIG_LOAD_STARTUP a failure is
 * fatal. */
static int xml_document_load(std::unique_ptr<XMLDocument> doc, int mode, const char *origin)
{
    if (!doc->FirstChildElement("quillmere")) {
        putlog(LOG_ERROR, "configuration %s has no root element quillmere", origin);
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/xml", __LINE__, "section_select",
                        "configuration %s has no root element quillmere", origin);
        return 0;
    }
    /* A section the description does not know would be ignored whole. */
    const XMLElement *described = sectionxml ? sectionxml->FirstChildElement("section") : nullptr;
    for (const XMLElement *own = doc->FirstChildElement("quillmere")->FirstChildElement(); own;
         own = own->NextSiblingElement()) {
        bool known = described ? described->FirstChildElement(own->Name()) != nullptr
                               : Section::map.count(own->Name()) != 0;
        if (!known) {
            xml_flaw("flawed XML file, section %s: the section description has no such section",
                     log_text(own->Name(), XML_LOG_TEXT_MAX).c_str());
            if (mode == CONFIG_LOAD_STARTUP)
                fatal_error("src/section", __LINE__, "error_log",
                            "configuration %s holds a bad value in section %s", origin,
                            log_text(own->Name(), XML_LOG_TEXT_MAX).c_str());
            return 0;
        }
    }

    std::vector<std::pair<Section *, SectionStage>> staged;
    staged.reserve(Section::map.size());
    for (const auto &entry : Section::map) {
        staged.emplace_back(entry.second, SectionStage());
        if (entry.second->load_stage(doc.get(), &staged.back().second) == SECTION_FLAWED) {
            /* The field's error_log line names the section and value. */
            if (mode == CONFIG_LOAD_STARTUP)
                fatal_error("src/section", __LINE__, "error_log",
                            "configuration %s holds a bad value in section %s", origin,
                            entry.first.c_str());
            return 0;
        }
    }
    for (auto &s : staged)
        s.first->load_commit(&s.second, mode);
    delete document;
    document = doc.release();
    return 1;
}

int config_load(int mode, std::string name)
{
    if (config_name_is_url(name))
        return config_url_load(name, mode);

    std::string shown = log_text(name, XML_LOG_TEXT_MAX);
    MutexGuard guard(&documentlock);
    std::unique_ptr<XMLDocument> doc(new XMLDocument);
    if (doc->LoadFile(name.c_str()) != tinyxml2::XML_SUCCESS) {
        const char *why = doc->ErrorStr() ? doc->ErrorStr() : "";
        putlog(LOG_ERROR, "configuration file %s cannot be loaded: %s", shown.c_str(), why);
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", __LINE__, "config_load",
                        "configuration file %s cannot be loaded: %s", shown.c_str(), why);
        return 0;
    }
    return xml_document_load(std::move(doc), mode, shown.c_str());
}

/* Logs why a configuration URL was not loaded; fatal at start-up. */
static int xml_url_failed(const std::string &shown, const char *why, int mode)
{
    putlog(LOG_ERROR, "configuration %s cannot be loaded: %s", shown.c_str(), why);
    if (mode == CONFIG_LOAD_STARTUP)
        fatal_error("src/main", __LINE__, "config_url_load", "configuration %s cannot be loaded: %s",
                    shown.c_str(), why);
    return 0;
}

int config_url_load(std::string name, int mode)
{
    std::string shown = log_text(name, XML_LOG_TEXT_MAX);
    if (name.size() > CONFIG_URL_MAX)
        return xml_url_failed(shown, "the URL is too long", mode);
    std::unique_ptr<URL, void (*)(URL *)> url(url_parse(name.c_str()), url_free);
    if (!url)
        return xml_url_failed(shown, "not a valid URL", mode);
    if (!url->protocol || strcmp(url->protocol, "http") != 0)
        return xml_url_failed(shown, "only http URLs are fetched", mode);

    /* Fetched before documentlock is taken: the network wait holds no
     * lock. */
    std::unique_ptr<HTTPRESPONSE, void (*)(HTTPRESPONSE *)> response(
        http_fetch(url.get(), nullptr), httpresponse_free);
    if (!response)
        return xml_url_failed(shown, "the fetch failed", mode);
    if (response->header->status == 404) {
        /* No configuration there: nothing to say, nothing changes. */
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", __LINE__, "config_url_load",
                        "configuration %s cannot be loaded: not found", shown.c_str());
        return 0;
    }
    if (response->header->status != 200) {
        char why[64];
        snprintf(why, sizeof why, "the server answered %d", response->header->status);
        return xml_url_failed(shown, why, mode);
    }
    const Filebuf *body = response->body;
    if (config_text_load(body->data ? body->data : "", (size_t)body->size, mode) == 1)
        return 1;
    return xml_url_failed(shown, "the document does not parse or holds a bad value", mode);
}

int config_text_load(const char *text, size_t len, int mode)
{
    MutexGuard guard(&documentlock);
    std::unique_ptr<XMLDocument> doc(new XMLDocument);
    if (doc->Parse(text, len) != tinyxml2::XML_SUCCESS) {
        if (mode == CONFIG_LOAD_STARTUP)
            fatal_error("src/main", __LINE__, "config_url_load",
                        "the fetched configuration is not well-formed XML");
        return 0;
    }
    return xml_document_load(std::move(doc), mode, "(fetched)");
}

void config_xml_build()
{
    if (!document)
        document = new XMLDocument;
    if (!document->FirstChildElement("quillmere")) {
        if (!document->FirstChild())
            document->InsertEndChild(document->NewDeclaration());
        xml_root(document);
    }
    /* Text outside the root, which a lenient parse let through, would be
     * written where no parse takes it back: the saved file must load. */
    for (tinyxml2::XMLNode *node = document->FirstChild(); node;) {
        tinyxml2::XMLNode *next = node->NextSibling();
        if (node->ToText())
            document->DeleteChild(node);
        node = next;
    }
    for (const auto &entry : Section::map)
        entry.second->save(document);
}

bool config_save(const std::string &path)
{
    MutexGuard guard(&documentlock);
    config_xml_build();
    tinyxml2::XMLPrinter printer;
    document->Print(&printer);
    size_t len = printer.CStrSize() > 0 ? (size_t)printer.CStrSize() - 1 : 0;
    return xml_write_file(path, printer.CStr(), len);
}

/* Writes every byte, resuming after short writes and interruptions. */
static bool xml_write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= (size_t)n;
    }
    return true;
}

/* Replaces the file at path (or at the file a symbolic link there names)
 * with data. The data goes to a new file beside it, which takes the old
 * file's mode and is renamed over it once written and synced, so a failed
 * save leaves the old file whole: where no new file can be made beside
 * it (a directory the daemon may not write, a full disk), the save fails
 * and the old file stays byte for byte. Returns true when every byte
 * reached the file. */
static bool xml_write_file(const std::string &path, const char *data, size_t len)
{
    char resolved[PATH_MAX];
    std::string target = realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;

    std::string tmp = target + ".XXXXXX";
    int fd = mkstemp(&tmp[0]);
    if (fd == -1) {
        putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in %s, unable to save configuration to %s",
               errno, strerror(errno), "config_save", log_text(target, XML_LOG_TEXT_MAX).c_str());
        return false;
    }
    if (exists) {
        if (fchmod(fd, st.st_mode & 07777) != 0) {
            /* keeps mkstemp's 0600, which is never wider */
        }
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            /* only root may give the file away; it stays ours */
        }
    }
    bool ok = xml_write_all(fd, data, len) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmp.c_str(), target.c_str()) == 0)
        return true;
    putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, unable to save configuration to %s",
           errno, strerror(errno), "config_save", log_text(target, XML_LOG_TEXT_MAX).c_str());
    unlink(tmp.c_str());
    return false;
}
