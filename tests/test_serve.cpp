// The live preview: the state behind its HTTP interface, and the interface itself. The
// browser's side is tested in tests/browser.
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "cli/image_io.h"
#include "cli/serve.h"
#include "cli_run.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;
using vt::Vizmira;
using vt::World;
using vzcli::Preview;

const char* kLook = "--set Type=Triangle --set Feather=40 --set MODE=Screen";

class ServeTest : public vt::CliTest {
 protected:
  void SetUp() override {
    vt::CliTest::SetUp();
    ASSERT_EQ(Vizmira("testcard " + P("card.png") + " --size 160x90").status, 0);
  }
  std::unique_ptr<Preview> Open(int threads = 2) {
    return std::make_unique<Preview>(VIZMIRA_MODULE, P("card.png"), std::nullopt, dir.string(),
                                     threads);
  }
};

TEST_F(ServeTest, RendersAndListsAsTheCommandDoes) {
  auto preview = Open();
  std::string error;
  ASSERT_TRUE(preview->Apply({{"Type", "Triangle"}, {"Feather", "40"}, {"MODE", "Screen"}}, "tab", &error))
      << error;
  Preview::Result r = preview->Render("tab", 1);
  ASSERT_EQ(r.outcome, Preview::Outcome::kDone) << r.error;
  ASSERT_EQ(Vizmira("render " + P("card.png") + " " + P("ref.png") + " " + kLook).status, 0);
  EXPECT_TRUE(vt::SameImage(*r.picture, vzcli::ReadImage(P("ref.png"))));
  EXPECT_EQ(preview->ControlsJson(), Vizmira(std::string("params --json ") + kLook).out);

  // The command line it gives makes the same picture.
  const std::string line = preview->CommandLine("again.png");
  ASSERT_EQ(line.rfind("vizmira render ", 0), 0u) << line;
  const std::string run = "cd '" + dir.string() + "' && " + VIZMIRA_CLI + line.substr(7);
  ASSERT_EQ(std::system(run.c_str()), 0) << run;
  EXPECT_EQ(Bytes("again.png"), Bytes("ref.png"));
}

TEST_F(ServeTest, ABadChangeIsRefusedWholeWithTheCommandsMessage) {
  auto preview = Open();
  const std::string before = preview->ControlsJson();
  std::string error;
  EXPECT_FALSE(preview->Apply({{"Lightness/Amount", "30"}, {"Feather", "4000"}}, "tab", &error));
  EXPECT_EQ("vizmira: " + error + "\n", Vizmira("params --set Feather=4000").out);
  EXPECT_FALSE(preview->Apply({{"Type", "Triangle"}, {"Nonesuch", "1"}}, "tab", &error));
  EXPECT_EQ("vizmira: " + error + "\n", Vizmira("params --set Nonesuch=1").out);
  EXPECT_FALSE(preview->Apply({{"Custom Layer", "missing.png"}}, "tab", &error));
  EXPECT_EQ(preview->ControlsJson(), before);
  // Greyed states follow every change, as `params` reports them.
  ASSERT_TRUE(preview->Apply({{"Type", "None"}}, "tab", &error));
  EXPECT_EQ(preview->ControlsJson(), Vizmira("params --json --set Type=None").out);
}

