/*
 * The built-in template pages: the refusal and error pages, the progress
 * page, the automatic proxy configuration file, and the images, style
 * sheet and script of the web interface. Every HTML page shares one frame:
 * an HTML 4.01 document in UTF-8 whose base address is the interface host,
 * so the logo and other relative links resolve into the interface, a
 * banner with the logo and the release, and a centred dialog holding the
 * message. The style sheet is put into each HTML page's head when the page
 * is built. Variables stand between at-signs and are filled in, escaped
 * for the page's format, when the page is built.
 */
#include "templates.h"

#include "interface.h"
#include "options.h"

/* The document type and the head up to the title. */
#define TEMPLATE_DOCTYPE                                                  \
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\"\n" \
    "    \"http://www.w3.org/TR/html4/loose.dtd\">\n"

#define TEMPLATE_HEAD_START                                                   \
    TEMPLATE_DOCTYPE                                                          \
    "<html>\n"                                                                \
    "<head>\n"                                                                \
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n" \
    "<base href=\"http://" INTERFACE_HOST "/\">\n"

/* The banner: the logo and the product's name and release. */
#define TEMPLATE_BANNER                                                           \
    "<table class=\"banner\" width=\"100%\" cellpadding=\"4\" cellspacing=\"0\" " \
    "border=\"0\">\n"                                                             \
    "<tr><td width=\"48\"><img src=\"template/logo\" width=\"48\" height=\"48\" " \
    "alt=\"\"></td>\n"                                                            \
    "<td class=\"banner\"><b>" QUILL_EDITION "</b> " QUILL_RELEASE "<br>\n"       \
    "<small>" QUILL_BANNER "</small></td></tr>\n"                                 \
    "</table>\n"

/* A whole page: extra lines of the head, the title and one message. */
#define TEMPLATE_PAGE(head_extra, title, message)                                 \
    TEMPLATE_HEAD_START head_extra                                                \
    "<title>" title "</title>\n"                                                  \
    "</head>\n"                                                                   \
    "<body>\n" TEMPLATE_BANNER                                                    \
    "<br>\n"                                                                      \
    "<table class=\"dialog\" align=\"center\" cellpadding=\"6\" cellspacing=\"0\" " \
    "border=\"0\">\n"                                                             \
    "<tr><td class=\"listhead\">" title "</td></tr>\n"                            \
    "<tr><td class=\"listrow\">" message "</td></tr>\n"                           \
    "</table>\n"                                                                  \
    "</body>\n"                                                                   \
    "</html>\n"

static const char template_unknown[] = TEMPLATE_PAGE(
    "", "Error", "The request for @URL@ could not be completed.");
static const char template_badrequest[] = TEMPLATE_PAGE(
    "", "Bad Request", "The proxy could not understand the request.");
static const char template_badresponse[] = TEMPLATE_PAGE(
    "", "Bad Response", "The response of the server for @URL@ could not be understood.");
static const char template_nodns[] = TEMPLATE_PAGE(
    "", "DNS Lookup failed", "The host name @HTTP_HOST@ could not be resolved.");
static const char template_nofile[] = TEMPLATE_PAGE(
    "", "File not found", "The file @HTTP_FILE@ was not found.");
static const char template_nocache[] = TEMPLATE_PAGE(
    "", "Cache file not found", "There is no copy of @URL@ in the cache.");
static const char template_noconnect[] = TEMPLATE_PAGE(
    "", "Connection failed",
    "No connection could be made to @HTTP_HOST@ on port @HTTP_PORT@.");
static const char template_blocked[] = TEMPLATE_PAGE(
    "", "Page Blocked", "The page @URL@ is blocked.");
static const char template_blacklisted[] = TEMPLATE_PAGE(
    "", "Page blacklisted", "The page @URL@ is blacklisted in the category @CATEGORY@.");
static const char template_virus[] = TEMPLATE_PAGE(
    "", "Virus", "@AVSCANNER@ found the virus @VIRUSNAME@ in @URL@.");
static const char template_badprotocol[] = TEMPLATE_PAGE(
    "", "Protocol not implemented", "The proxy does not handle the protocol of @URL@.");
static const char template_noaccess[] = TEMPLATE_PAGE(
    "", "Access denied", "You are not allowed to make this request through the proxy.");
static const char template_badauth[] = TEMPLATE_PAGE(
    "", "Authorization failed", "The user name or password was not accepted.");
