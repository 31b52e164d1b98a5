// The data-set container: item names, the "header" item layout, typed big-endian transfers,
// a real data set read without change, open failures, full tables and I/O faults.
#include "dataset/bug.h"
#include "dataset/dio.h"
#include "dataset/headio.h"
#include "dataset/hio.h"
#include "dataset/maskio.h"
#include "dataset/pack.h"
#include "tests/dataset/uvtest.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

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

template <typename T>
std::string raw(std::initializer_list<T> values)
{
    return std::string(reinterpret_cast<const char*>(std::data(values)), values.size() * sizeof(T));
}

}  // namespace

TEST(Hio, ItemNamesFollowTheNamingRules)
{
    TempDir dir;
    const int tno = openTree(dir.file("ds"), "new");
    int it, st;
    for (const char* bad : {"header", "abcdefghi", "Abc", "1abc", "a b", "a.b", ""}) {
        haccess_c(tno, &it, bad, "write", &st);
        EXPECT_EQ(st, -1) << bad;
        EXPECT_EQ(hexists_c(tno, bad), 0) << bad;
    }
    for (const char* good : {"a-_09", "abcdefgh", "z"}) {
        putItem(tno, good, "");
        EXPECT_EQ(hexists_c(tno, good), 1) << good;
    }
    hclose_c(tno);
}

TEST(Hio, SmallItemsLiveInTheHeaderItemWithAlignedEntries)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new");
    putItem(tno, "zero", "");
    putItem(tno, "alpha", "ABCDEFGH");
    putItem(tno, "b", "twenty-bytes-of-data");
    hclose_c(tno);
    // Newest first; every entry at a multiple of 16; the last (empty) one ends the file.
    const std::string expected =
        entry("b", "twenty-bytes-of-data") + entry("alpha", "ABCDEFGH") + entry("zero", "", true);
    EXPECT_EQ(readFile(ds + "/header"), expected);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ds), {}), 1);  // the "header" file only

    // Hand-made bytes with non-zero padding read back the same.
    std::string handMade = expected;
    handMade[2] = 'x';  // after the name's terminator
    handMade[40] = 'y';  // padding after b's data
    writeFile(ds + "/header", handMade);
    tno = openTree(ds, "old");
    EXPECT_EQ(getItem(tno, "b"), "twenty-bytes-of-data");
    EXPECT_EQ(getItem(tno, "alpha"), "ABCDEFGH");
    EXPECT_EQ(getItem(tno, "zero"), "");
    EXPECT_EQ(hexists_c(tno, "zero"), 1);
    EXPECT_EQ(hexists_c(tno, "nothere"), 0);
    const auto names = listing(tno);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"b", "alpha", "zero"}));
    hclose_c(tno);
    EXPECT_EQ(readFile(ds + "/header"), handMade);  // nothing changed, nothing rewritten
}

TEST(Hio, SixtyFifthByteMovesAnItemToItsOwnFile)
{
    TempDir dir;
    const std::string ds = dir.file("ds"), data64(64, 'q');
    int tno = openTree(ds, "new"), st, it;
    putItem(tno, "small", data64);
    putItem(tno, "keep", "k");
    hflush_c(tno, &st);
    ASSERT_EQ(st, 0);
    EXPECT_FALSE(std::filesystem::exists(ds + "/small"));
    EXPECT_EQ(readFile(ds + "/header").size(), 32u + 16u + 64u);  // "keep" (padded), then "small"
    hclose_c(tno);

    tno = openTree(ds, "old");
    haccess_c(tno, &it, "small", "append", &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(htell_c(it), 64);
    hwriteb_c(it, "!", 64, 1, &st);
    hdaccess_c(it, &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(readFile(ds + "/small"), data64 + "!");
    hclose_c(tno);
    EXPECT_EQ(readFile(ds + "/header"), entry("keep", "k", true));
    tno = openTree(ds, "old");
    EXPECT_EQ(getItem(tno, "small"), data64 + "!");
    const auto names = listing(tno);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"keep", "small"}));
    hclose_c(tno);
}

