// The vizmira command as a user runs it: exit statuses, messages, files.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_run.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;

using vt::CliRun;
using vt::Vizmira;
using Cli = vt::CliTest;

TEST_F(Cli, AboutPrintsTheText) {
  const CliRun r = Vizmira("about");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Vizmira\nVersion 1.0.5\n", 0), 0u) << r.out;
}

TEST_F(Cli, ParamsListsEveryControlAndTheirStates) {
  const CliRun r = Vizmira("params --set Type=None");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(" 64  MODE  [popup] = 1 (Normal)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  6  I. LENS/Feather  [float] = 0  default 0  range 0 to 1000 (%)  (greyed out)  (folded)"),
            std::string::npos);
  EXPECT_NE(r.out.find("  7  I. LENS/Position  [point] = 50%,50%  default 50%,50%\n"), std::string::npos);
  // "None" greys out exactly the lens controls below "Type" and "Position", and both
  // "Center" points stay greyed while their treatments are centred on the lens.
  const CliRun none = Vizmira("params --json --set Type=None");
  ASSERT_EQ(none.status, 0);
  std::vector<int> greyed;
  for (size_t at = 0; (at = none.out.find("{\"index\": ", at)) != std::string::npos; ++at) {
    const size_t end = none.out.find('}', at);
    if (none.out.substr(at, end - at).find("\"enabled\": false") != std::string::npos)
      greyed.push_back(std::stoi(none.out.substr(at + 10)));
  }
  EXPECT_EQ(greyed, (std::vector<int>{3, 4, 5, 6, 8, 9, 10, 11, 32, 38}));
  const CliRun json = Vizmira("params --json --set Feather=12.5 --set 53=10,20,30");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(json.out.front(), '[');
  size_t objects = 0;
  for (size_t at = 0; (at = json.out.find("{\"index\": ", at)) != std::string::npos; ++at) ++objects;
  EXPECT_EQ(objects, 64u);
  EXPECT_NE(json.out.find("\"path\": \"I. LENS/Feather\", \"label\": \"Feather\", \"type\": \"float\", "
                          "\"default\": 0, \"value\": 12.5, \"min\": 0, \"max\": 1000"),
            std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"value\": \"#0A141E\""), std::string::npos);
  EXPECT_NE(json.out.find("\"label\": \"Visible\", \"type\": \"checkbox\", \"default\": true"),
            std::string::npos);
}

TEST_F(Cli, BadKeysAndValuesAreRefusedWithTheReason) {
  CliRun r = Vizmira("params --set Amount=3");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("ambiguous control 'Amount'"), std::string::npos);
  EXPECT_NE(r.out.find("II. BLUR/Fast Blur/Amount"), std::string::npos);
  r = Vizmira("params --set Nonsense=3");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("unknown control 'Nonsense'"), std::string::npos);
  r = Vizmira("params --set Feather=1001");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("I. LENS/Feather"), std::string::npos);
  EXPECT_NE(r.out.find("0 to 1000"), std::string::npos);
  EXPECT_EQ(Vizmira("params --set MODE=Dissolve").status, 2);
  EXPECT_EQ(Vizmira("params --set 'Fast Blur/Visible=maybe'").status, 2);
  EXPECT_EQ(Vizmira("params --set 13=1").status, 2);  // a group
  EXPECT_EQ(Vizmira("params --set 65=1").status, 2);
  EXPECT_EQ(Vizmira("params --bogus").status, 2);
  EXPECT_EQ(Vizmira("frobnicate").status, 2);
}

