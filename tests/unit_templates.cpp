/* Response templates: every built-in page, well-formed with hostile
 * variables; configured pages from files with their statuses, profiles,
 * suppression and refusals; the response send builds with its header, log
 * entry and HEAD handling; and the escaping of each page format. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "conntest.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "options.h"
#include "section.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"
#include "xml.h"

namespace {

/* The shipped description and one templates section, once per process. */
void section_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    template_section = new TemplateSection();
    done = true;
}

/* One page entry of the configuration. */
std::string page_entry(const std::string &name, const std::string &file, const std::string &mime,
                       int status, bool suppress = false, bool parse = true,
                       const std::string &profiles = "", bool enabled = true)
{
    return "<page><enabled>" + std::string(enabled ? "true" : "false") +
           "</enabled><comment></comment><profiles>" + profiles + "</profiles><name>" + name +
           "</name><file>" + file + "</file><mime-type>" + mime + "</mime-type><status>" +
           std::to_string(status) + "</status><suppress>" + (suppress ? "true" : "false") +
           "</suppress><parse>" + (parse ? "true" : "false") + "</parse></page>";
}

/* Loads a templates section of directory and entries; returns the load's
 * result. */
int configure(const std::string &directory, const std::string &entries)
{
    section_ready();
    std::string text = "<quillmere><templates><directory>" + directory + "</directory>" +
                       entries + "</templates></quillmere>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    return template_section->load(&doc, CONFIG_LOAD_REPLACE);
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

using Client = SocketPairClient;

/* A response split into its parsed header and its body. */
struct Reply {
    int status = 0;
    std::string content_type;
    std::string cache_control;
    int64_t length = -1;
    std::string body;
    std::string head;
};

Reply reply_parse(const std::string &sent)
{
    Reply r;
    size_t end = sent.find("\r\n\r\n");
    EXPECT_NE(std::string::npos, end) << sent;
    if (end == std::string::npos)
        return r;
    r.head = sent.substr(0, end + 4);
    r.body = sent.substr(end + 4);
    std::unique_ptr<HEADER, void (*)(HEADER *)> h(http_header_parse_response(r.head.c_str()),
                                                   http_header_free);
    EXPECT_NE(nullptr, h.get()) << r.head;
    if (!h)
        return r;
    r.status = h->status;
    r.content_type = h->content_type ? h->content_type : "";
    r.cache_control = h->cache_control ? h->cache_control : "";
    if (h->flags & HEADER_HAS_LENGTH)
        r.length = h->content_length;
    return r;
}

std::string page_text(const Filebuf *page)
{
    return page->size > 0 ? std::string(page->data, (size_t)page->size) : std::string();
}

/* Every variable a built-in page uses, and a few more. */
const char *const variable_names[] = {
    "URL", "HTTP_HOST", "HTTP_FILE", "HTTP_PORT", "HTTP_PROTO", "CATEGORY", "AVSCANNER",
    "VIRUSNAME", "DOWNLOADLIMIT", "UPLOADLIMIT", "IMAGESCORE", "IMAGETHRESHOLD", "TRANSFERRED",
    "SIZE", "INTERFACE", "PORT", "USERNAME", "IP",
};

/* Markup, both quotes, an entity, CR/LF with a forged header, a variable
 * marker (never substituted twice), a control byte and a line separator. */
const char hostile[] =
    "<b onmouseover=\"x\">'q'&amp;</b></title><script>alert(1)</script>\r\n"
    "Set-Cookie: z=1 @URL@ \x01 \xe2\x80\xa8 end";

void set_variables(CONNECTION_T *conn, const std::string &value)
{
    conn->variables.clear();
    for (const char *name : variable_names)
        conn->variables[name] = value;
}

/* The shape of an HTML text: each tag's name and attribute names in order.
 * Fails the test when a tag is not closed, an attribute value has no end,
 * or text between tags holds a character that markup would need escaped. */
std::vector<std::string> html_shape(const std::string &page)
{
    std::vector<std::string> shape;
    size_t i = 0;
    bool in_style = false;
    while (i < page.size()) {
        if (page[i] != '<') {
            char c = page[i];
            if (!in_style) {
                EXPECT_TRUE(c != '>' && c != '"' && c != '\'' && c != '\r')
                    << "raw " << c << " at " << i << " in " << page;
                EXPECT_TRUE(!((unsigned char)c < 0x20 && c != '\n' && c != '\t'))
                    << "control byte at " << i;
            }
            if (c == '&') {
                size_t semi = page.find(';', i);
                EXPECT_NE(std::string::npos, semi);
                std::string entity = page.substr(i, semi - i + 1);
                bool named = entity == "&amp;" || entity == "&lt;" || entity == "&gt;" ||
                             entity == "&quot;" || entity == "&#39;" || entity == "&#13;" ||
                             entity == "&#10;";
                EXPECT_TRUE(named) << entity;
            }
            i++;
            continue;
        }
        size_t j = i + 1;
        std::string tag;
        while (j < page.size() && (isalnum((unsigned char)page[j]) || page[j] == '/' ||
                                   page[j] == '!'))
            tag += (char)tolower((unsigned char)page[j++]);
        EXPECT_FALSE(tag.empty()) << "a bare < at " << i;
        std::string entry = tag;
        for (;;) {
            while (j < page.size() && isspace((unsigned char)page[j]))
                j++;
            if (j >= page.size()) {
                ADD_FAILURE() << "unclosed tag " << tag;
                return shape;
            }
            if (page[j] == '>')
                break;
            if (page[j] == '"') {   /* the quoted parts of a DOCTYPE */
                size_t close = page.find('"', j + 1);
                EXPECT_NE(std::string::npos, close);
                j = close + 1;
                continue;
            }
            std::string attr;
            while (j < page.size() && (isalnum((unsigned char)page[j]) || page[j] == '-'))
                attr += (char)tolower((unsigned char)page[j++]);
            EXPECT_FALSE(attr.empty()) << "junk in tag " << tag << " at " << j;
            if (attr.empty())
                return shape;
            entry += " " + attr;
            if (j < page.size() && page[j] == '=') {
                j++;
                EXPECT_EQ('"', page[j]) << "unquoted value of " << attr;
                size_t close = page.find('"', j + 1);
                EXPECT_NE(std::string::npos, close);
                std::string value = page.substr(j + 1, close - j - 1);
                EXPECT_EQ(std::string::npos, value.find_first_of("<>'\r\n")) << value;
                j = close + 1;
            }
        }
        in_style = tag == "style";
        shape.push_back(entry);
        i = j + 1;
    }
    return shape;
}

} // namespace

