/* The section model: building sections from a description document, the
 * faults in a description that stop the start, field declarations checked
 * at construction, entry ids, lookups and the section locks. */
#include <gtest/gtest.h>
#include <pthread.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "options.h"
#include "section.h"
#include "test_support.h"

namespace {

/* A section class as the daemon's sections are written, counting update(). */
class TestSection : public Section {
public:
    explicit TestSection(const char *name, int lockkind = SECTION_RWLOCK)
        : Section(name, lockkind)
    {
    }
    void update() override { updates++; }
    int updates = 0;

    using Section::fields_require;
    using Section::list_require;
};

/* One field description. */
std::string fdesc(int n, const char *name, const char *type, const char *value,
                  const char *extra = "")
{
    return std::string("<") + name + " n=\"" + std::to_string(n) + "\"><comment>" + name +
           " label</comment><value>" + value + "</value><type>" + type +
           "</type><desc>tip</desc>" + extra + "</" + name + ">";
}

/* A description document holding one section element named name. */
std::string sdesc(const char *name, const std::string &body)
{
    return std::string("<?xml version=\"1.0\"?><section><") + name +
           "><comment>Title</comment><desc>Help</desc>" + body + "</" + name + "></section>";
}

const std::string alpha_body =
    "<select>"
    "<actions><block><comment>Block it</comment><value>TRUE</value><desc>d</desc></block>"
    "<none/><log><value>no</value></log></actions>"
    "<one><only/></one>"
    "</select>"
    "<global>" +
    fdesc(0, "count", "INT", "-5") + fdesc(1, "limit", "UINT", "") +
    fdesc(2, "flag", "BOOL", "True") + fdesc(3, "other", "BOOL", "yes") +
    fdesc(4, "host", "STRING", "proxy") + fdesc(5, "action", "STRING_SELECT_ONE", "actions") +
    fdesc(6, "hours", "INT_RANGE", "0,23") + fdesc(7, "size", "FILE_SIZE", "5G") +
    fdesc(8, "big", "LONG_FILE_SIZE", "5G") + fdesc(9, "ips", "IP_RANGE_LIST", "10.0.0.1") +
    fdesc(10, "rate", "DOUBLE", "1.5") + fdesc(11, "nolist", "STRING_SELECT_MANY", "missing") +
    fdesc(12, "single", "STRING_SELECT_ONE", "one") +
    fdesc(13, "opt", "STRING", "x", "<optional>true</optional>") +
    fdesc(14, "off", "INT", "3", "<enabled>no</enabled>") +
    "</global>"
    "<template><rule>" +
    fdesc(0, "enabled", "BOOL", "true") + fdesc(1, "profiles", "STRING_LIST", "") +
    "</rule><rule>" + fdesc(0, "replaced", "INT", "1") + "</rule>"
    "<page>" + fdesc(0, "name", "STRING", "") + "</page></template>"
    "<subsection>"
    "<allow><comment>Allow</comment><template>rule</template><desc>a</desc></allow>"
    "<deny><comment>Deny</comment><template>rule</template><desc>d</desc>"
    "<enabled>false</enabled></deny>"
    "<bare><comment>Bare</comment><template>nosuch</template><desc>b</desc></bare>"
    "</subsection>";

class SectionTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { sectionxml = nullptr; }

    /* Makes text the description document. */
    void describe(const std::string &text)
    {
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
        sectionxml = &doc;
    }

    tinyxml2::XMLDocument doc;
};

/* Sends the daemon's log lines to standard error, where a death test reads
 * them: in the foreground putlog echoes to standard output. */
void log_to_stderr()
{
    daemonize = 0;
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

} // namespace

/* Every part of the description lands in its member: types, defaults,
 * sizes, options and their pre-selection, templates and lists. */
