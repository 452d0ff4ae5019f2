/* The configuration editor's forms on a section of their own: the entry
 * view and the form controls (whole, escaped texts), the search, reading
 * posted values with their refusals, and the actions with their ids,
 * positions, refusals and update() runs. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <string>
#include <vector>

#include "filebuf.h"
#include "interface.h"
#include "options.h"
#include "regexp.h"
#include "section.h"
#include "test_support.h"

namespace {

/* One field description. */
std::string fdesc(int n, const char *name, const char *type, const char *value,
                  const char *extra = "")
{
    return std::string("<") + name + " n=\"" + std::to_string(n) + "\"><comment>" + name +
           " label</comment><value>" + value + "</value><type>" + type +
           "</type><desc>tip 'quoted'</desc>" + extra + "</" + name + ">";
}

/* A section with every kind of control among its globals, a list "rule"
 * whose field 1 is disabled, and a disabled list "off". */
const std::string forms_description =
    "<?xml version=\"1.0\"?><section><delta><comment>Delta</comment><desc>Delta help</desc>"
    "<select><modes><a><comment>Mode A</comment><value>true</value><desc>first</desc></a>"
    "<b><comment>Mode B</comment><desc>second</desc></b></modes></select>"
    "<global>" +
    fdesc(0, "count", "INT", "5") + fdesc(1, "flag", "BOOL", "false") +
    fdesc(2, "name", "STRING", "x") + fdesc(3, "span", "STRING_RANGE", "modes") +
    fdesc(4, "hours", "INT_RANGE", "1,12") + fdesc(5, "kinds", "STRING_SELECT_MANY", "modes") +
    fdesc(6, "mode", "STRING_SELECT_ONE", "modes") + fdesc(7, "note", "MULTILINE_STRING", "") +
    fdesc(8, "extra", "STRING", "e", "<optional>true</optional>") +
    fdesc(9, "years", "INT_RANGE", "1970,2100", "<optional>true</optional>") +
    "</global><template><rule>" +
    fdesc(0, "comment", "STRING", "") + fdesc(1, "hidden", "STRING", "secret-default",
                                              "<enabled>false</enabled>") +
    fdesc(2, "port", "INT", "80") +
    "</rule></template><subsection>"
    "<rule><comment>Rules</comment><template>rule</template><desc>The 'rules'</desc></rule>"
    "<off><comment>Off</comment><template>rule</template><desc>d</desc>"
    "<enabled>false</enabled></off>"
    "</subsection></delta></section>";

/* The test section: counts update() and refuses an entry whose comment is
 * "refuse" (its port field, as a check of a section class would). */
class DeltaSection : public Section {
public:
    DeltaSection() : Section("delta", SECTION_RWLOCK) {}
    void update() override { updates++; }
    int item_check(const Item &item, std::string *nature) override
    {
        if (item.fields[0].text != "refuse")
            return -1;
        *nature = "a port that is free";
        return 2;
    }
    int updates = 0;
};

class FormsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(forms_description.c_str()));
        sectionxml = &doc;
        section = new DeltaSection;
    }
    void TearDown() override
    {
        delete section;
        sectionxml = nullptr;
    }

    /* Appends an entry with this comment and port to list 0. */
    Item &add(const std::string &comment, int port = 80)
    {
        Subsection &list = section->subsections[0];
        list.items.emplace_back(list);
        Item &item = list.items.back();
        item.fields[0].text = comment;
        item.fields[2].text = std::to_string(port);
        item.fields[2].value = port;
        return item;
    }

    /* The comments of list 0, in order. */
    std::vector<std::string> comments() const
    {
        std::vector<std::string> out;
        for (const Item &i : section->subsections[0].items)
            out.push_back(i.fields[0].text);
        return out;
    }

    /* Runs an action given as a query string. */
    StringList act(const std::string &query)
    {
        CGIMap args(query.c_str());
        Filebuf page;
        return section->interface_action(&page, args, nullptr);
    }

    tinyxml2::XMLDocument doc;
    DeltaSection *section = nullptr;
};

