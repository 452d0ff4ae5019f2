/* Fuzz target of URL parsing and percent and HTML coding. Every input is
 * parsed as a URL and run through each coder; the properties checked:
 * a parsed URL's host and path hold no blank, control byte or DEL and stay
 * within their limits, and its text parses again to the same URL; encoding
 * then decoding gives the text back; the unsafe-byte escape leaves no byte
 * that could split a line and decodes back; HTML escaping leaves no markup
 * character of the text and no entity that is not its own; the navigation
 * trail of a path has exactly one link per component; the web
 * interface's arguments come from their text and read back as written. */
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interface.h"
#include "misc.h"
#include "fuzztest.h"
#include "test_support.h"

static std::string fuzz_take(char *text)
{
    std::string out = text ? text : "";
    free(text);
    return out;
}

static bool fuzz_url_byte_ok(unsigned char c)
{
    return c > 32 && c < 127;
}

/* Counts occurrences of needle in text. */
static size_t fuzz_count(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size()))
        n++;
    return n;
}

/* The HTML text with its four entities turned back, or "!" when a "&" in
 * it starts anything else, or a markup character stands bare. */
static std::string fuzz_html_unescape(const std::string &html)
{
    static const char *const entities[][2] = {
        { "&quot;", "\"" }, { "&lt;", "<" }, { "&gt;", ">" }, { "&amp;", "&" }, { "&nbsp;", " " },
    };
    std::string out;
    for (size_t i = 0; i < html.size();) {
        char c = html[i];
        if (c == '<' && html.compare(i, 4, "<br>") == 0) {
            out += '\n';
            i += 4;
            continue;
        }
        if (c == '<' || c == '>' || c == '"')
            return "!";
        if (c == '&') {
            bool found = false;
            for (const auto &e : entities) {
                size_t n = strlen(e[0]);
                if (html.compare(i, n, e[0]) == 0) {
                    out += e[1];
                    i += n;
                    found = true;
                    break;
                }
            }
            if (!found)
                return "!";
            continue;
        }
        out += c;
        i++;
    }
    return out;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string bytes((const char *)data, size);
    std::string text(bytes.c_str());   /* up to the first NUL, as C callers see it */

    /* Parsing, and the text the URL makes parsing again to the same. */
    if (URL *u = url_parse(text.c_str())) {
        fuzz_check(u->host && *u->host && u->path && u->path[0] == '/');
        fuzz_check(u->port >= 0 && u->port <= 65535);
        fuzz_check(strlen(u->path) <= text.size());
        for (const char *p = u->host; *p; p++)
            fuzz_check(fuzz_url_byte_ok((unsigned char)*p) && !isupper((unsigned char)*p));
        for (const char *p = u->path; *p; p++)
            fuzz_check(fuzz_url_byte_ok((unsigned char)*p) && *p != '#');
        if (u->user) {
            fuzz_check(strlen(u->user) <= (size_t)URL_USERINFO_MAX);
            fuzz_check(u->password && strlen(u->password) <= (size_t)URL_USERINFO_MAX);
        }
        std::string made = fuzz_take(url_create(u));
        /* A host holding ":" or "/" or "@" makes a text of another shape;
         * any other URL must read back the same. */
        if (!strpbrk(u->host, ":/@") && u->port > 0) {
            URL *again = url_parse(made.c_str());
            fuzz_check(again != nullptr);
            fuzz_check(strcmp(again->host, u->host) == 0 && strcmp(again->path, u->path) == 0 &&
                       again->port == u->port && strcmp(again->protocol, u->protocol) == 0);
            url_free(again);
        }
        url_free(u);
    }

    /* url_path_fix: within its limit, stripped, cut at "#". */
    if (char *fixed = url_path_fix(text.c_str())) {
        std::string f = fuzz_take(fixed);
        fuzz_check(f.size() <= (size_t)URL_PATH_MAX && f.size() <= text.size());
        for (unsigned char c : f)
            fuzz_check(fuzz_url_byte_ok(c) && c != '#');
    }

    /* url_encode, then url_decode: the same text, but for a "+" of the
     * text, which the encoder keeps and the decoder reads as a blank; only
     * safe bytes out. */
    std::string encoded = fuzz_take(url_encode(text.c_str(), text.size()));
    for (unsigned char c : encoded)
        fuzz_check(c > 127 || isalnum(c) || strchr("+,-./%", c));
    std::string plus_blank = text;
    for (char &c : plus_blank)
        if (c == '+')
            c = ' ';
    fuzz_check(fuzz_take(url_decode(encoded.c_str(), encoded.size())) == plus_blank);
    fuzz_check(url_percent_decode(encoded.data(), encoded.size(), true) == plus_blank);

    /* url_decode: never longer than its input. */
    fuzz_check(fuzz_take(url_decode(text.c_str(), text.size())).size() <= text.size());
    std::string pd = url_percent_decode(bytes.data(), bytes.size(), (size / 2) % 2 == 0);
    fuzz_check(pd.size() <= bytes.size());

    /* The unsafe-byte escape: nothing that splits a line, and it decodes
     * back (a "%" of the text itself stays, so only where none was). */
    for (bool high : { false, true }) {
        std::string esc = url_escape_unsafe(bytes, high);
        for (unsigned char c : esc)
            fuzz_check(c > 32 && c != 127 && (!high || c < 128));
        if (bytes.find('%') == std::string::npos)
            fuzz_check(url_percent_decode(esc.data(), esc.size(), false) == bytes);
    }

    /* HTML: no bare markup character, no entity that was not made here,
     * and the text comes back. */
    for (int flags : { 0, (int)HTML_NEWLINES, (int)HTML_SPACES, HTML_NEWLINES | HTML_SPACES }) {
        std::string html = fuzz_take(string_to_html(text.c_str(), flags, flags == HTML_NEWLINES ? 7 : 0));
        std::string back = fuzz_html_unescape(html);
        fuzz_check(back != "!" || text == "!");
        if (flags == HTML_NEWLINES) {
            /* wrapping adds line breaks: only they differ */
            std::string a, b;
            for (char c : back)
                if (c != '\n')
                    a += c;
            for (char c : text)
                if (c != '\n')
                    b += c;
            fuzz_check(a == b);
        } else {
            fuzz_check(back == text);
        }
    }

    /* Interface arguments: names and values come from the text, and
     * a pair written with url_encode reads back (a "+" as a blank). */
    CGIMap args(text.c_str());
    for (const auto &arg : args)
        fuzz_check(arg.first.size() + arg.second.size() <= text.size());
    std::string name = plus_blank.substr(0, plus_blank.size() / 2);
    std::string value = plus_blank.substr(plus_blank.size() / 2);
    std::string form = fuzz_take(url_encode(name.c_str(), name.size())) + "=" +
                       fuzz_take(url_encode(value.c_str(), value.size()));
    CGIMap pair(form.c_str());
    fuzz_check(pair.size() == 1 && pair.begin()->first == name && pair.begin()->second == value);

    /* The navigation trail: one link for "/" and one per component, and
     * nothing of a component outside its escaped text. */
    std::string trail = fuzz_take(path_to_url(text.c_str()));
    size_t components = 0;
    for (size_t p = 0; p < text.size();) {
        size_t slash = text.find('/', p);
        size_t end = slash == std::string::npos ? text.size() : slash;
        if (end > p)
            components++;
        p = end + 1;
    }
    size_t links = fuzz_count(trail, "<a href=\"");
    fuzz_check(links >= 1 && links <= components + 1);
    fuzz_check(fuzz_count(trail, "</a>") == links);
    fuzz_check(fuzz_count(trail, "<") == 2 * links && fuzz_count(trail, ">") == 2 * links);
    fuzz_check(fuzz_count(trail, "\"") == 2 * links);
    return 0;
}