TEST_F(SectionTest, BuildsFromDescription)
{
    describe(sdesc("alpha", alpha_body));
    TestSection s("alpha");
    EXPECT_EQ("Title", s.comment);
    EXPECT_EQ("Help", s.desc);
    ASSERT_EQ(15u, s.fields.size());

    const FieldVector &f = s.fields;
    EXPECT_EQ(FIELD_INT, f[0].type);
    EXPECT_EQ(-5, f[0].value);
    EXPECT_EQ("-5", f[0].text);
    EXPECT_EQ(0u, f[1].uvalue);             /* empty UINT default is 0 */
    EXPECT_EQ(1, f[2].value);               /* True in any case */
    EXPECT_EQ(0, f[3].value);               /* yes is simply false */
    EXPECT_EQ(80, f[4].size);
    EXPECT_EQ(20, f[0].size);
    EXPECT_EQ(0, f[5].size);
    EXPECT_EQ("block", f[5].text);          /* the pre-selected option is the value */
    EXPECT_EQ(0, f[5].value);
    ASSERT_EQ(3u, f[5].options.size());
    EXPECT_EQ("block", f[5].options[0].name);
    EXPECT_EQ("Block it", f[5].options[0].comment);
    EXPECT_TRUE(f[5].options[0].selected);
    EXPECT_EQ("none", f[5].options[1].comment);   /* label defaults to the name */
    EXPECT_FALSE(f[5].options[2].selected);
    EXPECT_EQ(3u, f[5].options2.size());
    EXPECT_EQ(0, f[6].min);
    EXPECT_EQ(23, f[6].max);
    EXPECT_EQ(0, f[6].value);
    EXPECT_EQ(5ull << 30, f[7].llvalue);    /* FILE_SIZE holds 64 bits too */
    EXPECT_EQ(5ull << 30, f[8].llvalue);
    EXPECT_TRUE(f[9].ipranges.ranges.empty());   /* lists wait for the load */
    EXPECT_EQ(0.0, f[10].dvalue);
    EXPECT_TRUE(f[11].options.empty());
    EXPECT_TRUE(f[13].optional);
    EXPECT_FALSE(f[13].active);
    EXPECT_FALSE(f[14].enabled);
    EXPECT_EQ(3, f[14].value);

    ASSERT_EQ(3u, s.subsections.size());
    EXPECT_EQ("allow", s.subsections[0].name);
    EXPECT_EQ("alpha", s.subsections[0].section);
    EXPECT_TRUE(s.subsections[0].enabled);
    EXPECT_FALSE(s.subsections[1].enabled);
    /* The later template of the same name replaced the first. */
    ASSERT_EQ(1u, s.subsections[0].template_fields.size());
    EXPECT_EQ("replaced", s.subsections[0].template_fields[0].name);
    EXPECT_TRUE(s.subsections[2].template_fields.empty());
    EXPECT_EQ(&s, Section::map["alpha"]);
}

TEST_F(SectionTest, NatureTexts)
{
    describe(sdesc("alpha", alpha_body));
    TestSection s("alpha");
    struct NatureCase { size_t field; const char *nature; };
    static const NatureCase cases[] = {
        { 0, "an integer" },
        { 1, "a positive integer" },
        { 2, "true or false" },
        { 4, "a string" },
        { 5, "a string among these values : block,none,log" },
        { 6, "a couple of integers between 0 and 23 inclusive" },
        { 7, "a file size (for example 120, 10K, 1M)" },
        { 8, "a file size (for example 120, 10K, 1M)" },
        { 9, "an IP range list (see manual)" },
        { 10, "a floating point number" },
        { 11, "a list of strings among these values : " },
        { 12, "a string among these values : only" },
    };
    for (const NatureCase &c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(c.nature, s.fields[c.field].nature());
    }
    Field odd = s.fields[0];
    odd.type = 9;
    EXPECT_EQ("", odd.nature());
}

/* Each fault of a description stops the start naming the function that
 * found it. */
