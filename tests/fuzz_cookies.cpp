/* Fuzz target of the cookie header codec. Each input is parsed as a Cookie
 * or Set-Cookie value; what Build writes must hold no control character
 * and must read back to the same value. */
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cookies.h"
#include "test_support.h"

static void fuzz_check(bool ok)
{
    if (!ok)
        abort();
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* A header value ends at its line: no NUL, CR or LF inside. */
    std::string value;
    for (size_t i = 0; i < size; i++)
        if (data[i] != '\0' && data[i] != '\r' && data[i] != '\n')
            value.push_back((char)data[i]);

    CookieHeader cookie(value);
    std::string built = cookie.Build();
    for (char c : built)
        fuzz_check((unsigned char)c >= 32 && c != 127);
    CookieHeader again(built);
    fuzz_check(again.Build() == built);
    return 0;
}
