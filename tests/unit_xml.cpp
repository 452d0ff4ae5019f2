/* Loading and saving the configuration document: every type's text, the
 * load modes, bad values (refused at start-up, reported otherwise, leaving
 * the section as it was), optional elements, URL names and saves that keep
 * the rest of the file. */
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "options.h"
#include "section.h"
#include "test_support.h"
#include "xml.h"

namespace {

class TestSection : public Section {
public:
    explicit TestSection(const char *name) : Section(name, SECTION_RWLOCK) {}
    void update() override { updates++; }
    int updates = 0;
};

std::string fdesc(int n, const char *name, const char *type, const char *value,
                  const char *extra = "")
{
    return std::string("<") + name + " n=\"" + std::to_string(n) + "\"><comment>" + name +
           "</comment><value>" + value + "</value><type>" + type + "</type><desc/>" + extra +
           "</" + name + ">";
}

const std::string description =
    "<section><gamma><comment>Gamma</comment><desc>g</desc>"
    "<select><modes><a/><b/><c/></modes></select>"
    "<global>" +
    fdesc(0, "flag", "BOOL", "false") + fdesc(1, "count", "INT", "7") +
    fdesc(2, "name", "STRING", "dflt") + fdesc(3, "hosts", "IP_RANGE_LIST", "") +
    fdesc(4, "mode", "STRING_SELECT_ONE", "modes") +
    fdesc(5, "kinds", "STRING_SELECT_MANY", "modes") + fdesc(6, "hours", "INT_RANGE", "0,23") +
    fdesc(7, "size", "FILE_SIZE", "1K") + fdesc(8, "opt", "INT", "5", "<optional>true</optional>") +
    fdesc(9, "off", "STRING", "keep", "<enabled>false</enabled>") +
    fdesc(10, "span", "STRING_RANGE", "modes") + fdesc(11, "ports", "PORT_RANGE_LIST", "") +
    fdesc(12, "rate", "DOUBLE", "") + fdesc(13, "big", "LONG_FILE_SIZE", "1") +
    "</global><template><rule>" +
    fdesc(0, "on", "BOOL", "true") + fdesc(1, "names", "STRING_LIST", "") +
    fdesc(2, "level", "INT", "9", "<optional>true</optional>") +
    "</rule><extra>" + fdesc(0, "note", "STRING", "") + "</extra></template>"
    "<subsection><rule><comment>r</comment><template>rule</template><desc>d</desc></rule>"
    "<extra><comment>e</comment><template>extra</template><desc>d</desc></extra></subsection>"
    "</gamma><beta><comment>Beta</comment><desc>b</desc><global>" +
    fdesc(0, "n", "INT", "1") + "</global></beta></section>";

/* The global elements of a good gamma section, in order. */
const char *const gamma_globals[][2] = {
    { "flag", "<flag>TRUE</flag>" },
    { "count", "<count> 42</count>" },
    { "name", "<name>a &lt;b&gt; &amp; c</name>" },
    { "hosts", "<hosts>10.0.0.0-10.255.255.255</hosts>" },
    { "mode", "<mode>b</mode>" },
    { "kinds", "<kinds>a,c,zz</kinds>" },
    { "hours", "<hours>20,3</hours>" },
    { "size", "<size>6G</size>" },
    { "opt", "<opt>11</opt>" },
    { "off", "<off>ignored</off>" },
    { "span", "<span>A,c</span>" },
    { "ports", "<ports>80,8000-8080</ports>" },
    { "rate", "<rate>2.5</rate>" },
    { "big", "<big>5G</big>" },
};

/* A gamma element: the good globals with some replaced (an empty
 * replacement drops the element), then entries. */
std::string gamma_xml(const std::map<std::string, std::string> &replace = {},
                      const std::string &entries = "")
{
    std::string out = "<gamma>";
    for (const auto &g : gamma_globals) {
        auto r = replace.find(g[0]);
        out += r == replace.end() ? g[1] : r->second;
    }
    return out + entries + "</gamma>";
}

std::string config_xml(const std::string &body)
{
    return "<?xml version=\"1.0\"?>\n<quillmere>" + body + "</quillmere>\n";
}

std::string file_read(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void log_to_stderr()
{
    daemonize = 0;
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

class XmlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(tinyxml2::XML_SUCCESS, desc.Parse(description.c_str()));
        sectionxml = &desc;
        gamma.reset(new TestSection("gamma"));
        beta.reset(new TestSection("beta"));
        dir = test_temp_dir();
        ASSERT_FALSE(dir.empty());
        test_log_clear();
    }

    void TearDown() override
    {
        gamma.reset();
        beta.reset();
        sectionxml = nullptr;
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }

    /* Writes text to a file in the test directory; returns its path. */
    std::string write(const std::string &text, const char *name = "quillmere.xml")
    {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    int load(const std::string &body, int mode = CONFIG_LOAD_REPLACE)
    {
        return config_load(mode, write(config_xml(body)));
    }

    tinyxml2::XMLDocument desc;
    std::unique_ptr<TestSection> gamma, beta;
    std::string dir;
};

} // namespace

/* Each type's text reaches the member that carries it. */
TEST_F(XmlTest, LoadsEveryType)
{
    ASSERT_EQ(1, load(gamma_xml()));
    const FieldVector &f = gamma->fields;
    EXPECT_EQ(1, gamma->updates);
    EXPECT_EQ(1, f[0].value);
    EXPECT_EQ(42, f[1].value);
    EXPECT_EQ("a <b> & c", f[2].text);
    EXPECT_TRUE(f[3].ipranges.has("10.1.2.3"));
    EXPECT_FALSE(f[3].ipranges.has("11.0.0.0"));
    EXPECT_EQ("10.0.0.0-10.255.255.255", f[3].ipranges.text);
    EXPECT_EQ(1, f[4].value);
    EXPECT_TRUE(f[4].options[1].selected);
    EXPECT_FALSE(f[4].options[0].selected);
    EXPECT_EQ(5, f[5].value);   /* a and c; zz is ignored */
    EXPECT_EQ(3u, f[5].list.size());
    EXPECT_EQ(20, f[6].value);  /* no order is required */
    EXPECT_EQ(3, f[6].value2);
    EXPECT_EQ(6ull << 30, f[7].llvalue);   /* 64 bits, not wrapped */
    EXPECT_TRUE(f[8].active);   /* no attribute: active */
    EXPECT_EQ(11, f[8].value);
    EXPECT_EQ("keep", f[9].text);   /* disabled: never loaded */
    EXPECT_EQ(0, f[10].value);      /* A, any letter case */
    EXPECT_EQ(2, f[10].value2);
    EXPECT_TRUE(f[11].portranges.has(8080));
    EXPECT_FALSE(f[11].portranges.has(81));
    EXPECT_EQ(2.5, f[12].dvalue);
    EXPECT_EQ(5ull << 30, f[13].llvalue);
    EXPECT_EQ(0, beta->updates);    /* no element: untouched */
    EXPECT_EQ(1, beta->fields[0].value);
}

/* Missing elements of a present section: numbers 0, texts and lists empty
 * (an empty list matches everything), a select-one keeps its index. */
TEST_F(XmlTest, MissingElementsGiveEmptyValues)
{
    ASSERT_EQ(1, load(gamma_xml()));
    ASSERT_EQ(1, load(gamma_xml({ { "count", "" }, { "name", "" }, { "hosts", "" },
                                  { "mode", "" }, { "kinds", "" }, { "ports", "" },
                                  { "rate", "" } })));
    const FieldVector &f = gamma->fields;
    EXPECT_EQ(0, f[1].value);
    EXPECT_EQ("", f[2].text);
    EXPECT_TRUE(f[3].ipranges.ranges.empty());
    EXPECT_TRUE(f[3].ipranges.has("1.2.3.4"));
    EXPECT_EQ(1, f[4].value);
    for (const StringSelect &o : f[4].options)
        EXPECT_FALSE(o.selected);
    EXPECT_EQ(0, f[5].value);
    EXPECT_TRUE(f[11].portranges.empty());
    EXPECT_EQ(0.0, f[12].dvalue);
}

/* A select-many text naming one option after one that named three leaves
 * exactly that option's bit; a select-one naming no option keeps the index
 * and selects nothing. */
TEST_F(XmlTest, SelectReload)
{
    ASSERT_EQ(1, load(gamma_xml({ { "kinds", "<kinds>a,b,c</kinds>" } })));
    EXPECT_EQ(7, gamma->fields[5].value);
    ASSERT_EQ(1, load(gamma_xml({ { "kinds", "<kinds>b</kinds>" }, { "mode", "<mode>B</mode>" } })));
    EXPECT_EQ(2, gamma->fields[5].value);
    EXPECT_FALSE(gamma->fields[5].options[0].selected);
    EXPECT_TRUE(gamma->fields[5].options[1].selected);
    EXPECT_EQ(1, gamma->fields[4].value);   /* kept: B is not b */
    for (const StringSelect &o : gamma->fields[4].options)
        EXPECT_FALSE(o.selected);
}

/* Each bad value fails the load with the exact line naming section, list,
 * field, nature and text, and leaves the section as it was. */
TEST_F(XmlTest, BadValuesLeaveSectionUnchanged)
{
    const std::string rule_ok = "<rule><on>true</on><names>x</names><level>1</level></rule>";
    struct BadCase {
        std::map<std::string, std::string> replace;
        std::string entries;
        const char *line;
    };
    const BadCase cases[] = {
        { { { "flag", "<flag>True</flag>" } }, "",
          "flawed XML file, section gamma, element : flag must be true or false, but it is "
          "given value True" },
        { { { "flag", "" } }, "",
          "flawed XML file, section gamma, element : flag must be true or false, but it is "
          "given value " },
        { { { "hours", "<hours>5,30</hours>" } }, "",
          "element : hours must be a couple of integers between 0 and 23 inclusive, but it is "
          "given value 5,30" },
        { { { "hours", "<hours>5</hours>" } }, "", "hours must be a couple of integers" },
        { { { "size", "<size>10kbytes</size>" } }, "",
          "size must be a file size (for example 120, 10K, 1M), but it is given value 10kbytes" },
        { { { "size", "" } }, "", "size must be a file size" },
        { { { "count", "<count>4x</count>" } }, "", "count must be an integer" },
        { { { "span", "<span>a,zz</span>" } }, "",
          "span must be a couple of strings among these values : a,b,c, but it is given value "
          "a,zz" },
        { { { "hosts", "<hosts>1.2.3</hosts>" } }, "",
          "hosts must be an IP range list (see manual)" },
        { { { "ports", "<ports>0</ports>" } }, "", "ports must be a port range list (see manual)" },
        { {}, rule_ok + "<rule><on>yes</on></rule>",
          "flawed XML file, section gamma, element rule: on must be true or false, but it is "
          "given value yes" },
        { {}, rule_ok + "<rule><on>true</on><level>x</level></rule>",
          "element rule: level must be an integer, but it is given value x" },
        { { { "name", "<name>line1&#10;line2</name>" }, { "count", "<count>x</count>" } }, "",
          "count must be an integer, but it is given value x" },
    };
    ASSERT_EQ(1, load(gamma_xml({}, rule_ok)));
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.line);
        test_log_clear();
        int updates = gamma->updates;
        EXPECT_EQ(0, load(gamma_xml(c.replace, c.entries)));
        EXPECT_TRUE(test_log_contains(c.line));
        EXPECT_EQ(updates, gamma->updates);
        EXPECT_EQ(1, gamma->fields[0].value);
        EXPECT_EQ("a <b> & c", gamma->fields[2].text);
        EXPECT_EQ(20, gamma->fields[6].value);
        ASSERT_EQ(1u, gamma->subsections[0].items.size());
        EXPECT_EQ(1, gamma->subsections[0].items.front().fields[2].value);
    }
}

