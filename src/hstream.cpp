/*
 * A tree of an HTML document, built while the document arrives in blocks.
 * The parser keeps every byte fed so far and a boundary: the "<" or ">"
 * that ended the last piece of markup. Text runs from the boundary to the
 * next "<" that starts a tag; a tag runs from its "<" to the next ">".
 * New nodes are appended as siblings after the current node; a closing tag
 * walks back to its opening tag and folds the nodes after it into its
 * children, so the tree takes shape as the elements close. The walk is
 * bounded and folding stops at a nesting limit, so no document makes the
 * parser slow or the tree deep enough to strain the code that walks it.
 */
#include "hstream.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "mem.h"
#include "misc.h"

static htmlstream_node *htmlstream_node_new();
static char *htmlstream_text(const char *text, size_t len);
static bool htmlstream_tag_start(char c);

static char *htmlstream_text(const char *text, size_t len)
{
    char *copy = (char *)xmalloc(len + 1);   /* zero-filled: terminated */
    if (!copy)
        FATAL_ALLOC(len + 1);
    memcpy(copy, text, len);
    return copy;
}

static htmlstream_node *htmlstream_node_new()
{
    htmlstream_node *node = (htmlstream_node *)xmalloc(sizeof(htmlstream_node));
    if (!node)
        FATAL_ALLOC(sizeof(htmlstream_node));
    return node;   /* zero-filled: no links, level 0, neither text nor tag */
}

/* Whether the byte after a "<" makes it the start of markup: a letter, or
 * "/", "!" or "?". Anything else ("a < b", "<>", "< >") leaves it text. */
static bool htmlstream_tag_start(char c)
{
    return isalpha((unsigned char)c) || c == '/' || c == '!' || c == '?';
}

HTMLStream::HTMLStream()
    : current(nullptr), position(0), in_comment(0), input(new Filebuf()), root(nullptr), scan(0),
      text_from(0), tag_open(false)
{
}

HTMLStream::~HTMLStream()
{
    htmlstream_tree_free(root);
    delete input;
}

void HTMLStream::append(htmlstream_node *node)
{
    if (!root) {
        root = node;
    } else {
        current->next = node;
        node->prev = current;
    }
    current = node;
}

/* Flushes the text from text_from to end (exclusive) into the tree; text
 * of blanks and unprintable bytes only is dropped. */
void HTMLStream::text_flush(int64_t end)
{
    int64_t start = text_from;
    if (end > text_from)
        text_from = end;
    const char *data = input->data;
    if (end <= start || isempty(data + start, (size_t)(end - start)))
        return;
    size_t len = (size_t)(end - start);
    if (current && current->text) {
        size_t old = strlen(current->text);
        char *joined = (char *)xrealloc(current->text, old + len + 1);
        if (!joined)
            FATAL_ALLOC(old + len + 1);
        memcpy(joined + old, data + start, len);
        joined[old + len] = '\0';
        current->text = joined;
    } else {
        htmlstream_node *node = htmlstream_node_new();
        node->text = htmlstream_text(data + start, len);
        append(node);
    }
}

/* A closing tag of name (len bytes): walks back from the current node
 * itself, at most HTMLSTREAM_CLOSE_WALK_MAX nodes, taking the level of
 * every node passed, past tag nodes already closed, to the first open tag
 * whose name begins with name (without regard to case). The nodes after
 * it become its children. Unmatched, or past the nesting limit, nothing
 * changes; the limit is logged once per call (*warned). */
void HTMLStream::close_tag(const char *name, int64_t len, bool *warned)
{
    while (len > 0 && isspace((unsigned char)*name)) {
        name++;
        len--;
    }
    while (len > 0 && isspace((unsigned char)name[len - 1]))
        len--;
    if (len <= 0)
        return;
    int largest = 0;
    htmlstream_node *match = nullptr;
    int walked = 0;
    for (htmlstream_node *n = current; n && walked < HTMLSTREAM_CLOSE_WALK_MAX;
         n = n->prev, walked++) {
        if (n->level > largest)
            largest = n->level;
        if (largest > HTMLSTREAM_NESTING_MAX) {
            if (!*warned)
                putlog(LOG_WARNING, "HTML nesting limit %d reached", HTMLSTREAM_NESTING_MAX);
            *warned = true;
            return;
        }
        if (n->tag && n->level == 0 &&
            tolower((unsigned char)n->tag->name[0]) == tolower((unsigned char)name[0]) &&
            strncasecmp(n->tag->name, name, (size_t)len) == 0) {
            match = n;
            break;
        }
    }
    if (!match)
        return;
    htmlstream_node *first = match->next;
    if (first) {
        for (htmlstream_node *n = first; n; n = n->next)
            n->parent = match;
        first->prev = nullptr;
        match->child = first;
        match->next = nullptr;
    }
    match->level = largest + 1;
    current = match;
}

