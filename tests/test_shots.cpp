// Shots and presets: numbered frames, values that change over time, interrupted and failing
// runs, settings saved and read back.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/sequence.h"
#include "cli_run.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;
using vt::CliRun;
using vt::Vizmira;
using Shots = vt::CliTest;

TEST(FrameNames, HashesAndPrintfCountDigits) {
  EXPECT_EQ(vzcli::FramePattern("in.####.exr").At(7), "in.0007.exr");
  EXPECT_EQ(vzcli::FramePattern("in.#.exr").At(123), "in.123.exr");
  EXPECT_EQ(vzcli::FramePattern("out.%04d.png").At(42), "out.0042.png");
  EXPECT_EQ(vzcli::FramePattern("out_%d.png").At(5), "out_5.png");
  EXPECT_FALSE(vzcli::FramePattern("still.png").numbered());
  EXPECT_EQ(vzcli::FramePattern("100%.png").At(3), "100%.png");
}

TEST(FrameNames, RangesAndSteps) {
  EXPECT_EQ(vzcli::ParseFrameRange("1-5")->Frames(), std::vector<int>({1, 2, 3, 4, 5}));
  EXPECT_EQ(vzcli::ParseFrameRange("1-10:4")->Frames(), std::vector<int>({1, 5, 9}));
  EXPECT_EQ(vzcli::ParseFrameRange("12")->Frames(), std::vector<int>({12}));
  EXPECT_EQ(vzcli::ParseFrameRange("-2-1")->Frames(), std::vector<int>({-2, -1, 0, 1}));
  for (const char* bad : {"", "5-1", "1-", "a-b", "1-5:0", "1-5:x", "1-5:-1"})
    EXPECT_FALSE(vzcli::ParseFrameRange(bad)) << bad;
}

TEST(Animation, NumbersMoveStraightAndChoicesHold) {
  auto host = vt::LoadedHost();
  const auto controls = minihost::DescribeControls(host->params());
  auto control = [&](const std::string& key) {
    std::string error;
    return controls[size_t(minihost::FindControl(controls, key, &error) - 1)];
  };
  std::string error;
  vzcli::Animation scale, mode, colour, position;
  ASSERT_TRUE(scale.Parse(*host, control("Scale"), "100@1,300@11", &error)) << error;
  ASSERT_TRUE(mode.Parse(*host, control("MODE"), "Add@1,Screen@5", &error)) << error;
  ASSERT_TRUE(colour.Parse(*host, control("Color/Color"), "0,0,0@0,255,100,1@10", &error)) << error;
  ASSERT_TRUE(position.Parse(*host, control("Position"), "10,20@1,30,60@5", &error)) << error;
  const PF_ParamDef& s = host->params()[size_t(control("Scale").index)];
  const PF_ParamDef& m = host->params()[size_t(control("MODE").index)];
  const PF_ParamDef& c = host->params()[size_t(control("Color/Color").index)];
  const PF_ParamDef& p = host->params()[size_t(control("Position").index)];
  scale.Apply(*host, 0);
  EXPECT_EQ(s.u.fs_d.value, 100);  // held before the first key
  scale.Apply(*host, 6);
  EXPECT_EQ(s.u.fs_d.value, 200);
  scale.Apply(*host, 99);
  EXPECT_EQ(s.u.fs_d.value, 300);
  mode.Apply(*host, 4);
  EXPECT_EQ(m.u.pd.value, 2);  // Add until the key at 5
  mode.Apply(*host, 5);
  EXPECT_EQ(m.u.pd.value, 3);
  colour.Apply(*host, 5);
  EXPECT_EQ(c.u.cd.value.red, 128);  // 127.5 rounds away from zero
  EXPECT_EQ(c.u.cd.value.green, 50);
  EXPECT_EQ(c.u.cd.value.blue, 1);
  position.Apply(*host, 2);
  EXPECT_EQ(p.u.td.x_value, 15 << 16);
  EXPECT_EQ(p.u.td.y_value, 30 << 16);
  EXPECT_TRUE(host->PointInPixels(control("Position").index));

  vzcli::Animation bad;
  EXPECT_FALSE(bad.Parse(*host, control("Scale"), "100@5,200@3", &error));  // out of order
  EXPECT_FALSE(bad.Parse(*host, control("Scale"), "100@1,900@3", &error));  // out of range
  EXPECT_NE(error.find("0 to 400"), std::string::npos) << error;
  EXPECT_FALSE(bad.Parse(*host, control("Scale"), "100@x", &error));
  EXPECT_FALSE(bad.Parse(*host, control("Scale"), "100@1,200", &error));
  EXPECT_FALSE(bad.Parse(*host, control("Position"), "10,20@1,50%,50%@3", &error));
}

