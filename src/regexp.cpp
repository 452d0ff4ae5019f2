/*
 * The configuration's regular expressions over PCRE2. Plain conditions
 * (URL filters, header, cookie and MIME rules, page filters) only ask "is
 * there a match". Redirects and rewrite rules need the matched text and its
 * groups, and a replacement text is expanded per match from template
 * variables, "$d" group references and backslash escapes.
 *
 * Every expression is compiled once, when the rules are built, and then only
 * read: request threads match the same compiled expression at the same time.
 * What a match writes (the match data with the interpreter's backtracking
 * frames, the JIT's stack) belongs to the matching thread, never to the
 * expression; the library's POSIX wrapper is not used because it keeps one
 * match data block inside each compiled expression. Expressions are compiled
 * with the JIT where the library has it, the interpreter serves the rest.
 * Every search is bounded by a match limit and a heap limit, so an
 * expression that backtracks without end on a long URL or header stops with
 * one log line and counts as no match. Subjects are handled by length, so a
 * body holding zero bytes is searched and copied whole, and the text a
 * replacement builds is capped, since a short pattern and a replacement
 * repeating "$0" could otherwise multiply the size of a body.
 */
#include "regexp.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "mem.h"
#include "misc.h"

/* A plain compiled expression behind the opaque handle. */
struct regex_posix_t {
    pcre2_code *code;
};

/* One string of a match: the bytes of the whole match or of a group. */
struct REG_PIECE {
    const char *start;
    size_t length;
};

/* A piece of a replacement: the administrator's own text, in which "$d" and
 * backslash escapes are expanded, or the value of a template variable, which
 * is copied as it stands (it may come from the request, and must not turn
 * into a group reference or a line break). */
struct REG_PART {
    bool expand;
    std::string text;
};

/* What one thread writes while matching: a match context holding the
 * limits (and, once a pattern needed more than the machine stack, the
 * thread's own JIT stack), and match data for the plain "is there a match"
 * searches, which also keeps the interpreter's backtracking frames between
 * searches. Made at the thread's first search, released when it ends. */
struct REG_THREAD {
    pcre2_match_context *context = nullptr;
    pcre2_match_data *data = nullptr;
    pcre2_jit_stack *stack = nullptr;
    ~REG_THREAD();
};

static void reg_log_failure(const char *pattern);
static pcre2_code *reg_code_compile(const char *pattern, uint32_t options);
static REG_THREAD &reg_thread();
static int reg_search(const pcre2_code *code, const char *subject, int64_t length,
                      pcre2_match_data *data);
static void reg_log_stopped(int rc);
static uint32_t reg_sub_options(int options);
static int reg_sub_search(const regex_sub_t *regex, const char *subject, int64_t length,
                          pcre2_match_data *data);
static int reg_sub_pieces(pcre2_match_data *data, int rc, const char *subject,
                          REG_PIECE *pieces);
static bool reg_sub_expand(const REG_PIECE *pieces, int count, const char *text,
                           int64_t length, std::string &out, int64_t max_bytes);
static bool reg_sub_split(const char *replacement, VariableMap &variables, int64_t max_bytes,
                          std::vector<REG_PART> &parts);
static bool reg_sub_build(const REG_PIECE *pieces, int count,
                          const std::vector<REG_PART> &parts, std::string &out,
                          int64_t max_bytes);
static pcre2_match_data *reg_sub_data(const regex_sub_t *regex);
static bool reg_sub_append(std::string &out, const char *bytes, size_t length,
                           int64_t max_bytes);

/* Longest part of a pattern quoted in a log line. */
static const size_t REG_LOG_PATTERN_CHARS = 256;

/* The JIT stack a thread gets when a pattern needs more than the 32 KiB the
 * library takes from the machine stack: it starts small and grows on
 * demand up to its maximum. */
static const size_t REG_JIT_STACK_START = 32 * 1024;
static const size_t REG_JIT_STACK_MAX = 1024 * 1024;

static void reg_log_failure(const char *pattern)
{
    putlog(LOG_ERROR, "failed to compile regular expression: %s",
           log_text(pattern, REG_LOG_PATTERN_CHARS).c_str());
}