// Each type through hio_c: big-endian bytes on disk, native values back.
TEST(Hio, TypedTransfersAreBigEndianOnDisk)
{
    TempDir dir;
    const std::string ds = dir.file("ds");
    const std::tuple<int, std::string, std::string> typed[] = {
        {IO_BYTE, "xy", "xy"},
        {IO_INT, raw<int>({1, -2}), bytes({0, 0, 0, 1, 0xff, 0xff, 0xff, 0xfe})},
        {IO_INT2, raw<int>({-3, 4, 32767}), bytes({0xff, 0xfd, 0, 4, 0x7f, 0xff})},
        {IO_REAL, raw<float>({1.5f}), bytes({0x3f, 0xc0, 0, 0})},
        {IO_DBLE, raw<double>({-2.0}), bytes({0xc0, 0, 0, 0, 0, 0, 0, 0})},
        {IO_CMPLX, raw<float>({1.0f, -1.0f}), bytes({0x3f, 0x80, 0, 0, 0xbf, 0x80, 0, 0})},
        {IO_INT8, raw<int64_t>({0x0102030405060708LL}), bytes({1, 2, 3, 4, 5, 6, 7, 8})},
        {IO_BYTE, std::string(56, 'z'), std::string(56, 'z')},  // beyond 64 bytes: a file of its own
    };
    int tno = openTree(ds, "new"), it, st;
    haccess_c(tno, &it, "typed", "write", &st);
    std::string disk;
    for (const auto& [type, native, onDisk] : typed) {
        hio_c(it, 1, type, std::string(native).data(), static_cast<off_t>(disk.size()),
              static_cast<off_t>(onDisk.size()), &st);
        ASSERT_EQ(st, 0) << type;
        disk += onDisk;
    }
    hdaccess_c(it, &st);
    hclose_c(tno);
    EXPECT_EQ(readFile(ds + "/typed"), disk);

    tno = openTree(ds, "old");
    haccess_c(tno, &it, "typed", "read", &st);
    off_t at = 0;
    for (const auto& [type, native, onDisk] : typed) {
        std::string back(native.size(), '\0');
        hio_c(it, 0, type, back.data(), at, static_cast<off_t>(onDisk.size()), &st);
        EXPECT_EQ(st, 0);
        EXPECT_EQ(back, native) << type;
        at += static_cast<off_t>(onDisk.size());
    }
    // A read past the end transfers nothing; lengths that are no whole number of elements and
    // writes to an item opened for reading are refused.
    std::vector<int> untouched{7, 7};
    hreadi_c(it, untouched.data(), 96, 8, &st);
    EXPECT_EQ(st, -1);
    EXPECT_EQ(untouched, (std::vector<int>{7, 7}));
    hreadi_c(it, untouched.data(), 0, 6, &st);
    EXPECT_EQ(st, EINVAL);
    hwritei_c(it, untouched.data(), 0, 4, &st);
    EXPECT_EQ(st, EBADF);
    hdaccess_c(it, &st);
    hclose_c(tno);
}

TEST(Hio, ReadingEveryItemOfAnOldDataSetChangesNothing)
{
    const std::string ds = sharedData("zen.2458042.12552.xx.HH.uvXA");
    auto snapshot = [&] {
        std::vector<std::pair<std::string, timespec>> out;
        for (const auto& e : std::filesystem::directory_iterator(ds))
            out.emplace_back(e.path().string(), timespec{});
        out.emplace_back(ds, timespec{});
        for (auto& [path, mtime] : out) {
            struct stat s;
            EXPECT_EQ(stat(path.c_str(), &s), 0);
            mtime = s.st_mtim;
            if (path != ds)
                path += ':' + readFile(path);
        }
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
    const auto after = snapshot();
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(before[i].first, after[i].first);
        EXPECT_EQ(before[i].second.tv_sec, after[i].second.tv_sec);
        EXPECT_EQ(before[i].second.tv_nsec, after[i].second.tv_nsec);
    }
}

TEST(Hio, OpenFailuresComeBackAsStatuses)
{
    TempDir dir;
    int tno = 7, st = 0, it;
    hopen_c(&tno, dir.file("missing").c_str(), "old", &st);
    EXPECT_EQ(st, ENOENT);
    EXPECT_EQ(tno, 0);
    hopen_c(&tno, dir.file("x").c_str(), "bogus", &st);
    EXPECT_EQ(st, -1);
    // "new" on an existing data set: the directory error, and nothing left open.
    hclose_c(openTree(dir.file("ds"), "new"));
    hopen_c(&tno, dir.file("ds").c_str(), "new", &st);
    EXPECT_EQ(st, EEXIST);
    EXPECT_EQ(tno, 0);
    // Opening "header" by name is refused; so is writing the listing.
    tno = openTree(dir.file("ds"), "old");
    for (const auto& [name, mode, status] :
         {std::tuple{"header", "read", -1}, {".", "write", EACCES}, {"absent", "read", ENOENT}}) {
        haccess_c(tno, &it, name, mode, &st);
        EXPECT_EQ(st, status) << name;
    }
    char m[4];
    hmode_c(tno, m, sizeof m);
    EXPECT_STREQ(m, "rw");
    hclose_c(tno);
}