static const char template_downloadlimit[] = TEMPLATE_PAGE(
    "", "Download transfer limit exceeded",
    "Your download limit of @DOWNLOADLIMIT@ bytes is used up.");
static const char template_uploadlimit[] = TEMPLATE_PAGE(
    "", "Upload transfer limit exceeded",
    "Your upload limit of @UPLOADLIMIT@ bytes is used up.");
static const char template_maxrequests[] = TEMPLATE_PAGE(
    "", "Request limit exceeded", "You have made more requests than your limit allows.");
static const char template_imgfilter[] = TEMPLATE_PAGE(
    "", "Possible pornographic image",
    "The image scored @IMAGESCORE@ against a threshold of @IMAGETHRESHOLD@.");
static const char template_downloading[] = TEMPLATE_PAGE(
    "<meta http-equiv=\"refresh\" content=\"1; URL=@URL@\">\n", "Download in progress",
    "@TRANSFERRED@ of @SIZE@ bytes of <a href=\"@URL@\">@URL@</a> received.");

/* The automatic proxy configuration file: this proxy first, then a direct
 * connection when the proxy cannot be reached. */
static const char template_proxypac[] =
    "function FindProxyForURL(url, host)\n"
    "{\n"
    "    return \"PROXY @INTERFACE@:@PORT@; DIRECT\";\n"
    "}\n";

/* The banner alone, for the interface's own pages. */
static const char template_interfacehead[] = TEMPLATE_BANNER;

/* The style sheet of the interface, a complete style element. It holds no
 * at-sign, so it passes unchanged wherever variables are filled in. */
static const char template_interfacecss[] =
    "<style type=\"text/css\">\n"
    "body { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 10pt;\n"
    "       background-color: #ffffff; color: #1a2330; margin: 8px; }\n"
    "a { color: #2f4e82; }\n"
    "a:hover { color: #7896be; }\n"
    "table.banner { border-bottom: 2px solid #2f3e52; }\n"
    "td.banner { font-size: 12pt; color: #2f3e52; }\n"
    "table.dialog { border: 1px solid #2f3e52; background-color: #f4f6fa;\n"
    "               min-width: 320px; }\n"
    ".listhead { background-color: #2f3e52; color: #ffffff; font-weight: bold;\n"
    "            text-align: left; }\n"
    ".listhead a { color: #ffffff; }\n"
    ".listrow, .listrow1 { background-color: #f4f6fa; }\n"
    ".listrow2 { background-color: #e2e8f2; }\n"
    ".menu { background-color: #e2e8f2; border-bottom: 1px solid #2f3e52; }\n"
    ".menu a { text-decoration: none; font-weight: bold; padding: 0 6px; }\n"
    ".tooltip { position: absolute; visibility: hidden; z-index: 10;\n"
    "           max-width: 360px; padding: 4px; background-color: #ffffe0;\n"
    "           border: 1px solid #2f3e52; font-size: 9pt; }\n"
    "input, select, textarea { font-size: 9pt; }\n"
    /* The configuration editor: section head, forms and entries. */
    ".sectiondesc, .entryeditdialog, .entrydialog, .subsectionheader {\n"
    "    border: 1px solid #2f3e52; border-collapse: collapse; margin: 4px auto; }\n"
    ".listhead1, .entryeditdialoghead, .entrydialoghead {\n"
    "    background-color: #2f3e52; color: #ffffff; font-weight: bold; text-align: left; }\n"
    ".entryeditdialogfoot, .entrydialogfoot { background-color: #e2e8f2; }\n"
    ".entryfieldeven { background-color: #f4f6fa; }\n"
    ".entryfieldodd { background-color: #e2e8f2; }\n"
    ".entryfieldeven td, .entryfieldodd td { word-break: break-all; }\n"
    ".checklist { border: 0; }\n"
    "/* The load, save and log pages. */\n"
    "table.bigdialog { border: 1px solid #2f3e52; background-color: #f4f6fa;\n"
    "                  width: 90%; }\n"
    ".dialoghead { background-color: #2f3e52; color: #ffffff; font-weight: bold; }\n"
    ".dialogfoot { background-color: #e2e8f2; text-align: center; }\n"
    "table.list { border: 1px solid #2f3e52; width: 90%; border-collapse: collapse; }\n"
    ".listeven { background-color: #f4f6fa; }\n"
    ".listodd { background-color: #e2e8f2; }\n"
    "</style>\n";