/* A control byte in a bad value is escaped in the log line. */
TEST_F(XmlTest, BadValueEscapedInLog)
{
    EXPECT_EQ(0, load(gamma_xml({ { "count", "<count>1&#10;2</count>" } })));
    EXPECT_TRUE(test_log_contains("count must be an integer, but it is given value 1\\x0a2"));
}

/* At start-up a bad value, an unreadable file, a document without root and
 * a URL each stop the daemon, naming where. */
TEST_F(XmlTest, StartupFailuresAreFatal)
{
    std::string bad = write(config_xml(gamma_xml({ { "flag", "<flag>True</flag>" } })), "bad.xml");
    std::string noroot = write("<other/>", "noroot.xml");
    std::string broken = write("<quillmere><gamma>", "broken.xml");
    struct FatalCase { std::string name; const char *expect; };
    const FatalCase cases[] = {
        { bad, "flawed XML file, section gamma, element : flag must be true or false(.|\n)*"
               "ASSERTION: src/section:[0-9]+ in function error_log" },
        { broken, "ASSERTION: src/main:[0-9]+ in function config_load" },
        { dir + "/missing.xml", "ASSERTION: src/main:[0-9]+ in function config_load" },
        { noroot, "ASSERTION: src/xml:[0-9]+ in function section_select" },
        { "http://127.0.0.1:1/quillmere.xml",
          "ASSERTION: src/main:[0-9]+ in function config_url_load" },
    };
    for (const FatalCase &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                log_to_stderr();
                int rc = config_load(CONFIG_LOAD_STARTUP, c.name);
                (void)rc;
            },
            ::testing::ExitedWithCode(1), c.expect);
    }
}