TEST(Hio, ReadOnlyDataSetsRefuseWrites)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    TempDir dir;
    const std::string ds = dir.file("ds");
    int tno = openTree(ds, "new"), it, st;
    putItem(tno, "value", "1234");
    putItem(tno, "large", std::string(100, 'L'));
    hclose_c(tno);
    chmod((ds + "/header").c_str(), 0444);
    chmod((ds + "/large").c_str(), 0);
    chmod(ds.c_str(), 0555);
    tno = openTree(ds, "old");
    getItem(tno, "large", &st);
    EXPECT_EQ(st, EACCES);  // an unreadable file
    haccess_c(tno, &it, "value", "write", &st);
    EXPECT_EQ(st, EACCES);
    hdelete_c(tno, "value", &st);
    EXPECT_EQ(st, EACCES);
    char mode[4];
    hmode_c(tno, mode, sizeof mode);
    EXPECT_STREQ(mode, "r");
    EXPECT_EQ(getItem(tno, "value"), "1234");
    hclose_c(tno);
    chmod(ds.c_str(), 0755);
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
    auto openTrees = [&] {
        for (int i = 0, t, st; i < 26; ++i) {
            hopen_c(&t, dir.file('t' + std::to_string(i)).c_str(), "new", &st);
            if (st)
                std::exit(2);
        }
    };
    auto openItems = [&] {
        const int tno = openTree(dir.file("ds"), "new");
        for (int i = 0, it, st; i < 1025; ++i) {
            haccess_c(tno, &it, ('i' + std::to_string(i)).c_str(), "write", &st);
            if (st)
                std::exit(2);
            hdaccess_c(it, &st);
        }
    };
    EXPECT_EXIT(openTrees(), testing::ExitedWithCode(1), fatalRe("Tree address table overflow, in hio") + "\n");
    EXPECT_EXIT(openItems(), testing::ExitedWithCode(1), fatalRe("Item address table overflow, in hio") + "\n");
}

TEST(HioDeath, FatalErrorsCloseDataSetsInAnEmergency)
{
    TempDir dir;
    const std::string made = dir.file("made");
    const std::string kept = dir.file("kept");
    int tno = openTree(kept, "new");
    putItem(tno, "value", "old!");
    putItem(tno, "large", std::string(100, 'L'));
    hclose_c(tno);
    const std::string header = readFile(kept + "/header");
    auto failMidway = [&] {
        int t1, t2, st, it;
        hopen_c(&t1, made.c_str(), "new", &st);
        putItem(t1, "x", "data");
        hopen_c(&t2, kept.c_str(), "old", &st);
        haccess_c(t2, &it, "large", "write", &st);
        hwriteb_c(it, "new", 0, 3, &st);
        haccess_c(t2, &it, "value", "write", &st);
        hwriteb_c(it, "new!", 0, 4, &st);
        bug_c('f', "stop here");
    };
    EXPECT_EXIT(failMidway(), testing::ExitedWithCode(1), "### Fatal Error:  stop here\n");
    EXPECT_FALSE(std::filesystem::exists(made));  // created by the run: removed
    EXPECT_FALSE(std::filesystem::exists(kept + "/large"));  // was being written: deleted
    EXPECT_EQ(readFile(kept + "/header"), header);  // small items untouched
}

