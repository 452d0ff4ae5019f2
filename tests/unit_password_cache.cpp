/* PAM verification through the real Linux-PAM library, the result texts,
 * and the result cache. */
#include <gtest/gtest.h>

#include <security/pam_appl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "options.h"
#include "password_cache.h"
#include "test_support.h"
#include "timers.h"

struct KeyCase { const char *key; unsigned bucket; };
static const KeyCase key_cases[] = {
    { "abc", 70 },        /* sum 6270 */
    { "\xe9", 28 },       /* the byte counts as -23: sum 4294966928 */
    { "", 0 },
};

TEST(PasswordCache, BucketOfAKey)
{
    ASSERT_EQ(100, password_cachesize);
    for (const KeyCase &c : key_cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.bucket, password_cache_key(100, c.key));
    }
}

TEST(PasswordCache, PasswordsCompareExactly)
{
    /* One bucket: every key shares the chain, so only the comparison
     * decides. A password differing in letter case is another password. */
    PASSWORD_CACHE_TABLE *t = password_cache_create(1);
    password_cache_insert(t, "alice:Secret", PASSWORD_CACHE_ACCEPTED);
    EXPECT_NE(nullptr, password_cache_search(t, "alice:Secret"));
    EXPECT_EQ(nullptr, password_cache_search(t, "alice:secret"));
    EXPECT_EQ(nullptr, password_cache_search(t, "ALICE:Secret"));
    EXPECT_EQ(nullptr, password_cache_search(t, nullptr));
    password_cache_purge(t, "alice:SECRET");      /* not the stored key */
    EXPECT_EQ(1, t->entries);
    password_cache_purge(t, "alice:Secret");
    EXPECT_EQ(0, t->entries);
    EXPECT_EQ(nullptr, t->table[0]);
    password_cache_free(t);
}

TEST(PasswordCache, ExpiryAndBound)
{
    PASSWORD_CACHE_TABLE *t = password_cache_create(8191);
    password_cache_insert(t, "a:1", PASSWORD_CACHE_ACCEPTED);
    password_cache_insert(t, "b:2", PASSWORD_CACHE_REFUSED);
    /* Ages are on the monotonic clock, so a wall-clock step back cannot
     * hold entries past their time. */
    EXPECT_NEAR((double)timers_now(), (double)password_cache_search(t, "a:1")->time, 2.0);
    password_cache_search(t, "a:1")->time -= 600;    /* exactly the age */
    password_cache_search(t, "b:2")->time -= 598;
    EXPECT_EQ(1, password_cache_expire(t, 600));
    EXPECT_EQ(nullptr, password_cache_search(t, "a:1"));
    EXPECT_NE(nullptr, password_cache_search(t, "b:2"));

    for (int i = t->entries; i < PASSWORD_CACHE_MAX_ENTRIES; i++)
        password_cache_insert(t, ("user" + std::to_string(i) + ":pw").c_str(), PASSWORD_CACHE_ACCEPTED);
    EXPECT_EQ(PASSWORD_CACHE_MAX_ENTRIES, t->entries);
    password_cache_insert(t, "one:more", PASSWORD_CACHE_ACCEPTED);   /* at the bound: not stored */
    EXPECT_EQ(nullptr, password_cache_search(t, "one:more"));
    EXPECT_EQ(PASSWORD_CACHE_MAX_ENTRIES, t->entries);
    password_cache_free(t);
}

/* The global cache as start-up makes it, for the functions that lock. */
class PamMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        global->password_cache = password_cache_create(password_cachesize);
        test_log_clear();
    }
    void TearDown() override
    {
        password_cache_free(global->password_cache);
        global->password_cache = nullptr;
    }
};

TEST_F(PamMessages, DefiniteRefusalsAreRemembered)
{
    struct { int code; const char *text; bool cached; } cases[] = {
        { 7, "security: system: [pam: 7: PAM_AUTH_ERR] Authentication failure", true },
        { 10, "[pam: 10: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module", true },
        { 9, "[pam: 9: PAM_AUTHINFO_UNAVAIL]", false },
        { 26, "[pam: 26: PAM_ABORT] Critical error (?module fail now request) ", false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        std::string key = "user" + std::to_string(c.code) + ":pw";
        pam_msg_display(c.code, key.c_str());
        EXPECT_TRUE(test_log_contains(c.text));
        EXPECT_EQ(c.cached ? PASSWORD_CACHE_REFUSED : 0, check_password_cache(key.c_str()));
    }
    test_log_clear();
    pam_msg_display(99, "x:y");
    EXPECT_TRUE(test_log_contains("error: security: system: "));
    EXPECT_EQ(0, check_password_cache("x:y"));

    update_password_cache("user7:pw", PASSWORD_CACHE_ACCEPTED);   /* replaces the refusal */
    EXPECT_EQ(PASSWORD_CACHE_ACCEPTED, check_password_cache("user7:pw"));
    EXPECT_EQ(2, global->password_cache->entries);                /* user10 and user7 */
}

/* A PAM service of our own: pam_exec runs a script that accepts one user
 * and password and counts its calls. Needs root to write /etc/pam.d. */
class PamService : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "writing a PAM service file needs root";
        dir = test_temp_dir();
        calls = dir + "/calls";
        std::string script = dir + "/check.sh";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "echo x >> " << calls << "\n"
                                 "read -r pw\n"
                                 "[ \"$PAM_USER\" = alice ] && [ \"$pw\" = 'S3cr:et' ]\n";
        chmod(script.c_str(), 0755);
        service = "quilltest-" + std::to_string(getpid());
        service_file = "/etc/pam.d/" + service;
        std::ofstream(service_file) << "auth required pam_exec.so quiet expose_authtok " << script << "\n"
                                    << "account required pam_permit.so\n";
        snprintf(saved, sizeof saved, "%s", pamfile);
        snprintf(pamfile, sizeof pamfile, "%s", service.c_str());
    }
    void TearDown() override
    {
        if (!service_file.empty())
            unlink(service_file.c_str());
        snprintf(pamfile, sizeof pamfile, "%s", saved);
    }
    int call_count()
    {
        std::ifstream in(calls);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            n++;
        return n;
    }
    std::string dir, calls, service, service_file;
    char saved[256] = "";
};

TEST_F(PamService, VerifiesThroughTheConversation)
{
    EXPECT_EQ(PAM_SUCCESS, auth_pam("alice", "S3cr:et"));   /* a colon in the password */
    EXPECT_NE(PAM_SUCCESS, auth_pam("alice", "s3cr:et"));
    EXPECT_NE(PAM_SUCCESS, auth_pam("bob", "S3cr:et"));
    EXPECT_EQ(3, call_count());
}