/* The tooltip script of the interface, a complete script element. Two
 * ways to show a tooltip: an element with class "tooltip" and the id given
 * is shown next to the pointer while it rests on the element that calls
 * tooltip_show; or EnterContent fills the page's "ToolTip" element with a
 * title and a text (HTML) and Activate shows it at the pointer, until
 * deActivate. The pointer is followed by a listener of the script's own,
 * so overhere, which the page body calls, has nothing left to do. */
static const char template_tooltip[] =
    "<script type=\"text/javascript\">\n"
    "function tooltip_show(event, id)\n"
    "{\n"
    "    var tip = document.getElementById(id);\n"
    "    if (!tip)\n"
    "        return;\n"
    "    var e = event || window.event;\n"
    "    var x = e.pageX || (e.clientX + document.body.scrollLeft);\n"
    "    var y = e.pageY || (e.clientY + document.body.scrollTop);\n"
    "    tip.style.left = (x + 12) + \"px\";\n"
    "    tip.style.top = (y + 12) + \"px\";\n"
    "    tip.style.visibility = \"visible\";\n"
    "}\n"
    "function tooltip_hide(id)\n"
    "{\n"
    "    var tip = document.getElementById(id);\n"
    "    if (tip)\n"
    "        tip.style.visibility = \"hidden\";\n"
    "}\n"
    "var tooltip_x = 0, tooltip_y = 0, tooltip_layer = null;\n"
    "document.addEventListener(\"mousemove\", function (e) {\n"
    "    tooltip_x = e.pageX;\n"
    "    tooltip_y = e.pageY;\n"
    "});\n"
    "function overhere()\n"
    "{\n"
    "}\n"
    "function EnterContent(layer, title, text)\n"
    "{\n"
    "    tooltip_layer = document.getElementById(layer);\n"
    "    if (!tooltip_layer)\n"
    "        return;\n"
    "    tooltip_layer.className = \"tooltip\";\n"
    "    tooltip_layer.innerHTML = \"<b>\" + title + \"</b><br>\" + text;\n"
    "}\n"
    "function Activate()\n"
    "{\n"
    "    if (!tooltip_layer)\n"
    "        return;\n"
    "    tooltip_layer.style.left = (tooltip_x + 12) + \"px\";\n"
    "    tooltip_layer.style.top = (tooltip_y + 12) + \"px\";\n"
    "    tooltip_layer.style.visibility = \"visible\";\n"
    "}\n"
    "function deActivate()\n"
    "{\n"
    "    if (tooltip_layer)\n"
    "        tooltip_layer.style.visibility = \"hidden\";\n"
    "}\n"
    "</script>\n";

/* A transparent 1 by 1 GIF. */
static const unsigned char template_tinygif[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00,
    0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0x21, 0xf9, 0x04, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00,
    0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b,
};

