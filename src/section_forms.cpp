/*
 * The configuration editor's forms: the section page, the add and edit
 * dialog of one entry, the read-only view of an entry and the entry search,
 * and reading a posted form back into fields. Every drawing runs under the
 * section's read lock, every action under its write lock, and both guards
 * are released on every path. An action reads the form into a copy of the
 * fields and puts the copy in place only when every field and the
 * section's own entry check accepted it, so a refused form never leaves a
 * half-read value behind. Entries that an action removes or replaces stay
 * alive until update() has rebuilt the rules that may point into them.
 *
 * Every text that varies (field values, labels, help, option names) is
 * appended whole with Filebuf::Add, never through a format, so no value is
 * ever cut on its way into a control, where a Submit would store the cut.
 */
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "filebuf.h"
#include "general.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "regexp.h"
#include "section.h"

static void forms_add(Filebuf *page, const std::string &text);
static std::string forms_html(const std::string &text, int flags, int line_length = 0);
static std::string forms_tooltip(const std::string &title, const std::string &text);
static std::string forms_param(int position, const char *suffix = "");
static bool forms_id(const std::string &text, int *id);
static std::string forms_link(const Item &item, const char *rest);
static void forms_errors(Filebuf *page, const StringList &errors);
static std::string forms_error_text(const Field &field, const std::string &nature);
static void forms_control(Filebuf *page, const Field &field, int position);

/* ---- Helpers ---- */