TEST_F(SectionTest, DescriptionFaultsAreFatal)
{
    struct FaultCase { const char *what; std::string text; const char *function; };
    const std::string ok_global = "<global>" + fdesc(0, "a", "INT", "1") + "</global>";
    const FaultCase cases[] = {
        { "no root", "<other><alpha/></other>", "Section" },
        { "no section element", sdesc("beta", ok_global), "Section" },
        { "no comment", "<section><alpha><desc>d</desc>" + ok_global + "</alpha></section>",
          "Section" },
        { "empty desc",
          "<section><alpha><comment>c</comment><desc/>" + ok_global + "</alpha></section>",
          "Section" },
        { "no global", sdesc("alpha", ""), "Section" },
        { "option comment without text",
          sdesc("alpha", "<select><l><o><comment/></o></l></select>" + ok_global), "Section" },
        { "subsection without template",
          sdesc("alpha", ok_global + "<subsection><s><comment>c</comment><desc>d</desc></s>"
                                     "</subsection>"),
          "Section" },
        { "subsection enabled without text",
          sdesc("alpha", ok_global + "<subsection><s><comment>c</comment><template>t</template>"
                                     "<desc>d</desc><enabled/></s></subsection>"),
          "Section" },
        { "gap in n",
          sdesc("alpha", "<global>" + fdesc(0, "a", "INT", "") + fdesc(2, "b", "INT", "") +
                             "</global>"),
          "parse" },
        { "swapped n",
          sdesc("alpha", "<global>" + fdesc(1, "a", "INT", "") + fdesc(0, "b", "INT", "") +
                             "</global>"),
          "parse" },
        { "no n",
          sdesc("alpha", "<global><a><comment>c</comment><value/><type>INT</type><desc/></a>"
                         "</global>"),
          "parse" },
        { "no value",
          sdesc("alpha", "<global><a n=\"0\"><comment>c</comment><type>INT</type><desc/></a>"
                         "</global>"),
          "parse" },
        { "no desc",
          sdesc("alpha", "<global><a n=\"0\"><comment>c</comment><value/><type>INT</type></a>"
                         "</global>"),
          "parse" },
        { "optional without text",
          sdesc("alpha", "<global>" + fdesc(0, "a", "INT", "", "<optional/>") + "</global>"),
          "parse" },
        { "unknown type", sdesc("alpha", "<global>" + fdesc(0, "a", "int", "") + "</global>"),
          "type_get" },
        { "bad INT default",
          sdesc("alpha", "<global>" + fdesc(0, "a", "INT", "4x") + "</global>"), "parse" },
        { "empty FILE_SIZE default",
          sdesc("alpha", "<global>" + fdesc(0, "a", "FILE_SIZE", "") + "</global>"), "parse" },
        { "one-number INT_RANGE default",
          sdesc("alpha", "<global>" + fdesc(0, "a", "INT_RANGE", "5") + "</global>"), "parse" },
    };
    for (const FaultCase &c : cases) {
        SCOPED_TRACE(c.what);
        describe(c.text);
        std::string expect = std::string("ASSERTION: src/section:[0-9]+ in function ") +
                             c.function;
        EXPECT_EXIT(
            {
                log_to_stderr();
                TestSection s("alpha");
            },
            ::testing::ExitedWithCode(1), expect);
    }
}

/* A STRING_SELECT_MANY field holds at most 32 options, the bits of its
 * mask: 32 are accepted, 33 stop the start. */
TEST_F(SectionTest, SelectManyOptionLimit)
{
    for (int count : { 32, 33 }) {
        SCOPED_TRACE(count);
        std::string options;
        for (int i = 0; i < count; i++)
            options += "<o" + std::to_string(i) + "/>";
        describe(sdesc("alpha", "<select><many>" + options + "</many></select><global>" +
                                    fdesc(0, "a", "STRING_SELECT_MANY", "many") + "</global>"));
        if (count == 32) {
            TestSection s("alpha");
            EXPECT_EQ(32u, s.fields[0].options.size());
            continue;
        }
        EXPECT_EXIT(
            {
                log_to_stderr();
                TestSection s("alpha");
            },
            ::testing::ExitedWithCode(1), "offers 33 options, more than 32");
    }
}