/* The wide logo: the quill and a ruled band, 160 by 48. */
static const unsigned char template_logo1[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0xa0, 0x00, 0x30, 0x00, 0x91, 0x00,
    0x00, 0xff, 0xff, 0xff, 0x78, 0x96, 0xbe, 0x2f, 0x3e, 0x52, 0x14, 0x14,
    0x28, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00,
    0x00, 0x00, 0xa0, 0x00, 0x30, 0x00, 0x00, 0x02, 0xff, 0x84, 0x8f, 0xa9,
    0xcb, 0xed, 0x0f, 0xa3, 0x9c, 0xb4, 0xda, 0x8b, 0xb3, 0xde, 0xbc, 0xfb,
    0x0f, 0x86, 0xe2, 0x48, 0x96, 0xe6, 0x89, 0xa6, 0xea, 0xca, 0x5e, 0x42,
    0x0b, 0xc7, 0xa4, 0xf0, 0xca, 0xf6, 0x9d, 0xd1, 0xf8, 0xce, 0x47, 0x7a,
    0x0f, 0x0c, 0x1e, 0x7e, 0xc2, 0x22, 0x2e, 0x40, 0xab, 0x19, 0x97, 0xaa,
    0x80, 0x13, 0x99, 0x64, 0x4a, 0x4d, 0x4f, 0xa8, 0x93, 0x16, 0x98, 0x6a,
    0x41, 0x57, 0xec, 0xd3, 0xbb, 0x0d, 0x6b, 0xac, 0xd5, 0xa4, 0x00, 0x99,
    0xf5, 0xa4, 0x19, 0xeb, 0x45, 0x5b, 0xf1, 0x4e, 0xc4, 0x11, 0xf3, 0x43,
    0xdd, 0x70, 0x07, 0xe4, 0x2b, 0xde, 0xee, 0x17, 0x7b, 0xa6, 0xe6, 0x90,
    0x47, 0x38, 0x68, 0xd8, 0x50, 0x88, 0xf8, 0x51, 0x76, 0xc6, 0x08, 0xb8,
    0x27, 0x91, 0xc8, 0x76, 0x38, 0xa9, 0x68, 0x59, 0x89, 0xc9, 0xe1, 0xf7,
    0xe7, 0x77, 0x16, 0xb8, 0x21, 0xe9, 0x46, 0x29, 0x7a, 0x49, 0x9a, 0x09,
    0x37, 0x0a, 0xd1, 0xc8, 0xf9, 0xe7, 0x89, 0x06, 0x9a, 0x2a, 0x17, 0x4b,
    0x37, 0x6b, 0x57, 0x8b, 0x77, 0xeb, 0xc6, 0xda, 0xf5, 0xe8, 0x3a, 0x96,
    0x1b, 0x8a, 0x5a, 0x2a, 0x7c, 0x2a, 0x3b, 0xfc, 0x40, 0xc6, 0x9a, 0x84,
    0xf6, 0xf4, 0x7b, 0x4c, 0xfb, 0x6c, 0x1b, 0x8d, 0x3b, 0xad, 0x97, 0xab,
    0xbb, 0x6b, 0xb5, 0xda, 0x8c, 0x11, 0x6c, 0x5c, 0x0c, 0x0d, 0x2e, 0x2d,
    0x4e, 0x4d, 0xce, 0x96, 0xcc, 0xdb, 0x57, 0x05, 0x79, 0xe1, 0x1d, 0x6e,
    0x0a, 0x4f, 0x1c, 0xff, 0x3d, 0xaf, 0xea, 0x98, 0xfd, 0xc5, 0x5e, 0xe1,
    0x3e, 0x5e, 0xdf, 0x2f, 0x0f, 0x90, 0x5e, 0x40, 0x08, 0xf8, 0x96, 0xe5,
    0xf3, 0xc5, 0x05, 0x98, 0xc2, 0x6a, 0xfc, 0xca, 0x51, 0x50, 0xb7, 0xac,
    0x8f, 0x2b, 0x4f, 0x21, 0x1a, 0x5a, 0x63, 0xb8, 0xd0, 0x9c, 0x3e, 0x38,
    0xb3, 0x9b, 0x36, 0x4d, 0x44, 0xa3, 0xa4, 0x83, 0xc5, 0x91, 0x19, 0xfd,
    0x39, 0xe4, 0xb3, 0xcd, 0x0c, 0xc8, 0x95, 0x14, 0x05, 0x61, 0x7c, 0xa9,
    0xb1, 0xe4, 0x3e, 0x65, 0xbd, 0x58, 0x6e, 0x24, 0x28, 0x53, 0xa0, 0xce,
    0x77, 0x03, 0xff, 0xed, 0xf4, 0x29, 0x07, 0x62, 0x44, 0x9b, 0x9f, 0x34,
    0xe5, 0xe4, 0xf9, 0xf3, 0x64, 0xd2, 0x8b, 0x31, 0x91, 0x71, 0xaa, 0xe9,
    0x8a, 0x9b, 0x06, 0x33, 0x54, 0xab, 0x5a, 0xbd, 0x8a, 0x35, 0xab, 0xd6,
    0xad, 0x5c, 0xbb, 0x52, 0x45, 0x26, 0x11, 0xea, 0xba, 0x0e, 0x5e, 0xcb,
    0x9a, 0x3d, 0x8b, 0x16, 0xad, 0x53, 0x5e, 0x36, 0xc7, 0x92, 0x4d, 0x0b,
    0x37, 0xae, 0x5c, 0xb3, 0x60, 0x3d, 0x3d, 0x5a, 0x27, 0x95, 0xc3, 0xdc,
    0xbd, 0x7c, 0xfb, 0x12, 0x41, 0x04, 0x45, 0x1d, 0x5e, 0x31, 0x84, 0x2d,
    0x18, 0xc4, 0x5b, 0xb4, 0xb0, 0x62, 0x1f, 0xdb, 0xf2, 0x2d, 0x7e, 0xcc,
    0x18, 0x8f, 0x63, 0xc8, 0x94, 0x1b, 0xfc, 0x45, 0x52, 0x39, 0x33, 0x83,
    0x01, 0x21, 0x35, 0x7b, 0x56, 0x30, 0x20, 0xf4, 0xe7, 0xd1, 0x09, 0x42,
    0x0f, 0x20, 0x8d, 0xda, 0x80, 0xe8, 0xd4, 0xa4, 0x57, 0xb3, 0xfe, 0xec,
    0xfa, 0xb5, 0xe7, 0xd3, 0xb2, 0x6b, 0xdb, 0xbe, 0x8d, 0x3b, 0x48, 0x01,
    0x00, 0x3b,
};

