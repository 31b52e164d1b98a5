// The data-set container: the "header" item layout, a real data set read without change, open
// failures, damaged "header" items, full tables and I/O faults.
#include "dataset/bug.h"
#include "dataset/dio.h"
#include "dataset/headio.h"
#include "tests/dataset/uvtest.h"

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrum::test;

namespace {

// Runs `body` in a child process and returns the status it exits with (-1: it did not exit).
int exitOfChild(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0)
        std::_Exit(body());
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Items of up to 64 bytes live in the "header" item, newest first, every entry at a multiple of 16
// and the last one ending the file; the 65th byte moves an item to a file of its own.
TEST(Hio, SmallItemsLiveInTheHeaderItemUntilTheirSixtyFifthByte)
{
    TempDir dir;
    const std::string ds = dir.file("ds"), data64(64, 'q');
    int tno = openTree(ds, "new"), it, st;
    putItem(tno, "zero", "");
    putItem(tno, "b", "twenty-bytes-of-data");
    putItem(tno, "small", data64);
    hclose_c(tno);
    const std::string expected = entry("small", data64) + entry("b", "twenty-bytes-of-data") + entry("zero", "", true);
    EXPECT_EQ(readFile(ds + "/header"), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ds), {}),
              1);  // the "header" file only

    // Hand-made bytes with non-zero padding read back the same, and are not rewritten.
    std::string handMade = expected;
    handMade[6] = 'x';  // after the name's terminator
    handMade[120] = 'y';  // padding after b's data
    writeFile(ds + "/header", handMade);
    tno = openTree(ds, "old");
    EXPECT_EQ(getItem(tno, "b"), "twenty-bytes-of-data");
    EXPECT_EQ(hexists_c(tno, "zero"), 1);
    EXPECT_EQ(hexists_c(tno, "nothere"), 0);
    hclose_c(tno);
    EXPECT_EQ(readFile(ds + "/header"), handMade);

    tno = openTree(ds, "old");
    haccess_c(tno, &it, "small", "append", &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(htell_c(it), 64);
    hwriteb_c(it, "!", 64, 1, &st);
    hdaccess_c(it, &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(readFile(ds + "/small"), data64 + "!");
    hclose_c(tno);
    EXPECT_EQ(readFile(ds + "/header"), entry("zero", "") + entry("b", "twenty-bytes-of-data", true));
    tno = openTree(ds, "old");
    EXPECT_EQ(getItem(tno, "small"), data64 + "!");
    EXPECT_EQ(listing(tno), (std::vector<std::string>{"b", "zero", "small"}));
    hclose_c(tno);
}

TEST(Hio, ReadingEveryItemOfAnOldDataSetChangesNothing)
{
    const std::string ds = sharedData("zen.2458042.12552.xx.HH.uvXA");
    auto snapshot = [&] {
        std::vector<std::string> out;
        struct stat s;
        for (const auto& e : std::filesystem::directory_iterator(ds)) {
            stat(e.path().c_str(), &s);
            out.push_back(e.path().string() + std::to_string(s.st_mtim.tv_nsec) + readFile(e.path()));
        }
        stat(ds.c_str(), &s);
        out.push_back(std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec));
        return out;
    };
    const auto before = snapshot();
    const int tno = openTree(ds, "old");
    size_t total = 0;
    for (const auto& name : listing(tno)) {
        int st;
        total += getItem(tno, name.c_str(), &st).size();
        EXPECT_EQ(st, 0) << name;
    }
    EXPECT_GT(total, 900000u);
    hclose_c(tno);
    EXPECT_TRUE(snapshot() == before);
}

// Open failures come back as statuses, with nothing left open; opening "header" by name is refused.
TEST(Hio, OpenFailuresComeBackAsStatuses)
{
    TempDir dir;
    hclose_c(openTree(dir.file("ds"), "new"));
    int tno = 7, st = 0, it;
    for (const auto& [name, status, code] : {std::tuple{"missing", "old", ENOENT}, {"ds", "new", EEXIST}}) {
        hopen_c(&tno, dir.file(name).c_str(), status, &st);
        EXPECT_EQ(st, code) << name;
        EXPECT_EQ(tno, 0) << name;
    }
    tno = openTree(dir.file("ds"), "old");
    for (const auto& [name, code] : {std::pair{"header", -1}, {"absent", ENOENT}}) {
        haccess_c(tno, &it, name, "read", &st);
        EXPECT_EQ(st, code) << name;
    }
    hclose_c(tno);
}

TEST(Hio, TruncatedAndBadHeaderItems)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    std::filesystem::create_directory(ds);
    const std::string good = std::string("a") + std::string(14, '\0') + char(8) + "12345678";
    // A name block that does not fit whole ends the cache.
    writeFile(ds + "/header", good + "partial");
    int tno = openTree(ds, "old");
    EXPECT_EQ(listing(tno), std::vector<std::string>{"a"});
    hclose_c(tno);
    // Data cut short is fatal.
    writeFile(ds + "/header", good.substr(0, 20));
    EXPECT_EXIT(openTree(ds, "old"), testing::ExitedWithCode(1), "### Fatal Error:  End of file detected");
    // Nonsense sizes, unterminated or invalid names are bad cache records.
    for (const std::string& bad :
         {std::string("a") + std::string(14, '\0') + char(65), std::string("a") + std::string(14, '\0') + char(-1),
          std::string(15, 'a') + char(0), std::string("BAD") + std::string(12, '\0') + char(0), good + good}) {
        writeFile(ds + "/header", bad);
        EXPECT_EXIT(openTree(ds, "old"), testing::ExitedWithCode(1),
                    "### Fatal Error:  hcache_read_c: Something wrong reading cache\n");
    }
}

