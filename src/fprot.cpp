/*
 * The F-Prot adapter. The body is written to a temporary file and the
 * daemon, an HTTP service on 127.0.0.1 at the first of the ports
 * 10200-10204 that answers, is asked with a GET whose path is the file's
 * and whose query holds the rule's switches. It answers with an XML
 * document whose root "fprot-results" has a "summary" ("infected" or not)
 * and, for a find, "detected" with the virus's "name". A daemon that
 * cannot be reached or whose answer does not parse has not judged the
 * body: the failure is logged and the response passes. The file is gone
 * on every path.
 */
#include "fprot.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>

#include <tinyxml2.h>

#include "cache.h"
#include "connection.h"
#include "fetch.h"
#include "filebuf.h"
#include "hooks.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "regexp.h"

/* The options, by position. */
static const FieldDecl fprot_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl fprot_rule_fields[] = {
    {  0, "enabled",       FIELD_BOOL },
    {  1, "comment",       FIELD_STRING },
    {  2, "profiles",      FIELD_STRING_LIST },
    {  3, "template",      FIELD_STRING },
    {  4, "archive-depth", FIELD_INT },
    {  5, "options",       FIELD_STRING_SELECT_MANY },
};

static std::string fprot_path_escape(const std::string &path);

FProtSection *fprot_section = nullptr;

FProtSection::FProtSection()
    : ScannerSection("fprot", LOG_ANTIVIRUS, "cached file already checked for viruses")
{
    fields_require(fprot_global_fields);
    list_require(0, "rule", fprot_rule_fields, std::size(fprot_rule_fields));
    processors.Add(fprot_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(fprot_buffcheck, PROCESSOR_BUFFCHECK);
}

void FProtSection::update()
{
    ScannerSection::update();
    auto rule = rules.begin();
    for (const Item &item : subsections[0].items) {
        if (rule == rules.end())
            break;
        rule->archive_depth = item.fields[4].value;
        rule->options = (unsigned)item.fields[5].value;
        ++rule;
    }
}

int fprot_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return fprot_section ? fprot_section->check_match(conn) : 0;
}

int fprot_respcheck(CONNECTION_T *conn, Filebuf *body)
{
    return fprot_section ? fprot_section->check_and_block(conn, body) : 0;
}

std::string fprot_switches(const ScannerRule &rule)
{
    static const struct {
        unsigned bit;
        const char *word;
    } switches[] = {
        { FPROT_PACKED, "-packed" },     { FPROT_AI, "-ai" },
        { FPROT_NOHEUR, "-noheur" },     { FPROT_NOMACRO, "-nomacro" },
        { FPROT_ONLYMACRO, "-onlymacro" },
    };
    std::string out;
    if (rule.options & FPROT_ARCHIVE)
        out += "-archive=" + std::to_string(rule.archive_depth) + "%20";
    for (const auto &s : switches)
        if (rule.options & s.bit)
            out += std::string(s.word) + "%20";
    if (out.size() > FPROT_SWITCHES_MAX)
        out.resize(FPROT_SWITCHES_MAX);
    return out;
}

/* The file's path for a URL: bytes other than letters, digits and
 * "/._-~" as "%" and two hex digits, so a directory name with a blank or
 * a "?" cannot end the path early. */