/* Outside start-up the same failures return 0 and change nothing. */
TEST_F(XmlTest, FailedLoadsKeepDocument)
{
    ASSERT_EQ(1, load(gamma_xml()));
    tinyxml2::XMLDocument *before = document;
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, write("<other/>", "noroot.xml")));
    EXPECT_EQ(before, document);
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, write("<quillmere>", "broken.xml")));
    EXPECT_EQ(before, document);
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, dir + "/missing.xml"));
    EXPECT_EQ(1, gamma->updates);

    /* A name with a colon between other characters is a URL, even when a
     * file of that name exists. */
    std::string colon = write(config_xml(gamma_xml()), "a:b.xml");
    test_log_clear();
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, colon));
    EXPECT_TRUE(test_log_contains("a:b.xml cannot be loaded"));
    test_log_clear();
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, "http://127.0.0.1:1/q.xml"));
    EXPECT_TRUE(test_log_contains("cannot be loaded: the fetch failed"));
    /* Only plain http is fetched, and a long name is refused, never cut. */
    test_log_clear();
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, "https://u:p@127.0.0.1:1/q.xml"));
    EXPECT_TRUE(test_log_contains("only http URLs are fetched"));
    EXPECT_EQ(0, config_load(CONFIG_LOAD_REPLACE, "http://127.0.0.1:1/" + std::string(240, 'a')));
    EXPECT_TRUE(test_log_contains("the URL is too long"));
    EXPECT_EQ(1, gamma->updates);

    /* A fetched body that does not parse changes nothing and logs nothing. */
    test_log_clear();
    const char body[] = "<quillmere><gamma>";
    EXPECT_EQ(0, config_text_load(body, sizeof body - 1, CONFIG_LOAD_REPLACE));
    EXPECT_FALSE(test_log_contains("quillmere"));
    EXPECT_EQ(before, document);
    std::string good = config_xml(gamma_xml());
    EXPECT_EQ(1, config_text_load(good.data(), good.size(), CONFIG_LOAD_REPLACE));
    EXPECT_EQ(2, gamma->updates);
}

