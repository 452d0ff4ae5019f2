/*
 * The read-only view of a configuration entry, as the configuration
 * editor and the diagnostic pages show it. Every text that varies is
 * HTML-escaped and appended whole, never through a format, so no value is
 * cut on its way into the page.
 */
#include <cstdlib>
#include <string>

#include "filebuf.h"
#include "mem.h"
#include "misc.h"
#include "section.h"

static std::string forms_html(const std::string &text, int line_length);
static std::string forms_link(const Item &item, const char *rest);

/* text escaped for the page with its line breaks kept, wrapped every
 * line_length characters when above 0. An allocation failure is fatal, as
 * everywhere in the page code. */
static std::string forms_html(const std::string &text, int line_length)
{
    char *html = string_to_html(text.c_str(), HTML_NEWLINES, line_length);
    if (!html)
        fatal_error("src/section", __LINE__, "Item::display", "out of memory");
    std::string out = html;
    free(html);
    return out;
}

/* The editor link of an entry: its section and list, then rest, then its
 * id. */
static std::string forms_link(const Item &item, const char *rest)
{
    return "config?section=" + item.section + "&amp;subsection=" + item.subsection + rest +
           "&amp;id=" + std::to_string(item.id);
}

void Item::display(Filebuf *page, int moves, int line_length) const
{
    std::string out = "<tr><td class=\"entrydialoghead\">Option</td>"
                      "<td class=\"entrydialoghead\">Value</td></tr>\n";
    bool odd = false;
    for (const Field &field : fields) {
        if (!field.enabled || (field.optional ? !field.active : field.text.empty()))
            continue;
        out += std::string("<tr class=\"") + (odd ? "entryfieldodd" : "entryfieldeven") +
               "\"><td width=\"20%\">" + forms_html(field.comment, 0) + "</td><td>" +
               forms_html(field.text, line_length) + "</td></tr>\n";
        odd = !odd;
    }
    out += "<tr><td class=\"entrydialogfoot\" colspan=\"2\">"
           "<a href=\"" + forms_link(*this, "&amp;dialog=show") + "\">Edit</a> "
           "<a href=\"" + forms_link(*this, "&amp;action=delete") + "\">Delete</a> "
           "<a href=\"" + forms_link(*this, "&amp;action=clone") + "\">Clone</a>";
    if (moves) {
        static const char *const directions[4][2] = {
            { "up", "Up" }, { "down", "Down" }, { "top", "Top" }, { "bottom", "Bottom" },
        };
        for (const auto &d : directions)
            out += std::string(" <a href=\"") + forms_link(*this, "&amp;action=shift") +
                   "&amp;direction=" + d[0] + "\">" + d[1] + "</a>";
    }
    out += "</td></tr>\n";
    /* A page past its limit is cut short; the caller sends what it has. */
    (void)page->Add(out.data(), (int64_t)out.size());
}
