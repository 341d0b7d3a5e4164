// The live preview: the state behind its HTTP interface, and the interface itself. The
// browser's side is tested in tests/browser.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "cli/image_io.h"
#include "cli/preview.h"
#include "cli/serve.h"
#include "cli/serve_guard.h"
#include "cli_run.h"
#include "helpers.h"

namespace {

namespace fs = std::filesystem;
using vt::Vizmira;
using vt::World;
using vzcli::Preview;

const char* kLook = "--set Type=Triangle --set Feather=40 --set MODE=Screen";

// `vizmira serve` on a free port in this process, naming files relative to `dir`, until the
// end of the scope.
class Served {
 public:
  Served(const fs::path& dir, vzcli::ServeOptions options) {
    if (options.picture.empty()) options.picture = "card.png";
    options.module = VIZMIRA_MODULE;
    options.port = 0;
    std::promise<std::pair<int, std::string>> ready;
    options.listening = [&](int p, const std::string& u) { ready.set_value({p, u}); };
    const fs::path before = fs::current_path();
    fs::current_path(dir);  // the preview's directory is where it starts
    server_ = std::thread([this, options] { vzcli::Serve(options, stop_); });
    std::tie(port, url) = ready.get_future().get();
    fs::current_path(before);
  }
  ~Served() {
    stop_ = true;
    server_.join();
  }
  int port = 0;
  std::string url;

 private:
  std::atomic<bool> stop_{false};
  std::thread server_;
};

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
  Served served(dir, {});
  httplib::Client http("127.0.0.1", served.port);
  // A second preview on the same port is refused, not let share it.
  vzcli::ServeOptions second;
  second.module = VIZMIRA_MODULE;
  second.picture = P("card.png");
  second.port = served.port;
  std::atomic<bool> stop{false};
  EXPECT_EQ(vzcli::Serve(second, stop), 2);

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

}

// A float picture: rendered at float (the command's float file), shown through an exposure
// that the saved file does not take, saved at float.
TEST_F(ServeTest, FloatPicturesShowThroughAnExposureAndSaveAtFloat) {
  ASSERT_EQ(Vizmira("testcard " + P("hdr.exr") + " --depth 32 --size 160x90").status, 0);
  vzcli::ServeOptions options;
  options.picture = "hdr.exr";
  Served served(dir, options);
  httplib::Client http("127.0.0.1", served.port);
  const std::string info = http.Get("/api/info")->body;
  EXPECT_NE(info.find("\"depth\":32"), std::string::npos) << info;
  EXPECT_NE(info.find("\"float\":true"), std::string::npos) << info;
  auto shown = [&](const std::string& query) {
    auto res = http.Get(("/api/render" + query).c_str());
    EXPECT_EQ(res->status, 200) << query;
    std::ofstream(P("shown.png"), std::ios::binary) << res->body;
    return vzcli::ReadImage(P("shown.png"));
  };
  const World plain = shown(""), darker = shown("?exposure=-3"), again = shown("?exposure=0");
  EXPECT_TRUE(vt::SameImage(plain, again));
  EXPECT_FALSE(vt::SameImage(plain, darker));
  EXPECT_EQ(http.Get("/api/render?exposure=lots")->status, 400);
  EXPECT_EQ(http.Get("/api/source?exposure=40")->status, 400);
  // The highlights above white: clipped at exposure 0, below white 3 stops down.
  int clipped = 0, lowered = 0;
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 160; ++x) {
      clipped += plain.Get(x, y)[1] == 255;
      lowered += darker.Get(x, y)[1] == 255;
    }
  EXPECT_GT(clipped, lowered);
  // Saved, the picture is the command's float file, the exposure not applied.
  ASSERT_EQ(http.Post("/api/save", R"({"name": "saved.exr"})", "application/json")->status, 200);
  ASSERT_EQ(Vizmira("render " + P("hdr.exr") + " " + P("ref.exr")).status, 0);
  const World saved = vzcli::ReadImage(P("saved.exr"), vzcli::ReadAs::kStored);
  const World ref = vzcli::ReadImage(P("ref.exr"), vzcli::ReadAs::kStored);
  ASSERT_TRUE(saved.isFloat());
  for (int y = 0; y < 90; ++y)
    for (int x = 0; x < 160; ++x)
      ASSERT_EQ(std::memcmp(&saved.at<PF_PixelFloat>(x, y), &ref.at<PF_PixelFloat>(x, y), sizeof(PF_PixelFloat)), 0)
          << x << "," << y;
}