/* Each built-in page exists under its name with its type; HTML pages share
 * the frame with the style sheet inside the head; byte data is what its
 * format says, with its exact length. */
TEST(Templates, EveryBuiltinPage)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    int count = 0;
    for (const page_t *row = PAGES; row->name; row++, count++) {
        SCOPED_TRACE(row->name);
        std::unique_ptr<Filebuf> page(template_section->get(client.conn, row->name, nullptr));
        ASSERT_NE(nullptr, page);
        ASSERT_NE(nullptr, page->content_type);
        EXPECT_STREQ(row->mime, page->content_type);
        std::string text = page_text(page.get());

        if (strcmp(row->mime, "text/html") == 0 && strcmp(row->name, "interfacehead") != 0) {
            EXPECT_EQ(0u, text.find("<!DOCTYPE HTML PUBLIC")) << text.substr(0, 80);
            size_t style = text.find("<style type=\"text/css\">");
            size_t head_end = text.find("</head>");
            ASSERT_NE(std::string::npos, style);
            EXPECT_LT(style, head_end);
            EXPECT_NE(std::string::npos, text.find("<base href=\"http://" INTERFACE_HOST "/\">"));
            EXPECT_NE(std::string::npos, text.find("<img src=\"template/logo\""));
            EXPECT_NE(std::string::npos, text.find(QUILL_RELEASE));
            EXPECT_NE(std::string::npos, text.find("charset=UTF-8"));
            EXPECT_NE(std::string::npos, text.find("</html>\n"));
        } else if (strcmp(row->mime, "image/gif") == 0) {
            EXPECT_EQ(0u, text.find("GIF89a"));
            EXPECT_EQ(';', text.back());
            EXPECT_EQ(row->length, page->size);
        } else if (strcmp(row->name, "tinyswf") == 0) {
            ASSERT_GE(page->size, 8);
            EXPECT_EQ(0u, text.find("FWS"));
            uint32_t declared = (uint8_t)text[4] | (uint8_t)text[5] << 8 |
                                (uint8_t)text[6] << 16 | (uint32_t)(uint8_t)text[7] << 24;
            EXPECT_EQ((uint32_t)page->size, declared);
        }
    }
    EXPECT_EQ(30, count);

    struct TitleCase { const char *name; const char *title; };
    static const TitleCase titles[] = {
        { "unknown", "Error" }, { "badrequest", "Bad Request" },
        { "badresponse", "Bad Response" }, { "nodns", "DNS Lookup failed" },
        { "nofile", "File not found" }, { "nocache", "Cache file not found" },
        { "noconnect", "Connection failed" }, { "blocked", "Page Blocked" },
        { "blacklisted", "Page blacklisted" }, { "virus", "Virus" },
        { "badprotocol", "Protocol not implemented" }, { "noaccess", "Access denied" },
        { "badauth", "Authorization failed" },
        { "downloadlimit", "Download transfer limit exceeded" },
        { "uploadlimit", "Upload transfer limit exceeded" },
        { "maxrequests", "Request limit exceeded" },
        { "imgfilter", "Possible pornographic image" },
        { "downloading", "Download in progress" },
    };
    for (const TitleCase &t : titles) {
        SCOPED_TRACE(t.name);
        std::unique_ptr<Filebuf> page(template_section->get(client.conn, t.name, nullptr));
        ASSERT_NE(nullptr, page);
        EXPECT_NE(std::string::npos,
                  page_text(page.get()).find(std::string("<title>") + t.title + "</title>"));
    }

    std::unique_ptr<Filebuf> empty(template_section->get(client.conn, "empty", nullptr));
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0, empty->size);
    EXPECT_STREQ("text/plain", empty->content_type);
    EXPECT_EQ(nullptr, template_section->get(client.conn, "error", nullptr));
    EXPECT_EQ(nullptr, template_section->get(client.conn, nullptr, nullptr));
}