/* Compiles pattern with the library's options, and with the JIT where it
 * can (an expression the JIT refuses is left to the interpreter). NULL
 * after the log line when the pattern does not compile. */
static pcre2_code *reg_code_compile(const char *pattern, uint32_t options)
{
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *code = pcre2_compile((PCRE2_SPTR)pattern, PCRE2_ZERO_TERMINATED, options,
                                     &error, &offset, nullptr);
    if (!code) {
        if (error == PCRE2_ERROR_NOMEMORY)
            FATAL_ALLOC(strlen(pattern));
        reg_log_failure(pattern);
        return nullptr;
    }
    (void)pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
    return code;
}

REG_THREAD::~REG_THREAD()
{
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
}

/* The calling thread's matching state, made at its first search. */
static REG_THREAD &reg_thread()
{
    static thread_local REG_THREAD state;
    if (!state.context) {
        state.context = pcre2_match_context_create(nullptr);
        state.data = pcre2_match_data_create(1, nullptr);
        if (!state.context || !state.data)
            FATAL_ALLOC(sizeof(REG_THREAD));
        pcre2_set_match_limit(state.context, REG_MATCH_LIMIT);
        pcre2_set_heap_limit(state.context, REG_SUB_HEAP_LIMIT_KIB);
    }
    return state;
}

/* Logs why a search stopped without an answer. */
static void reg_log_stopped(int rc)
{
    PCRE2_UCHAR message[256];
    if (pcre2_get_error_message(rc, message, sizeof(message)) < 0)
        snprintf((char *)message, sizeof(message), "error %d", rc);
    putlog(LOG_WARNING, "regular expression search stopped: %s", (const char *)message);
}

/* Searches length bytes of subject with the calling thread's context.
 * Returns the library's count of set pairs on a match (0: the match set
 * more pairs than data has room for), PCRE2_ERROR_NOMATCH when there is
 * none or the search failed (logged, such as a limit reached). A JIT search
 * that needs more than the machine stack is run again on the thread's own
 * JIT stack. */
static int reg_search(const pcre2_code *code, const char *subject, int64_t length,
                      pcre2_match_data *data)
{
    REG_THREAD &state = reg_thread();
    int rc = pcre2_match(code, (PCRE2_SPTR)subject, (PCRE2_SIZE)length, 0, 0, data,
                         state.context);
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT && !state.stack) {
        state.stack = pcre2_jit_stack_create(REG_JIT_STACK_START, REG_JIT_STACK_MAX, nullptr);
        if (!state.stack)
            FATAL_ALLOC(REG_JIT_STACK_MAX);
        pcre2_jit_stack_assign(state.context, nullptr, state.stack);
        rc = pcre2_match(code, (PCRE2_SPTR)subject, (PCRE2_SIZE)length, 0, 0, data,
                         state.context);
    }
    if (rc >= 0 || rc == PCRE2_ERROR_NOMATCH)
        return rc;
    if (rc == PCRE2_ERROR_NOMEMORY)
        FATAL_ALLOC(0);
    reg_log_stopped(rc);
    return PCRE2_ERROR_NOMATCH;
}

regex_posix_t *reg_compile(const char *pattern, int flags)
{
    ASSERT((flags & ~(REG_COMPILE_ICASE | REG_COMPILE_NEWLINE)) == 0);
    uint32_t options = 0;
    if (flags & REG_COMPILE_ICASE)
        options |= PCRE2_CASELESS;
    if (flags & REG_COMPILE_NEWLINE)
        options |= PCRE2_MULTILINE;
    pcre2_code *code = reg_code_compile(pattern, options);
    if (!code)
        return nullptr;
    regex_posix_t *regex = (regex_posix_t *)xmalloc(sizeof(regex_posix_t));
    if (!regex)
        FATAL_ALLOC(sizeof(regex_posix_t));
    regex->code = code;
    return regex;
}