// Requests that another site's page could make from the user's browser change nothing; the
// page's own still work.
TEST_F(ServeTest, OnlyThePreviewsOwnPageTalksToIt) {
  Served served(dir, {});
  httplib::Client http("127.0.0.1", served.port);
  const std::string own = "127.0.0.1:" + std::to_string(served.port);
  const std::string controls = http.Get("/api/controls")->body;
  auto post = [&](const std::string& path, const std::string& body, const std::string& type,
                  httplib::Headers headers = {}) {
    return http.Post(path.c_str(), headers, body, type.c_str());
  };
  auto unchanged = [&](const char* what) {
    EXPECT_EQ(http.Get("/api/controls")->body, controls) << what;
    EXPECT_FALSE(fs::exists(dir / "pwn.png")) << what;
  };

  // A name made to resolve to this machine (DNS rebinding): refused whatever it asks.
  const httplib::Headers rebound = {{"Host", "evil.example:" + std::to_string(served.port)}};
  auto read = http.Get("/api/controls", rebound);
  EXPECT_EQ(read->status, 403);
  EXPECT_EQ(read->body.find("Feather"), std::string::npos);
  EXPECT_EQ(std::count(read->body.begin(), read->body.end(), '\n'), 1) << read->body;
  EXPECT_EQ(http.Get("/", rebound)->status, 403);
  EXPECT_EQ(post("/api/controls", R"({"Feather": "77"})", "application/json", rebound)->status, 403);
  EXPECT_EQ(http.Get("/api/controls", {{"Host", "127.0.0.1:1"}})->status, 403);  // another port
  unchanged("foreign Host");

  // A cross-site "simple" request, and the same with a JSON body.
  const httplib::Headers foreign = {{"Origin", "http://evil.example"}};
  EXPECT_EQ(post("/api/controls", R"({"Feather": "77"})", "text/plain", foreign)->status, 403);
  EXPECT_EQ(post("/api/save", R"({"name": "pwn.png"})", "application/json", foreign)->status, 403);
  EXPECT_EQ(post("/api/save", R"({"name": "pwn.png"})", "application/json",
                 {{"Origin", "null"}})->status, 403);
  // Our own origin, but not declared JSON (a form can send that).
  EXPECT_EQ(post("/api/controls", R"({"Feather": "77"})", "text/plain",
                 {{"Origin", "http://" + own}})->status, 415);
  EXPECT_EQ(post("/api/save", "name=pwn.png", "application/x-www-form-urlencoded")->status, 415);
  // No preflight is answered, so a browser never lets a page send more.
  auto preflight = http.Options("/api/controls", {{"Origin", "http://evil.example"},
                                                  {"Access-Control-Request-Method", "POST"}});
  EXPECT_GE(preflight->status, 400);
  EXPECT_FALSE(preflight->has_header("Access-Control-Allow-Origin"));
  unchanged("foreign Origin");

  // The page's own requests, under each name of this machine.
  auto applied = post("/api/controls", R"({"Feather": "77"})", "application/json; charset=utf-8",
                      {{"Origin", "http://" + own}});
  ASSERT_EQ(applied->status, 200) << applied->body;
  EXPECT_EQ(applied->body, Vizmira("params --json --set Feather=77").out);
  const httplib::Headers local = {{"Host", "localhost:" + std::to_string(served.port)},
                                  {"Origin", "http://localhost:" + std::to_string(served.port)}};
  EXPECT_EQ(post("/api/controls", R"({"Feather": "0"})", "application/json", local)->status, 200);
  EXPECT_EQ(http.Get("/api/controls", {{"Host", "[::1]:" + std::to_string(served.port)}})->status,
            200);
}

