#pragma once

/* Helpers of the request-check tests (URL filter, DNS and URL blacklists):
 * a connection whose client is one end of a socket pair with one parsed
 * request, the answer it received, and loading a section from XML text. */

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "connection.h"
#include "conntest.h"
#include "filebuf.h"
#include "header.h"
#include "mem.h"
#include "nettest.h"
#include "section.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"
#include "urlcommand.h"
#include "xml.h"

/* One request on a connection whose client end the test reads. */
class PolicyClient : public SocketPairClient {
public:
    explicit PolicyClient(const std::string &request_text) : SocketPairClient(request_text) {}

    /* The status of the answer sent (0 for none) and its body. */
    int status(std::string *body = nullptr)
    {
        std::string sent = received();
        size_t end = sent.find("\r\n\r\n");
        if (end == std::string::npos || sent.compare(0, 9, "HTTP/1.1 ") != 0)
            return 0;
        if (body)
            *body = sent.substr(end + 4);
        return atoi(sent.c_str() + 9);
    }

    std::string variable(const char *name)
    {
        auto found = conn->variables.find(name);
        return found == conn->variables.end() ? "(unset)" : found->second;
    }
};

/* Loads section from "<quillmere>" + body + "</quillmere>" (replacing
 * its lists); returns the section load's result. */
static inline int policytest_load(Section *section, const std::string &body)
{
    std::string text = "<quillmere>" + body + "</quillmere>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    return section->load(&doc, CONFIG_LOAD_REPLACE);
}

/* Once per process: the shipped description, a templates section with
 * the built-in pages only, then create() for the sections under test. */
template <class Create>
void policytest_ready(Create create)
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    template_section = new TemplateSection();
    ASSERT_EQ(SECTION_LOADED,
              policytest_load(template_section, "<templates><directory></directory></templates>"));
    create();
    done = true;
}