/* A class that declares its fields is refused at construction when the
 * description lacks one, names it otherwise or types it otherwise; the
 * message names section, position and element. */
TEST_F(SectionTest, FieldDeclarationsChecked)
{
    describe(sdesc("alpha", alpha_body));
    static const FieldDecl good_globals[] = {
        { 0, "count", FIELD_INT },
        { 13, "opt", FIELD_STRING },
    };
    static const FieldDecl good_rule[] = { { 0, "replaced", FIELD_INT } };
    {
        TestSection s("alpha");
        s.fields_require(good_globals);
        s.list_require(0, "allow", good_rule);
        s.list_require(2, "bare");
    }

    struct DeclCase { FieldDecl decl; bool global; int list; const char *list_name; const char *msg; };
    static const DeclCase cases[] = {
        { { 15, "beyond", FIELD_INT }, true, 0, "",
          "section description of alpha: global field 15 must be <beyond> of type INT, but the "
          "description declares only 15 fields there" },
        { { 0, "counter", FIELD_INT }, true, 0, "", "names it <count>" },
        { { 0, "count", FIELD_UINT }, true, 0, "", "gives it type INT" },
        { { 1, "profiles", FIELD_STRING_LIST }, false, 0, "allow",
          "list <allow> field 1 must be <profiles>" },
        { { 0, "replaced", FIELD_INT }, false, 3, "extra", "declares only 3 lists" },
        { { 0, "replaced", FIELD_INT }, false, 1, "allow", "names it <deny>" },
    };
    for (const DeclCase &c : cases) {
        SCOPED_TRACE(c.msg);
        EXPECT_EXIT(
            {
                log_to_stderr();
                TestSection s("alpha");
                if (c.global)
                    s.fields_require(&c.decl, 1);
                else
                    s.list_require(c.list, c.list_name, &c.decl, 1);
            },
            ::testing::ExitedWithCode(1), c.msg);
    }
}

/* Ids are unique and never reused: every copy and assignment takes a new
 * one, also when many threads copy entries at once. */
TEST_F(SectionTest, ItemIdsUnique)
{
    describe(sdesc("alpha", alpha_body));
    TestSection s("alpha");
    Item a(s.subsections[0]);
    Item b(a);
    EXPECT_NE(a.id, b.id);
    EXPECT_EQ("allow", b.subsection);
    EXPECT_EQ("alpha", b.section);
    int before = b.id;
    b = a;
    EXPECT_NE(before, b.id);
    EXPECT_NE(a.id, b.id);
    b.fields[0].value = 42;
    EXPECT_NE(42, a.fields[0].value);   /* deep copy */

    struct Copier {
        static void *run(void *arg)
        {
            const Item *from = (const Item *)arg;
            std::vector<int> *ids = new std::vector<int>;
            for (int i = 0; i < 2000; i++)
                ids->push_back(Item(*from).id);
            return ids;
        }
    };
    pthread_t threads[4];
    for (pthread_t &t : threads)
        ASSERT_EQ(0, pthread_create(&t, nullptr, Copier::run, &a));
    std::set<int> seen;
    for (pthread_t &t : threads) {
        void *result;
        pthread_join(t, &result);
        std::vector<int> *ids = (std::vector<int> *)result;
        seen.insert(ids->begin(), ids->end());
        delete ids;
    }
    EXPECT_EQ(8000u, seen.size());
}