static std::string fprot_path_escape(const std::string &path)
{
    std::string out;
    for (unsigned char c : path) {
        if (isalnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == '~') {
            out += (char)c;
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

int fprot_reply_parse(Filebuf *answer, std::string *name)
{
    /* A document type with an internal subset could declare entities;
     * it goes before the parser sees the text. */
    static regex_sub_t *doctype = reg_sub_compile("<!DOCTYPE[^\\]]*\\]>", REG_SUB_CASELESS);
    if (!answer || !doctype)
        return FPROT_ERROR;
    VariableMap none;
    if (reg_replace(answer, doctype, nullptr, none) < 0)
        return FPROT_ERROR;

    tinyxml2::XMLDocument doc;
    if (doc.Parse(answer->data ? answer->data : "", (size_t)answer->size) != tinyxml2::XML_SUCCESS)
        return FPROT_ERROR;
    const tinyxml2::XMLElement *root = doc.RootElement();
    if (!root || strcmp(root->Name(), "fprot-results") != 0)
        return FPROT_ERROR;
    const tinyxml2::XMLElement *summary = root->FirstChildElement("summary");
    if (!summary)
        return FPROT_ERROR;
    const char *verdict = summary->GetText();
    if (!verdict || strcasecmp(verdict, "infected") != 0)
        return FPROT_CLEAN;
    name->clear();
    const tinyxml2::XMLElement *detected = root->FirstChildElement("detected");
    const tinyxml2::XMLElement *named = detected ? detected->FirstChildElement("name") : nullptr;
    const char *text = named ? named->GetText() : nullptr;
    if (text)
        *name = scanner_printable(text, text + strlen(text));
    return FPROT_INFECTED;
}

int FProtSection::check_and_block(CONNECTION_T *conn, Filebuf *body)
{
    if (!(conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section &&
        (cache_section->flag_get(conn->cache) & CACHE_CLEAN))
        return 0;

    std::string page, switches;
    {
        SectionReadGuard guard(*this);
        const ScannerRule *rule = find(conn);
        if (!rule)
            return 0;
        page = template_choose(rule, 1);
        switches = fprot_switches(*rule);
    }

    ScannerTempFile file(body, SCANNER_TEMP_PATH_MAX);
    if (file.path.empty()) {
        scanner_verdict_failed(conn);
        return 0;
    }

    /* One deadline for the five ports together: a silent daemon costs
     * the general time-out once, not once per port. */
    int64_t deadline = monotonic_ms() + (int64_t)net_timeout(conn) * 1000;
    std::string path = fprot_path_escape(file.path);
    std::unique_ptr<HTTPRESPONSE, void (*)(HTTPRESPONSE *)> answer(nullptr, httpresponse_free);
    for (int port = FPROT_PORT_FIRST; port <= FPROT_PORT_LAST && !answer; port++) {
        int64_t left_ms = deadline - monotonic_ms();
        if (left_ms <= 0)
            break;
        std::string text = "http://127.0.0.1:" + std::to_string(port) + path + "?" + switches +
                           "-remote-dtd%20";
        std::unique_ptr<URL, void (*)(URL *)> url(url_parse(text.c_str()), url_free);
        if (!url)
            break;
        answer.reset(http_fetch(url.get(), nullptr, (int)((left_ms + 999) / 1000)));
    }
    if (!answer) {
        putlog(LOG_ANTIVIRUS, "connection to F-Prot daemon scanner failed");
        scanner_verdict_failed(conn);
        return 0;
    }

    std::string virus;
    switch ((fprot_reply)fprot_reply_parse(answer->body, &virus)) {
    case FPROT_ERROR:
        putlog(LOG_ANTIVIRUS, "error parsing F-Prot result XML");
        scanner_verdict_failed(conn);
        return 0;
    case FPROT_CLEAN:
        putlog(LOG_ANTIVIRUS, "no viruses detected by F-Prot");
        scanner_verdict_clean(conn);
        return 0;
    case FPROT_INFECTED:
        break;
    }
    if (virus.empty()) {
        putlog(LOG_ANTIVIRUS, "detected unknown virus with F-Prot");
        scanner_block(conn, "F-Prot", "f-prot", "", page, 202);
        conn->logentry.filtering_reason = "unknown";
        return 1;
    }
    putlog(LOG_ANTIVIRUS, "detected %s virus with F-Prot", log_text(virus, SCANNER_NAME_MAX).c_str());
    return scanner_block(conn, "F-Prot", "f-prot", virus, page, 202);
}
