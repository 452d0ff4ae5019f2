/* The HTML stream parser: tree shape, tags, comments, bad markup, limits. */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "hstream.h"
#include "test_support.h"

namespace {

/* The tree as one line: text nodes quoted, a tag's children in brackets
 * after its name: text"text" b["bold"] " tail". */
std::string shape(const htmlstream_node *n)
{
    std::string out;
    for (; n; n = n->next) {
        if (!out.empty())
            out += ' ';
        if (n->text)
            out += std::string("\"") + n->text + "\"";
        else
            out += n->tag->name;
        if (n->child)
            out += "[" + shape(n->child) + "]";
    }
    return out;
}

std::string parse_blocks(const std::vector<std::string> &blocks)
{
    HTMLStream s;
    for (const std::string &b : blocks)
        s.Add(b.data(), (int64_t)b.size());
    s.Add(nullptr, 0);
    return shape(s.root);
}

}  // namespace

struct TreeCase {
    std::vector<std::string> blocks;
    const char *shape;
};

/* The tree of each document, fed in the blocks given. */
TEST(HTMLStream, TreeTable)
{
    const TreeCase cases[] = {
        { { "text<b>bold</b> tail" }, "\"text\" b[\"bold\"] \" tail\"" },
        { { "<p>a</p>" }, "p[\"a\"]" },
        { { "ends in text" }, "\"ends in text\"" },
        { { "x<!-", "- c -->y" }, "\"xy\"" },
        { { "a<!", "-- <b> -->b" }, "\"ab\"" },
        { { "<b>a<!-- unclosed <i> " }, "b \"a\"" },
        { { "a < b" }, "\"a < b\"" },
        { { "a <> b < > c" }, "\"a <> b < > c\"" },
        { { "</z>x" }, "\"x\"" },
        { { "<div><div></div></div>" }, "div[div]" },
        { { "<DIV><p>x</P></div>y" }, "DIV[p[\"x\"]] \"y\"" },
        { { "a<b" }, "\"a<b\"" },
        { { "x>y" }, "\"x>y\"" },
        { { "   \r\n<br/>" }, "br/" },
        { { "<ul><li>1<li>2</ul>" }, "ul[li \"1\" li \"2\"]" },
        { { "<", "b", ">", "x", "<", "/", "b", ">" }, "b[\"x\"]" },
    };
    for (const TreeCase &c : cases) {
        SCOPED_TRACE(c.shape);
        EXPECT_EQ(c.shape, parse_blocks(c.blocks));
    }
}

struct TagCase {
    const char *text;
    const char *name;   /* NULL: no tag */
    std::vector<std::pair<std::string, std::string>> attrs;
};

/* Tag texts: names, quoted and unquoted values, dropped loners. */
TEST(HTMLStream, TagTable)
{
    const TagCase cases[] = {
        { "<a href=\"x y\" id=z>", "a", { { "href", "x y" }, { "id", "z" } } },
        { "<br/>", "br/", {} },
        { "<input disabled name=q>", "input", { { "disabled", "name" } } },
        { "<img alt='a b'>", "img", { { "alt", "'a" } } },
        { "<a title=\"\">", "a", { { "title", "" } } },
        { "<a\nhref=\"<x>\">", "a", { { "href", "<x>" } } },
        { "<", nullptr, {} },
        { "<>", nullptr, {} },
        { "< >", nullptr, {} },
    };
    for (const TagCase &c : cases) {
        SCOPED_TRACE(c.text);
        htmlstream_tag *tag = htmlstream_tag_parse(c.text, (int64_t)strlen(c.text));
        if (!c.name) {
            EXPECT_EQ(nullptr, tag);
            continue;
        }
        ASSERT_NE(nullptr, tag);
        EXPECT_STREQ(c.name, tag->name);
        size_t i = 0;
        for (htmlstream_attr *a = tag->attributes; a; a = a->next, i++) {
            ASSERT_LT(i, c.attrs.size());
            EXPECT_EQ(c.attrs[i].first, a->name);
            EXPECT_EQ(c.attrs[i].second, a->value);
        }
        EXPECT_EQ(c.attrs.size(), i);
        htmlstream_tag_free(tag);
    }
}

/* 70 nested divs fold 65 times and warn once; the nodes all stay. */
TEST(HTMLStream, NestingLimit)
{
    test_runtime_init();
    test_log_clear();
    std::string doc;
    for (int i = 0; i < 70; i++)
        doc += "<div>";
    doc += "x";
    for (int i = 0; i < 70; i++)
        doc += "</div>";
    HTMLStream s;
    s.Add(doc.data(), (int64_t)doc.size());
    s.Add(nullptr, 0);
    EXPECT_TRUE(test_log_contains("HTML nesting limit 64 reached"));
    int folded = 0, nodes = 0, top = 0;
    for (htmlstream_node *n = s.root; n; n = n->next)
        top++;
    /* Walk every node without recursion. */
    for (htmlstream_node *n = s.root; n;) {
        nodes++;
        if (n->tag && n->level > 0)
            folded++;
        if (n->child) {
            n = n->child;
            continue;
        }
        while (n && !n->next)
            n = n->parent;
        if (n)
            n = n->next;
    }
    EXPECT_EQ(65, folded);
    EXPECT_EQ(71, nodes);
    EXPECT_EQ(6, top);   /* five unfolded divs and the folded sixth */
}

/* Flat and hostile shapes stay within the time-out and free without
 * recursion: a million siblings, 100k opens and 100k unmatched closes. */
TEST(HTMLStream, LargeDocuments)
{
    {
        HTMLStream s;
        std::string block;
        for (int i = 0; i < 1000; i++)
            block += "<i>t";
        for (int i = 0; i < 500; i++)
            s.Add(block.data(), (int64_t)block.size());
        s.Add(nullptr, 0);
        int n = 0;
        for (htmlstream_node *p = s.root; p; p = p->next)
            n++;
        EXPECT_EQ(1000000, n);
    }
    {
        HTMLStream s;
        std::string doc;
        for (int i = 0; i < 100000; i++)
            doc += "<i>";
        for (int i = 0; i < 100000; i++)
            doc += "</z>";
        s.Add(doc.data(), (int64_t)doc.size());
        s.Add(nullptr, 0);
        EXPECT_NE(nullptr, s.root);
    }
}

/* Random bytes from an alphabet of markup, fed in random blocks, never
 * crash or leak (run under the sanitizers). */
TEST(HTMLStream, HostileBytes)
{
    std::mt19937 rng(42);
    const char alphabet[] = "<>/!-\"= abAB\n\0";
    for (int round = 0; round < 300; round++) {
        std::string doc;
        size_t len = rng() % 2000;
        for (size_t i = 0; i < len; i++)
            doc += alphabet[rng() % (sizeof alphabet - 1)];
        HTMLStream s;
        for (size_t at = 0; at < doc.size();) {
            size_t n = 1 + rng() % 17;
            if (n > doc.size() - at)
                n = doc.size() - at;
            s.Add(doc.data() + at, (int64_t)n);
            at += n;
        }
        s.Add(nullptr, 0);
    }
}