void HTMLStream::Add(const char *bytes, int64_t len)
{
    bool final = bytes == nullptr;
    if (!final && len > 0 && input->Add(bytes, len) != FILEBUF_OK) {
        putlog(LOG_WARNING, "HTML tree: document over %lld bytes, the rest is not parsed",
               (long long)input->limit());
        return;
    }
    bool warned = false;
    int64_t size = input->size;
    int64_t i = scan;
    for (; i < size; i++) {
        const char *data = input->data;
        char c = data[i];
        if (in_comment) {
            if (c == '>' && data[i - 1] == '-') {
                in_comment = 0;
                position = i;
                text_from = i + 1;
            }
            continue;
        }
        if (c == '<') {
            /* The next bytes decide what this "<" starts: wait for them. */
            if (!final && size - i <= 4)
                break;
            if (size - i >= 4 && memcmp(data + i, "<!--", 4) == 0) {
                text_flush(i);
                in_comment = 1;
                tag_open = false;
                i += 3;   /* the "-->" check starts after the opening */
                continue;
            }
            if (i + 1 >= size || !htmlstream_tag_start(data[i + 1]))
                continue;   /* text */
            text_flush(i);
            position = i;
            tag_open = true;
            continue;
        }
        if (c == '>' && tag_open) {
            tag_open = false;
            if (data[position + 1] == '/') {
                close_tag(data + position + 2, i - position - 2, &warned);
            } else {
                htmlstream_tag *tag = htmlstream_tag_parse(data + position, i - position + 1);
                if (!tag)
                    continue;   /* names no tag: it stays text */
                htmlstream_node *node = htmlstream_node_new();
                node->tag = tag;
                append(node);
            }
            position = i;
            text_from = i + 1;
        }
    }
    scan = i;
    if (final && !in_comment)
        text_flush(size);
}

/* Splits the tag text after its "<" into tokens: blanks, "=" and ">"
 * separate them, and a double-quoted run is one token without its quotes
 * (an empty one too). */
static void htmlstream_tokens(const char *text, int64_t len, std::vector<std::string> *tokens)
{
    const char *p = text + 1;
    const char *end = text + len;
    std::string token;
    bool in_token = false;
    while (p < end) {
        char c = *p++;
        if (c == '"') {
            if (in_token)
                tokens->push_back(token);
            token.clear();
            const char *close = (const char *)memchr(p, '"', (size_t)(end - p));
            const char *stop = close ? close : end;
            tokens->push_back(std::string(p, (size_t)(stop - p)));
            p = close ? close + 1 : end;
            in_token = false;
        } else if (isspace((unsigned char)c) || c == '=' || c == '>') {
            if (in_token)
                tokens->push_back(token);
            token.clear();
            in_token = false;
        } else {
            token += c;
            in_token = true;
        }
    }
    if (in_token)
        tokens->push_back(token);
}

htmlstream_tag *htmlstream_tag_parse(const char *text, int64_t len)
{
    if (!text || len <= 1)
        return nullptr;
    std::vector<std::string> tokens;
    htmlstream_tokens(text, len, &tokens);
    if (tokens.empty() || tokens[0].empty())
        return nullptr;
    htmlstream_tag *tag = (htmlstream_tag *)xmalloc(sizeof(htmlstream_tag));
    if (!tag)
        FATAL_ALLOC(sizeof(htmlstream_tag));
    tag->name = htmlstream_text(tokens[0].data(), tokens[0].size());
    htmlstream_attr **tail = &tag->attributes;
    for (size_t i = 1; i + 1 < tokens.size(); i += 2) {
        htmlstream_attr *a = (htmlstream_attr *)xmalloc(sizeof(htmlstream_attr));
        if (!a)
            FATAL_ALLOC(sizeof(htmlstream_attr));
        a->name = htmlstream_text(tokens[i].data(), tokens[i].size());
        a->value = htmlstream_text(tokens[i + 1].data(), tokens[i + 1].size());
        *tail = a;
        tail = &a->next;
    }
    return tag;
}

void htmlstream_tag_free(htmlstream_tag *tag)
{
    if (!tag)
        return;
    for (htmlstream_attr *a = tag->attributes; a;) {
        htmlstream_attr *next = a->next;
        free(a->name);
        free(a->value);
        free(a);
        a = next;
    }
    free(tag->name);
    free(tag);
}

void htmlstream_tree_free(htmlstream_node *node)
{
    while (node) {
        /* The children go in front of the following siblings, so the
         * whole tree is one chain freed by this loop. */
        if (node->child) {
            htmlstream_node *last = node->child;
            while (last->next)
                last = last->next;
            last->next = node->next;
            node->next = node->child;
            node->child = nullptr;
        }
        htmlstream_node *next = node->next;
        free(node->text);
        htmlstream_tag_free(node->tag);
        free(node);
        node = next;
    }
}