// The fixed-point value a key animation gives at a frame, typed back as pixels.
std::string PointAt(int frame, int first, int last, double from, double to) {
  const double t = double(frame - first) / double(last - first);
  const double a = std::lround(from * 65536.0), b = std::lround(to * 65536.0);
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", double(std::lround(a + (b - a) * t)) / 65536.0);
  return text;
}

TEST_F(Shots, SequenceEqualsSingleFramesWithTheInterpolatedValues) {
  constexpr int kFrames = 48;
  ASSERT_EQ(Vizmira("testcard " + P("in.001.png") + " --size 40x30").status, 0);
  for (int f = 2; f <= kFrames; ++f)
    fs::copy_file(P("in.001.png"), P("in." + std::to_string(1000 + f).substr(1) + ".png"));
  const std::string sets = " --set Type=Triangle --set Feather=30 --set Lightness/Amount=20"
                           " --threads 1";
  const CliRun seq = Vizmira("render " + P("in.###.png") + " " + P("seq.####.png") + " --frames 1-" +
                             std::to_string(kFrames) + sets + " --set 'Position=4,3@1,36,27@48'");
  ASSERT_EQ(seq.status, 0) << seq.out;
  for (int f = 1; f <= kFrames; ++f) {
    const std::string num = std::to_string(10000 + f).substr(1);
    const std::string pos = PointAt(f, 1, kFrames, 4, 36) + "," + PointAt(f, 1, kFrames, 3, 27);
    const CliRun one = Vizmira("render " + P("in." + num.substr(1) + ".png") + " " +
                               P("one.png") + sets + " --set Position=" + pos);
    ASSERT_EQ(one.status, 0) << one.out;
    EXPECT_TRUE(Bytes("one.png") == Bytes("seq." + num + ".png")) << "frame " << f;
  }
}

TEST_F(Shots, MissingFramesAndBadKeysStopBeforeAnyWork) {
  ASSERT_EQ(Vizmira("testcard " + P("in.0001.png") + " --size 16x12").status, 0);
  fs::copy_file(P("in.0001.png"), P("in.0003.png"));
  CliRun r = Vizmira("render " + P("in.####.png") + " " + P("out.####.png") + " --frames 1-3");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("missing frame 2: " + P("in.0002.png")), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(P("out.0001.png")));
  r = Vizmira("render " + P("in.0001.png") + " " + P("out.png") + " --frames 1-3");
  EXPECT_EQ(r.status, 2) << r.out;  // three frames, one output name
  r = Vizmira("render " + P("in.0001.png") + " " + P("out.png") + " --set Scale=1@1,2@2");
  EXPECT_EQ(r.status, 2) << r.out;  // keys need a frame
  r = Vizmira("render " + P("in.####.png") + " " + P("out.####.png") +
              " --frames 1-1 --set Scale=1@1,2@x");
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_EQ(Vizmira("render a b --frames 3-1").status, 2);
}

TEST_F(Shots, AFailingFrameStopsTheRunUnlessKeepGoing) {
  for (int f : {1, 3, 4}) {
    ASSERT_EQ(Vizmira("testcard " + P("in.000" + std::to_string(f) + ".png") + " --size 16x12").status, 0);
  }
  std::ofstream(P("in.0002.png")) << "not a picture";
  CliRun r = Vizmira("render " + P("in.####.png") + " " + P("out.####.png") + " --frames 1-4");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("frame 2: cannot read"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::exists(P("out.0001.png")));
  EXPECT_FALSE(fs::exists(P("out.0003.png")));
  r = Vizmira("render " + P("in.####.png") + " " + P("out.####.png") + " --frames 1-4 --keep-going");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.out.find("1 of 4 frames failed: 2"), std::string::npos) << r.out;
  for (int f : {1, 3, 4}) EXPECT_TRUE(fs::exists(P("out.000" + std::to_string(f) + ".png")));
  EXPECT_FALSE(fs::exists(P("out.0002.png")));
}

TEST_F(Shots, InterruptFinishesNoFrameHalfWay) {
  ASSERT_EQ(Vizmira("testcard " + P("in.png") + " --size 160x120").status, 0);
  const std::string log = P("log.txt");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    const std::string in = P("in.png"), out = P("out.####.png");
    ::execl(VIZMIRA_CLI, VIZMIRA_CLI, "render", in.c_str(), out.c_str(), "--frames", "1-400",
            "--set", "Realistic Blur  [very slow]/Amount=6", "--set", "Scale=50@1,200@400",
            "--threads", "1", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until a few frames are out, then press Ctrl-C.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(P("out.0003.png")) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);

  std::ifstream f(log);
  const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t done = 0;
  ASSERT_EQ(std::sscanf(text.c_str(), "vizmira: interrupted; %zu of 400 frames done", &done), 1) << text;
  size_t outputs = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.rfind(".vizmira-", 0), std::string::npos) << "a temporary file remains";
    if (name.rfind("out.", 0) == 0) ++outputs;
  }
  EXPECT_EQ(outputs, done);
  EXPECT_GE(done, 3u);
  EXPECT_LT(done, 400u);
  // Every frame that is there is whole: it renders again as the same file.
  const std::string last = "out." + std::to_string(10000 + int(done)).substr(1) + ".png";
  const CliRun again = Vizmira("render " + P("in.png") + " " + P("again.png") + " --frame " +
                               std::to_string(done) + " --set 'Realistic Blur  [very slow]/Amount=6'"
                               " --set Scale=50@1,200@400");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_TRUE(Bytes("again.png") == Bytes(last));
}