// Each command takes its own options: help for each, and an option it does not take is
// refused by name.
TEST_F(Cli, EachCommandTakesItsOwnOptions) {
  for (const char* help : {"--help", "-h"}) {
    CliRun r = Vizmira(help);
    EXPECT_EQ(r.status, 0) << help;
    for (const char* command : {"about", "params", "render", "testcard", "serve"})
      EXPECT_NE(r.out.find(command), std::string::npos) << command;
    const std::vector<std::pair<std::string, std::vector<std::string>>> own = {
        {"about", {"--module"}},
        {"params", {"--set", "--settings", "--frame", "--json"}},
        {"render", {"INPUT", "OUTPUT", "--frames", "--keep-going", "--work-depth", "--progress"}},
        {"testcard", {"OUTPUT", "--size", "--depth"}},
        {"serve", {"PICTURE", "--port", "--listen"}}};
    for (const auto& [command, options] : own) {
      r = Vizmira(command + " " + help);
      EXPECT_EQ(r.status, 0) << command;
      for (const std::string& option : options)
        EXPECT_NE(r.out.find(option), std::string::npos) << command << " " << option << "\n" << r.out;
    }
  }
  EXPECT_EQ(Vizmira("--version").out, "vizmira 1.0.5\n");

  CliRun r = Vizmira("about --port 3 --custom-layer x.png");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("vizmira about does not take: --port 3 --custom-layer x.png"), std::string::npos)
      << r.out;
  r = Vizmira("testcard " + P("t.png") + " --threads 2");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("--threads"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(P("t.png")));
  EXPECT_EQ(Vizmira("render a.png b.png c.png").status, 2);
  EXPECT_EQ(Vizmira("render a.png b.png --frame 1 --frames 1-2").status, 2);
  r = Vizmira("frobnicate");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("unknown command 'frobnicate'"), std::string::npos) << r.out;
  EXPECT_EQ(Vizmira("").status, 2);
  // The values are checked as before, with the same messages.
  r = Vizmira("render a.png b.png --threads 0");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("--threads takes a whole number from 1 to 1024, not '0'"), std::string::npos);
  EXPECT_NE(Vizmira("render a.png b.png --progress xml").out.find("--progress takes json"),
            std::string::npos);
}

TEST_F(Cli, RenderWritesTheFileOrNothing) {
  ASSERT_EQ(Vizmira("testcard " + P("card.png") + " --size 96x64").status, 0);
  const std::string base = "render " + P("card.png") + " ";
  CliRun r = Vizmira(base + P("out.png") + " --set Type=Triangle --set Feather=40 --set MODE=Screen");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fs::exists(P("out.png")));

  r = Vizmira(base + P("bad.png") + " --set Feather=-1");
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(fs::exists(P("bad.png")));
  r = Vizmira("render " + P("missing.png") + " " + P("bad.png"));
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(fs::exists(P("bad.png")));
  r = Vizmira(base + P("nodir/bad.png"));
  EXPECT_EQ(r.status, 3);
  r = Vizmira(base + P("bad.png") + " --module " + P("none.so"));
  EXPECT_EQ(r.status, 4);
  for (auto& entry : fs::directory_iterator(dir))  // no temporary file left behind
    EXPECT_EQ(entry.path().filename().string().rfind(".vizmira-", 0), std::string::npos);
}

TEST_F(Cli, ThreadCountsAndDepthsGiveTheSameFile) {
  ASSERT_EQ(Vizmira("testcard " + P("card.tif") + " --size 80x60 --depth 16").status, 0);
  const std::string base = "render " + P("card.tif") + " ";
  const std::string sets = " --set Type=Circle --set Lightness/Amount=20 --set Red/Cyan=50";
  // PNG carries no time stamp, so equal pictures give equal files.
  ASSERT_EQ(Vizmira(base + P("t1.png") + sets + " --threads 1").status, 0);
  ASSERT_EQ(Vizmira(base + P("t4.png") + sets + " --threads 4").status, 0);
  EXPECT_TRUE(Bytes("t1.png") == Bytes("t4.png"));
  ASSERT_EQ(Vizmira(base + P("o8.png") + sets + " --output-depth 8 --work-depth 8").status, 0);
  EXPECT_TRUE(fs::exists(P("o8.png")));
}

TEST_F(Cli, SixteenBitFilesRoundTripExactly) {
  // Everything off with no lens: the 16-bit file comes back as it went in.
  ASSERT_EQ(Vizmira("testcard " + P("a.png") + " --size 40x30 --depth 16").status, 0);
  ASSERT_EQ(Vizmira("render " + P("a.png") + " " + P("b.png") +
                    " --set Type=None --set 'Fast Blur/Visible=off'").status, 0);
  ASSERT_EQ(Vizmira("render " + P("b.png") + " " + P("c.png") +
                    " --set Type=None --set 'Fast Blur/Visible=off'").status, 0);
  EXPECT_TRUE(Bytes("b.png") == Bytes("c.png"));
}

}  // namespace