std::string text_of(const Filebuf &page)
{
    return page.data ? std::string(page.data, (size_t)page.size) : std::string();
}

StringList one_error(const char *text)
{
    StringList errors;
    errors.push_back(text);
    return errors;
}

size_t count_of(const std::string &text, const std::string &piece)
{
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        n++;
    return n;
}

} // namespace

/* The entry view: a row per shown field (disabled and empty ones left out),
 * alternating from even, texts escaped and whole however long, and the
 * links of the entry with the moves only when asked for. */
TEST_F(FormsTest, EntryViewShowsWholeEscapedTextsAndLinks)
{
    std::string big(64 * 1024, 'v');
    Item &item = add("<b>\"8 KiB & more\"</b>" + big);
    const std::string id = std::to_string(item.id);

    Filebuf page;
    item.display(&page, 0);
    std::string html = text_of(page);
    EXPECT_NE(std::string::npos, html.find(">Option<"));
    EXPECT_NE(std::string::npos, html.find("&lt;b&gt;&quot;8 KiB &amp; more&quot;&lt;/b&gt;" + big));
    EXPECT_EQ(std::string::npos, html.find("secret-default"));   /* disabled field */
    EXPECT_EQ(1u, count_of(html, "entryfieldeven"));
    EXPECT_EQ(1u, count_of(html, "entryfieldodd"));
    EXPECT_NE(std::string::npos,
              html.find("config?section=delta&amp;subsection=rule&amp;dialog=show&amp;id=" + id));
    EXPECT_NE(std::string::npos,
              html.find("config?section=delta&amp;subsection=rule&amp;action=delete&amp;id=" + id));
    EXPECT_NE(std::string::npos,
              html.find("config?section=delta&amp;subsection=rule&amp;action=clone&amp;id=" + id));
    EXPECT_EQ(std::string::npos, html.find("direction="));

    Filebuf moves;
    item.fields[0].text.clear();   /* an empty field has no row */
    item.display(&moves, 1);
    html = text_of(moves);
    EXPECT_EQ(1u, count_of(html, "entryfieldeven"));
    EXPECT_EQ(0u, count_of(html, "entryfieldodd"));
    for (const char *d : { "up", "down", "top", "bottom" })
        EXPECT_NE(std::string::npos, html.find("action=shift&amp;id=" + id + "&amp;direction=" + d))
            << d;
}

/* An optional field shows in the view only while active; in the form it
 * keeps its box and its last value either way. */
TEST_F(FormsTest, OptionalFieldInViewAndForm)
{
    FieldVector &f = section->fields;
    f[8].text = "kept value";
    f[8].active = false;
    Filebuf view;
    f.display(&view);
    EXPECT_EQ(std::string::npos, text_of(view).find("kept value"));
    CGIMap args;
    Filebuf form;
    f.dialog_display(&form, args);
    std::string html = text_of(form);
    EXPECT_NE(std::string::npos, html.find("name=\"F8_active\">active"));
    EXPECT_NE(std::string::npos, html.find("value=\"kept value\""));

    f[8].active = true;
    Filebuf shown;
    f.display(&shown);
    EXPECT_NE(std::string::npos, text_of(shown).find("kept value"));
}

/* The form rows: a disabled field keeps its position (F0, F2, no F1), rows
 * alternate over the shown fields, and every control holds its value. */