/* Every HTML page keeps exactly the markup it has with plain values when
 * each variable holds markup, quotes, an entity and CR/LF: nothing of a
 * value becomes a tag or an attribute, or ends one. */
TEST(Templates, HostileVariablesKeepHtmlWellFormed)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    for (const page_t *row = PAGES; row->name; row++) {
        if (strcmp(row->mime, "text/html") != 0)
            continue;
        SCOPED_TRACE(row->name);
        set_variables(client.conn, "V");
        std::unique_ptr<Filebuf> plain(template_section->get(client.conn, row->name, nullptr));
        set_variables(client.conn, hostile);
        std::unique_ptr<Filebuf> attacked(template_section->get(client.conn, row->name, nullptr));
        ASSERT_NE(nullptr, plain);
        ASSERT_NE(nullptr, attacked);
        std::string text = page_text(attacked.get());
        EXPECT_EQ(html_shape(page_text(plain.get())), html_shape(text));
        EXPECT_EQ(std::string::npos, text.find("\r\nSet-Cookie"));
        EXPECT_EQ(std::string::npos, text.find("<script>"));
    }
    /* The values really are on the pages, escaped. */
    std::unique_ptr<Filebuf> blocked(template_section->get(client.conn, "blocked", nullptr));
    EXPECT_NE(std::string::npos,
              page_text(blocked.get()).find("&lt;b onmouseover=&quot;x&quot;&gt;&#39;q&#39;"
                                            "&amp;amp;&lt;/b&gt;"));
    EXPECT_NE(std::string::npos, page_text(blocked.get()).find("&#13;&#10;Set-Cookie: z=1 @URL@"));
}

