/* The profile test that every rule list uses, the general section's rule
 * choice with its fixed defaults and its options, and the FTP options, on a
 * small description and configuration. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "connection.h"
#include "ftp.h"
#include "general.h"
#include "misc.h"
#include "options.h"
#include "profiles.h"
#include "section.h"
#include "xml.h"

struct ProfileCase { const char *have; const char *want; int result; };
static const ProfileCase profile_cases[] = {
    { "", "", 1 },                       /* empty rule list: everything */
    { "staff", "", 1 },
    { "", "!guest", 1 },
    { "guest", "!guest", 0 },
    { "", "staff", 0 },
    { "guest", "staff,!guest", 0 },
    { "staff,guest", "staff,!guest", 1 },   /* the rule's first name decides */
    { "staff,guest", "!guest,staff", 0 },
    { "other", "staff,!guest", 1 },         /* none present, a negation: pass */
    { "", "!", 1 },                         /* "!" names the empty string */
    { "Staff", "staff", 0 },                /* names compare exactly */
};

TEST(General, ProfileFind)
{
    for (const ProfileCase &c : profile_cases) {
        SCOPED_TRACE(std::string(c.have) + " / " + c.want);
        EXPECT_EQ(c.result, profile_find(StringList(c.have, ','), StringList(c.want, ',')));
    }
}

namespace {

/* One field description. */
std::string field_desc(int n, const char *name, const char *type, const char *value)
{
    return std::string("<") + name + " n=\"" + std::to_string(n) + "\"><comment>" + name +
           "</comment><value>" + value + "</value><type>" + type + "</type><desc>" + name +
           " help</desc></" + name + ">";
}

/* A small description of the two sections: every field each class reads. */
std::string general_description()
{
    return "<?xml version=\"1.0\"?><section>"
           "<general><comment>General</comment><desc>General help</desc><global>" +
           field_desc(0, "hostname", "STRING", "localhost") +
           field_desc(1, "tempdir", "STRING", "/tmp") +
           field_desc(2, "linelength", "INT", "80") +
           field_desc(3, "poolsize", "INT", "100") +
           field_desc(4, "pooltimeout", "INT", "60") +
           "</global><template><rule>" +
           field_desc(0, "enabled", "BOOL", "true") +
           field_desc(1, "comment", "STRING", "") +
           field_desc(2, "profiles", "STRING_LIST", "") +
           field_desc(3, "ctimeout", "INT", "30") +
           field_desc(4, "timeout", "INT", "60") +
           field_desc(5, "keeptimeout", "INT", "15") +
           field_desc(6, "maxdbuffer", "LONG_FILE_SIZE", "4M") +
           field_desc(7, "maxubuffer", "LONG_FILE_SIZE", "1M") +
           field_desc(8, "bufferwait", "INT", "30") +
           field_desc(9, "cportrange", "PORT_RANGE_LIST", "443") +
           field_desc(10, "encodemime", "STRING", "^text/") +
           field_desc(11, "compressout", "BOOL", "false") +
           field_desc(12, "compressin", "BOOL", "false") +
           field_desc(13, "xforwardedfor", "BOOL", "false") +
           field_desc(14, "via", "BOOL", "true") +
           "</rule></template><subsection><rule><comment>Rules</comment><template>rule"
           "</template><desc>Rules help</desc></rule></subsection></general>"
           "<ftp><comment>FTP</comment><desc>FTP help</desc><select>"
           "<sortorder><ascending><comment>Up</comment><value>true</value><desc>u</desc>"
           "</ascending><descending><comment>Down</comment><desc>d</desc></descending>"
           "</sortorder><sortfield><none><comment>None</comment><desc>n</desc></none>"
           "<name><comment>Name</comment><value>true</value><desc>n</desc></name>"
           "<size><comment>Size</comment><desc>s</desc></size>"
           "<date><comment>Date</comment><desc>d</desc></date></sortfield></select><global>" +
           field_desc(0, "passive", "BOOL", "true") +
           field_desc(1, "timeout", "INT", "60") +
           field_desc(2, "anonymous-user", "STRING", "anonymous") +
           field_desc(3, "anonymous-password", "STRING", "quill@") +
           field_desc(4, "sortorder", "STRING_SELECT_ONE", "sortorder") +
           field_desc(5, "sortfield", "STRING_SELECT_ONE", "sortfield") +
           "</global></ftp></section>";
}

/* One rule entry; every field written, as a saved configuration has them. */
std::string general_rule(bool enabled, const char *profiles, int base, const char *cports,
                         const char *encodemime, bool switches)
{
    const char *on = switches ? "true" : "false";
    return std::string("<rule><enabled>") + (enabled ? "true" : "false") +
           "</enabled><comment></comment><profiles>" + profiles + "</profiles><ctimeout>" +
           std::to_string(base + 1) + "</ctimeout><timeout>" + std::to_string(base + 2) +
           "</timeout><keeptimeout>" + std::to_string(base + 3) + "</keeptimeout><maxdbuffer>" +
           std::to_string(base + 4) + "G</maxdbuffer><maxubuffer>" + std::to_string(base + 5) +
           "K</maxubuffer><bufferwait>" + std::to_string(base + 6) + "</bufferwait><cportrange>" +
           cports + "</cportrange><encodemime>" + encodemime + "</encodemime><compressout>" + on +
           "</compressout><compressin>" + on + "</compressin><xforwardedfor>" + on +
           "</xforwardedfor><via>" + on + "</via></rule>";
}

class GeneralTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        description = new tinyxml2::XMLDocument;
        ASSERT_EQ(tinyxml2::XML_SUCCESS, description->Parse(general_description().c_str()));
        sectionxml = description;
        general = new GeneralSection();
        ftp = new FtpSection();
    }

    /* Loads the general section's options and rules. */
    void load_general(const std::string &options, const std::string &rules)
    {
        std::string text = "<quillmere><general>" + options + rules + "</general></quillmere>";
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
        ASSERT_EQ(SECTION_LOADED, general->load(&doc, CONFIG_LOAD_REPLACE));
    }

    static std::string options(int linelength)
    {
        return "<hostname>cache.example.net</hostname><tempdir>/var/tmp</tempdir><linelength>" +
               std::to_string(linelength) + "</linelength><poolsize>7</poolsize>"
               "<pooltimeout>9</pooltimeout>";
    }

    static tinyxml2::XMLDocument *description;
    static GeneralSection *general;
    static FtpSection *ftp;
};