TEST_F(FormsTest, DialogControls)
{
    Item &item = add("a \"quoted\" <value>");
    CGIMap args;
    Filebuf rows;
    item.fields.dialog_display(&rows, args);
    std::string html = text_of(rows);
    EXPECT_NE(std::string::npos, html.find("name=\"F0\""));
    EXPECT_EQ(std::string::npos, html.find("name=\"F1\""));
    EXPECT_NE(std::string::npos, html.find("name=\"F2\""));
    EXPECT_LT(html.find("entryfieldeven"), html.find("entryfieldodd"));
    EXPECT_NE(std::string::npos, html.find("value=\"a &quot;quoted&quot; &lt;value&gt;\""));

    FieldVector &f = section->fields;
    f[1].text = "TRUE";
    f[1].value = 1;   /* as the loader reads TRUE */
    f[7].text = std::string(70000, 'm') + "</textarea>";
    Filebuf globals;
    f.dialog_display(&globals, args);
    html = text_of(globals);
    EXPECT_NE(std::string::npos, html.find("name=\"F1\" value=\"true\" checked>Yes"));
    EXPECT_NE(std::string::npos, html.find("name=\"F1\" value=\"false\">No"));
    EXPECT_NE(std::string::npos, html.find("<select name=\"F3\">"));
    EXPECT_NE(std::string::npos, html.find("<select name=\"F3_2\">"));
    EXPECT_NE(std::string::npos, html.find("name=\"F4\" size=\"20\" value=\"0\"> to "));
    EXPECT_NE(std::string::npos, html.find("class=\"checklist\""));
    EXPECT_NE(std::string::npos, html.find("name=\"F5_a\" checked"));
    EXPECT_NE(std::string::npos, html.find("name=\"F6\" value=\"a\" checked"));
    EXPECT_NE(std::string::npos,
              html.find(">" + std::string(70000, 'm') + "&lt;/textarea&gt;</textarea>"));
    /* Help texts stand inside script strings: quotes escaped. */
    EXPECT_NE(std::string::npos, html.find("EnterContent('ToolTip','count label','tip \\'quoted\\''"));
    EXPECT_NE(std::string::npos, html.find("onmouseout=\"deActivate()\""));
}

/* The search: name and value must match the same field; disabled fields
 * take part; letter case does not matter. */
TEST_F(FormsTest, SearchMatchesOneFieldWithBothPatterns)
{
    Item &web = add("web", 8080);
    web.fields[1].text = "hidden-needle";
    Item &mail = add("mail", 25);
    struct Case { const char *name; const char *value; bool web, mail; };
    static const Case cases[] = {
        { "PORT", "", true, true },
        { "", "8080", true, false },
        { "port", "web", false, false },   /* name and text of different fields */
        { "comment", "WEB", true, false },
        { "", "needle", true, false },     /* a disabled field's text */
        { "", "", true, true },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + "/" + c.value);
        regex_posix_t *n = c.name[0] ? reg_compile(c.name, REG_COMPILE_ICASE) : nullptr;
        regex_posix_t *v = c.value[0] ? reg_compile(c.value, REG_COMPILE_ICASE) : nullptr;
        EXPECT_EQ(c.web, web.match(n, v));
        EXPECT_EQ(c.mail, mail.match(n, v));
        if (n)
            reg_free(n);
        if (v)
            reg_free(v);
    }
    Item bare(section->subsections[0]);
    bare.fields.clear();
    EXPECT_FALSE(bare.match(nullptr, nullptr));
}

/* Values the loader would refuse are refused by the form as well, with the
 * label and the nature; the global action then changes nothing and still
 * runs update(). */
