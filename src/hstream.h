#pragma once

#include <cstdint>

class Filebuf;

/* How deep a parsed tree may grow: a closing tag that would fold a
 * structure deeper than this is ignored. */
#define HTMLSTREAM_NESTING_MAX 64
/* How many nodes a closing tag looks back through for its opening tag. */
#define HTMLSTREAM_CLOSE_WALK_MAX 1000

/* One attribute of a tag, in the order written. */
struct htmlstream_attr {
    htmlstream_attr *next;
    char *name;    /* owned */
    char *value;   /* owned, without its quotes */
};

/* A tag as written: its name and attributes. Made by htmlstream_tag_parse,
 * freed by htmlstream_tag_free. */
struct htmlstream_tag {
    char *name;                   /* owned; a self-closing "/" stays part of it */
    htmlstream_attr *attributes;  /* first attribute, or NULL */
};

/* One node of the tree: a text or a tag. Owned by the tree; freed with
 * its children and following siblings by htmlstream_tree_free. */
struct htmlstream_node {
    htmlstream_node *parent;
    htmlstream_node *prev;    /* previous sibling */
    htmlstream_node *next;    /* next sibling */
    htmlstream_node *child;   /* first child */
    int level;                /* 0 for a leaf; once closed, 1 + the largest level it adopted */
    char *text;               /* owned text of a text node, else NULL */
    htmlstream_tag *tag;      /* tag of a tag node, else NULL */
};

/*
 * A tree of an HTML document built while its bytes arrive. Bad markup
 * never fails: unmatched closing tags are ignored, a "<" that starts no
 * tag and a ">" outside one are text, an unclosed comment swallows the
 * rest. Comments are not text. Each call resumes where the last stopped,
 * so the work over a whole body is linear apart from each closing tag's
 * bounded walk back to its opening tag.
 */
class HTMLStream {
public:
    HTMLStream();
    ~HTMLStream();
    HTMLStream(const HTMLStream &) = delete;
    HTMLStream &operator=(const HTMLStream &) = delete;

    /* Appends len bytes and parses as far as they allow; Add(NULL, 0) is
     * the final call, which flushes the trailing text. */
    void Add(const char *bytes, int64_t len);

    htmlstream_node *current;   /* the node most recently added or closed */
    int64_t position;           /* offset in input of the last "<" or ">" handled */
    int in_comment;             /* 1 inside a comment */
    Filebuf *input;             /* owned: every byte fed so far */
    htmlstream_node *root;      /* the first node */

private:
    void text_flush(int64_t end);
    void append(htmlstream_node *node);
    void close_tag(const char *name, int64_t len, bool *warned);

    int64_t scan;               /* the next byte to look at */
    int64_t text_from;          /* where the text not yet in the tree begins */
    bool tag_open;              /* position is a "<" whose tag has not ended */
};

/* Parses one tag text from its "<" to its ">" inclusive. Returns a new tag
 * (freed with htmlstream_tag_free), or NULL for a length of 1 or less or
 * when it names no tag. */
htmlstream_tag *htmlstream_tag_parse(const char *text, int64_t len);

/* Frees name, attributes and the tag; NULL is allowed. */
void htmlstream_tag_free(htmlstream_tag *tag);

/* Frees node, its text and tag, its children, and then its following
 * siblings, without recursion; NULL is allowed. */
void htmlstream_tree_free(htmlstream_node *node);