/* Mode 0 appends each list's entries, any other mode replaces them; every
 * entry loaded advances the id counter by two; entries of one list stand
 * in document order even with other lists between them. */
TEST_F(XmlTest, ModesAndEntryOrder)
{
    const std::string entries =
        "<rule><on>true</on><names>first</names></rule>"
        "<extra><note>n</note></extra>"
        "<rule><on>false</on><names>second,x</names></rule>";
    std::string path = write(config_xml(gamma_xml({}, entries)));
    int ids = Item::count.load();
    ASSERT_EQ(1, config_load(CONFIG_LOAD_APPEND, path));
    EXPECT_EQ(ids + 6, Item::count.load());
    ASSERT_EQ(1, config_load(CONFIG_LOAD_APPEND, path));
    ItemList &rules = gamma->subsections[0].items;
    ASSERT_EQ(4u, rules.size());
    EXPECT_EQ(2u, gamma->subsections[1].items.size());
    auto it = rules.begin();
    EXPECT_EQ("first", it->fields[1].list.front());
    ++it;
    EXPECT_EQ(0, it->fields[0].value);
    EXPECT_EQ(2u, it->fields[1].list.size());
    EXPECT_EQ("gamma", it->section);
    EXPECT_EQ("rule", it->subsection);

    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, path));
    EXPECT_EQ(2u, rules.size());
    EXPECT_EQ(1u, gamma->subsections[1].items.size());
    EXPECT_EQ(3, gamma->updates);
}

