/* The shipped section description and configuration: every section class
 * finds its fields in etc/section.xml, every field is described for the
 * administrator, etc/quillmere.xml loads and saves back unchanged with the
 * values it promises, and a description that lacks a field a class reads
 * stops the start with a message naming it. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "access.h"
#include "cache.h"
#include "clamav.h"
#include "configtypes.h"
#include "cookies.h"
#include "dnsbl.h"
#include "forward.h"
#include "fprot.h"
#include "ftp.h"
#include "general.h"
#include "headerfilter.h"
#include "icap.h"
#include "kaspersky.h"
#include "keywords.h"
#include "limit.h"
#include "mime.h"
#include "network.h"
#include "options.h"
#include "profiles.h"
#include "redirect.h"
#include "rewrite.h"
#include "section.h"
#include "sections.h"
#include "signals.h"
#include "sophie.h"
#include "tavrin.h"
#include "templates.h"
#include "test_support.h"
#include "urlblacklist.h"
#include "urlfilter.h"
#include "xml.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

static std::string sections_etc(const char *name)
{
    return test_source_dir() + "/etc/" + name;
}

static std::string sections_read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* Loads the shipped description into sectionxml and creates every section,
 * once per process. */
static void sections_ready()
{
    static bool done = false;
    if (done)
        return;
    sectionxml = new XMLDocument;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, sectionxml->LoadFile(sections_etc("section.xml").c_str()))
        << sections_etc("section.xml");
    sections_create();
    done = true;
}

struct SectionCase {
    const char *name;
    std::function<Section *()> object;
    int lockkind;
    std::vector<std::string> lists;
};

static const std::vector<SectionCase> &section_cases()
{
    static const std::vector<SectionCase> cases = {
        { "access", [] { return (Section *)access_section; }, SECTION_RWLOCK, { "allow", "deny" } },
        { "url-filtering", [] { return (Section *)filter_section; }, SECTION_RWLOCK, { "allow", "deny" } },
        { "cache", [] { return (Section *)cache_section; }, SECTION_RWLOCK_ONE, { "store", "refresh" } },
        { "general", [] { return (Section *)general_section; }, SECTION_RWLOCK, { "rule" } },
        { "dnsbl", [] { return (Section *)dnsbl_section; }, SECTION_RWLOCK, {} },
        { "network", [] { return (Section *)network_section; }, SECTION_RWLOCK, { "listen", "interface" } },
        { "header-filtering", [] { return (Section *)header_section; }, SECTION_RWLOCK,
          { "allow", "deny", "add" } },
        { "templates", [] { return (Section *)template_section; }, SECTION_RWLOCK, { "page" } },
        { "cookies-filtering", [] { return (Section *)cookie_section; }, SECTION_RWLOCK, { "allow", "deny" } },
        { "rewrite", [] { return (Section *)rewrite_section; }, SECTION_RWLOCK, { "rule" } },
        { "icap", [] { return (Section *)icap_section; }, SECTION_RWLOCK, { "service" } },
        { "fprot", [] { return (Section *)fprot_section; }, SECTION_RWLOCK, { "rule" } },
        { "kaspersky", [] { return (Section *)kaspersky_section; }, SECTION_RWLOCK, { "rule" } },
        { "sophie", [] { return (Section *)sophie_section; }, SECTION_RWLOCK, { "rule" } },
        { "Tavrin", [] { return (Section *)tavrin_section; }, SECTION_RWLOCK, { "rule" } },
        { "ftp", [] { return (Section *)ftp_section; }, SECTION_RWLOCK, {} },
        { "profiles", [] { return (Section *)profile_section; }, SECTION_RWLOCK, { "profile" } },
        { "mime-filtering", [] { return (Section *)mime_section; }, SECTION_RWLOCK, { "allow", "deny" } },
        { "redirect", [] { return (Section *)redirect_section; }, SECTION_RWLOCK, { "rule" } },
        { "keywords-filtering", [] { return (Section *)keyword_section; }, SECTION_RWLOCK, { "keyword" } },
        { "forward", [] { return (Section *)forward_section; }, SECTION_RWLOCK, { "peer" } },
        { "limits", [] { return (Section *)limit_section; }, SECTION_RWLOCK, { "limit" } },
        { "clamav", [] { return (Section *)clamav_section; }, SECTION_RWLOCK, { "rule" } },
        { "urlblacklist", [] { return (Section *)urlbl_section; }, SECTION_RWLOCK, { "allow", "deny" } },
    };
    return cases;
}