tinyxml2::XMLDocument *GeneralTest::description = nullptr;
GeneralSection *GeneralTest::general = nullptr;
FtpSection *GeneralTest::ftp = nullptr;

struct ChoiceCase {
    const char *profiles;   /* the request's */
    int base;               /* -1: the fixed defaults */
    bool switches;
    int port_443, port_8443;
    int text_html, image_png;
};

const ChoiceCase choice_cases[] = {
    { "", -1, false, 1, 1, 0, 0 },                 /* no rule matches: defaults */
    { "other", -1, false, 1, 1, 0, 0 },
    { "staff", 10, true, 1, 0, 1, 0 },             /* the first matching rule only */
    { "guest,staff", 10, true, 1, 0, 1, 0 },
    { "guest", 30, false, 1, 1, 0, 0 },            /* empty ports; a bad expression */
    { "night", -1, false, 1, 1, 0, 0 },            /* its only rule is disabled */
};

} // namespace

/* Every getter reads the first enabled rule whose profiles match, and the
 * fixed defaults when none does. */
TEST_F(GeneralTest, RuleChoiceAndDefaults)
{
    load_general(options(80),
                 general_rule(false, "night", 0, "", "", true) +
                 general_rule(true, "staff", 10, "443", "^text/", true) +
                 general_rule(true, "staff", 20, "", "", false) +
                 general_rule(true, "guest", 30, "", "(", false));
    for (const ChoiceCase &c : choice_cases) {
        SCOPED_TRACE(c.profiles);
        CONNECTION_T *conn = connection_new();
        conn->profiles = StringList(c.profiles, ',');
        if (c.base < 0) {
            EXPECT_EQ(60, general->ctimeout_get(conn));
            EXPECT_EQ(60, general->timeout_get(conn));
            EXPECT_EQ(60, general->keeptimeout_get(conn));
            EXPECT_EQ(0, general->maxdbuffer_get(conn));
            EXPECT_EQ(0, general->maxubuffer_get(conn));
            EXPECT_EQ(0, general->bufferwait_get(conn));
        } else {
            EXPECT_EQ(c.base + 1, general->ctimeout_get(conn));
            EXPECT_EQ(c.base + 2, general->timeout_get(conn));
            EXPECT_EQ(c.base + 3, general->keeptimeout_get(conn));
            EXPECT_EQ((int64_t)(c.base + 4) << 30, general->maxdbuffer_get(conn));
            EXPECT_EQ((int64_t)(c.base + 5) << 10, general->maxubuffer_get(conn));
            EXPECT_EQ(c.base + 6, general->bufferwait_get(conn));
        }
        int on = c.switches ? 1 : 0;
        EXPECT_EQ(on, general->compressout_get(conn));
        EXPECT_EQ(on, general->compressin_get(conn));
        EXPECT_EQ(on, general->xforwardedfor_get(conn));
        EXPECT_EQ(on, general->via_get(conn));
        EXPECT_EQ(c.port_443, general->cportrange_check(conn, 443));
        EXPECT_EQ(c.port_8443, general->cportrange_check(conn, 8443));
        EXPECT_EQ(c.text_html, general->encodemime_check(conn, "text/html"));
        EXPECT_EQ(c.image_png, general->encodemime_check(conn, "image/png"));
        EXPECT_EQ(0, general->encodemime_check(conn, nullptr));
        connection_free(conn);
    }
}