/* Optional entry fields: no attribute is active; FALSE is inactive and not
 * parsed; any other attribute value, or no element, keeps the template's
 * values; the text is always the new one. */
TEST_F(XmlTest, OptionalEntryFields)
{
    struct OptCase { const char *level; bool active; int value; const char *text; };
    static const OptCase cases[] = {
        { "<level>3</level>", true, 3, "3" },
        { "<level active=\"TRUE\">4</level>", true, 4, "4" },
        { "<level active=\"FALSE\">x</level>", false, 9, "x" },
        { "<level active=\"no\">5</level>", false, 9, "5" },
        { "", false, 9, "" },
    };
    for (const OptCase &c : cases) {
        SCOPED_TRACE(c.level);
        ASSERT_EQ(1, load(gamma_xml({}, std::string("<rule><on>true</on>") + c.level + "</rule>")));
        ASSERT_EQ(1u, gamma->subsections[0].items.size());
        const Field &level = gamma->subsections[0].items.front().fields[2];
        EXPECT_EQ(c.active, level.active);
        EXPECT_EQ(c.value, level.value);
        EXPECT_EQ(c.text, level.text);
    }
}

/* An optional global field without element, or with a bad active value,
 * ends the section's load there: the fields before it are loaded and the
 * rules follow them, the rest and the entries are not; the load goes on. */
TEST_F(XmlTest, OptionalGlobalStopsSection)
{
    ASSERT_EQ(1, load(gamma_xml({}, "<rule><on>true</on></rule>")));
    int updates = gamma->updates;
    for (const char *opt : { "", "<opt active=\"maybe\">1</opt>" }) {
        SCOPED_TRACE(opt);
        test_log_clear();
        ASSERT_EQ(1, load(gamma_xml({ { "count", "<count>99</count>" }, { "opt", opt },
                                      { "span", "<span>c,c</span>" } }) +
                          "<beta><n>8</n></beta>"));
        EXPECT_EQ(99, gamma->fields[1].value);   /* before opt: loaded */
        EXPECT_EQ(0, gamma->fields[10].value);   /* after opt: not */
        EXPECT_EQ(1u, gamma->subsections[0].items.size());
        EXPECT_EQ(++updates, gamma->updates);
        EXPECT_EQ(8, beta->fields[0].value);
        EXPECT_TRUE(test_log_contains("section gamma: optional element opt is missing"));
    }
    ASSERT_EQ(1, load(gamma_xml({ { "opt", "<opt active=\"false\">zz</opt>" } })));
    EXPECT_FALSE(gamma->fields[8].active);
    EXPECT_EQ(11, gamma->fields[8].value);   /* inactive: not parsed */
    EXPECT_EQ("zz", gamma->fields[8].text);
}

/* An element the description does not know, misspelt in an entry or among
 * the globals, or a whole section it does not describe, refuses the load
 * with a line naming section, entry and element: ignored, a misspelt
 * condition would make a rule match everybody. */
