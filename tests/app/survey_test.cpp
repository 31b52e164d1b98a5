// The survey through the real kestrum-survey on data sets from the real kestrum-sim, checked
// against the simulator's truth file; crafted data sets for the degenerate baselines; the real
// data sets; and the ways a run fails.
#include "model/colourmap.h"
#include "tests/support/support.h"
#include "tests/support/xsession.h"
#include "tools/sim/uvwriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <sstream>

using namespace kestrum::test;

namespace {

// One row of out=, with the number lists split.
struct Row {
    std::vector<std::string> field;
    std::vector<int> channels, integrations;
    double num(int i) const { return std::stod(field[i]); }
    bool has(int ant) const { return std::stoi(field[2]) == ant || std::stoi(field[3]) == ant; }
};

std::vector<int> numbers(const std::string& text)
{
    std::vector<int> out;
    std::istringstream in(text);
    for (int n; in >> n;)
        out.push_back(n);
    return out;
}

std::vector<Row> readRows(const std::string& path)
{
    std::vector<Row> rows;
    for (const auto& cells : readCsv(path))
        if (cells[0] != "rank")
            rows.push_back({cells, numbers(cells[10]), numbers(cells[11])});
    return rows;
}

// The value of `key` in the simulator's truth file: a number, or the numbers of a list.
std::vector<int> truth(const std::string& json, const std::string& key)
{
    std::smatch m;
    const bool found = std::regex_search(json, m, std::regex("\"" + key + "\": \\[?([-0-9, ]*)\\]?"));
    std::string list = found ? m[1].str() : "";
    std::replace(list.begin(), list.end(), ',', ' ');
    return numbers(list);
}

// The numbers of a console line such as "Channels bad on most baselines: 3 7-9".
std::vector<int> consoleList(const std::string& out, const std::string& head)
{
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(head + "[^:]*: ([-0-9 ]*)\n")))
        return {-1};
    std::vector<int> list;
    std::istringstream in(m[1].str());
    for (std::string run; in >> run && run != "-";) {
        const size_t dash = run.find('-', 1);
        const int a = std::stoi(run), b = dash == std::string::npos ? a : std::stoi(run.substr(dash + 1));
        for (int n = a; n <= b; ++n)
            list.push_back(n);
    }
    return list;
}

RunResult survey(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{binary("tools/kestrum-survey")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, "", {"DISPLAY="});
}

// kestrum-sim with these keywords into dir/sim.uv, its truth in dir/truth.json.
std::string simulate(const TempDir& dir, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{binary("tools/kestrum-sim"),
                                  "out=" + dir.file("sim.uv"),
                                  "truth=" + dir.file("truth.json"),
                                  "sources=3c286",
                                  "scans=1",
                                  "inttime=30"};
    argv.insert(argv.end(), args.begin(), args.end());
    const RunResult r = run(argv);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return readFile(dir.file("truth.json"));
}

}  // namespace

TEST(Survey, FindsTheMisbehavingAntennaThePersistentChannelsAndTheBursts)
{
    for (const std::string seed : {"2", "5"}) {
        TempDir dir;
        const std::string json = simulate(dir, {"nants=8", "nchan=128", "hours=1", "pols=xx,yy", "seed=" + seed});
        const RunResult r = survey(
            {"vis=" + dir.file("sim.uv"), "stokes=xx", "out=" + dir.file("b.csv"), "antennas=" + dir.file("a.csv")});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const int bad = truth(json, "bad_antenna").at(0);
        const auto channels = truth(json, "channels"), integrations = truth(json, "integrations");
        ASSERT_EQ(channels.size(), 3u);
        ASSERT_FALSE(integrations.empty());
        EXPECT_EQ(readCsv(dir.file("a.csv"))[1][1], std::to_string(bad)) << r.out;
        const auto rows = readRows(dir.file("b.csv"));
        ASSERT_EQ(rows.size(), 28u);
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].has(bad), i < 7) << "rank " << i + 1 << "\n" << r.out;
            const Row& row = rows[i];  // the lists are in increasing order, as the console's
            EXPECT_TRUE(std::includes(row.channels.begin(), row.channels.end(), channels.begin(), channels.end()))
                << "rank " << i + 1;
            EXPECT_TRUE(std::includes(row.integrations.begin(), row.integrations.end(), integrations.begin(),
                                      integrations.end()))
                << "rank " << i + 1;
        }
        EXPECT_EQ(consoleList(r.out, "Channels bad on most"), channels) << r.out;
        EXPECT_EQ(consoleList(r.out, "Integrations bad on most"), integrations) << r.out;
    }
}