int reg_exec(const regex_posix_t *regex, const char *text)
{
    ASSERT(regex);
    if (!text)
        return REG_EXEC_NOMATCH;
    return reg_exec_bytes(regex, text, (int64_t)strlen(text));
}

int reg_exec_bytes(const regex_posix_t *regex, const char *subject, int64_t length)
{
    ASSERT(regex);
    if (!subject || length < 0) {
        subject = "";
        length = 0;
    }
    int rc = reg_search(regex->code, subject, length, reg_thread().data);
    return rc >= 0 ? 0 : REG_EXEC_NOMATCH;
}

void reg_free(regex_posix_t *regex)
{
    ASSERT(regex);
    pcre2_code_free(regex->code);
    free(regex);
}

/* The library's option bits for REG_SUB_* options; other bits are a fault
 * of the calling code. */
static uint32_t reg_sub_options(int options)
{
    ASSERT((options & ~REG_SUB_ALL) == 0);
    uint32_t out = 0;
    if (options & REG_SUB_CASELESS)
        out |= PCRE2_CASELESS;
    if (options & REG_SUB_MULTILINE)
        out |= PCRE2_MULTILINE;
    if (options & REG_SUB_DOTALL)
        out |= PCRE2_DOTALL;
    if (options & REG_SUB_EXTENDED)
        out |= PCRE2_EXTENDED;
    return out;
}

regex_sub_t *reg_sub_compile(const char *pattern, int options)
{
    pcre2_code *code = reg_code_compile(pattern, reg_sub_options(options));
    if (!code)
        return nullptr;
    regex_sub_t *regex = (regex_sub_t *)xmalloc(sizeof(regex_sub_t));
    if (!regex)
        FATAL_ALLOC(sizeof(regex_sub_t));
    regex->code = code;
    return regex;
}

void reg_sub_free(regex_sub_t *regex)
{
    if (!regex)
        return;
    pcre2_code_free(regex->code);
    free(regex);
}

/* Searches length bytes of subject. Returns the library's count of set
 * pairs (1 and more) on a match, 0 when there is none: no match, a match
 * setting more groups than data has room for, or a search that failed
 * (logged, such as a limit reached). */
static int reg_sub_search(const regex_sub_t *regex, const char *subject, int64_t length,
                          pcre2_match_data *data)
{
    ASSERT(regex && regex->code);
    int rc = reg_search(regex->code, subject, length, data);
    if (rc > 0) {
        PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data);
        /* \K inside a look-ahead can put the start after the end. */
        return ovector[1] >= ovector[0] ? rc : 0;
    }
    return 0;
}

/* Fills pieces from the pairs of a match of rc pairs over subject; an unset
 * group becomes an empty piece. Returns rc. */
static int reg_sub_pieces(pcre2_match_data *data, int rc, const char *subject,
                          REG_PIECE *pieces)
{
    PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data);
    for (int i = 0; i < rc; i++) {
        PCRE2_SIZE so = ovector[2 * i], eo = ovector[2 * i + 1];
        if (so == PCRE2_UNSET || eo < so) {
            pieces[i].start = "";
            pieces[i].length = 0;
        } else {
            pieces[i].start = subject + so;
            pieces[i].length = eo - so;
        }
    }
    return rc;
}

regmatch_sub_t *reg_sub_exec(const regex_sub_t *regex, const char *text)
{
    return reg_sub_exec_bytes(regex, text, (int64_t)strlen(text));
}

/* Match data with room for every group of the expression. */
static pcre2_match_data *reg_sub_data(const regex_sub_t *regex)
{
    ASSERT(regex && regex->code);
    pcre2_match_data *data = pcre2_match_data_create_from_pattern(regex->code, nullptr);
    if (!data)
        FATAL_ALLOC(sizeof(PCRE2_SIZE) * 2);
    return data;
}