/* The proxy configuration file names the proxy, then DIRECT; a hostile
 * value stays inside the string literal. */
TEST(Templates, ProxyPacEscapesForScript)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    client.conn->variables["INTERFACE"] = "192.0.2.7";
    client.conn->variables["PORT"] = "8080";
    std::unique_ptr<Filebuf> pac(template_section->get(client.conn, "proxy.pac", nullptr));
    ASSERT_NE(nullptr, pac);
    EXPECT_STREQ("application/x-ns-proxy-autoconfig", pac->content_type);
    EXPECT_EQ("function FindProxyForURL(url, host)\n{\n"
              "    return \"PROXY 192.0.2.7:8080; DIRECT\";\n}\n",
              page_text(pac.get()));

    client.conn->variables["INTERFACE"] = hostile;
    pac.reset(template_section->get(client.conn, "proxy.pac", nullptr));
    std::string text = page_text(pac.get());
    size_t open = text.find("return \"");
    size_t close = text.find("\";\n}\n");
    ASSERT_NE(std::string::npos, open);
    ASSERT_NE(std::string::npos, close);
    std::string literal = text.substr(open + 8, close - open - 8);
    EXPECT_EQ(std::string::npos, literal.find_first_of("\"'<>\r\n\x01"));
    EXPECT_EQ(std::string::npos, literal.find("\xe2\x80\xa8"));
    EXPECT_NE(std::string::npos, literal.find("\\u003cb onmouseover\\u003d\\u0022x\\u0022"));
    EXPECT_NE(std::string::npos, literal.find("\\u000d\\u000aSet-Cookie"));
    EXPECT_NE(std::string::npos, literal.find("\\u2028 end"));
}

struct EscapeCase {
    const char *mime;
    int kind;
    const char *value;
    const char *escaped;
};

static const EscapeCase escape_cases[] = {
    { "text/html", TEMPLATE_ESCAPE_HTML, "a<b>&\"c'\r\n\x01\td", "a&lt;b&gt;&amp;&quot;c&#39;&#13;&#10;\td" },
    { "application/xhtml+xml", TEMPLATE_ESCAPE_HTML, "\xc3\xa9<", "\xc3\xa9&lt;" },
    { "TEXT/HTML; charset=UTF-8", TEMPLATE_ESCAPE_HTML, "'", "&#39;" },
    { "application/x-ns-proxy-autoconfig", TEMPLATE_ESCAPE_SCRIPT, "a\"b\\c\n", "a\\u0022b\\u005cc\\u000a" },
    { "application/json", TEMPLATE_ESCAPE_SCRIPT, "x\xe2\x80\xa9y</", "x\\u2029y\\u003c\\u002f" },
    { "text/javascript", TEMPLATE_ESCAPE_SCRIPT, "1.2.3.4:80", "1.2.3.4:80" },
    { "text/css", TEMPLATE_ESCAPE_CSS, "a}b", "a\\7d b" },
    { "text/plain", TEMPLATE_ESCAPE_NONE, "<a>\r\n", "<a>\r\n" },
    { "", TEMPLATE_ESCAPE_NONE, "<a>", "<a>" },
    { "image/gif", TEMPLATE_ESCAPE_NONE, "'", "'" },
};