TEST_F(SectionTest, Lookups)
{
    describe(sdesc("alpha", alpha_body));
    TestSection s("alpha");
    s.subsections[0].items.push_back(Item(s.subsections[0]));
    s.subsections[1].items.push_back(Item(s.subsections[1]));
    s.subsections[1].items.push_back(Item(s.subsections[1]));
    int wanted = s.subsections[1].items.back().id;

    Item *found = s.item_get(wanted);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ("deny", found->subsection);
    Subsection *list = nullptr;
    ItemList::iterator pos;
    ASSERT_TRUE(s.item_iterator_get(wanted, &list, &pos));
    EXPECT_EQ(&s.subsections[1], list);
    EXPECT_EQ(wanted, pos->id);
    EXPECT_EQ(nullptr, s.item_get(Item::count.load() + 100));

    EXPECT_EQ(&s.subsections[0], s.subsection_get("allow"));
    EXPECT_EQ(nullptr, s.subsection_get("Allow"));
    EXPECT_EQ("alpha", s.name_get());
    EXPECT_EQ("Title", s.comment_get());
}

/* Sections are visited in byte order of their names; a destroyed section
 * leaves the map, a newer one of the same name replaces the entry. */
TEST_F(SectionTest, MapOrderAndLifetime)
{
    const std::string global = "<global>" + fdesc(0, "a", "INT", "1") + "</global>";
    describe("<section><zeta><comment>z</comment><desc>d</desc>" + global +
             "</zeta><Zulu><comment>z</comment><desc>d</desc>" + global +
             "</Zulu><alpha><comment>a</comment><desc>d</desc>" + global +
             "</alpha></section>");
    {
        TestSection z("zeta"), a("alpha"), upper("Zulu");
        std::vector<std::string> names;
        for (const auto &entry : Section::map)
            names.push_back(entry.first);
        EXPECT_EQ((std::vector<std::string>{ "Zulu", "alpha", "zeta" }), names);
        TestSection again("alpha");
        EXPECT_EQ(&again, Section::map["alpha"]);
    }
    EXPECT_TRUE(Section::map.empty());
}

/* The mutex section can wait on a condition; a read-write section calling
 * the mutex services stops the program. */
TEST_F(SectionTest, LockKinds)
{
    const std::string global = "<global>" + fdesc(0, "a", "INT", "7") + "</global>";
    describe("<section><cache><comment>c</comment><desc>d</desc>" + global +
             "</cache><alpha><comment>a</comment><desc>d</desc>" + global +
             "</alpha></section>");
    TestSection cache("cache", SECTION_MUTEX);
    cache.mutex_lock();
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    struct timespec past = { 0, 0 };
    EXPECT_EQ(ETIMEDOUT, pthread_cond_timedwait(&cond, &cache.mutex, &past));
    cache.unlock();
    EXPECT_EQ(7, cache.atomic_read(&cache.fields[0].value));

    /* The read-write kinds with threads: unit_section_lock. */
    TestSection alpha("alpha");
    EXPECT_EQ(7, alpha.atomic_read(&alpha.fields[0].value));
    EXPECT_EXIT(
        {
            log_to_stderr();
            alpha.mutex_lock();
        },
        ::testing::ExitedWithCode(1), "ASSERTION: src/section:[0-9]+ in function mutex_lock");
    EXPECT_EXIT(
        {
            log_to_stderr();
            alpha.cond_wait(&cond);
        },
        ::testing::ExitedWithCode(1), "ASSERTION: src/section:[0-9]+ in function cond_wait");
}

TEST_F(SectionTest, TypeStrings)
{
    static const char *const names[] = {
        "INT", "UINT", "BOOL", "STRING", "STRING_SELECT_ONE", "STRING_SELECT_MANY",
        "STRING_LIST", "IP_RANGE_LIST", "PORT_RANGE_LIST", "STRING_RANGE", "INT_RANGE",
        "FILE_SIZE", "MULTILINE_STRING", "LONG_FILE_SIZE", "DOUBLE",
    };
    static const int codes[] = { 0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15 };
    for (size_t i = 0; i < sizeof codes / sizeof codes[0]; i++) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(codes[i], Field::type_get(names[i]));
        EXPECT_STREQ(names[i], Field::type_string(codes[i]));
    }
    EXPECT_STREQ("", Field::type_string(9));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            log_to_stderr();
            Field::type_get("int");
        },
        ::testing::ExitedWithCode(1), "in function type_get");
}