// A newer request from the same tab stops its running render; another tab's waits.
TEST_F(ServeTest, OnlyTheSameTabsNewerRequestStopsARender) {
  auto preview = Open(1);
  std::string error;
  ASSERT_TRUE(preview->Apply({{"Realistic Blur  [very slow]/Amount", "60"}}, "tab", &error));
  auto startSlow = [&](const std::string& client) {
    auto slow = std::async(std::launch::async, [&, client] { return preview->Render(client, 1); });
    while (!preview->Rendering(client)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return slow;
  };
  auto slow = startSlow("tab");
  Preview::Result newer = preview->Render("tab", 2);
  EXPECT_EQ(slow.get().outcome, Preview::Outcome::kSuperseded);
  EXPECT_EQ(newer.outcome, Preview::Outcome::kDone);
  EXPECT_EQ(newer.picture->width(), 80);

  slow = startSlow("tab");
  Preview::Result other = preview->Render("other tab", 4);
  EXPECT_EQ(slow.get().outcome, Preview::Outcome::kDone);
  EXPECT_EQ(other.outcome, Preview::Outcome::kDone);
}

TEST_F(ServeTest, ProxyRendersScalePointsSetInPixels) {
  auto preview = Open();
  std::string error;
  ASSERT_TRUE(preview->Apply({{"Position", "30%,40%"}}, "tab", &error));
  const Preview::Result percent = preview->Render("tab", 2);
  ASSERT_TRUE(preview->Apply({{"Position", "48,36"}}, "tab", &error));  // the same place
  const Preview::Result pixels = preview->Render("tab", 2);
  ASSERT_EQ(pixels.outcome, Preview::Outcome::kDone);
  EXPECT_EQ(pixels.picture->width(), 80);
  EXPECT_EQ(pixels.picture->height(), 45);
  EXPECT_TRUE(vt::SameImage(*pixels.picture, *percent.picture));
  // The controls themselves keep their pixels.
  EXPECT_NE(preview->ControlsJson().find("\"value\": \"48,36\""), std::string::npos);
}

TEST_F(ServeTest, FileNamesStayInTheStartDirectory) {
  auto preview = Open();
  fs::create_directories(dir / "sub");
  fs::create_symlink(fs::temp_directory_path(), dir / "out");
  std::string path, error;
  EXPECT_TRUE(preview->Resolve("a.png", &path, &error));
  EXPECT_EQ(path, (dir / "a.png").string());
  EXPECT_TRUE(preview->Resolve("sub/b.tif", &path, &error));
  for (const char* bad : {"", "/etc/passwd", "../a.png", "sub/../../a.png", "out/a.png", "."})
    EXPECT_FALSE(preview->Resolve(bad, &path, &error)) << bad;
}

// The HTTP interface on a free port, as a script would use it.
TEST_F(ServeTest, HttpInterface) {
  const fs::path before = fs::current_path();
  fs::current_path(dir);  // files are named relative to where the preview started
  vzcli::ServeOptions options;
  options.module = VIZMIRA_MODULE;
  options.picture = "card.png";
  options.port = 0;
  std::promise<int> port;
  options.listening = [&](int p) { port.set_value(p); };
  std::atomic<bool> stop{false};
  std::thread server([&] { vzcli::Serve(options, stop); });
  const int bound = port.get_future().get();
  httplib::Client http("127.0.0.1", bound);
  // A second preview on the same port is refused, not let share it.
  vzcli::ServeOptions second = options;
  second.port = bound;
  second.listening = nullptr;
  EXPECT_EQ(vzcli::Serve(second, stop), 2);
  fs::current_path(before);

  auto page = http.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<title>Vizmira preview</title>"), std::string::npos);
  EXPECT_EQ(http.Get("/api/controls")->body, Vizmira("params --json").out);

  auto post = [&](const std::string& path, const std::string& body) {
    return http.Post(path.c_str(), body, "application/json");
  };
  auto bad = post("/api/controls", R"({"Feather": "4000"})");
  EXPECT_EQ(bad->status, 400);
  EXPECT_EQ("vizmira: " + bad->body, Vizmira("params --set Feather=4000").out);
  EXPECT_EQ(post("/api/controls", "[1, 2]")->status, 400);
  EXPECT_EQ(post("/api/controls", "{\"Feather\": ")->status, 400);
  EXPECT_EQ(post("/api/controls", std::string(100000, ' '))->status, 413);
  auto good = post("/api/controls", R"({"Type": "Triangle", "Feather": 40, "MODE": "Screen"})");
  ASSERT_EQ(good->status, 200) << good->body;
  EXPECT_EQ(good->body, Vizmira(std::string("params --json ") + kLook).out);

  EXPECT_EQ(http.Get("/api/render?proxy=3")->status, 400);
  // The served PNG holds the pixels of the command's file, compressed for speed.
  auto decoded = [&](const std::string& png) {
    std::ofstream(P("served.png"), std::ios::binary) << png;
    return vzcli::ReadImage(P("served.png"));
  };
  auto picture = http.Get("/api/render");
  ASSERT_EQ(picture->status, 200);
  EXPECT_EQ(picture->get_header_value("Content-Type"), "image/png");
  ASSERT_EQ(Vizmira("render " + P("card.png") + " " + P("ref.png") + " " + kLook).status, 0);
  EXPECT_TRUE(vt::SameImage(decoded(picture->body), vzcli::ReadImage(P("ref.png"))));
  EXPECT_TRUE(vt::SameImage(decoded(http.Get("/api/source")->body), vzcli::ReadImage(P("card.png"))));

  EXPECT_EQ(post("/api/save", R"({"name": "/var/x.png"})")->status, 400);
  EXPECT_EQ(post("/api/save", R"({"name": "../x.png"})")->status, 400);
  ASSERT_EQ(post("/api/save", R"({"name": "saved.tif"})")->status, 200);
  EXPECT_TRUE(vt::SameImage(vzcli::ReadImage(P("saved.tif")), vzcli::ReadImage(P("ref.png"))));

  ASSERT_EQ(post("/api/settings/save", R"({"name": "look.json"})")->status, 200);
  ASSERT_EQ(post("/api/controls", R"({"Type": "Circle"})")->status, 200);
  auto loaded = post("/api/settings/load", R"({"name": "look.json"})");
  ASSERT_EQ(loaded->status, 200) << loaded->body;
  EXPECT_EQ(loaded->body, good->body);
  ASSERT_EQ(Vizmira("render " + P("card.png") + " " + P("preset.png") + " --settings " + P("look.json")).status, 0);
  EXPECT_EQ(Bytes("preset.png"), Bytes("ref.png"));
  EXPECT_EQ(http.Get("/api/command")->body,
            "vizmira render card.png result.png --set 'I. LENS/Type=5' --set 'I. LENS/Feather=40' "
            "--set MODE=3\n");

  stop = true;
  server.join();
}

}  // namespace