/* Each content type gets the escaping its format needs. */
TEST(Templates, EscapeTable)
{
    for (const EscapeCase &c : escape_cases) {
        SCOPED_TRACE(std::string(c.mime) + " " + c.value);
        EXPECT_EQ(c.kind, TemplateSection::escape_for(c.mime));
        EXPECT_EQ(c.escaped, TemplateSection::escape(c.value, c.kind));
    }
    EXPECT_EQ(TEMPLATE_ESCAPE_NONE, TemplateSection::escape_for(nullptr));
}

/* send answers with the page, the caller's status, the length, the type and
 * no caching, fills the log entry as the proxy's own page and logs it. */
TEST(Templates, SendBuiltin)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    client.conn->variables["URL"] = "http://example.org/<x>";
    client.conn->logentry.set_cachecode(CC_TCP_DENIED);   /* as a refusal sets it */
    test_log_clear();
    ASSERT_EQ(1, template_section->send("blocked", client.conn, 404));
    Reply r = reply_parse(client.received());
    EXPECT_EQ(404, r.status);
    EXPECT_EQ("text/html", r.content_type);
    EXPECT_EQ("no-cache", r.cache_control);
    EXPECT_EQ((int64_t)r.body.size(), r.length);
    EXPECT_NE(std::string::npos, r.body.find("http://example.org/&lt;x&gt;"));
    EXPECT_NE(std::string::npos, r.head.find("Connection: keep-alive\r\n"));
    EXPECT_TRUE(test_log_contains("sent blocked"));

    const LogEntry &log = client.conn->logentry;
    EXPECT_STREQ("TCP_DENIED", log.cachecode());   /* the request's code stays */
    EXPECT_STREQ("DIRECT", log.peercode());
    EXPECT_EQ("quillmere", log.peer);
    EXPECT_EQ(404, log.status);
    EXPECT_EQ((int64_t)r.body.size(), log.size);
    EXPECT_EQ("text/html", log.mime);
    EXPECT_EQ(nullptr, client.conn->rheader);
}

/* A HEAD gets the header with the page's length and no body; "empty" is a
 * zero-length text/plain answer; a binary page arrives byte for byte. */
TEST(Templates, SendHeadEmptyAndBinary)
{
    ASSERT_EQ(0, configure("", ""));
    {
        Client client;
        client.conn->flags |= CONN_HEAD;
        ASSERT_EQ(1, template_section->send("noaccess", client.conn, 404));
        Reply r = reply_parse(client.received());
        EXPECT_EQ(404, r.status);
        EXPECT_GT(r.length, 0);
        EXPECT_EQ("", r.body);
    }
    {
        Client client;
        ASSERT_EQ(1, template_section->send("empty", client.conn, 200));
        Reply r = reply_parse(client.received());
        EXPECT_EQ(0, r.length);
        EXPECT_EQ("text/plain", r.content_type);
        EXPECT_EQ("", r.body);
    }
    {
        Client client;
        ASSERT_EQ(1, template_section->send("tinygif", client.conn, 200));
        Reply r = reply_parse(client.received());
        const page_t *row = PAGES;
        while (strcmp(row->name, "tinygif") != 0)
            row++;
        EXPECT_EQ(std::string(row->text, (size_t)row->length), r.body);
        EXPECT_EQ("image/gif", r.content_type);
    }
}

/* No page or no client: send answers 0, writes nothing and puts the
 * previous response header back. A caller that had to answer closes the
 * client connection and says why. */
TEST(Templates, SendNothing)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    HEADER *previous = header_new();
    client.conn->rheader = previous;
    EXPECT_EQ(0, template_section->send("error", client.conn, 404));
    EXPECT_EQ(previous, client.conn->rheader);
    EXPECT_EQ("", client.received());
    EXPECT_EQ(1, client.conn->keepalive_client);   /* probing leaves it alone */

    test_log_clear();
    EXPECT_EQ(0, template_section->send_or_close("error", client.conn, 404));
    EXPECT_EQ(0, client.conn->keepalive_client);
    EXPECT_TRUE(test_log_contains("[IP:10.1.2.3] no page exists for template error, client "
                                  "connection closed"));

    client.conn->flags |= CONN_NOCLIENT;
    EXPECT_EQ(0, template_section->send("blocked", client.conn, 404));
    EXPECT_EQ("", client.received());
    client.conn->rheader = nullptr;
    http_header_free(previous);
}

