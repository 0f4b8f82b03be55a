#include "core/commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "app/processes.h"
#include "app/service.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(CommandLine, SplitsTheTerminalsWay) {
  struct TCase {
    std::string line, name, args;
  };
  const TCase cases[] = {
      {"", "", ""},
      {" \t  ", "", ""},
      {"\r", "", ""},
      {"START", "start", ""},
      {"  say   meet  at B  ", "say", "meet  at B"},  // inner blanks kept, trailing spaces not
      {"say\thello\r", "say", "hello"},
      {"rcon status\t", "rcon", "status\t"},  // only spaces and carriage returns are trimmed at the end
      {"SETUP Export my file", "setup", "Export my file"},
      {"\xC4rger x", "\xC4rger", "x"},  // only ASCII letters change case
  };
  for (const TCase& c : cases) {
    const TCommandLine parsed = ParseCommandLine(c.line);
    EXPECT_EQ(parsed.name, c.name) << c.line;
    EXPECT_EQ(parsed.args, c.args) << c.line;
  }
}

// A table of test commands whose handlers note the thread they ran on.
class CommandTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_.StartThread();
    const auto noting = [this](const TCommandContext&, const std::string& args) {
      ran_on_ = std::this_thread::get_id();
      on_loop_ = loop_.IsLoopThread();
      return TCommandResult{true, {{"args", args}}, "ran " + args};
    };
    table_.Add(
        {.name = "loop", .help = "on the loop", .thread = TCommandThread::MainLoop, .handler = noting});
    table_.Add({.name = "here",
                .args = "TEXT",
                .thread = TCommandThread::Caller,
                .needs_args = true,
                .handler = noting});
    table_.Add({.name = "aside",
                .args = "[x]",
                .thread = TCommandThread::Background,
                .right = "rcon",
                .handler = noting});
    table_.Add({.name = "pick",
                .args = "a|b",
                .usage = "pick a | pick b",
                .thread = TCommandThread::Caller,
                .handler = [](const TCommandContext&, const std::string& args) -> TCommandResult {
                  if (args != "a" && args != "b") throw ECommandUsage();
                  if (args == "b") throw std::runtime_error("b is \xE4rger");  // Windows-1252 text
                  return {};
                }});
  }
  TCommandResult Run(const std::string& line, const TCommandContext& context = {}) {
    return table_.RunLine(context, line);
  }

  TMainLoop loop_;
  TCommandTable table_{loop_};
  std::thread::id ran_on_;
  bool on_loop_ = false;
};

TEST_F(CommandTableTest, UnknownCommandsUsageErrorsRightsAndFailuresAreResults) {
  struct TCase {
    std::string line, text, error;
  };
  const TCase cases[] = {
      {"frob x", "unknown command 'frob' (loop, here TEXT, aside [x], pick a|b)", "unknown command"},
      {"\xE4h", "unknown command '\xC3\xA4h' (loop, here TEXT, aside [x], pick a|b)", "unknown command"},
      {"here", "usage: here TEXT", "usage"},          // missing arguments: the handler is not called
      {"pick c", "usage: pick a | pick b", "usage"},  // the handler refuses them
      {"pick b", "'pick' failed: b is \xC3\xA4rger", "b is \xC3\xA4rger"},
  };
  for (const TCase& c : cases) {
    const TCommandResult r = Run(c.line);
    EXPECT_FALSE(r.ok) << c.line;
    EXPECT_EQ(r.text, c.text) << c.line;
    EXPECT_EQ(r.data.value("error", ""), c.error) << c.line;
  }
  EXPECT_EQ(ran_on_, std::thread::id());
  EXPECT_EQ(Run("  ").text, "");

  // A caller without the entry's right is refused; one with it is served.
  TCommandContext remote{"remote:ann", [](const std::string& right) { return right == "say"; }};
  const TCommandResult refused = Run("aside", remote);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.text, "'aside' needs the right 'rcon'");
  EXPECT_EQ(ran_on_, std::thread::id());
  EXPECT_TRUE(Run("loop", remote).ok);  // needs no right

  EXPECT_THROW(table_.Add({.name = "loop", .handler = [](auto&, auto&) { return TCommandResult{}; }}),
               std::logic_error);
  EXPECT_THROW(table_.Add({.name = "Big", .handler = [](auto&, auto&) { return TCommandResult{}; }}),
               std::logic_error);
  EXPECT_THROW(table_.Add({.name = "none"}), std::logic_error);
}