TEST_F(FormsTest, GlobalFormRefusals)
{
    const std::string valid = "action=global&section=delta&F0=7&F1=true&F2=new&F3=a&F3_2=b&"
                              "F4=2&F4_2=3&F6=b&F7=text";
    struct Case { std::string extra; std::string error; };
    const Case cases[] = {
        { "&F0=abc", "count label must be an integer" },
        { "&F1=yes", "flag label must be true or false" },
        { "&F1=", "flag label must be true or false" },
        { "&F3=nosuch", "span label must be a couple of strings among these values : a,b" },
        { "&F4_2=13", "hours label must be a couple of integers between 1 and 12 inclusive" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.extra);
        int before = section->updates;
        StringList errors = act(valid + c.extra);
        ASSERT_EQ(1u, errors.size());
        EXPECT_EQ(c.error, errors.front());
        EXPECT_EQ(5, section->fields[0].value);
        EXPECT_EQ("x", section->fields[2].text);
        EXPECT_EQ(before + 1, section->updates);
    }
    /* A BOOL missing entirely is refused too, never stored as false. */
    StringList errors = act("action=global&F0=1&F3=a&F3_2=a&F4=1&F4_2=1");
    EXPECT_EQ(1u, errors.size());

    EXPECT_TRUE(act(valid).empty());
    const FieldVector &f = section->fields;
    EXPECT_EQ(7, f[0].value);
    EXPECT_EQ(1, f[1].value);
    EXPECT_EQ("new", f[2].text);
    EXPECT_EQ("a,b", f[3].text);
    EXPECT_EQ(1, f[3].value2);
    EXPECT_EQ("2,3", f[4].text);
    EXPECT_EQ("", f[5].text);     /* no box ticked: empty */
    EXPECT_EQ(0, f[5].value);
    EXPECT_EQ(1, f[6].value);
    EXPECT_FALSE(f[8].active);    /* box unticked: inactive, text kept */
    EXPECT_EQ("e", f[8].text);
}

/* An optional range not in use is drawn empty, never as a window "0 to 0"
 * that a tick of "active" would take; ticked with nothing typed it stays
 * empty and inactive, ticked with two numbers it takes them, and one
 * number alone is refused. */
TEST_F(FormsTest, OptionalRangeStaysEmpty)
{
    const std::string empty_controls = "name=\"F9\" size=\"20\" value=\"\"> to <input "
                                       "type=\"text\" name=\"F9_2\" size=\"20\" value=\"\">";
    CGIMap none;
    Filebuf form;
    section->fields.dialog_display(&form, none);
    EXPECT_NE(std::string::npos, text_of(form).find(empty_controls)) << text_of(form);

    const std::string valid = "action=global&section=delta&F0=7&F1=true&F2=new&F3=a&F3_2=b&"
                              "F4=2&F4_2=3&F6=b&F7=text";
    struct Case {
        const char *posted;
        size_t errors;
        bool active;
        const char *shown;   /* the first control as drawn after */
    };
    const Case cases[] = {
        { "&F9_active=on&F9=&F9_2=", 0, false, "name=\"F9\" size=\"20\" value=\"\">" },
        { "&F9_active=on&F9=2024&F9_2=2026", 0, true, "name=\"F9\" size=\"20\" value=\"2024\">" },
        { "&F9_active=on&F9=2024&F9_2=", 1, true, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.posted);
        StringList errors = act(valid + c.posted);
        ASSERT_EQ(c.errors, errors.size());
        if (c.errors) {
            EXPECT_EQ("years label must be a couple of integers between 1970 and 2100 inclusive",
                      errors.front());
            continue;
        }
        const Field &years = section->fields[9];
        EXPECT_EQ(c.active, years.active);
        Filebuf after;
        section->fields.dialog_display(&after, none);
        EXPECT_NE(std::string::npos, text_of(after).find(c.shown)) << text_of(after);
    }
    EXPECT_EQ("2024,2026", section->fields[9].text);
}

/* Actions on entries: clone and moves with their ids, stale and malformed
 * ids, actions without an id, disabled lists and moves across lists. */