TEST_F(XmlTest, UnknownElementsAreRefused)
{
    ASSERT_EQ(1, load(gamma_xml({}, "<rule><on>true</on><names>a</names></rule>")));
    int updates = gamma->updates;
    struct Case { std::string body; const char *line; };
    const Case cases[] = {
        { gamma_xml({}, "<rule><on>true</on><nmaes>a</nmaes></rule>"),
          "flawed XML file, section gamma, entry rule, element nmaes: the section's description "
          "has no such element" },
        { gamma_xml({ { "count", "<cuont>3</cuont>" } }),
          "flawed XML file, section gamma, entry global, element cuont" },
        { "<unknown><keep>1</keep></unknown>" + gamma_xml(),
          "flawed XML file, section unknown: the section description has no such section" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        test_log_clear();
        EXPECT_EQ(0, load(c.body));
        EXPECT_TRUE(test_log_contains(c.line));
        EXPECT_EQ(updates, gamma->updates);
        EXPECT_EQ(1u, gamma->subsections[0].items.size());
    }
}

/* A save writes every field of every section in order, keeps what lies
 * outside the section elements, drops what lay inside them, appends
 * sections that had no element, and loads back to the same values. */
TEST_F(XmlTest, SaveRoundTrip)
{
    std::string loaded = "<?xml version=\"1.0\"?>\n<!-- head -->\n<quillmere>\n"
                         "<!-- between -->\n" +
                         gamma_xml({ { "opt", "<opt active=\"false\">3</opt>" } },
                                   "<!-- inside --><rule><on>true</on><names>a,b</names></rule>") +
                         "\n</quillmere>\n";
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, write(loaded)));
    gamma->fields[2].text = "x<y>&\"z\"";

    std::string out = dir + "/saved.xml";
    ASSERT_TRUE(config_save(out));
    std::string saved = file_read(out);
    EXPECT_NE(std::string::npos, saved.find("<!-- head -->"));
    EXPECT_NE(std::string::npos, saved.find("<!-- between -->"));
    EXPECT_EQ(std::string::npos, saved.find("inside"));
    EXPECT_NE(std::string::npos, saved.find("<off>keep</off>"));
    EXPECT_NE(std::string::npos, saved.find("<opt active=\"false\">3</opt>"));
    EXPECT_LT(saved.find("</gamma>"), saved.find("<beta>"));   /* appended at the end */

    tinyxml2::XMLDocument check;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, check.LoadFile(out.c_str()));
    const tinyxml2::XMLElement *g = check.FirstChildElement("quillmere")->FirstChildElement("gamma");
    std::string order;
    for (const tinyxml2::XMLElement *e = g->FirstChildElement(); e; e = e->NextSiblingElement())
        order += std::string(e->Name()) + " ";
    EXPECT_EQ("flag count name hosts mode kinds hours size opt off span ports rate big rule ",
              order);
    /* The entry had no level element: saved with the template's state. */
    const tinyxml2::XMLElement *level = g->FirstChildElement("rule")->FirstChildElement("level");
    ASSERT_NE(nullptr, level);
    EXPECT_EQ(nullptr, level->GetText());
    EXPECT_STREQ("false", level->Attribute("active"));

    /* Reloading the saved file gives the same values. */
    gamma->fields[2].text = "";
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, out));
    EXPECT_EQ("x<y>&\"z\"", gamma->fields[2].text);
    EXPECT_EQ(20, gamma->fields[6].value);
    EXPECT_EQ(5, gamma->fields[5].value);
    ASSERT_EQ(1u, gamma->subsections[0].items.size());
    EXPECT_EQ(2u, gamma->subsections[0].items.front().fields[1].list.size());
    EXPECT_EQ(1, beta->fields[0].value);
}

/* Stray text after the root, which the parser lets through, is not saved:
 * the saved file loads again. */
TEST_F(XmlTest, SavedFileLoadsAfterStrayText)
{
    std::string loaded = config_xml(gamma_xml()) + "d></quillmere>\n";
    ASSERT_EQ(1, config_load(CONFIG_LOAD_REPLACE, write(loaded)));
    std::string out = dir + "/saved.xml";
    ASSERT_TRUE(config_save(out));
    tinyxml2::XMLDocument check;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, check.LoadFile(out.c_str())) << file_read(out);
    EXPECT_EQ(1, config_load(CONFIG_LOAD_REPLACE, out));
}

/* A save replaces the file only when complete, keeps its mode, writes
 * through a symbolic link to its target and reports a path it cannot
 * write. */
TEST_F(XmlTest, SaveFileHandling)
{
    ASSERT_EQ(1, load(gamma_xml()));
    std::string target = write("old", "target.xml");
    ASSERT_EQ(0, chmod(target.c_str(), 0604));
    std::string link = dir + "/link.xml";
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));

    ASSERT_TRUE(config_save(link));
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 07777);
    EXPECT_NE(std::string::npos, file_read(target).find("<gamma>"));

    EXPECT_FALSE(config_save(dir + "/no/such/dir/q.xml"));

    /* A save to a new path creates the file, root element included. */
    std::string fresh = dir + "/fresh.xml";
    ASSERT_TRUE(config_save(fresh));
    tinyxml2::XMLDocument check;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, check.LoadFile(fresh.c_str()));
    EXPECT_NE(nullptr, check.FirstChildElement("quillmere"));

    /* No temporary file remains beside the saved ones. */
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(nullptr, d);
    for (struct dirent *e = readdir(d); e; e = readdir(d))
        if (e->d_name[0] != '.')
            names.insert(e->d_name);
    closedir(d);
    EXPECT_EQ((std::set<std::string>{ "fresh.xml", "link.xml", "quillmere.xml", "target.xml" }),
              names);
}