/* Configured pages: read from the directory joined with "/", sent with the
 * entry's status; built-in pages cannot be replaced; names match without
 * case; profiles choose between entries of the same name; suppressed and
 * file-less entries give nothing; a status of 0 keeps the caller's. */
TEST(Templates, ConfiguredPages)
{
    std::string dir = test_temp_dir();
    ASSERT_FALSE(dir.empty());
    write_file(dir + "/mine.html", "<p>@URL@</p>");
    write_file(dir + "/staff.txt", "staff @URL@");
    write_file(dir + "/other.txt", "other @URL@");
    write_file(dir + "/abs.txt", "absolute");
    std::string entries =
        page_entry("blocked", "mine.html", "text/html", 200) +
        page_entry("Mine", "mine.html", "text/html", 200) +
        page_entry("choose", "staff.txt", "text/plain", 201, false, true, "staff") +
        page_entry("choose", "other.txt", "", 202) +
        page_entry("quiet", "mine.html", "text/html", 200, true) +
        page_entry("quiet", "other.txt", "text/plain", 200) +
        page_entry("blank", "", "text/html", 200) +
        page_entry("keep", "other.txt", "text/plain", 0) +
        page_entry("absolute", dir + "/abs.txt", "text/plain", 203) +
        page_entry("missing", "no-such-file.html", "text/html", 200) +
        page_entry("off", "mine.html", "text/html", 200, false, true, "", false) +
        page_entry("", "mine.html", "text/html", 200) +
        page_entry("raw", "mine.html", "text/html", 200, false, false);
    ASSERT_EQ(0, configure(dir, entries));

    struct SendCase {
        const char *name;
        const char *profile;   /* added to the request, or "" */
        int caller_status;
        int sent;
        int status;
        const char *type;
        const char *body;      /* "*" = the built-in page */
    };
    static const SendCase cases[] = {
        { "blocked", "", 404, 1, 404, "text/html", "*" },
        { "MINE", "", 404, 1, 200, "text/html", "<p>http://a/&lt;x&gt;</p>" },
        { "choose", "staff", 404, 1, 201, "text/plain", "staff http://a/<x>" },
        { "choose", "", 404, 1, 202, "text/plain", "other http://a/<x>" },
        { "quiet", "", 404, 0, 0, "", "" },
        { "blank", "", 404, 0, 0, "", "" },
        { "keep", "", 503, 1, 503, "text/plain", "other http://a/<x>" },
        { "absolute", "", 404, 1, 203, "text/plain", "absolute" },
        { "missing", "", 404, 1, 200, "text/html", "" },
        { "off", "", 404, 0, 0, "", "" },
        { "", "", 404, 0, 0, "", "" },
        { "raw", "", 404, 1, 200, "text/html", "<p>@URL@</p>" },
    };
    for (const SendCase &c : cases) {
        SCOPED_TRACE(c.name + std::string(" ") + c.profile);
        Client client;
        client.conn->variables["URL"] = "http://a/<x>";
        if (*c.profile)
            client.conn->profiles.push_back(c.profile);
        EXPECT_EQ(c.sent, template_section->send(c.name, client.conn, c.caller_status));
        std::string sent = client.received();
        if (!c.sent) {
            EXPECT_EQ("", sent);
            continue;
        }
        Reply r = reply_parse(sent);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.type, r.content_type);
        EXPECT_EQ((int64_t)r.body.size(), r.length);
        if (strcmp(c.body, "*") == 0)
            EXPECT_NE(std::string::npos, r.body.find("<title>Page Blocked</title>"));
        else
            EXPECT_EQ(c.body, r.body);
    }

    /* get reports the entry's status only when it has one. */
    Client client;
    int status = -1;
    std::unique_ptr<Filebuf> page(template_section->get(client.conn, "keep", &status));
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(-1, status);
    page.reset(template_section->get(client.conn, "absolute", &status));
    EXPECT_EQ(203, status);
}