// A program watching a run reads one JSON object a line on standard output, in frame order;
// the files are those of a run without it.
TEST_F(Shots, ProgressAsJsonLines) {
  ASSERT_EQ(Vizmira("testcard " + P("in.png") + " --size 48x32").status, 0);
  const std::string run = std::string(VIZMIRA_CLI) + " render " + P("in.png") + " " +
                          P("out.####.png") + " --frames 3-11:2 --set Scale=50@3,150@11";
  ASSERT_EQ(std::system((run + " --progress json > " + P("progress.txt") + " 2> " + P("err.txt")).c_str()), 0);
  std::ifstream lines(P("progress.txt"));
  std::vector<int> frames;
  size_t done = 0;
  double seconds = 0;
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json j = nlohmann::json::parse(line);  // throws where a line is not JSON
    frames.push_back(j.at("frame").get<int>());
    EXPECT_EQ(j.at("done").get<size_t>(), ++done);
    EXPECT_EQ(j.at("total").get<int>(), 5);
    EXPECT_GE(j.at("seconds").get<double>(), seconds);
    seconds = j.at("seconds").get<double>();
    EXPECT_EQ(j.at("file").get<std::string>(), P("out." + std::to_string(10000 + frames.back()).substr(1) + ".png"));
  }
  EXPECT_EQ(frames, (std::vector<int>{3, 5, 7, 9, 11}));
  EXPECT_EQ(Bytes("err.txt"), "");
  for (int f : frames) fs::rename(P("out." + std::to_string(10000 + f).substr(1) + ".png"), P("json." + std::to_string(f) + ".png"));
  ASSERT_EQ(std::system((run + " > /dev/null 2>&1").c_str()), 0);
  for (int f : frames)
    EXPECT_EQ(Bytes("json." + std::to_string(f) + ".png"), Bytes("out." + std::to_string(10000 + f).substr(1) + ".png"));
}

TEST_F(Shots, PresetsRoundTripAndSetOverrides) {
  const std::string sets =
      " --set Type=Triangle --set Feather=12.5 --set Position=10,20 --set 'Color/Color=10,20,30,40'"
      " --set 'Fast Blur/Visible=off' --set Direction=33.25 --set MODE=Screen";
  CliRun saved = Vizmira("params --json" + sets + " --custom-layer " + P("mask.png"));
  ASSERT_EQ(saved.status, 0) << saved.out;
  std::ofstream(P("look.json")) << saved.out;
  const CliRun again = Vizmira("params --json --settings " + P("look.json"));
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(again.out, saved.out);
  const CliRun overridden = Vizmira("params --settings " + P("look.json") + " --set MODE=Add");
  EXPECT_NE(overridden.out.find("MODE  [popup] = 2 (Add)"), std::string::npos) << overridden.out;
  EXPECT_NE(overridden.out.find("Feather  [float] = 12.5"), std::string::npos);

  std::ofstream(P("hand.json")) << R"({"Type": "Circle", "Scale": 150, "Fast Blur/Visible": false})";
  const CliRun hand = Vizmira("params --settings " + P("hand.json"));
  ASSERT_EQ(hand.status, 0) << hand.out;
  EXPECT_NE(hand.out.find("Scale  [float] = 150"), std::string::npos) << hand.out;
}

TEST_F(Shots, BadPresetsNameTheEntry) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"Fether": 3})", "\"Fether\": unknown control"},
      {R"({"Feather": "wide"})", "takes a number"},
      {R"({"Feather": 5000})", "0 to 1000"},
      {R"({"Fast Blur/Visible": 1})", "true or false"},
      {R"([{"path": "I. LENS/Feather", "value": 3, "colour": 1}])", "entry 1: unknown field \"colour\""},
      {R"([{"value": 3}])", "entry 1"},
      {R"({"Type": )", "is not JSON"},
      {R"(42)", "settings are"},
  };
  for (const auto& [text, message] : cases) {
    std::ofstream(P("bad.json")) << text;
    const CliRun r = Vizmira("params --settings " + P("bad.json"));
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_NE(r.out.find(message), std::string::npos) << text << "\n" << r.out;
    EXPECT_NE(r.out.find(P("bad.json")), std::string::npos) << r.out;
  }
  EXPECT_EQ(Vizmira("params --settings " + P("none.json")).status, 2);
}

}  // namespace