/* The logo: a quill, 48 by 48, on a transparent ground. */
static const unsigned char template_logo[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x30, 0x00, 0x30, 0x00, 0x91, 0x00,
    0x00, 0xff, 0xff, 0xff, 0x78, 0x96, 0xbe, 0x2f, 0x3e, 0x52, 0x14, 0x14,
    0x28, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00,
    0x00, 0x00, 0x30, 0x00, 0x30, 0x00, 0x00, 0x02, 0xc0, 0x84, 0x8f, 0xa9,
    0xcb, 0xed, 0x0f, 0xa3, 0x9c, 0xb4, 0xda, 0x8b, 0xb3, 0xde, 0x47, 0x70,
    0x2d, 0x78, 0xdf, 0x15, 0x8e, 0xa4, 0x68, 0x52, 0x65, 0x3a, 0x05, 0x21,
    0xca, 0x2e, 0xc1, 0xec, 0xbe, 0xb1, 0x4c, 0x87, 0xb3, 0x7e, 0x23, 0xbb,
    0x9e, 0x13, 0xcc, 0x7a, 0x80, 0x1a, 0xed, 0xa7, 0x13, 0xde, 0x80, 0xbf,
    0xa0, 0x50, 0xc9, 0x3a, 0x32, 0x91, 0xcf, 0x40, 0xd4, 0x18, 0x6c, 0x56,
    0x53, 0x42, 0x69, 0x17, 0xe9, 0x0a, 0x9b, 0xbc, 0xde, 0x64, 0x18, 0xca,
    0xc1, 0x66, 0x6b, 0x55, 0xda, 0x98, 0x9c, 0xfd, 0xba, 0x3f, 0xcd, 0xf2,
    0xf4, 0x38, 0x92, 0xbf, 0xd6, 0x47, 0x71, 0xba, 0xee, 0x24, 0x75, 0x66,
    0xc5, 0x31, 0xb5, 0xc7, 0x54, 0xf5, 0x34, 0xc2, 0x87, 0x95, 0x78, 0x96,
    0xa7, 0x77, 0x38, 0x98, 0x48, 0xb7, 0x26, 0xe9, 0x88, 0xb6, 0xa1, 0xc6,
    0x86, 0x39, 0xb8, 0x18, 0xd7, 0x29, 0x37, 0x86, 0x68, 0xd6, 0x36, 0xf7,
    0x09, 0xe6, 0xd8, 0x17, 0x95, 0x64, 0xd6, 0x77, 0x9a, 0x42, 0xf5, 0x8a,
    0xd7, 0xb3, 0x37, 0x9b, 0xb9, 0x24, 0x97, 0x43, 0x48, 0x04, 0xb0, 0x22,
    0xd8, 0xdb, 0x01, 0xe3, 0x12, 0x8c, 0x30, 0x00, 0x53, 0x9c, 0x30, 0xb0,
    0x9c, 0xbc, 0xb0, 0x3c, 0xd0, 0xec, 0x0c, 0x1d, 0xad, 0x3c, 0x4d, 0x7d,
    0xc0, 0x7c, 0x6d, 0xac, 0xcd, 0xdd, 0xcd, 0x50, 0x00, 0x00, 0x3b,
};