TEST_F(FormsTest, EntryActions)
{
    int a = add("a").id;
    int b = add("b").id;
    int c = add("c").id;

    EXPECT_TRUE(act("action=clone&subsection=rule&id=" + std::to_string(b)).empty());
    EXPECT_EQ((std::vector<std::string>{ "a", "b", "b", "c" }), comments());
    auto it = std::next(section->subsections[0].items.begin(), 2);
    EXPECT_EQ(b, it->id);                               /* the original keeps its id */
    EXPECT_NE(b, std::prev(it)->id);                    /* the clone has a new one */
    section->subsections[0].items.erase(std::prev(it));

    /* Up on the third: it becomes second with a new id; the other keeps its. */
    EXPECT_TRUE(act("action=shift&subsection=rule&direction=up&id=" + std::to_string(c)).empty());
    EXPECT_EQ((std::vector<std::string>{ "a", "c", "b" }), comments());
    EXPECT_EQ(nullptr, section->item_get(c));
    EXPECT_NE(nullptr, section->item_get(b));
    /* The stale id names nothing now. */
    int updates = section->updates;
    StringList stale = act("action=delete&subsection=rule&id=" + std::to_string(c));
    ASSERT_EQ(1u, stale.size());
    EXPECT_EQ("Entry ID doesn't exist", stale.front());
    EXPECT_EQ(updates, section->updates);

    /* Up on the first and Down on the last change nothing, update() runs. */
    EXPECT_TRUE(act("action=shift&subsection=rule&direction=up&id=" + std::to_string(a)).empty());
    EXPECT_TRUE(act("action=shift&subsection=rule&direction=down&id=" + std::to_string(b)).empty());
    EXPECT_EQ((std::vector<std::string>{ "a", "c", "b" }), comments());
    EXPECT_EQ(updates + 2, section->updates);
    EXPECT_NE(nullptr, section->item_get(a));

    /* Bottom on the first, Top on the last. */
    EXPECT_TRUE(act("action=shift&subsection=rule&direction=bottom&id=" + std::to_string(a)).empty());
    EXPECT_EQ((std::vector<std::string>{ "c", "b", "a" }), comments());
    int last = section->subsections[0].items.back().id;
    EXPECT_TRUE(act("action=shift&subsection=rule&direction=top&id=" + std::to_string(last)).empty());
    EXPECT_EQ((std::vector<std::string>{ "a", "c", "b" }), comments());

    /* A move naming another list, or none, changes nothing. */
    int first = section->subsections[0].items.front().id;
    act("action=shift&subsection=off&direction=down&id=" + std::to_string(first));
    act("action=shift&direction=down&id=" + std::to_string(first));
    EXPECT_EQ((std::vector<std::string>{ "a", "c", "b" }), comments());

    /* Ids are whole decimals: "abc" or "0x1" never mean an entry. */
    for (const char *bad : { "abc", "0x1", "-1", " 1", "99999999999" }) {
        SCOPED_TRACE(bad);
        StringList e = act(std::string("action=delete&subsection=rule&id=") + bad);
        ASSERT_EQ(1u, e.size());
        EXPECT_EQ("Entry ID doesn't exist", e.front());
    }
    EXPECT_EQ(3u, section->subsections[0].items.size());

    /* Without an id only "global" acts on the section: nothing changes,
     * no update(). */
    section->fields[2].text = "kept";
    updates = section->updates;
    for (const char *action : { "delete", "edit", "clone", "shift", "nonsense" }) {
        SCOPED_TRACE(action);
        EXPECT_TRUE(act(std::string("section=delta&action=") + action).empty());
    }
    EXPECT_EQ("kept", section->fields[2].text);
    EXPECT_EQ(updates, section->updates);
    EXPECT_EQ(3u, section->subsections[0].items.size());

    /* An entry of a disabled list is never touched. */
    Subsection &off = section->subsections[1];
    off.items.emplace_back(off);
    int hidden = off.items.back().id;
    act("action=delete&subsection=off&id=" + std::to_string(hidden));
    act("action=delete&id=" + std::to_string(hidden));
    act("action=add&subsection=off&F0=x&F2=1");
    EXPECT_EQ(1u, off.items.size());
}

/* Add and edit: a refused field or a refused entry changes nothing and
 * names the label and nature; a good add appends one entry at the end, a
 * good edit keeps the id. */