TEST(Survey, FaultFreeDataScoresBelowOneAndAFaultOnOneBaselineIsListedThereAlone)
{
    for (const std::string seed : {"1", "2", "3", "4"}) {
        TempDir dir;
        const bool faulty = seed == "4";
        const std::string json = simulate(
            dir, {"nants=7", "nchan=96", "hours=0.7", "rfi=no", "seed=" + seed, faulty ? "fault=2-5" : "pols=xx,yy"});
        const RunResult r = survey({"vis=" + dir.file("sim.uv"), "stokes=xx", "out=" + dir.file("b.csv")});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const auto rows = readRows(dir.file("b.csv"));
        ASSERT_EQ(rows.size(), 21u);
        for (const Row& row : rows) {
            const bool faultHere = faulty && row.field[2] == "2" && row.field[3] == "5";
            EXPECT_EQ(row.num(12) >= 1.0, faultHere) << "seed " << seed << "\n" << r.out;
            EXPECT_EQ(row.channels, faultHere ? truth(json, "fault_channel") : std::vector<int>{}) << r.out;
            EXPECT_EQ(row.integrations, faultHere ? truth(json, "fault_integration") : std::vector<int>{}) << r.out;
        }
        EXPECT_EQ(consoleList(r.out, "Channels bad on most"), std::vector<int>{}) << r.out;
        EXPECT_EQ(consoleList(r.out, "Integrations bad on most"), std::vector<int>{}) << r.out;
    }
}

TEST(Survey, DegenerateBaselinesGiveSoundRows)
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    // Baseline 1-2 of a data set of three antennas: its records, flagged fraction, outlier
    // fraction and score; every other baseline's score is below 1.
    struct Case {
        const char* what;
        int times, nchan;
        double special;  // written into two cells of 1-2 unless 0
        bool flag12;
        const char* row;
    } cases[] = {
        {"all flagged", 12, 16, 0.0, true, "12,1,0,0"},
        {"one record", 1, 16, 0.0, false, "1,0,0,0"},
        {"one channel", 12, 1, 0.0, false, "12,0,0,0"},
        {"not a number", 12, 16, nan, false, "12,0,0.0104167,10.4167"},
        {"infinite", 12, 16, inf, false, "12,0,0.0104167,10.4167"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        kestrum::sim::UvDescription d;
        d.nants = 3;
        d.windows = {kestrum::sim::Window{c.nchan}};
        d.times.clear();
        for (int t = 0; t < c.times; ++t)
            d.times.push_back(2460000.5 + t * 10.0 / 86400);
        d.source = [](int) { return std::string("src"); };
        const bool special = c.special != 0.0;
        d.value = [&](const kestrum::sim::UvRecord& r, int ch) {
            if (special && r.ant2 == 2 && (r.timeIndex == 3 || r.timeIndex == 7) && ch == 5)
                return std::complex<float>(static_cast<float>(c.special), 0.0f);
            return std::complex<float>(2.0f + 0.1f * std::sin(1.7f * ch + 2.9f * r.index), 0.0f);
        };
        d.good = [&](const kestrum::sim::UvRecord& r, int) { return !(c.flag12 && r.ant2 == 2); };
        kestrum::sim::writeUv(dir.file("d.uv"), d);
        const RunResult r = survey({"vis=" + dir.file("d.uv"), "stokes=xx", "out=" + dir.file("b.csv")});
        ASSERT_EQ(r.status, 0) << c.what << "\n" << r.out << r.err;
        const std::string text = readFile(dir.file("b.csv"));
        EXPECT_EQ(text.find("nan"), std::string::npos) << c.what << "\n" << text;
        EXPECT_EQ(text.find("inf"), std::string::npos) << c.what << "\n" << text;
        for (const Row& row : readRows(dir.file("b.csv"))) {
            if (row.field[3] != "2") {
                EXPECT_LT(row.num(12), 1.0) << c.what << "\n" << text;
                continue;
            }
            const auto& f = row.field;
            EXPECT_EQ(f[4] + "," + f[5] + "," + f[8] + "," + f[12], c.row) << c.what << "\n" << text;
        }
    }
}