/* A 4 by 4 checkered GIF of grey and white squares. */
static const unsigned char template_checkeredgif[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x04, 0x00, 0x04, 0x00, 0x80, 0x00,
    0x00, 0xcc, 0xcc, 0xcc, 0xff, 0xff, 0xff, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x04, 0x00, 0x00, 0x02, 0x06, 0x04, 0x12, 0x86, 0xa8, 0x09,
    0x05, 0x00, 0x3b,
};

/* An empty Flash movie: one white frame of 1 by 1 pixel. */
static const unsigned char template_tinyswf[] = {
    0x46, 0x57, 0x53, 0x06, 0x19, 0x00, 0x00, 0x00, 0x30, 0x0a, 0x00, 0xa0,
    0x00, 0x0c, 0x01, 0x00, 0x43, 0x02, 0xff, 0xff, 0xff, 0x40, 0x00, 0x00,
    0x00,
};

/* The sort arrows of the interface lists, 9 by 5. */
static const unsigned char template_uparrow[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x09, 0x00, 0x05, 0x00, 0x80, 0x00,
    0x00, 0xff, 0xff, 0xff, 0x2f, 0x3e, 0x52, 0x21, 0xf9, 0x04, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x05, 0x00,
    0x00, 0x02, 0x0b, 0x84, 0x11, 0xa7, 0xc1, 0x8a, 0xdc, 0x0c, 0x9c, 0x6f,
    0xc2, 0x02, 0x00, 0x3b,
};

static const unsigned char template_downarrow[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x09, 0x00, 0x05, 0x00, 0x80, 0x00,
    0x00, 0xff, 0xff, 0xff, 0x2f, 0x3e, 0x52, 0x21, 0xf9, 0x04, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x05, 0x00,
    0x00, 0x02, 0x0a, 0x8c, 0x7f, 0x80, 0x09, 0x8a, 0x0d, 0x19, 0x6c, 0x61,
    0x16, 0x00, 0x3b,
};

/* A row of byte data, which may hold NUL bytes: its length is its size. */
#define TEMPLATE_BYTES(name, array, mime) \
    { name, (const char *)(array), mime, (int64_t)sizeof(array), 0 }

const page_t PAGES[] = {
    { "unknown", template_unknown, "text/html", -1, 1 },
    { "badrequest", template_badrequest, "text/html", -1, 1 },
    { "badresponse", template_badresponse, "text/html", -1, 1 },
    { "nodns", template_nodns, "text/html", -1, 1 },
    { "nofile", template_nofile, "text/html", -1, 1 },
    { "nocache", template_nocache, "text/html", -1, 1 },
    { "noconnect", template_noconnect, "text/html", -1, 1 },
    { "blocked", template_blocked, "text/html", -1, 1 },
    { "blacklisted", template_blacklisted, "text/html", -1, 1 },
    { "virus", template_virus, "text/html", -1, 1 },
    { "badprotocol", template_badprotocol, "text/html", -1, 1 },
    { "noaccess", template_noaccess, "text/html", -1, 1 },
    { "badauth", template_badauth, "text/html", -1, 1 },
    { "downloadlimit", template_downloadlimit, "text/html", -1, 1 },
    { "uploadlimit", template_uploadlimit, "text/html", -1, 1 },
    { "maxrequests", template_maxrequests, "text/html", -1, 1 },
    { "imgfilter", template_imgfilter, "text/html", -1, 1 },
    { "downloading", template_downloading, "text/html", -1, 1 },
    { "proxy.pac", template_proxypac, "application/x-ns-proxy-autoconfig", -1, 1 },
    { "interfacehead", template_interfacehead, "text/html", -1, 1 },
    TEMPLATE_BYTES("tinygif", template_tinygif, "image/gif"),
    TEMPLATE_BYTES("logo1", template_logo1, "image/gif"),
    TEMPLATE_BYTES("logo", template_logo, "image/gif"),
    TEMPLATE_BYTES("checkeredgif", template_checkeredgif, "image/gif"),
    TEMPLATE_BYTES("tinyswf", template_tinyswf, "application/x-shockwave"),
    { "empty", "", "text/plain", 0, 0 },
    TEMPLATE_BYTES("uparrow", template_uparrow, "image/gif"),
    TEMPLATE_BYTES("downarrow", template_downarrow, "image/gif"),
    { "interface.css", template_interfacecss, "text/plain", -1, 0 },
    { "tooltip", template_tooltip, "text/plain", -1, 0 },
    { nullptr, nullptr, nullptr, 0, 0 },
};