/* Every section exists once under its name, with its lock kind and its
 * lists in the order the classes read them. */
TEST(Sections, EverySectionIsCreatedFromTheDescription)
{
    sections_ready();
    EXPECT_EQ(section_cases().size(), Section::map.size());
    for (const SectionCase &c : section_cases()) {
        SCOPED_TRACE(c.name);
        Section *s = c.object();
        ASSERT_NE(nullptr, s);
        ASSERT_EQ(1u, Section::map.count(c.name));
        EXPECT_EQ(s, Section::map[c.name]);
        EXPECT_EQ(c.name, s->name);
        EXPECT_EQ(c.lockkind, s->lockkind);
        ASSERT_EQ(c.lists.size(), s->subsections.size());
        for (size_t i = 0; i < c.lists.size(); i++) {
            EXPECT_EQ(c.lists[i], s->subsections[i].name);
            EXPECT_TRUE(s->subsections[i].enabled);
            EXPECT_FALSE(s->subsections[i].template_fields.empty());
        }
    }
}

/* Every section's lock, the cache's single one included, shuts out the
 * other threads while it is held for writing and only their writers while
 * it is held for reading. */
TEST(Sections, EverySectionLockIsExclusiveForWriters)
{
    sections_ready();
    for (const SectionCase &c : section_cases()) {
        SCOPED_TRACE(c.name);
        Section *s = c.object();
        ASSERT_NE(nullptr, s);
        {
            SectionWriteGuard guard(*s);
            EXPECT_FALSE(test_section_lock_elsewhere(*s, false));
            EXPECT_FALSE(test_section_lock_elsewhere(*s, true));
        }
        {
            SectionReadGuard guard(*s);
            EXPECT_TRUE(test_section_lock_elsewhere(*s, false));
            EXPECT_FALSE(test_section_lock_elsewhere(*s, true));
        }
        EXPECT_TRUE(test_section_lock_elsewhere(*s, true));
    }
}

static void sections_check_described(const std::string &where, const FieldVector &fields)
{
    for (const Field &f : fields) {
        SCOPED_TRACE(where + " " + f.name);
        EXPECT_TRUE(f.enabled);
        EXPECT_FALSE(f.comment.empty());
        EXPECT_GE(f.desc.size(), 10u) << "help text too short to help";
        bool option_type = f.type == FIELD_STRING_SELECT_ONE || f.type == FIELD_STRING_SELECT_MANY ||
                           f.type == FIELD_STRING_RANGE;
        if (option_type) {
            /* An option list name that matches no list gives no options,
             * silently: the field could then never be set. */
            EXPECT_FALSE(f.options.empty()) << "no option list";
            for (const StringSelect &o : f.options) {
                EXPECT_FALSE(o.comment.empty()) << o.name;
            }
        }
        if (f.type == FIELD_STRING_SELECT_MANY) {
            EXPECT_LE(f.options.size(), (size_t)FIELD_SELECT_MANY_MAX);
        }
        if (f.type == FIELD_INT_RANGE) {
            EXPECT_LT(f.min, f.max);
        }
        /* Byte counts are 64-bit throughout. */
        EXPECT_NE(FIELD_FILE_SIZE, f.type);
    }
}

/* Every section, list and field carries a title and a help text, and every
 * option field has its options. */
TEST(Sections, EveryFieldIsDescribedForTheAdministrator)
{
    sections_ready();
    for (const auto &entry : Section::map) {
        const Section *s = entry.second;
        SCOPED_TRACE(s->name);
        EXPECT_FALSE(s->comment.empty());
        EXPECT_FALSE(s->desc.empty());
        sections_check_described("global", s->fields);
        for (const Subsection &list : s->subsections) {
            EXPECT_FALSE(list.comment.empty());
            EXPECT_FALSE(list.desc.empty());
            sections_check_described(list.name, list.template_fields);
        }
    }
}

/* Compares two XML trees: elements by name, attributes and text, comments
 * by text; white space between elements does not count. */
