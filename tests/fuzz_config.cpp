/* Fuzz target of the configuration text loader. Each input is loaded as a
 * configuration document (as a fetched one is) into the sections; what
 * the sections then hold is saved, and the saved file must parse, load
 * again, and save again to the same bytes: whatever a document slips past
 * the field parsers survives a save and a restart unchanged.
 *
 * The cache section is left out of the load: loading its stores reads and
 * writes journal files in the directories a document names. */
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzztest.h"
#include "section.h"
#include "sections.h"
#include "test_support.h"
#include "xml.h"

static std::string fuzz_dir;

static std::string fuzz_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    if (!test_description_load())
        abort();
    sections_create();
    Section::map.erase("cache");
    fuzz_dir = test_temp_dir();
    if (fuzz_dir.empty())
        abort();
    atexit([] {
        unlink((fuzz_dir + "/saved.xml").c_str());
        unlink((fuzz_dir + "/again.xml").c_str());
        rmdir(fuzz_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (config_text_load((const char *)data, size, CONFIG_LOAD_REPLACE) != 1)
        return 0;
    std::string saved = fuzz_dir + "/saved.xml";
    std::string again = fuzz_dir + "/again.xml";
    fuzz_check(config_save(saved));
    std::string first = fuzz_read_file(saved);
    tinyxml2::XMLDocument parsed;
    if (parsed.Parse(first.data(), first.size()) != tinyxml2::XML_SUCCESS)
        fprintf(stderr, "saved document: %s\n", parsed.ErrorStr());
    fuzz_check(parsed.Error() == false);
    fuzz_check(parsed.RootElement() != nullptr);

    fuzz_check(config_load(CONFIG_LOAD_REPLACE, saved) == 1);
    fuzz_check(config_save(again));
    fuzz_check(fuzz_read_file(again) == first);
    return 0;
}