regmatch_sub_t *reg_sub_exec_bytes(const regex_sub_t *regex, const char *subject, int64_t length)
{
    ASSERT(length >= 0);
    std::unique_ptr<pcre2_match_data, void (*)(pcre2_match_data *)> data(reg_sub_data(regex),
                                                                         pcre2_match_data_free);
    int rc = reg_sub_search(regex, subject, length, data.get());
    if (rc <= 0)
        return nullptr;

    regmatch_sub_t *match = (regmatch_sub_t *)xmalloc(sizeof(regmatch_sub_t));
    if (!match)
        FATAL_ALLOC(sizeof(regmatch_sub_t));
    if (pcre2_substring_list_get(data.get(), &match->substrings, &match->lengths) != 0)
        FATAL_ALLOC(length);
    PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data.get());
    match->start = (int64_t)ovector[0];
    match->end = (int64_t)ovector[1];
    match->count = rc;
    return match;
}

void reg_sub_match_free(regmatch_sub_t *match)
{
    if (!match)
        return;
    pcre2_substring_list_free((PCRE2_SPTR *)match->substrings);
    free(match);
}

/* Appends bytes to out unless out would then exceed max_bytes. */
static bool reg_sub_append(std::string &out, const char *bytes, size_t length, int64_t max_bytes)
{
    if ((int64_t)length > max_bytes - (int64_t)out.size())
        return false;
    out.append(bytes, length);
    return true;
}

/* Expands length bytes of the administrator's text of a replacement against the count pieces of a match, appending to out. "$d"
 * writes piece d when it exists (a character above "9" counts on: ":" is
 * 10), "$$" and a final "$" write "$", "$" and any other character write
 * nothing; a backslash escape writes its byte, a final backslash nothing.
 * Returns false when out would exceed max_bytes (out is then incomplete). */
static bool reg_sub_expand(const REG_PIECE *pieces, int count, const char *text,
                           int64_t length, std::string &out, int64_t max_bytes)
{
    const char *p = text, *end = text + length;
    while (p < end) {
        char c = *p++;
        if (c == '$') {
            if (p == end || *p == '$') {
                if (p < end)
                    p++;
                if (!reg_sub_append(out, "$", 1, max_bytes))
                    return false;
                continue;
            }
            unsigned char d = (unsigned char)*p++;
            if (d >= '0' && d - '0' < count) {
                const REG_PIECE &piece = pieces[d - '0'];
                if (!reg_sub_append(out, piece.start, piece.length, max_bytes))
                    return false;
            }
            continue;
        }
        if (c == '\\') {
            if (p == end)
                break;
            char e = *p++;
            switch (e) {
            case 'a': e = '\a'; break;
            case 'e': e = 27; break;
            case 'f': e = '\f'; break;
            case 'n': e = '\n'; break;
            case 'r': e = '\r'; break;
            case 't': e = '\t'; break;
            default: break;              /* "\\" and any other: the character itself */
            }
            if (!reg_sub_append(out, &e, 1, max_bytes))
                return false;
            continue;
        }
        if (!reg_sub_append(out, &c, 1, max_bytes))
            return false;
    }
    return true;
}

/* Splits a replacement into its parts: runs of the administrator's text
 * (a backslash keeps the character after it, so "\@" is a plain "@") and
 * the values of its "@name@" variables, read as variables_parse reads them.
 * Returns false when the parts together exceed max_bytes. */
static bool reg_sub_split(const char *replacement, VariableMap &variables, int64_t max_bytes,
                          std::vector<REG_PART> &parts)
{
    const char *p = replacement, *end = replacement + strlen(replacement);
    std::string own;
    int64_t total = 0;
    while (p < end) {
        if (*p == '\\' && p + 1 < end) {
            own.append(p, 2);
            p += 2;
            continue;
        }
        if (*p != '@') {
            own += *p++;
            continue;
        }
        const std::string *value = nullptr;
        p += variables_reference(variables, p, end, &value);
        if (!own.empty()) {
            total += (int64_t)own.size();
            parts.push_back({ true, std::move(own) });
            own.clear();
        }
        total += (int64_t)value->size();
        parts.push_back({ false, *value });
    }
    if (!own.empty()) {
        total += (int64_t)own.size();
        parts.push_back({ true, std::move(own) });
    }
    return total <= max_bytes;
}

/* Appends the expansion of parts against the count pieces of a match to out.
 * Returns false when out would exceed max_bytes. */