static void sections_compare_nodes(const XMLNode *a, const XMLNode *b, const std::string &path)
{
    const XMLNode *ca = a->FirstChild();
    const XMLNode *cb = b->FirstChild();
    int index = 0;
    for (;; ca = ca->NextSibling(), cb = cb->NextSibling(), index++) {
        while (ca && ca->ToText())
            ca = ca->NextSibling();
        while (cb && cb->ToText())
            cb = cb->NextSibling();
        if (!ca || !cb) {
            EXPECT_EQ(ca == nullptr, cb == nullptr) << path << ": child count differs at " << index;
            return;
        }
        std::string here = path + "/" + (ca->ToElement() ? ca->Value() : "#node") + "[" +
                           std::to_string(index) + "]";
        if (ca->ToComment() || cb->ToComment()) {
            ASSERT_TRUE(ca->ToComment() && cb->ToComment()) << here;
            EXPECT_STREQ(ca->Value(), cb->Value()) << here;
            continue;
        }
        if (ca->ToDeclaration() || cb->ToDeclaration()) {
            EXPECT_TRUE(ca->ToDeclaration() && cb->ToDeclaration()) << here;
            continue;
        }
        const XMLElement *ea = ca->ToElement();
        const XMLElement *eb = cb->ToElement();
        ASSERT_TRUE(ea && eb) << here;
        EXPECT_STREQ(ea->Name(), eb->Name()) << here;
        const char *ta = ea->GetText();
        const char *tb = eb->GetText();
        EXPECT_EQ(std::string(ta ? ta : ""), std::string(tb ? tb : "")) << here;
        const tinyxml2::XMLAttribute *aa = ea->FirstAttribute();
        const tinyxml2::XMLAttribute *ab = eb->FirstAttribute();
        for (; aa && ab; aa = aa->Next(), ab = ab->Next()) {
            EXPECT_STREQ(aa->Name(), ab->Name()) << here;
            EXPECT_STREQ(aa->Value(), ab->Value()) << here;
        }
        EXPECT_EQ(aa == nullptr, ab == nullptr) << here << ": attribute count differs";
        sections_compare_nodes(ca, cb, here);
    }
}

/* The shipped configuration loads without a flawed value, saves back to the
 * same document (administrator comments between sections included), and a
 * second save of the saved file writes the same bytes. */
TEST(Sections, ShippedConfigurationLoadsAndSavesUnchanged)
{
    sections_ready();
    test_log_clear();
    std::string shipped = sections_etc("quillmere.xml");
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, shipped));
    EXPECT_FALSE(test_log_contains("flawed XML file"));

    std::string dir = test_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string saved = dir + "/saved.xml";
    ASSERT_TRUE(config_save(saved));

    XMLDocument original, written;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, original.LoadFile(shipped.c_str()));
    ASSERT_EQ(tinyxml2::XML_SUCCESS, written.LoadFile(saved.c_str()));
    sections_compare_nodes(&original, &written, "");

    std::string again = dir + "/again.xml";
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, saved));
    ASSERT_TRUE(config_save(again));
    EXPECT_EQ(sections_read_file(saved), sections_read_file(again));
    EXPECT_FALSE(test_log_contains("flawed XML file"));

    unlink(saved.c_str());
    unlink(again.c_str());
    rmdir(dir.c_str());
}

/* What the shipped configuration promises an administrator: a listener on
 * 127.0.0.1:8080, the local machine allowed to use the proxy (and nothing
 * more without a rule), and sizes that keep their full width. */