/* A page file path is at most 255 characters: at the limit the file is
 * read, one past it the page is empty and the fault logged. */
TEST(Templates, PathLimit)
{
    std::string dir = test_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::string at = dir + "/" + std::string(TEMPLATE_PATH_MAX - dir.size() - 1, 'a');
    ASSERT_EQ((size_t)TEMPLATE_PATH_MAX, at.size());
    write_file(at, "at the limit");
    std::string past = at.substr(0, at.size() - 1) + "bb";
    write_file(past, "past the limit");   /* may fail on a short NAME_MAX; not needed */
    ASSERT_EQ(0, configure(dir, page_entry("at", at.substr(dir.size() + 1), "text/plain", 200) +
                                    page_entry("past", past.substr(dir.size() + 1), "text/plain",
                                               200)));
    Client client;
    std::unique_ptr<Filebuf> page(template_section->get(client.conn, "at", nullptr));
    ASSERT_NE(nullptr, page);
    EXPECT_EQ("at the limit", page_text(page.get()));
    test_log_clear();
    page.reset(template_section->get(client.conn, "past", nullptr));
    ASSERT_NE(nullptr, page);
    EXPECT_EQ(0, page->size);
    EXPECT_TRUE(test_log_contains("file path over 255 characters"));
}

/* A status outside 100-599 (other than 0) refuses the load of the section; 100 and 599 are accepted, 99 and 600 are not. */
TEST(Templates, StatusRange)
{
    std::string dir = test_temp_dir();
    write_file(dir + "/p.txt", "p");
    struct StatusCase { int status; int sent; int answered; };
    static const StatusCase cases[] = {
        { 100, 1, 100 }, { 599, 1, 599 }, { 0, 1, 404 },
        { 99, 0, 0 }, { 600, 0, 0 }, { -1, 0, 0 },
    };
    for (const StatusCase &c : cases) {
        SCOPED_TRACE(c.status);
        test_log_clear();
        int loaded = configure(dir, page_entry("p", "p.txt", "text/plain", c.status));
        if (!c.sent) {
            /* the load is refused; the section keeps what it had */
            EXPECT_EQ(SECTION_FLAWED, loaded);
            EXPECT_TRUE(test_log_contains("status must be 0 or between 100 and 599"));
            continue;
        }
        ASSERT_EQ(SECTION_LOADED, loaded);
        Client client;
        EXPECT_EQ(1, template_section->send("p", client.conn, 404));
        EXPECT_EQ(c.answered, reply_parse(client.received()).status);
    }
}

/* insert appends a page to one being built; the interface style sheet is
 * the template "interface.css". */
TEST(Templates, InsertAndStylesheet)
{
    ASSERT_EQ(0, configure("", ""));
    Client client;
    Filebuf page;
    ASSERT_EQ(FILEBUF_OK, page.Add("x", 1));
    EXPECT_EQ(1, template_section->insert(client.conn, &page, "tooltip"));
    EXPECT_EQ(0u, page_text(&page).find("x<script type=\"text/javascript\">"));
    EXPECT_EQ(0, template_section->insert(client.conn, &page, "nosuch"));

    Filebuf css;
    EXPECT_EQ(1, interface_stylesheet(client.conn, &css));
    EXPECT_EQ(0u, page_text(&css).find("<style type=\"text/css\">"));
    EXPECT_EQ(std::string::npos, page_text(&css).find('@'));
}