TEST(Survey, RealDataSetsGiveSaneTables)
{
    for (const std::string name :
         {"PAPER_point_source_sim.uv", "zen.2458042.12552.xx.HH.uvXA", "zen.2457698.40355.xx.HH.uvcA"}) {
        TempDir dir;
        const RunResult r = survey(
            {"vis=" + sharedData(name), "stokes=xx", "out=" + dir.file("b.csv"), "antennas=" + dir.file("a.csv")});
        ASSERT_EQ(r.status, 0) << name << r.out << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("most baselines \\(of ([0-9]+)\\)")));
        const int integrations = std::stoi(m[1]);
        ASSERT_TRUE(std::regex_search(r.out, m, std::regex("Survey of ([0-9]+) baselines, channels 0 to ([0-9]+)")));
        const int nchan = std::stoi(m[2]) + 1;
        const auto rows = readRows(dir.file("b.csv"));
        ASSERT_EQ(rows.size(), std::stoul(m[1])) << name;
        std::map<int, int> perAntenna;
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row& row = rows[i];
            EXPECT_EQ(row.field[0], std::to_string(i + 1));
            for (int k : {5, 8})
                EXPECT_TRUE(row.num(k) >= 0 && row.num(k) <= 1) << name << " rank " << i + 1;
            for (int k : {6, 7, 9, 12})
                EXPECT_TRUE(std::isfinite(row.num(k)) && row.num(k) >= 0) << name << " rank " << i + 1;
            EXPECT_LE(row.num(12), rows[i > 0 ? i - 1 : 0].num(12)) << name;
            for (int c : row.channels)
                EXPECT_TRUE(c >= 0 && c < nchan) << name;
            for (int t : row.integrations)
                EXPECT_TRUE(t >= 0 && t < integrations) << name;
            ++perAntenna[std::stoi(row.field[2])];
            if (row.field[3] != row.field[2])
                ++perAntenna[std::stoi(row.field[3])];
        }
        const auto antennas = readCsv(dir.file("a.csv"));
        for (size_t i = 1; i < antennas.size(); ++i)
            EXPECT_EQ(std::stoi(antennas[i][2]), perAntenna[std::stoi(antennas[i][1])])
                << name << " " << antennas[i][1];
    }
}

TEST(Survey, OutputsThatCannotBeWrittenAndBadKeywordsEndTheRunWithStatusOne)
{
    TempDir dir;
    simulate(dir, {"nants=3", "nchan=16", "hours=0.1"});
    const std::string vis = dir.file("sim.uv"), visdata = readFile(vis + "/visdata"), blocked = dir.file("blocked");
    for (const char* name : {"/001-3c286-1-2.png", "/001-3c286-1-3.png", "/001-3c286-2-3.png"})
        std::filesystem::create_directories(blocked + name);  // a picture that cannot replace its name
    const struct {
        std::string arg, message;
    } cases[] = {
        {"out=" + dir.file("none/b.csv"), "cannot write out=" + dir.file("none/b.csv")},
        {"antennas=" + dir.path(), "cannot write antennas=" + dir.path()},
        {"out=" + vis + "/visdata", "out=" + vis + "/visdata lies in the data set"},
        {"antennas=" + vis, "antennas=" + vis + " lies in the data set"},
        {"nsigma=0", "nsigma=0 must be above 0"},
        {"chanfrac=2", "chanfrac=2 must be above 0 and at most 1"},
        {"png=" + vis, "png=" + vis + " lies in the data set"},
        {"png=" + dir.file("truth.json/pics"), "cannot make the folder png=" + dir.file("truth.json/pics")},
        {"png=" + blocked, "cannot write png=" + blocked + "/001-3c286-"},
        {"view=sideways", "view=sideways is not one of home, tilt."},
    };
    for (const auto& c : cases) {
        const RunResult r = survey({"vis=" + vis, "stokes=xx", c.arg});
        EXPECT_EQ(r.status, 1) << c.arg;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.arg << "\n" << r.err;
    }
    EXPECT_EQ(readFile(vis + "/visdata"), visdata);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(blocked), {}), 3) << "a half-written picture stayed";
}