static bool reg_sub_build(const REG_PIECE *pieces, int count,
                          const std::vector<REG_PART> &parts, std::string &out,
                          int64_t max_bytes)
{
    for (const REG_PART &part : parts) {
        bool fits = part.expand ? reg_sub_expand(pieces, count, part.text.data(),
                                                 (int64_t)part.text.size(), out, max_bytes)
                                : reg_sub_append(out, part.text.data(), part.text.size(),
                                                 max_bytes);
        if (!fits)
            return false;
    }
    return true;
}

char *reg_sub_parse(const regmatch_sub_t *match, const char *replacement, VariableMap &variables,
                    int64_t max_bytes)
{
    ASSERT(match && replacement);
    std::vector<REG_PART> parts;
    if (!reg_sub_split(replacement, variables, max_bytes < 0 ? 0 : max_bytes, parts))
        return nullptr;

    std::vector<REG_PIECE> pieces((size_t)match->count);
    for (int i = 0; i < match->count; i++) {
        pieces[i].start = (const char *)match->substrings[i];
        pieces[i].length = match->lengths[i];
    }
    std::string out;
    if (!reg_sub_build(pieces.data(), match->count, parts, out, max_bytes))
        return nullptr;

    char *text = (char *)xmalloc(out.size() + 1);
    if (!text)
        FATAL_ALLOC(out.size() + 1);
    memcpy(text, out.data(), out.size());   /* terminated by the zero fill */
    return text;
}

int64_t reg_replace_text(const char *text, int64_t length, const regex_sub_t *regex,
                         const char *replacement, VariableMap &variables, int64_t limit,
                         const RegReplaceSink &add)
{
    ASSERT(regex && length >= 0 && (text || length == 0));
    if (!text)
        text = "";
    if (limit < 0)
        limit = 0;

    std::unique_ptr<pcre2_match_data, void (*)(pcre2_match_data *)> data(reg_sub_data(regex),
                                                                         pcre2_match_data_free);

    int64_t written = 0;   /* bytes handed to add so far */
    auto emit = [&](const char *bytes, int64_t n) {
        if (n == 0)
            return true;
        if (n > limit - written || !add(bytes, n))
            return false;
        written += n;
        return true;
    };
    std::vector<REG_PART> parts;    /* the replacement, split once */
    bool have_parts = false;
    std::string expansion;
    std::vector<REG_PIECE> pieces(pcre2_get_ovector_count(data.get()));
    int64_t pos = 0, count = 0;
    bool fits = true;

    while (pos <= length) {
        int rc = reg_sub_search(regex, text + pos, length - pos, data.get());
        if (rc <= 0)
            break;
        PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data.get());
        int64_t start = pos + (int64_t)ovector[0];
        int64_t end = pos + (int64_t)ovector[1];

        if (!emit(text + pos, start - pos)) {
            fits = false;
            break;
        }
        if (replacement) {
            if (!have_parts) {
                /* Variables read the same for every match: split once. */
                if (!reg_sub_split(replacement, variables, limit, parts)) {
                    fits = false;
                    break;
                }
                have_parts = true;
            }
            int n = reg_sub_pieces(data.get(), rc, text + pos, pieces.data());
            expansion.clear();
            if (!reg_sub_build(pieces.data(), n, parts, expansion, limit - written) ||
                !emit(expansion.data(), (int64_t)expansion.size())) {
                fits = false;
                break;
            }
        }
        count++;
        pos = end;
        if (start == end) {
            /* An empty match: step over one byte so the scan moves on. */
            if (end >= length) {
                pos = length;
                break;
            }
            if (!emit(text + end, 1)) {
                fits = false;
                break;
            }
            pos = end + 1;
        }
    }

    if (fits && count > 0 && pos < length && !emit(text + pos, length - pos))
        fits = false;
    if (!fits) {
        putlog(LOG_WARNING, "regular expression substitution would exceed %lld bytes, text left unchanged",
               (long long)limit);
        return REG_REPLACE_TOO_BIG;
    }
    return count;
}