// Every file operation of reading a data set fails in turn: each failure comes back as the
// status (or, while reading the "header" item, as a fatal error), never as a crash, and
// leaves no tree or item behind.
TEST(HioFaults, EveryFailingFileOperationIsReported)
{
    const std::string ds = sharedData("PAPER_point_source_sim.uv");
    for (int k = 1;; ++k) {
        const int code = exitOfChild([&] {
            dfault_c(k, EIO);
            int tno, st = 0;
            hopen_c(&tno, ds.c_str(), "old", &st);
            bool failed = st != 0;
            if (failed && st != EIO)
                return 3;
            if (!failed) {
                int lt;
                haccess_c(tno, &lt, ".", "read", &st);
                failed = st != 0;
                char name[64];
                while (!failed) {
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
            }
            const bool reached = dfault_c(0, 0) >= k;
            // Nothing stayed behind: all 25 tree slots open again.
            for (int i = 0; i < 25; ++i) {
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

// Every file operation of writing a new data set fails in turn: the failure comes back as a
// status or ends the run through the fatal path, whose emergency close removes the
// half-written data set; nothing crashes.
TEST(HioFaults, FailuresWhileWritingLeaveNoHalfWrittenDataSet)
{
    TempDir dir;
    for (int k = 1;; ++k) {
        const std::string ds = dir.file("ds" + std::to_string(k));
        const int code = exitOfChild([&] {
            dfault_c(k, EIO);
            int tno, st, it;
            hopen_c(&tno, ds.c_str(), "new", &st);
            if (st)
                return st == EIO ? 5 : 3;
            const std::string large(40000, 'L');
            for (const auto& [name, data] : {std::pair<const char*, std::string>{"small", "s"}, {"large", large}}) {
                haccess_c(tno, &it, name, "write", &st);
                if (st == 0) {
                    hwriteb_c(it, data.data(), 0, static_cast<off_t>(data.size()), &st);
                    int st2;
                    hdaccess_c(it, &st2);
                    st = st ? st : st2;
                }
                if (st)
                    bugno_c('f', st);  // as a task would
            }
            hclose_c(tno);
            // 0: the run ended before the k-th operation; 6: a failure that does no harm
            // (removing a stale file that is not there) was passed over.
            return dfault_c(0, 0) >= k ? 6 : 0;
        });
        ASSERT_TRUE(code == 0 || code == 1 || code == 5 || code == 6) << "fault " << k << " exit " << code;
        if (code == 1) {
            EXPECT_FALSE(std::filesystem::exists(ds)) << "fault " << k;
        }
        if (code == 0) {
            EXPECT_GT(k, 5);
            EXPECT_EQ(readFile(ds + "/large"), std::string(40000, 'L'));
            break;
        }
    }
}

TEST(HioDeath, ClosingTheProbeFileFails)
{
    TempDir dir;
    writeFile(dir.file("plain"), "x");
    const std::string path = dir.file("plain");
    auto probe = [&] {
        dfault_c(2, EIO);  // the open runs, the close fails
        hexists_c(0, path.c_str());
    };
    EXPECT_EXIT(probe(), testing::ExitedWithCode(1), "### Fatal Error:  hexists_c: Error closing item\n");
    EXPECT_EQ(hexists_c(0, path.c_str()), 1);
    EXPECT_EQ(hexists_c(0, dir.file("none").c_str()), 0);
}

// Damaged copies of a real data set (bytes of its "header" item and mask changed, files cut
// short): opening and reading them either works or ends with a fatal message, never with a
// crash or a sanitizer report.
TEST(HioBadInput, DamagedDataSetsNeverCrash)
{
    const std::string src = sharedData("PAPER_point_source_sim.uv");
    const std::string header = readFile(src + "/header");
    const std::string flags = readFile(src + "/flags");
    TempDir dir;
    std::mt19937 rng(11);
    for (int round = 0; round < 150; ++round) {
        const std::string ds = dir.file('d' + std::to_string(round));
        std::filesystem::create_directory(ds);
        std::string h = header, f = flags;
        for (int i = rng() % 4; i >= 0; --i)
            h[rng() % h.size()] = static_cast<char>(rng());
        for (int i = rng() % 4; i >= 0; --i)
            f[rng() % 12] = static_cast<char>(rng());
        if (rng() % 3 == 0)
            h.resize(rng() % h.size());
        if (rng() % 3 == 0)
            f.resize(rng() % f.size());
        writeFile(ds + "/header", h);
        writeFile(ds + "/flags", f);
        const int code = exitOfChild([&] {
            if (!std::freopen((ds + ".err").c_str(), "w", stderr))
                return 3;
            int tno, st;
            hopen_c(&tno, ds.c_str(), "old", &st);
            if (st)
                return 0;
            listing(tno);
            for (const char* name : {"vislen", "ncorr", "nwcorr", "obstype"}) {
                char descr[2048], type[16];
                int n;
                int64_t v;
                hdprobe_c(tno, name, descr, sizeof descr, type, sizeof type, &n);
                if (std::string(type) == "integer*8" || std::string(type) == "integer")
                    rdhdl_c(tno, name, &v, 0);
            }
            const int m = mkopen_c(tno, "flags", "old");
            if (m) {
                std::vector<int> out(1000);
                mkread_c(m, MK_RUNS, out.data(), 0, 200, 1000);
                mkclose_c(m);
            }
            hclose_c(tno);
            return 0;
        });
        // A sanitizer report also exits with 1: only the fatal message may be there.
        const std::string err = readFile(ds + ".err");
        if (code == 1) {
            EXPECT_EQ(err.rfind("### Fatal Error:  ", 0), 0u) << "round " << round << ": " << err;
            EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
        } else {
            EXPECT_EQ(code, 0) << "round " << round << ": " << err;
        }
    }
}