TEST(Sections, ShippedConfigurationValues)
{
    sections_ready();
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, sections_etc("quillmere.xml")));

    const ItemList &listen = network_section->subsections[0].items;
    ASSERT_EQ(1u, listen.size());
    EXPECT_EQ(1, listen.front().fields[0].value);               /* enabled */
    EXPECT_EQ(8080, listen.front().fields[2].value);            /* port */
    EXPECT_EQ("127.0.0.1", listen.front().fields[3].text);      /* address */

    EXPECT_EQ(1, access_section->fields[0].value);              /* allow-first */
    EXPECT_TRUE(access_section->subsections[1].items.empty());  /* no deny rule */
    int enabled_rules = 0;
    for (const Item &rule : access_section->subsections[0].items) {
        if (!rule.fields[0].value)
            continue;
        enabled_rules++;
        EXPECT_TRUE(rule.fields[5].ipranges.has("127.0.0.1"));
        EXPECT_FALSE(rule.fields[5].ipranges.has("10.0.0.1"));
        EXPECT_FALSE(rule.fields[5].ipranges.ranges.empty());
        int permissions = rule.fields[9].value;
        EXPECT_EQ(0x2, permissions & 0x2);                      /* proxy */
        EXPECT_EQ(0x10, permissions & 0x10);                    /* connect */
        EXPECT_EQ(0, permissions & 0x1) << "web interface without a login";
        EXPECT_EQ(0, rule.fields[10].value);                    /* no bypass */
    }
    EXPECT_EQ(1, enabled_rules);

    ASSERT_EQ(1u, general_section->subsections[0].items.size());
    const Item &rule = general_section->subsections[0].items.front();
    EXPECT_EQ(4ull << 20, rule.fields[6].llvalue);              /* maxdbuffer */
    EXPECT_TRUE(rule.fields[9].portranges.has(443));            /* cportrange */
    EXPECT_FALSE(rule.fields[9].portranges.has(25));
    EXPECT_EQ(64ull << 20, cache_section->fields[2].llvalue);   /* memory-cache-size */
    EXPECT_EQ(1, ftp_section->fields[5].value);                 /* sortfield name */
}

/* A section whose description lacks, renames or retypes a field or list
 * that its class reads stops the start, and the message names it. */
struct BrokenDescription {
    const char *what;
    const char *section;
    std::function<void(XMLElement *section)> breaks;
    std::function<void()> create;
    const char *message;
};

static XMLElement *sections_child(XMLElement *e, const char *path)
{
    std::string rest = path;
    while (e && !rest.empty()) {
        size_t slash = rest.find('/');
        std::string name = rest.substr(0, slash);
        e = e->FirstChildElement(name.c_str());
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
    return e;
}

TEST(SectionsDeathTest, DescriptionLackingADeclaredFieldStopsTheStart)
{
    sections_ready();
    const BrokenDescription cases[] = {
        { "global field missing", "access",
          [](XMLElement *s) { s->FirstChildElement("global")->DeleteChildren(); },
          [] { new AccessSection(); },
          "access: global field 0 must be <allow-first> of type BOOL, but the description "
          "declares only 0 fields" },
        { "entry field renamed", "url-filtering",
          [](XMLElement *s) { sections_child(s, "template/rule/host")->SetName("hostname"); },
          [] { new FilterSection(); },
          "url-filtering: list <allow> field 3 must be <host> of type STRING, but the "
          "description names it <hostname>" },
        { "global field of 32 bits", "cache",
          [](XMLElement *s) {
              sections_child(s, "global/memory-cache-size/type")->SetText("FILE_SIZE");
          },
          [] { new CacheSection(); },
          "cache: global field 2 must be <memory-cache-size> of type LONG_FILE_SIZE, but the "
          "description gives it type FILE_SIZE" },
        { "list missing", "network",
          [](XMLElement *s) {
              XMLElement *lists = s->FirstChildElement("subsection");
              lists->DeleteChild(lists->FirstChildElement("interface"));
          },
          [] { new NetworkSection(); },
          "network: list 1 must be <interface>, but the description declares only 1 lists" },
        { "last entry field missing", "profiles",
          [](XMLElement *s) {
              XMLElement *rule = sections_child(s, "template/profile");
              rule->DeleteChild(rule->LastChildElement());
          },
          [] { new ProfileSection(); },
          "profiles: list <profile> field 20 must be <remove-profiles> of type STRING_LIST, "
          "but the description declares only 20 fields" },
    };
    for (const BrokenDescription &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(
            {
                XMLDocument broken;
                sectionxml->DeepCopy(&broken);
                XMLElement *s = broken.FirstChildElement("section")->FirstChildElement(c.section);
                c.breaks(s);
                sectionxml = &broken;
                /* The cause of a fatal error reaches standard error while
                 * the start is pending. */
                startup_set_pipe(open("/dev/null", O_WRONLY));
                c.create();
            },
            ::testing::ExitedWithCode(1), c.message);
    }
}
