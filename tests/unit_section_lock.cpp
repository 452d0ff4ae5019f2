/* The section locks, with real threads: readers share a section, and a
 * thread may read again while it reads (also while a writer waits) or
 * while it writes; a writer excludes every reader and every other writer,
 * so no reader ever sees half of its change; a writer waits for the
 * readers in place; and the single lock of the cache's kind stays
 * exclusive for writers and lets no new reader pass a writer that waits. */
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "section.h"
#include "test_support.h"

namespace {

/* A section with two values a writer changes together. */
class PairSection : public Section {
public:
    PairSection(const char *name, int lockkind) : Section(name, lockkind) {}
    void update() override {}
    long first = 0;
    long second = 0;
};

class SectionLockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *text = "<?xml version=\"1.0\"?><section>"
                           "<shared><comment>c</comment><desc>d</desc><global/></shared>"
                           "<single><comment>c</comment><desc>d</desc><global/></single>"
                           "</section>";
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text));
        sectionxml = &doc;
    }
    void TearDown() override { sectionxml = nullptr; }

    tinyxml2::XMLDocument doc;
};

struct KindCase {
    const char *name;   /* the section's element */
    int lockkind;
};

const KindCase kinds[] = {
    { "shared", SECTION_RWLOCK },
    { "single", SECTION_RWLOCK_ONE },
};

/* Whether a thread of its own reads section and gives it back, however
 * long it waits for it. */
bool other_thread_reads(Section &section)
{
    bool read = false;
    std::thread other([&] {
        SectionReadGuard guard(section);
        read = true;
    });
    other.join();
    return read;
}

/* Whether thread tid of this process sleeps (state S in its stat line). */
bool thread_sleeps(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

/* Starts a thread that takes section's write lock, sets *wrote and gives
 * the lock back; returns once that thread sleeps waiting for the lock or
 * has had it already. */
std::thread writer_start(Section &section, std::atomic<bool> *wrote)
{
    std::atomic<pid_t> tid{ 0 };
    std::thread writer([&section, wrote, &tid] {
        tid = (pid_t)syscall(SYS_gettid);
        SectionWriteGuard guard(section);
        *wrote = true;
    });
    while (tid == 0)
        std::this_thread::yield();
    while (!*wrote && !thread_sleeps(tid))
        std::this_thread::yield();
    return writer;
}

}  // namespace

/* Readers share; a held write lock keeps out readers and writers of other
 * threads; a thread's second read, and a read by the writer, are given
 * back by their own unlock; and every lock given back leaves the section
 * free. */
TEST_F(SectionLockTest, ReadersShareWritersExclude)
{
    for (const KindCase &k : kinds) {
        SCOPED_TRACE(k.name);
        PairSection s(k.name, k.lockkind);
        {
            SectionReadGuard guard(s);
            EXPECT_TRUE(test_section_lock_elsewhere(s, false));
            EXPECT_FALSE(test_section_lock_elsewhere(s, true));
        }
        {
            SectionWriteGuard guard(s);
            EXPECT_FALSE(test_section_lock_elsewhere(s, false));
            EXPECT_FALSE(test_section_lock_elsewhere(s, true));
        }
        EXPECT_TRUE(test_section_lock_elsewhere(s, true));
        if (k.lockkind == SECTION_RWLOCK) {
            SectionReadGuard outer(s);
            {
                SectionReadGuard inner(s);
            }
            EXPECT_FALSE(test_section_lock_elsewhere(s, true));
        }
        EXPECT_TRUE(test_section_lock_elsewhere(s, true));
        if (k.lockkind == SECTION_RWLOCK) {
            SectionWriteGuard guard(s);
            {
                SectionReadGuard inner(s);
                s.first = 1;
            }
            EXPECT_FALSE(test_section_lock_elsewhere(s, false));
        }
        EXPECT_TRUE(test_section_lock_elsewhere(s, false));
        struct timespec past = { 0, 0 };
        ASSERT_TRUE(s.write_lock_until(&past));
        EXPECT_FALSE(test_section_lock_elsewhere(s, false));
        s.unlock();
        EXPECT_TRUE(test_section_lock_elsewhere(s, false));
    }
}

/* Writers change two values one after the other, giving up the processor
 * in between, while many readers, reading again inside their read where
 * the kind allows it, check that they are equal: a reader let in during a
 * write, or two writers at once, would break it (and lose increments). */
TEST_F(SectionLockTest, NoReaderSeesHalfAWrite)
{
    const int readers = 8, writers = 2, writes = 200, least_reads = 100;
    for (const KindCase &k : kinds) {
        SCOPED_TRACE(k.name);
        PairSection s(k.name, k.lockkind);
        std::atomic<int> writers_left{ writers };
        std::atomic<long> torn{ 0 }, reads{ 0 };
        std::vector<std::thread> threads;
        for (int r = 0; r < readers; r++) {
            threads.emplace_back([&] {
                for (int n = 0; writers_left > 0 || n < least_reads; n++) {
                    SectionReadGuard guard(s);
                    long seen = s.first;
                    if (k.lockkind == SECTION_RWLOCK) {
                        SectionReadGuard again(s);
                        torn += s.second != seen;
                    } else {
                        torn += s.second != seen;
                    }
                    reads++;
                }
            });
        }
        for (int w = 0; w < writers; w++) {
            threads.emplace_back([&] {
                for (int i = 0; i < writes; i++) {
                    SectionWriteGuard guard(s);
                    s.first++;
                    std::this_thread::yield();
                    s.second++;
                }
                writers_left--;
            });
        }
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(0, torn.load());
        EXPECT_GE(reads.load(), (long)readers * least_reads);
        EXPECT_EQ((long)writers * writes, s.first);
        EXPECT_EQ((long)writers * writes, s.second);
    }
}

/* A writer waits while a reader holds the section. In the shards the
 * reader reads again while the writer waits, and other threads read too: a
 * waiting writer holds up a reader for a moment at most. The cache's kind
 * prefers the writer: no new reader gets in while it waits. Once the
 * reader is done the writer has its turn. */
TEST_F(SectionLockTest, WriterWaitsForTheReaders)
{
    for (const KindCase &k : kinds) {
        SCOPED_TRACE(k.name);
        PairSection s(k.name, k.lockkind);
        std::atomic<bool> wrote{ false };
        std::thread writer;
        {
            SectionReadGuard guard(s);
            writer = writer_start(s, &wrote);
            EXPECT_FALSE(wrote);
            if (k.lockkind == SECTION_RWLOCK) {
                SectionReadGuard again(s);
                EXPECT_TRUE(other_thread_reads(s));
                EXPECT_FALSE(wrote);
            } else {
                EXPECT_FALSE(test_section_lock_elsewhere(s, false));
            }
            EXPECT_FALSE(wrote);
        }
        writer.join();
        EXPECT_TRUE(wrote);
        EXPECT_TRUE(test_section_lock_elsewhere(s, true));
    }
}