TEST(Survey, PicturesWithoutADisplayShowEachTopBaselineAndTheOverview)
{
    TempDir dir;
    simulate(dir, {"nants=4", "nchan=32", "hours=0.3", "seed=3"});
    const struct {
        std::vector<std::string> args;
        size_t baselines;
    } cases[] = {{{"top=2"}, 2},
                 {{"top=0", "view=home", "mode=sed", "style=hatch", "colour=value"}, 6},
                 {{"top=1", "waterfall=yes", "colour=time"}, 1}};
    for (const auto& c : cases) {
        const std::string pics = dir.file("pics" + std::to_string(c.baselines) + "/new");
        std::vector<std::string> args = {"vis=" + dir.file("sim.uv"), "stokes=xx", "out=" + dir.file("b.csv"),
                                         "png=" + pics};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = survey(args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // The names say the rank, source and baseline of the table's rows.
        std::set<std::string> want = {"overview.png"}, names;
        const auto rows = readRows(dir.file("b.csv"));
        for (size_t i = 0; i < c.baselines; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "%03d-3c286-%s-%s.png", std::stoi(rows[i].field[0]),
                          rows[i].field[2].c_str(), rows[i].field[3].c_str());
            want.insert(name);
        }
        for (const auto& e : std::filesystem::directory_iterator(pics))
            names.insert(e.path().filename());
        EXPECT_EQ(names, want) << c.args[0];
        for (const std::string& name : names) {
            const Image img = readPng(pics + "/" + name);
            ASSERT_EQ(img.width, 800) << name;
            ASSERT_EQ(img.height, 600) << name;
            EXPECT_TRUE(img.brightNear(400, 15, 8)) << name << ": no title";
            EXPECT_GT(img.lit(), 3000u) << name;
        }
        if (c.baselines == 6) {  // view=home
            // Seen from home the box's front face spans pixels 195 .. 605 across, 95 .. 505 down.
            const Image img = readPng(pics + "/" + *want.begin());
            for (const auto& [x, y] : {std::pair{195, 300}, {605, 300}, {400, 95}, {400, 505}})
                EXPECT_TRUE(img.brightNear(x, y, 1)) << "front face at " << x << "," << y;
        }
    }
    // The overview's matrix: cell (i, j) of 4 x 4 antennas centred on pixel (144 + 70 i, 428 - 70 j); the
    // worst baseline in the map's last colour both ways round, an antenna with itself grey.
    const Image over = readPng(dir.file("pics1/new/overview.png"));
    const auto rows = readRows(dir.file("b.csv"));
    const int a1 = std::stoi(rows[0].field[2]) - 1, a2 = std::stoi(rows[0].field[3]) - 1;
    const Rgb top = kColourMap[kColourMapSize - 1];
    const std::uint32_t worst = static_cast<std::uint32_t>(top.r << 16 | top.g << 8 | top.b);
    EXPECT_EQ(over.at(144 + 70 * a1, 428 - 70 * a2), worst);
    EXPECT_EQ(over.at(144 + 70 * a2, 428 - 70 * a1), worst);
    EXPECT_EQ(over.at(144 + 70 * a1, 428 - 70 * a1), 0x282828u);
}