// Saves never write over the inputs, nor over any file unless asked to, and what they do
// write is whole.
TEST_F(ServeTest, SavesDestroyNothing) {
  ASSERT_EQ(Vizmira("testcard " + P("mask.png") + " --size 40x30").status, 0);
  std::ofstream(P("look.json")) << "{\"Feather\": \"12\"}\n";
  std::ofstream(P("result.png")) << "an older result";
  fs::copy_file(P("card.png"), P("orig.png"));
  vzcli::ServeOptions options;
  options.custom_layer = "mask.png";
  Served served(dir, options);
  httplib::Client http("127.0.0.1", served.port);
  auto post = [&](const char* path, const std::string& body) {
    return http.Post(path, body, "application/json");
  };
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename()] = Bytes(e.path().filename());
  auto unchanged = [&](const char* what) {
    std::map<std::string, std::string> now;
    for (const auto& e : fs::directory_iterator(dir)) now[e.path().filename()] = Bytes(e.path().filename());
    EXPECT_TRUE(now == files) << what;  // the same files, byte for byte, and no others
  };

  // The picture and the custom layer, even when asked to replace them, and by another name.
  for (const char* name : {"card.png", "mask.png", "./card.png", "sub/../card.png"}) {
    const std::string body = std::string(R"({"overwrite": true, "name": ")") + name + "\"}";
    EXPECT_NE(post("/api/save", body)->status, 200) << name;
  }
  EXPECT_EQ(post("/api/save", R"({"name": "card.png", "overwrite": true})")->status, 403);
  EXPECT_EQ(post("/api/settings/save", R"({"name": "mask.png", "overwrite": true})")->status, 400);
  fs::create_symlink("card.png", dir / "alias.png");
  files["alias.png"] = Bytes("alias.png");
  EXPECT_EQ(post("/api/save", R"({"name": "alias.png", "overwrite": true})")->status, 403);
  unchanged("inputs");

  // Settings only as .json; pictures only in a format the writer knows.
  EXPECT_EQ(post("/api/settings/save", R"({"name": "orig.png"})")->status, 400);
  EXPECT_EQ(post("/api/settings/save", R"({"name": "notes.txt"})")->status, 400);
  EXPECT_EQ(post("/api/save", R"({"name": "result.json"})")->status, 400);
  EXPECT_EQ(post("/api/save", R"({"name": "result.nonesuch"})")->status, 400);
  EXPECT_EQ(post("/api/save", R"({"name": "x.png", "overwrite": "yes"})")->status, 400);
  unchanged("formats");

  // An existing file only with "overwrite": true.
  for (const char* path : {"/api/save", "/api/settings/save"}) {
    const std::string name = std::string(path) == "/api/save" ? "result.png" : "look.json";
    auto refused = post(path, "{\"name\": \"" + name + "\"}");
    EXPECT_EQ(refused->status, 409) << path;
    EXPECT_EQ(refused->get_header_value("X-Vizmira-Exists"), name);
    EXPECT_NE(refused->body.find(name), std::string::npos) << refused->body;
    EXPECT_EQ(post(path, "{\"name\": \"" + name + "\", \"overwrite\": false}")->status, 409);
  }
  unchanged("existing files");

  ASSERT_EQ(post("/api/save", R"({"name": "result.png", "overwrite": true})")->status, 200);
  ASSERT_EQ(post("/api/settings/save", R"({"name": "look.json", "overwrite": true})")->status, 200);
  ASSERT_EQ(post("/api/save", R"({"name": "new.tif"})")->status, 200);
  ASSERT_EQ(Vizmira("render " + P("card.png") + " " + P("ref.png") + " --custom-layer " +
                    P("mask.png")).status, 0);
  EXPECT_TRUE(vt::SameImage(vzcli::ReadImage(P("result.png")), vzcli::ReadImage(P("ref.png"))));
  EXPECT_TRUE(vt::SameImage(vzcli::ReadImage(P("new.tif")), vzcli::ReadImage(P("ref.png"))));
  EXPECT_EQ(Bytes("look.json"), http.Get("/api/controls")->body);
  for (const auto& e : fs::directory_iterator(dir))  // no temporary file left behind
    EXPECT_NE(e.path().filename().string().rfind(".vizmira-", 0), 0u) << e.path();
}

// Listening beyond this machine, every request needs the token printed at start: in the
// address, then in the cookie the page gets with it.
TEST_F(ServeTest, ATokenGuardsAPreviewThatListensBeyondThisMachine) {
  vzcli::ServeOptions options;
  options.listen = "0.0.0.0";
  Served served(dir, options);
  const size_t at = served.url.find("/?token=");
  ASSERT_NE(at, std::string::npos) << served.url;
  const std::string token = served.url.substr(at + 8);
  EXPECT_EQ(token.size(), 32u);
  httplib::Client http("127.0.0.1", served.port);
  const std::string controls = Vizmira("params --json").out;

  EXPECT_EQ(http.Get("/")->status, 403);
  EXPECT_EQ(http.Get("/api/controls")->status, 403);
  EXPECT_EQ(http.Get(("/api/controls?token=" + token + "0").c_str())->status, 403);
  EXPECT_EQ(http.Post("/api/controls", R"({"Feather": "77"})", "application/json")->status, 403);
  EXPECT_EQ(http.Get(("/api/controls?token=" + token).c_str())->body, controls);

  auto page = http.Get(("/?token=" + token).c_str());
  ASSERT_EQ(page->status, 200);
  const std::string cookie = page->get_header_value("Set-Cookie");
  ASSERT_NE(cookie.find(token), std::string::npos) << cookie;
  const httplib::Headers with = {{"Cookie", "other=1; " + cookie.substr(0, cookie.find(';'))}};
  EXPECT_EQ(http.Post("/api/controls", with, R"({"Feather": "77"})", "application/json")->status,
            200);
  EXPECT_EQ(http.Get("/api/controls", with)->body, Vizmira("params --json --set Feather=77").out);
  // A token is no pass for another site's page.
  EXPECT_EQ(http.Post("/api/controls", {{"Cookie", with.begin()->second},
                                        {"Origin", "http://evil.example"}},
                      R"({"Feather": "1"})", "application/json")->status, 403);
  // Loopback previews need none.
  EXPECT_TRUE(vzcli::IsLoopback("127.0.0.2"));
  EXPECT_TRUE(vzcli::IsLoopback("::1"));
  EXPECT_TRUE(vzcli::IsLoopback("localhost"));
  EXPECT_FALSE(vzcli::IsLoopback("0.0.0.0"));
  EXPECT_FALSE(vzcli::IsLoopback("192.168.1.5"));
}

}  // namespace