/* Appends text whole; a page that cannot grow stays short (logged). */
static void forms_add(Filebuf *page, const std::string &text)
{
    if (text.empty())
        return;
    if (page->Add(text.data(), (int64_t)text.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: a configuration page could not be built");
}

/* text escaped by string_to_html with flags. */
static std::string forms_html(const std::string &text, int flags, int line_length)
{
    std::unique_ptr<char, void (*)(void *)> escaped(
        string_to_html(text.c_str(), flags, line_length), free);
    return escaped ? std::string(escaped.get()) : std::string();
}

/* The mouse handlers of a tooltip with a title and a text, both escaped to
 * stand inside a script string within a quoted attribute. */
static std::string forms_tooltip(const std::string &title, const std::string &text)
{
    const int flags = HTML_SCRIPT | HTML_NEWLINES;
    return " onmouseover=\"EnterContent('ToolTip','" + forms_html(title, flags) + "','" +
           forms_html(text, flags) + "'); Activate();\" onmouseout=\"deActivate()\"";
}

/* The form parameter name of a field position: F<position><suffix>. */
static std::string forms_param(int position, const char *suffix)
{
    return "F" + std::to_string(position) + suffix;
}

/* Reads an entry id: a whole non-negative decimal that fits an int. False
 * for anything else, which names no entry. */
static bool forms_id(const std::string &text, int *id)
{
    if (text.empty() || text.size() > 10)
        return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 0x7fffffff)
        return false;
    *id = (int)value;
    return true;
}

/* A link of an entry: "config?section=S&amp;subsection=L" and rest. */
static std::string forms_link(const Item &item, const char *rest)
{
    return "config?section=" + forms_html(item.section, 0) +
           "&amp;subsection=" + forms_html(item.subsection, 0) + rest +
           "&amp;id=" + std::to_string(item.id);
}

/* The error texts as a list, one item each, in red. */
static void forms_errors(Filebuf *page, const StringList &errors)
{
    if (errors.empty())
        return;
    std::string html = "<tr><td colspan=\"2\"><ul style=\"color: red\">\n";
    for (const std::string &e : errors)
        html += "<li>" + forms_html(e, 0) + "</li>\n";
    html += "</ul></td></tr>\n";
    forms_add(page, html);
}

/* The text of a refused field: its label, " must be " and the nature. */
static std::string forms_error_text(const Field &field, const std::string &nature)
{
    return field.comment + " must be " + nature;
}

int section_line_length()
{
    return general_section ? general_section->linelength_get() : 0;
}

/* ---- Reading ---- */

void Field::read(CGIMap &args, int position)
{
    if (!enabled)
        return;
    if (optional) {
        active = args[forms_param(position, "_active")] == "on";
        if (!active)
            return;   /* keeps its text and values */
    }
    const std::string v = args[forms_param(position)];

    /* The posted controls become the text the configuration file would
     * hold, which the loader's own parser then reads: a form never stores
     * a value that would not load back. */
    switch ((field_type)type) {
    case FIELD_BOOL:
        text = v;
        if (v != "true" && v != "false")
            throw ConfigError();   /* a missing choice is no "false" */
        break;
    case FIELD_STRING_SELECT_MANY:
        text.clear();
        for (const StringSelect &o : options)
            if (args[forms_param(position, ("_" + o.name).c_str())] == "on")
                text += (text.empty() ? "" : ",") + o.name;
        break;
    case FIELD_STRING_RANGE:
        text = v + "," + args[forms_param(position, "_2")];
        break;
    case FIELD_INT_RANGE:
        if (optional && v.empty() && args[forms_param(position, "_2")].empty()) {
            active = false;   /* ticked with nothing typed: the range stays empty */
            return;
        }
        text = v + "," + args[forms_param(position, "_2")];
        break;
    case FIELD_INT:
    case FIELD_UINT:
    case FIELD_STRING:
    case FIELD_STRING_SELECT_ONE:
    case FIELD_STRING_LIST:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
    case FIELD_FILE_SIZE:
    case FIELD_MULTILINE_STRING:
    case FIELD_LONG_FILE_SIZE:
    case FIELD_DOUBLE:
        text = v;
        break;
    }
    text_parse();
}

StringList FieldVector::read(CGIMap &args)
{
    StringList errors;
    for (size_t i = 0; i < size(); i++) {
        Field &f = (*this)[i];
        try {
            f.read(args, (int)i);
        } catch (const ConfigError &) {
            errors.push_back(forms_error_text(f, f.nature()));
        }
    }
    return errors;
}

StringList Item::read(CGIMap &args)
{
    return fields.read(args);
}

/* ---- Drawing ---- */

/* The control of one field with its current value. */
static void forms_control(Filebuf *page, const Field &field, int position)
{
    const std::string name = forms_param(position);
    std::string html;
    switch ((field_type)field.type) {
    case FIELD_BOOL:
        html = "<input type=\"radio\" name=\"" + name + "\" value=\"true\"" +
               (field.value ? " checked" : "") + ">Yes " +
               "<input type=\"radio\" name=\"" + name + "\" value=\"false\"" +
               (field.value ? "" : " checked") + ">No";
        break;
    case FIELD_STRING_SELECT_ONE:
        for (const StringSelect &o : field.options)
            html += "<span" + forms_tooltip(o.comment, o.desc) +
                    "><input type=\"radio\" name=\"" + name + "\" value=\"" +
                    forms_html(o.name, 0) + "\"" + (o.selected ? " checked" : "") + ">" +
                    forms_html(o.comment, 0) + "</span><br>\n";
        break;
    case FIELD_STRING_SELECT_MANY:
        html = "<table class=\"checklist\">\n";
        for (const StringSelect &o : field.options)
            html += "<tr><td" + forms_tooltip(o.comment, o.desc) +
                    "><input type=\"checkbox\" name=\"" + name + "_" + forms_html(o.name, 0) +
                    "\"" + (o.selected ? " checked" : "") + ">" + forms_html(o.comment, 0) +
                    "</td></tr>\n";
        html += "</table>";
        break;
    case FIELD_STRING_RANGE: {
        const StringSelectVector *lists[2] = { &field.options, &field.options2 };
        const int chosen[2] = { field.value, field.value2 };
        for (int half = 0; half < 2; half++) {
            if (half == 1)
                html += " to ";
            html += "<select name=\"" + name + (half ? "_2" : "") + "\">";
            const StringSelectVector &opts = *lists[half];
            for (size_t k = 0; k < opts.size(); k++)
                html += "<option value=\"" + forms_html(opts[k].name, 0) + "\"" +
                        ((int)k == chosen[half] ? " selected" : "") + ">" +
                        forms_html(opts[k].comment, 0) + "</option>";
            html += "</select>";
        }
        break;
    }
    case FIELD_INT_RANGE: {
        /* An optional range that is not in use is drawn empty: never as a
         * window of its own ("0 to 0") that a tick of "active" would take. */
        const bool unset = field.optional && !field.active;
        const std::string size = std::to_string(field.size);
        html = "<input type=\"text\" name=\"" + name + "\" size=\"" + size + "\" value=\"" +
               (unset ? std::string() : std::to_string(field.value)) +
               "\"> to <input type=\"text\" name=\"" + name + "_2\" size=\"" + size +
               "\" value=\"" + (unset ? std::string() : std::to_string(field.value2)) + "\">";
        break;
    }
    case FIELD_MULTILINE_STRING:
        html = "<textarea name=\"" + name + "\" cols=\"80\" rows=\"8\">" +
               forms_html(field.text, 0) + "</textarea>";
        break;
    case FIELD_INT:
    case FIELD_UINT:
    case FIELD_STRING:
    case FIELD_STRING_LIST:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
    case FIELD_FILE_SIZE:
    case FIELD_LONG_FILE_SIZE:
    case FIELD_DOUBLE:
        html = "<input type=\"text\" name=\"" + name + "\" size=\"" +
               std::to_string(field.size > 0 ? field.size : 20) + "\" value=\"" +
               forms_html(field.text, 0) + "\">";
        break;
    }
    forms_add(page, html);
}

void Field::dialog_display(Filebuf *page, CGIMap &, int position, bool &odd) const
{
    if (!enabled)
        return;
    std::string html = std::string("<tr class=\"") + (odd ? "entryfieldodd" : "entryfieldeven") +
                       "\"><td" + forms_tooltip(comment, desc) + ">" + comment + "</td><td>";
    odd = !odd;
    if (optional)
        html += "<input type=\"checkbox\" name=\"" + forms_param(position, "_active") + "\"" +
                (active ? " checked" : "") + ">active ";
    forms_add(page, html);
    forms_control(page, *this, position);
    forms_add(page, "</td></tr>\n");
}

void FieldVector::dialog_display(Filebuf *page, CGIMap &args) const
{
    bool odd = false;
    for (size_t i = 0; i < size(); i++)
        (*this)[i].dialog_display(page, args, (int)i, odd);
}

void Field::display(Filebuf *page, bool &odd, int line_length) const
{
    if (!enabled || (optional ? !active : text.empty()))
        return;
    std::string html = std::string("<tr class=\"") + (odd ? "entryfieldodd" : "entryfieldeven") +
                       "\"><td width=\"20%\">" + comment + "</td><td>";
    odd = !odd;
    html += forms_html(text, HTML_NEWLINES, line_length);
    html += "</td></tr>\n";
    forms_add(page, html);
}

void FieldVector::display(Filebuf *page, int line_length) const
{
    bool odd = false;
    for (const Field &f : *this)
        f.display(page, odd, line_length);
}

void Item::display(Filebuf *page, int moves, int line_length) const
{
    forms_add(page, "<tr><td class=\"entrydialoghead\">Option</td>"
                    "<td class=\"entrydialoghead\">Value</td></tr>\n");
    fields.display(page, line_length);
    std::string foot = "<tr><td class=\"entrydialogfoot\" colspan=\"2\">"
                       "<a href=\"" + forms_link(*this, "&amp;dialog=show") + "\">Edit</a> "
                       "<a href=\"" + forms_link(*this, "&amp;action=delete") + "\">Delete</a> "
                       "<a href=\"" + forms_link(*this, "&amp;action=clone") + "\">Clone</a>";
    if (moves) {
        static const char *const directions[4][2] = {
            { "up", "Up" }, { "down", "Down" }, { "top", "Top" }, { "bottom", "Bottom" },
        };
        for (const auto &d : directions)
            foot += std::string(" <a href=\"") + forms_link(*this, "&amp;action=shift") +
                    "&amp;direction=" + d[0] + "\">" + d[1] + "</a>";
    }
    foot += "</td></tr>\n";
    forms_add(page, foot);
}

bool Item::match(const regex_posix_t *name_pattern, const regex_posix_t *value_pattern) const
{
    for (const Field &f : fields) {
        if (name_pattern && reg_exec(name_pattern, f.name.c_str()) != 0)
            continue;
        if (value_pattern && reg_exec(value_pattern, f.text.c_str()) != 0)
            continue;
        return true;
    }
    return false;
}

/* ---- The section page and the dialog ---- */

/* Compiles a search pattern without regard to case; NULL for an empty
 * pattern or one that does not compile (reg_compile logs it). */
static regex_posix_t *forms_pattern(const std::string &pattern)
{
    return pattern.empty() ? nullptr : reg_compile(pattern.c_str(), REG_COMPILE_ICASE);
}

/* Frees a search pattern, which may be NULL. */
static void forms_pattern_free(regex_posix_t *pattern)
{
    if (pattern)
        reg_free(pattern);
}

void Section::interface(Filebuf *page, CGIMap &args, CONNECTION_T *, const StringList &errors)
{
    const int line_length = section_line_length();   /* before our lock: see there */
    const std::string matchname = args["matchname"];
    const std::string matchvalue = args["matchvalue"];
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> name_pattern(
        forms_pattern(matchname), forms_pattern_free);
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> value_pattern(
        forms_pattern(matchvalue), forms_pattern_free);
    const std::string sname = forms_html(name, 0);

    SectionReadGuard guard(*this);
    forms_add(page, "<br><table class=\"sectiondesc\" width=\"90%\">\n<tr><td class=\"listhead1\">" +
                        sname + " section</td></tr>\n<tr><td>" + desc + "</td></tr>\n</table>\n");

    if (!fields.empty() && matchname.empty() && matchvalue.empty()) {
        forms_add(page, "<form action=\"config\" method=\"POST\">\n"
                        "<input type=\"hidden\" name=\"section\" value=\"" + sname + "\">\n"
                        "<input type=\"hidden\" name=\"action\" value=\"global\">\n"
                        "<table class=\"entryeditdialog\" width=\"90%\">\n"
                        "<tr><td class=\"entryeditdialoghead\">Option</td>"
                        "<td class=\"entryeditdialoghead\">Value</td></tr>\n");
        forms_errors(page, errors);
        fields.dialog_display(page, args);
        forms_add(page, "<tr><td class=\"entryeditdialogfoot\" colspan=\"2\" align=\"center\">"
                        "<input type=\"submit\" value=\"Submit\"></td></tr>\n</table>\n</form>\n");
    }

    for (const Subsection &list : subsections) {
        if (!list.enabled)
            continue;
        forms_add(page, "<br><table class=\"subsectionheader\" width=\"90%\">\n<tr><td class=\"listhead\"" +
                            forms_tooltip(list.comment, list.desc) + ">" + list.comment +
                            "</td></tr>\n<tr><td><a href=\"config?section=" + sname +
                            "&amp;subsection=" + forms_html(list.name, 0) +
                            "&amp;dialog=show\">Add</a></td></tr>\n</table>\n");
        for (const Item &item : list.items) {
            if (!item.match(name_pattern.get(), value_pattern.get()))
                continue;
            forms_add(page, "<table class=\"entrydialog\" width=\"90%\">\n");
            item.display(page, 1, line_length);
            forms_add(page, "</table>\n");
        }
    }
}

void Section::interface_dialog(Filebuf *page, CGIMap &args, CONNECTION_T *,
                               const StringList &errors)
{
    const std::string id_text = args["id"];
    const std::string list_name = args["subsection"];

    SectionReadGuard guard(*this);
    const Subsection *list = subsection_get(list_name);
    if (!list || !list->enabled)
        return;
    std::string head = "<table class=\"entryeditdialog\" width=\"90%\">\n"
                       "<tr><td class=\"entryeditdialoghead\">Option</td>"
                       "<td class=\"entryeditdialoghead\">Value</td></tr>\n";
    if (!errors.empty()) {
        forms_add(page, "<br>" + head);
        forms_errors(page, errors);
        forms_add(page, "</table>\n");
        return;
    }
    int id = -1;
    bool edit = !id_text.empty();
    if (edit && !forms_id(id_text, &id))
        return;   /* names no entry */
    const FieldVector *shown = &list->template_fields;
    if (edit) {
        Subsection *holder = nullptr;
        ItemList::iterator position;
        if (!item_iterator_get(id, &holder, &position) || !holder->enabled)
            return;
        shown = &position->fields;
    }

    forms_add(page, "<br><form action=\"config\" method=\"POST\">\n"
                    "<input type=\"hidden\" name=\"section\" value=\"" + forms_html(name, 0) +
                    "\">\n<input type=\"hidden\" name=\"subsection\" value=\"" +
                    forms_html(list->name, 0) + "\">\n" +
                    (edit ? "<input type=\"hidden\" name=\"action\" value=\"edit\">\n"
                            "<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(id) +
                            "\">\n"
                          : std::string("<input type=\"hidden\" name=\"action\" value=\"add\">\n")) +
                    head);
    shown->dialog_display(page, args);
    forms_add(page, "<tr><td class=\"entryeditdialogfoot\" colspan=\"2\" align=\"center\">"
                    "<input type=\"submit\" value=\"Submit\"></td></tr>\n</table>\n</form>\n");
}

/* ---- Actions ---- */

/* Reads a posted entry into fields (a copy) and runs the section's entry
 * check on it. Returns the error texts; empty when the copy may stand. */
static StringList forms_entry_read(Section *section, const Item &entry, FieldVector *fields,
                                   CGIMap &args)
{
    StringList errors = fields->read(args);
    if (!errors.empty())
        return errors;
    Item probe(entry);
    probe.fields.swap(*fields);
    std::string nature;
    int refused = section->item_check(probe, &nature);
    probe.fields.swap(*fields);
    if (refused >= 0 && (size_t)refused < fields->size())
        errors.push_back(forms_error_text((*fields)[(size_t)refused], nature));
    return errors;
}

StringList Section::interface_action(Filebuf *, CGIMap &args, CONNECTION_T *)
{
    StringList errors;
    const std::string action = args["action"];
    const std::string id_text = args["id"];
    const std::string list_name = args["subsection"];
    const std::string direction = args["direction"];
    /* Entries taken out of their lists, and fields replaced, live until
     * update() has rebuilt the rules that may point into them: they are
     * destroyed after the guard below. */
    ItemList removed;
    FieldVector replaced;

    SectionWriteGuard guard(*this);
    Subsection *named = subsection_get(list_name);
    if ((named && !named->enabled) || action.empty())
        return errors;

    if (action == "global" && id_text.empty()) {
        FieldVector copy(fields);
        errors = copy.read(args);
        if (errors.empty())
            for (size_t i = 0; i < fields.size(); i++)
                fields[i] = copy[i];   /* one by one: references into fields stay valid */
        update();
        return errors;
    }

    if (action == "add") {
        if (!named)
            return errors;   /* the pages never send an add without its list */
        Item entry(*named);
        FieldVector copy(entry.fields);
        errors = forms_entry_read(this, entry, &copy, args);
        if (errors.empty()) {
            entry.fields.swap(copy);
            named->items.push_back(entry);   /* the stored copy takes a fresh id */
        }
        update();
        return errors;
    }

    if (id_text.empty())
        return errors;   /* only "global" acts on the section without an id */
    int id = -1;
    Subsection *holder = nullptr;
    ItemList::iterator position;
    if (!forms_id(id_text, &id) || !item_iterator_get(id, &holder, &position)) {
        errors.push_back("Entry ID doesn't exist");
        return errors;
    }
    if (!holder->enabled)
        return errors;

    ItemList &items = holder->items;
    if (action == "delete") {
        removed.splice(removed.end(), items, position);
    } else if (action == "edit") {
        FieldVector copy(position->fields);
        errors = forms_entry_read(this, *position, &copy, args);
        if (errors.empty()) {
            position->fields.swap(copy);
            replaced.swap(copy);   /* the old fields, kept past update() */
        }
    } else if (action == "clone") {
        items.insert(position, *position);   /* the copy takes a fresh id */
    } else if (action == "shift" && named == holder) {
        /* A move keeps the entry itself and gives it a fresh id, so links
         * drawn before the move no longer name it. */
        ItemList::iterator target = items.end();
        if (direction == "up" && position != items.begin())
            target = std::prev(position);
        else if (direction == "down" && std::next(position) != items.end())
            target = std::next(std::next(position));
        else if (direction == "top" && position != items.begin())
            target = items.begin();
        else if (direction == "bottom" && std::next(position) != items.end())
            target = items.end();
        else
            target = position;   /* nothing to move */
        if (target != position) {
            items.splice(target, items, position);
            position->id = Item::count.fetch_add(1);
        }
    }
    update();
    return errors;
}