TEST_F(FormsTest, AddAndEdit)
{
    add("first");
    StringList e = act("action=add&subsection=rule&F0=x&F2=eighty");
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ("port label must be an integer", e.front());
    e = act("action=add&subsection=rule&F0=refuse&F2=81");
    ASSERT_EQ(1u, e.size());
    EXPECT_EQ("port label must be a port that is free", e.front());
    EXPECT_EQ(1u, section->subsections[0].items.size());

    EXPECT_TRUE(act("action=add&subsection=rule&F0=second&F2=81").empty());
    EXPECT_EQ((std::vector<std::string>{ "first", "second" }), comments());
    const Item &added = section->subsections[0].items.back();
    EXPECT_EQ(81, added.fields[2].value);
    EXPECT_EQ("secret-default", added.fields[1].text);   /* disabled: the template's */

    int id = added.id;
    EXPECT_EQ(1u, act("action=edit&subsection=rule&F0=refuse&F2=1&id=" + std::to_string(id)).size());
    EXPECT_EQ("second", section->item_get(id)->fields[0].text);
    std::string big(8192, 'k');
    EXPECT_TRUE(act("action=edit&subsection=rule&F0=" + big + "&F2=82&id=" + std::to_string(id)).empty());
    ASSERT_NE(nullptr, section->item_get(id));
    EXPECT_EQ(big, section->item_get(id)->fields[0].text);
    EXPECT_EQ(82, section->item_get(id)->fields[2].value);
}

/* The section page and the dialog: the global form is hidden by a search,
 * a disabled list has no Add link, and a dialog for an unknown list or id
 * is empty; the dialog of an entry carries its id. */
TEST_F(FormsTest, PagesAndDialogs)
{
    Item &item = add("shown", 8080);
    add("other", 25);
    StringList none;

    CGIMap plain;
    Filebuf page;
    section->interface(&page, plain, nullptr, one_error("an error"));
    std::string html = text_of(page);
    EXPECT_NE(std::string::npos, html.find("delta section"));
    EXPECT_NE(std::string::npos, html.find("name=\"action\" value=\"global\""));
    EXPECT_NE(std::string::npos, html.find("<li>an error</li>"));
    EXPECT_NE(std::string::npos, html.find("subsection=rule&amp;dialog=show\">Add"));
    EXPECT_EQ(std::string::npos, html.find("subsection=off"));
    EXPECT_EQ(2u, count_of(html, "class=\"entrydialog\""));

    CGIMap search("matchvalue=8080");
    Filebuf found;
    section->interface(&found, search, nullptr, one_error("an error"));
    html = text_of(found);
    EXPECT_EQ(std::string::npos, html.find("value=\"global\""));
    EXPECT_EQ(std::string::npos, html.find("an error"));
    EXPECT_EQ(1u, count_of(html, "class=\"entrydialog\""));

    CGIMap bad_pattern("matchname=(");
    Filebuf all;
    section->interface(&all, bad_pattern, nullptr, none);
    EXPECT_EQ(2u, count_of(text_of(all), "class=\"entrydialog\""));

    const std::string id = std::to_string(item.id);
    for (const char *q : { "subsection=nosuch", "subsection=off", "subsection=rule&id=999999",
                           "subsection=rule&id=x" }) {
        SCOPED_TRACE(q);
        CGIMap args(q);
        Filebuf dialog;
        section->interface_dialog(&dialog, args, nullptr, none);
        EXPECT_EQ(0, dialog.size);
    }
    CGIMap edit(("subsection=rule&dialog=show&id=" + id).c_str());
    Filebuf dialog;
    section->interface_dialog(&dialog, edit, nullptr, none);
    html = text_of(dialog);
    EXPECT_NE(std::string::npos, html.find("name=\"action\" value=\"edit\""));
    EXPECT_NE(std::string::npos, html.find("name=\"id\" value=\"" + id + "\""));
    EXPECT_NE(std::string::npos, html.find("value=\"shown\""));

    CGIMap add_args("subsection=rule&dialog=show");
    Filebuf add_dialog;
    section->interface_dialog(&add_dialog, add_args, nullptr, one_error("bad one"));
    html = text_of(add_dialog);
    EXPECT_NE(std::string::npos, html.find("<li>bad one</li>"));
    EXPECT_EQ(std::string::npos, html.find("<form"));
}