/* The options; a line length of 0 (or below) means no wrapping. */
TEST_F(GeneralTest, Options)
{
    load_general(options(80), "");
    EXPECT_EQ("cache.example.net", general->hostname_get());
    EXPECT_EQ("/var/tmp", general->tempdir_get());
    EXPECT_EQ(80, general->linelength_get());
    EXPECT_EQ(7, general->poolsize_get());
    EXPECT_EQ(9, general->pooltimeout_get());

    std::string text(200, 'x');
    struct WrapCase { int setting; int length; bool wraps; };
    static const WrapCase wraps[] = { { 10, 10, true }, { 0, 0, false }, { -5, 0, false } };
    for (const WrapCase &w : wraps) {
        SCOPED_TRACE(w.setting);
        load_general(options(w.setting), "");
        EXPECT_EQ(w.length, general->linelength_get());
        char *html = string_to_html(text.c_str(), HTML_NEWLINES, general->linelength_get());
        EXPECT_EQ(w.wraps, strstr(html, "<br>") != nullptr);
        free(html);
    }
}

/* The FTP options, with the option indexes of the two lists. */
TEST_F(GeneralTest, FtpOptions)
{
    EXPECT_EQ(1, ftp->passive_get());   /* the description's default */

    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS,
              doc.Parse("<quillmere><ftp><passive>false</passive><timeout>45</timeout>"
                        "<anonymous-user>guest</anonymous-user>"
                        "<anonymous-password>me@example.org</anonymous-password>"
                        "<sortorder>descending</sortorder><sortfield>date</sortfield>"
                        "</ftp></quillmere>"));
    ASSERT_EQ(SECTION_LOADED, ftp->load(&doc, CONFIG_LOAD_REPLACE));
    EXPECT_EQ(0, ftp->passive_get());
    EXPECT_EQ(45, ftp->timeout_get());
    EXPECT_EQ("guest", ftp->anonymous_user_get());
    EXPECT_EQ("me@example.org", ftp->anonymous_password_get());
    EXPECT_EQ(FTP_SORT_DESCENDING, ftp->sortorder_get());
    EXPECT_EQ(FTP_SORT_DATE, ftp->sortfield_get());
}