TEST_F(CommandTableTest, EachHandlerRunsOnTheThreadItsEntryNames) {
  const auto self = std::this_thread::get_id();
  EXPECT_EQ(Run("loop 1").text, "ran 1");
  EXPECT_TRUE(on_loop_);
  EXPECT_NE(ran_on_, self);
  EXPECT_EQ(Run("here 2").text, "ran 2");
  EXPECT_EQ(ran_on_, self);
  EXPECT_EQ(Run("aside 3").text, "ran 3");  // not on the loop: at once
  EXPECT_EQ(ran_on_, self);

  // From the loop, a main-loop command runs inline and a background one
  // beside the loop, which keeps serving meanwhile.
  std::thread::id loop_thread;
  TCommandResult inline_result;
  ASSERT_TRUE(loop_.Invoke([&] {
    loop_thread = std::this_thread::get_id();
    inline_result = Run("loop 4");
  }));
  EXPECT_EQ(inline_result.text, "ran 4");
  EXPECT_EQ(ran_on_, loop_thread);
  table_.Add({.name = "needs-loop",
              .thread = TCommandThread::Background,
              .handler = [this](const TCommandContext&, const std::string&) {
                ran_on_ = std::this_thread::get_id();
                on_loop_ = loop_.IsLoopThread();
                auto served = std::make_shared<std::promise<void>>();
                loop_.Post([served] { served->set_value(); });
                const bool ok = served->get_future().wait_for(5s) == std::future_status::ready;
                return TCommandResult{ok, {}, ok ? "the loop served" : "the loop was blocked"};
              }});
  TCommandResult beside;
  ASSERT_TRUE(loop_.Invoke([&] { beside = Run("needs-loop"); }));
  EXPECT_EQ(beside.text, "the loop served");
  EXPECT_FALSE(on_loop_);
  EXPECT_NE(ran_on_, loop_thread);

  loop_.Stop();
  const TCommandResult late = Run("loop 5");
  EXPECT_FALSE(late.ok);
  EXPECT_EQ(late.text, "Kelvandrome is going down: 'loop' was not run");
}

TEST(CommandJson, RendersAResultAsOneObjectOfValidUtf8) {
  const TCommandResult r{false, {{"pids", {1, 2}}}, "bad \xFF byte"};
  const auto j = nlohmann::json::parse(CommandResultJson("plink", r));
  EXPECT_EQ(j.at("command"), "plink");
  EXPECT_EQ(j.at("ok"), false);
  EXPECT_EQ(j.at("data").at("pids"), nlohmann::json({1, 2}));
  EXPECT_EQ(j.at("text"), "bad \xEF\xBF\xBD byte");
}

class TFakeTable : public TProcessTable {
 public:
  std::vector<TProcessInfo> List() const override { return rows; }
  std::vector<TProcessInfo> rows;
};

// The service's own commands through the table, as JSON.
class ServiceCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::temp_directory_path() / ("kvcmd-" + std::to_string(::getpid()));
    fs::remove_all(home_);
    service_ = std::make_unique<TKelvandromeService>(TServiceOptions{home_.string(), nullptr});
    service_->Open();
    loop_ = std::thread([this] { service_->Run(); });
  }
  void TearDown() override {
    SetProcessTable(nullptr);
    service_->RequestStop();
    loop_.join();
    service_->Close();
    service_.reset();
    fs::remove_all(home_);
  }
  nlohmann::json Json(const std::string& line) {
    const TCommandLine parsed = ParseCommandLine(line);
    return nlohmann::json::parse(
        CommandResultJson(parsed.name, service_->Commands().Run({}, parsed.name, parsed.args)));
  }

  fs::path home_;
  std::unique_ptr<TKelvandromeService> service_;
  std::thread loop_;
};

