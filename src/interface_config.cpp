/*
 * The configuration pages of the web interface: "/config" chooses a
 * section, searches entries and runs the section forms; "/load" and
 * "/save" read and write the configuration file (or load a configuration
 * URL); "/log" shows the in-memory log, newest first, through a regular
 * expression, and clears or resizes it. The pages take no section lock of
 * their own: the section forms and the loader take what they need. The log
 * lines are copied under the buffer's read lock and matched after its
 * release, since anything that logs (a pattern that does not compile)
 * takes that lock for writing. Every text from a request or the log is
 * HTML-escaped where it lands.
 */
#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "filebuf.h"
#include "interface.h"
#include "locks.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "regexp.h"
#include "section.h"
#include "xml.h"

/* The largest log buffer the "/log" page sets. */
#define INTERFACE_LOG_SIZE_MAX 100000

static void config_page_add(Filebuf *page, const std::string &text);
static void config_page_message(Filebuf *page, const char *message);
static bool config_page_size(const std::string &text, int *size);

static void config_page_add(Filebuf *page, const std::string &text)
{
    if (!text.empty() && page->Add(text.data(), (int64_t)text.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: a configuration page could not be built");
}

/* A small dialog holding one message. */
static void config_page_message(Filebuf *page, const char *message)
{
    config_page_add(page, std::string("<br><table class=\"dialog\" align=\"center\"><tr><td>") +
                              message + "</td></tr></table>\n");
}

/* Reads a log buffer size: a whole decimal from 0 to
 * INTERFACE_LOG_SIZE_MAX. False for anything else. */
static bool config_page_size(const std::string &text, int *size)
{
    if (text.empty() || text.size() > 6)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > INTERFACE_LOG_SIZE_MAX)
        return false;
    *size = value;
    return true;
}

void interface_page_config(Filebuf *page, CGIMap &args, CONNECTION_T *conn)
{
    const std::string section = args["section"];
    const std::string matchname = args["matchname"];
    const std::string matchvalue = args["matchvalue"];

    std::string html = "<br><table width=\"100%\"><tr><td valign=\"top\" align=\"center\">\n"
                       "<form action=\"config\" method=\"POST\">\n"
                       "<table class=\"dialog\"><tr><td class=\"dialoghead\">Select a Section "
                       "to Configure</td></tr>\n<tr><td><select name=\"section\">"
                       "<option value=\"\">Select a section</option>";
    for (const auto &entry : Section::map)
        html += "<option value=\"" + interface_html(entry.first) + "\"" +
                (entry.first == section ? " selected" : "") + ">" +
                interface_html(entry.second->comment_get()) + "</option>";
    html += "</select></td></tr>\n<tr><td class=\"dialogfoot\"><input type=\"submit\" "
            "value=\"Submit\"></td></tr></table>\n</form>\n</td><td valign=\"top\" "
            "align=\"center\">\n<form action=\"config\" method=\"POST\">\n"
            "<input type=\"hidden\" name=\"section\" value=\"" + interface_html(section) + "\">\n"
            "<table class=\"dialog\"><tr><td class=\"dialoghead\" colspan=\"2\">Search "
            "entries</td></tr>\n<tr><td>Option:</td><td><input type=\"text\" name=\"matchname\" "
            "size=\"20\" value=\"" + interface_html(matchname) + "\"></td></tr>\n"
            "<tr><td>Value:</td><td><input type=\"text\" name=\"matchvalue\" size=\"20\" "
            "value=\"" + interface_html(matchvalue) + "\"></td></tr>\n"
            "<tr><td class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" "
            "value=\"Submit\"></td></tr></table>\n</form>\n</td></tr></table>\n";
    config_page_add(page, html);

    auto chosen = Section::map.find(section);
    Section *s = chosen == Section::map.end() ? nullptr : chosen->second;
    StringList none;
    if (!args["dialog"].empty()) {
        if (s)
            s->interface_dialog(page, args, conn, none);
    } else if (!section.empty()) {
        if (!s)
            return;
        StringList errors;
        if (!args["action"].empty())
            errors = s->interface_action(page, args, conn);
        if (!errors.empty() && !args["subsection"].empty())
            s->interface_dialog(page, args, conn, errors);
        else
            s->interface(page, args, conn, errors);
    } else if (!matchname.empty() || !matchvalue.empty()) {
        for (const auto &entry : Section::map)
            entry.second->interface(page, args, conn, none);
    }
}

void interface_page_load(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    const std::string filename = args["filename"];
    if (filename.empty()) {
        config_page_add(page,
                        "<br><form action=\"load\" method=\"POST\">\n<table class=\"bigdialog\" "
                        "align=\"center\"><tr><td class=\"dialoghead\" colspan=\"2\">Load "
                        "settings</td></tr>\n<tr><td>Filename</td><td><input type=\"text\" "
                        "name=\"filename\" size=\"80\" value=\"" + interface_html(configfile) +
                        "\"></td></tr>\n<tr><td>Overwrite</td><td><input type=\"radio\" "
                        "name=\"overwrite\" value=\"yes\" checked>Yes <input type=\"radio\" "
                        "name=\"overwrite\" value=\"no\">No</td></tr>\n<tr><td "
                        "class=\"dialogfoot\" colspan=\"2\"><input type=\"submit\" "
                        "value=\"Submit\"></td></tr></table>\n</form>\n");
        return;
    }
    int mode = args["overwrite"] == "yes" ? CONFIG_LOAD_REPLACE : CONFIG_LOAD_APPEND;
    config_page_message(page, config_load(mode, filename) == 1 ? "File loaded" : "Load failed");
}

void interface_page_save(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    const std::string filename = args["filename"];
    if (filename.empty()) {
        config_page_add(page,
                        "<br><form action=\"save\" method=\"POST\">\n<table class=\"bigdialog\" "
                        "align=\"center\"><tr><td class=\"dialoghead\" colspan=\"2\">Save "
                        "settings</td></tr>\n<tr><td>Filename</td><td><input type=\"text\" "
                        "name=\"filename\" size=\"80\" value=\"" + interface_html(configfile) +
                        "\"></td></tr>\n<tr><td class=\"dialogfoot\" colspan=\"2\"><input "
                        "type=\"submit\" value=\"Submit\"></td></tr></table>\n</form>\n");
        return;
    }
    config_page_message(page, config_save(filename) ? "File saved" : "Saved failed");
}

void interface_page_log(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    LOGBUFFER *buffer = global ? global->logbuffer : nullptr;
    if (!buffer)
        return;
    const std::string pattern = args["pattern"];
    if (args["clear"] == "on")
        logbuffer_clear(buffer);
    int size = 0;
    if (config_page_size(args["size"], &size))
        logbuffer_resize(buffer, size);

    int capacity = logbuffer_capacity(buffer);
    config_page_add(page,
                    "<br><form action=\"log\" method=\"POST\">\n<table class=\"bigdialog\" "
                    "align=\"center\"><tr><td class=\"dialoghead\" colspan=\"2\">Regular "
                    "expression match</td></tr>\n<tr><td colspan=\"2\"><input type=\"text\" "
                    "name=\"pattern\" size=\"80\" value=\"" + interface_html(pattern) +
                    "\"></td></tr>\n<tr><td>Log buffer size:</td><td><input type=\"text\" "
                    "name=\"size\" size=\"10\" value=\"" + std::to_string(capacity) +
                    "\"></td></tr>\n<tr><td>Clear:</td><td><input type=\"checkbox\" "
                    "name=\"clear\"></td></tr>\n<tr><td class=\"dialogfoot\" colspan=\"2\">"
                    "<input type=\"submit\" value=\"Submit\"></td></tr></table>\n</form>\n"
                    "<br><table class=\"list\" align=\"center\">\n");

    /* Compiled and matched after the lines are copied: a pattern that does
     * not compile is logged into the buffer. */
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> regex(
        pattern.empty() ? nullptr : reg_compile(pattern.c_str(), REG_COMPILE_ICASE),
        [](regex_posix_t *r) {
            if (r)
                reg_free(r);
        });
    const std::vector<std::string> lines = logbuffer_lines(buffer);

    const int line_length = section_line_length();
    bool even = true;
    for (const std::string &line : lines) {
        if (regex && reg_exec(regex.get(), line.c_str()) != 0)
            continue;
        std::unique_ptr<char, void (*)(void *)> html(string_to_html(line.c_str(), HTML_NEWLINES, line_length),
                                                     free);
        config_page_add(page, std::string("<tr class=\"") + (even ? "listeven" : "listodd") +
                                  "\"><td>" + (html ? html.get() : "") + "</td></tr>\n");
        even = !even;
    }
    config_page_add(page, "</table>\n");
}