// Opening more data sets or items than the tables hold is fatal, never a write past them.
TEST(HioDeath, FullTablesAreFatal)
{
    TempDir dir;
    auto openMany = [&](bool items) {
        const int tno = items ? openTree(dir.file("ds"), "new") : 0;
        for (int i = 0, h, st; i < (items ? 1025 : 26); ++i) {
            const std::string name = 'i' + std::to_string(i);
            items ? haccess_c(tno, &h, name.c_str(), "write", &st) : hopen_c(&h, dir.file(name).c_str(), "new", &st);
            if (st)
                std::exit(2);
            if (items)
                hdaccess_c(h, &st);
        }
    };
    EXPECT_EXIT(openMany(false), testing::ExitedWithCode(1), fatalRe("Tree address table overflow, in hio") + "\n");
    EXPECT_EXIT(openMany(true), testing::ExitedWithCode(1), fatalRe("Item address table overflow, in hio") + "\n");
}

// A fatal error removes the data sets the run created and the large items it was writing into older
// ones; the "header" item of those keeps its small items.
TEST(HioDeath, FatalErrorsCloseDataSetsInAnEmergency)
{
    TempDir dir;
    const std::string made = dir.file("made"), kept = dir.file("kept");
    int tno = openTree(kept, "new");
    putItem(tno, "value", "old!");
    putItem(tno, "large", std::string(100, 'L'));
    hclose_c(tno);
    const std::string header = readFile(kept + "/header");
    auto failMidway = [&] {
        putItem(openTree(made, "new"), "x", "data");
        int t2 = openTree(kept, "old"), st, it;
        haccess_c(t2, &it, "large", "write", &st);
        hwriteb_c(it, "new", 0, 3, &st);
        putItem(t2, "value", "new!");
        bug_c('f', "stop here");
    };
    EXPECT_EXIT(failMidway(), testing::ExitedWithCode(1), "### Fatal Error:  stop here\n");
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_FALSE(std::filesystem::exists(kept + "/large"));
    EXPECT_EQ(readFile(kept + "/header"), header);
}

// Every file operation of reading a data set fails in turn: each failure comes back as the status
// (or, while reading the "header" item, as a fatal error), never as a crash, and leaves no tree or
// item behind.
TEST(HioFaults, EveryFailingFileOperationIsReported)
{
    const std::string ds = sharedData("PAPER_point_source_sim.uv");
    for (int k = 1;; ++k) {
        const int code = exitOfChild([&] {
            dfault_c(k, EIO);
            int tno, st = 0, lt = -1;
            hopen_c(&tno, ds.c_str(), "old", &st);
            if (st)
                return st == EIO ? 5 : 3;
            haccess_c(tno, &lt, ".", "read", &st);
            bool failed = st != 0;
            for (char name[64]; !failed;) {
                hreada_c(lt, name, sizeof name, &st);
                if (st == -1)
                    break;
                int it, st2;
                haccess_c(tno, &it, name, "read", &st);
                if ((failed = st != 0))
                    break;
                std::vector<char> data(static_cast<size_t>(hsize_c(it)) + 1);
                for (off_t off = 0; off < hsize_c(it) && st == 0; off += 1000)
                    hreadb_c(it, data.data(), off, std::min<off_t>(1000, hsize_c(it) - off), &st);
                hdaccess_c(it, &st2);
                failed = st || st2;
                if (failed && (st ? st : st2) != EIO)
                    return 3;
            }
            if (lt >= 0)
                hdaccess_c(lt, &st);
            hclose_c(tno);
            const bool reached = dfault_c(0, 0) >= k;
            for (int i = 0; i < 25; ++i) {  // nothing stayed behind: all 25 tree slots open again
                hopen_c(&tno, ds.c_str(), "old", &st);
                if (st)
                    return 4;
            }
            return failed ? 5 : reached ? 6 : 0;
        });
        ASSERT_TRUE(code == 0 || code == 1 || code == 5) << "fault " << k << " exit " << code;  // never 6
        if (code == 0) {
            EXPECT_GT(k, 10);
            break;
        }
    }
}

// Damaged copies of a real data set's "header" item (bytes changed, cut short): opening it and
// reading its variables either works or ends with a fatal message, never with a crash or a
// sanitizer report. (Damaged streams and masks are the fuzz corpus's.)
TEST(HioBadInput, DamagedHeaderItemsNeverCrash)
{
    const std::string header = readFile(sharedData("PAPER_point_source_sim.uv") + "/header");
    TempDir dir;
    std::mt19937 rng(11);
    for (int round = 0; round < 150; ++round) {
        std::string h = header;
        for (int i = rng() % 4; i >= 0; --i)
            h[rng() % h.size()] = static_cast<char>(rng());
        if (rng() % 3 == 0)
            h.resize(rng() % h.size());
        const std::string ds = handMadeSet(dir, 'd' + std::to_string(round), {{"header", h}});
        auto readThrough = [&] {
            int tno, st;
            hopen_c(&tno, ds.c_str(), "old", &st);
            for (const std::string& name : st ? std::vector<std::string>{} : listing(tno)) {
                char descr[2048], type[16];
                int n;
                int64_t v;
                hdprobe_c(tno, name.c_str(), descr, sizeof descr, type, sizeof type, &n);
                if (std::string(type) == "integer*8" || std::string(type) == "integer")
                    rdhdl_c(tno, name.c_str(), &v, 0);
            }
            bug_c('f', "read through");
        };
        // Warnings and one fatal message, nothing else: a sanitizer report would follow them.
        EXPECT_EXIT(readThrough(), testing::ExitedWithCode(1), "^(### Warning:  [^\n]*\n)*### Fatal Error:  [^\n]*\n$")
            << "round " << round;
    }
}