TEST_F(ServiceCommandsTest, StatusAndPlinkGiveTheirDataBesideTheText) {
  auto status = Json("status");
  EXPECT_EQ(status.at("text"), "Kelvandrome stopped");
  EXPECT_EQ(status.at("data").at("running"), false);
  EXPECT_EQ(status.at("data").at("restart_pending"), false);
  service_->StartService();
  status = Json("status");
  EXPECT_EQ(status.at("text"), "Kelvandrome running");
  EXPECT_EQ(status.at("data").at("running"), true);
  EXPECT_EQ(Json("stop").at("data"), nlohmann::json({{"running", false}, {"status", "Kelvandrome stopped"}}));

  TFakeTable table;
  table.rows = {{4242, ::getuid(), "plink", {"plink", (home_ / "Temp" / "ssh.log").string()}},
                {4343, ::getuid(), "bash", {"bash", (home_ / "Temp" / "ssh.log").string()}}};
  SetProcessTable(&table);
  const auto plink = Json("plink");
  EXPECT_EQ(plink.at("ok"), true);
  EXPECT_EQ(plink.at("text"), "Found plink zombies, kill them ? (processes 4242; 'plink kill' ends them)");
  EXPECT_EQ(plink.at("data"), nlohmann::json({{"pids", {4242}}, {"killed", false}}));
  table.rows.clear();  // nothing real may be signalled
  const auto killed = Json("plink kill");
  EXPECT_EQ(killed.at("text"), "ended 0 plink process(es)");
  EXPECT_EQ(killed.at("data"), nlohmann::json({{"pids", nlohmann::json::array()}, {"killed", true}}));
  EXPECT_EQ(Json("plink").at("text"), "no plink zombies found");
}

TEST_F(ServiceCommandsTest, TheTerminalListsTheTableAndHelpDescribesIt) {
  EXPECT_EQ(
      service_->TerminalCommand("frobnicate"),
      "unknown command 'frobnicate' (start, stop, status, save, load, setup export|import FILE, say TEXT, "
      "rcon COMMAND, plink [kill], kick N [MESSAGE], ban add|list|del ..., players, history NICK, skins [add SKIN], "
      "eventmessages, triggers, weaponbans, score NICK, webstats, config list|show|apply|cancel ..., "
      "account add|password|del|list|rights ..., quit, help)");
  EXPECT_EQ(service_->TerminalCommand("rcon"), "usage: rcon COMMAND");
  const std::string help = service_->TerminalCommand("HELP");
  std::istringstream lines(help);
  std::string line;
  for (const TCommand& c : service_->Commands().Commands()) {
    ASSERT_TRUE(std::getline(lines, line)) << help;
    EXPECT_EQ(line.rfind(c.Synopsis() + "  ", 0), 0u) << line;
    EXPECT_NE(line.find(c.help), std::string::npos) << line;
  }
  const auto described = Json("help").at("data").at("commands");
  ASSERT_EQ(described.size(), service_->Commands().Commands().size());
  EXPECT_EQ(described.at(7), nlohmann::json({{"name", "rcon"},
                                             {"args", "COMMAND"},
                                             {"usage", "usage: rcon COMMAND"},
                                             {"help", "send one console command and print the reply"},
                                             {"thread", "background"},
                                             {"right", "rcon"}}));
}

// README.md's command table names the same commands, in the same order.
TEST(ServiceCommands, TheReadmeListsEveryCommandOfTheTable) {
  std::ifstream readme(std::string(KV_SOURCE_DIR) + "/README.md");
  ASSERT_TRUE(readme) << KV_SOURCE_DIR;
  std::vector<std::string> documented;
  bool in_table = false;
  for (std::string line; std::getline(readme, line);) {
    if (line == "| command | what it does |") {
      in_table = true;
    } else if (in_table && line.rfind("| `", 0) == 0) {
      const std::string name = line.substr(3, line.find_first_of(" `", 3) - 3);
      if (documented.empty() || documented.back() != name) documented.push_back(name);
    } else if (in_table && line.rfind("|", 0) != 0) {
      break;
    }
  }
  // The parts of the service add their commands when it opens.
  testing::TTempHome home;
  TKelvandromeService service({home.Path().string(), nullptr});
  service.Open();
  std::vector<std::string> names;
  for (const TCommand& c : service.Commands().Commands()) names.push_back(c.name);
  service.Close();
  EXPECT_EQ(documented, names);
}

}  // namespace
}  // namespace kv
