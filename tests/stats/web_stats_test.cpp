// The statistics web site written from the player files: its pages, the
// escaping of what players chose as nicks, HTML5 validity, and what happens
// to the directory it is written into.
#include "stats/web_stats.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "core/cp1252.h"
#include "stats/score.h"
#include "tests/stats/stats_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::TRecordedMessage;
using TResult = TWebStats::TResult;

std::set<std::string> Entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The strict HTML5 checks of tests/stats/html5_check.py; empty when every
// page passes, else what it found.
std::string Html5Faults(const fs::path& dir) {
  const std::string command = std::string("/usr/bin/python3 ") + KV_SOURCE_DIR +
                              "/tests/stats/html5_check.py '" + dir.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "cannot run the checker";
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = ::pclose(pipe);
  if (status != 0 && out.empty()) out = "checker failed without a message";
  return out;
}

class WebStatsTest : public testing::StatsStoreTest {
 protected:
  void SetUp() override {
    StatsStoreTest::SetUp();
    AddPlayer("Alice", {{"MapsPlayed", TVariant(5)},
                        {"hasKilled", TVariant(3)},
                        {"hasKilled [Bob]", TVariant(2)},
                        {"hasKilled [Ghost]", TVariant(1)},
                        {"wasKilledfrom [bob]", TVariant(4)},
                        {"Clan", TVariant(std::string("<b>&Co\"'"))}});
    AddPlayer("Bob", {{"wasKilled", TVariant(2)}});
    AddPlayer("<script>alert(1)</script>", {{"hasKilled [Alice]", TVariant(1)}});
    AddPlayer("J\xF6rg.x", {{"MapsPlayed", TVariant(1)}});
    AddPlayer("a&lt;b", {{"MapsPlayed", TVariant(1)}});
    AddPlayer("#1 100%", {{"MapsPlayed", TVariant(1)}});
  }
  TResult Generate(const fs::path& dir) { return web_.Generate(dir, options_); }
  std::string Page(const fs::path& dir, const std::string& name) { return ReadFileText(dir / name); }
  std::string CriticalText() {
    global_.Flush();
    for (const TRecordedMessage& m : global_.Messages())
      if (m.level == mlCritical) return m.text;
    return {};
  }

  TWebStats web_{store_};
  TWebStatsOptions options_{.template_dir = home_ / "Data"};
};

TEST_F(WebStatsTest, IndexAndPlayerPagesEscapedAndValid) {
  const fs::path dir = home_ / "www" / "Stats";  // missing parents are made
  ASSERT_EQ(Generate(dir), TResult::Done);
  EXPECT_EQ(Entries(dir),
            (std::set<std::string>{kWebStatsMarker, "index.html", "Alice.html", "Bob.html",
                                   "scriptalert(1)script.html", "Jrgx.html", "a&lt;b.html", "#1100%.html"}));
  EXPECT_TRUE(global_.WaitForText("THistoryUserList.GenerateStats Started"));
  EXPECT_TRUE(global_.WaitForText("THistoryUserList.GenerateStats Done"));

  const std::string index = Page(dir, "index.html");
  EXPECT_NE(index.find("<a href=\"Alice.html\">Alice</a><br>"), std::string::npos) << index;
  EXPECT_NE(index.find("<a href=\"scriptalert(1)script.html\">&lt;script&gt;alert(1)&lt;/script&gt;</a><br>"),
            std::string::npos);
  EXPECT_NE(index.find("<a href=\"Jrgx.html\">J\xC3\xB6rg.x</a><br>"), std::string::npos);  // UTF-8
  EXPECT_NE(index.find("<a href=\"a&amp;lt;b.html\">a&amp;lt;b</a><br>"), std::string::npos);
  EXPECT_NE(index.find("<a href=\"%231100%25.html\">#1 100%</a><br>"), std::string::npos);

  const std::string alice = Page(dir, "Alice.html");
  for (const char* line :
       {"Nick: Alice<br>", "MapsPlayed Value: 5<br>", "Has Killed:  Value: 3<br>",
        "Has Killed: <a href=\"Bob.html\">Bob</a> Value: 2<br>", "Has Killed: hasKilled [Ghost] Value: 1<br>",
        // the victim's page under the index's spelling of his nick
        "Was Killed from: <a href=\"Bob.html\">bob</a> Value: 4<br>",
        "Clan Value: &lt;b&gt;&amp;Co&quot;&#39;<br>"})
    EXPECT_NE(alice.find(line), std::string::npos) << line << "\n" << alice;
  EXPECT_NE(Page(dir, "scriptalert(1)script.html").find("Nick: &lt;script&gt;alert(1)&lt;/script&gt;<br>"),
            std::string::npos);
  for (const auto& name : Entries(dir)) EXPECT_EQ(Page(dir, name).find("<script"), std::string::npos) << name;
  EXPECT_EQ(Html5Faults(dir), "");
  // The checker does find a fault where there is one.
  Write(home_ / "bad" / "bad.html",
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>x</title></head>"
        "<body>Nick: <script>x</script> A&B</body></html>");
  EXPECT_NE(Html5Faults(home_ / "bad"), "");
}

TEST_F(WebStatsTest, OperatorTemplatesFrameThePages) {
  Write(home_ / "Data" / "header-userlist.html", "<!DOCTYPE html>\r\n<html><head><title>Clan</title>\r\n");
  Write(home_ / "Data" / "footer-user.html", "<p>bye</p>\n");
  const fs::path dir = home_ / "Stats";
  ASSERT_EQ(Generate(dir), TResult::Done);
  const std::string index = Page(dir, "index.html");
  EXPECT_EQ(index.rfind("<!DOCTYPE html>\n<html><head><title>Clan</title>\n<a href=", 0), 0u) << index;
  EXPECT_NE(index.find("</body>\n</html>\n"), std::string::npos);  // no footer template: ours
  const std::string bob = Page(dir, "Bob.html");
  EXPECT_EQ(bob.rfind("<!DOCTYPE html>", 0), 0u);  // no header template: ours
  const std::string end = "\nwasKilled Value: 2<br>\n<p>bye</p>\n";
  ASSERT_GT(bob.size(), end.size());
  EXPECT_EQ(bob.substr(bob.size() - end.size()), end) << bob;
}

TEST_F(WebStatsTest, PlayersInUseAppearBeforeTheirFilesAreWritten) {
  // A player who came this session has no file until a purge writes it;
  // one in the cache has values newer than his file.
  auto fresh = std::make_shared<THistoryUserEntry>();
  fresh->player.name = "Newcomer";
  fresh->persistent.SetValue("hasKilled", TVariant(7));
  store_.AddUser(fresh);
  const auto bob = store_.GetUserEntry("Bob");
  ASSERT_TRUE(bob);
  bob->persistent.SetValue("wasKilled", TVariant(9));
  const int cached = store_.CachedCount();
  ASSERT_FALSE(fs::exists(home_ / "Data" / "History" / FileNameOfNick("Newcomer")));

  const fs::path dir = home_ / "Stats";
  ASSERT_EQ(Generate(dir), TResult::Done);
  EXPECT_NE(Page(dir, "index.html").find("Newcomer.html"), std::string::npos);
  EXPECT_NE(Page(dir, "Newcomer.html").find("Has Killed:  Value: 7<br>"), std::string::npos)
      << Page(dir, "Newcomer.html");
  EXPECT_NE(Page(dir, "Bob.html").find("wasKilled Value: 9<br>"), std::string::npos) << Page(dir, "Bob.html");
  EXPECT_EQ(CriticalText(), "");  // no "can not load user"
  EXPECT_EQ(store_.CachedCount(), cached);
  // The rankings read the same way.
  const auto top = TopKillers(store_, 1);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0]->player.name, "Newcomer");
}

TEST_F(WebStatsTest, ForeignDirectoryIsRefusedUntouched) {
  const fs::path mine = home_ / "Documents";
  Write(mine / "thesis.txt", "years of work");
  ASSERT_EQ(Generate(mine), TResult::Failed);
  EXPECT_EQ(Entries(mine), (std::set<std::string>{"thesis.txt"}));
  EXPECT_EQ(ReadFileText(mine / "thesis.txt"), "years of work");
  EXPECT_EQ(Entries(home_), (std::set<std::string>{"Data", "Documents"}));  // nothing left beside it
  EXPECT_EQ(CriticalText().rfind("THistoryUserList.GenerateStats refused: the directory [" + mine.string() +
                                     "] holds files the statistics pages did not write",
                                 0),
            0u)
      << CriticalText();
  EXPECT_TRUE(global_.WaitForText("THistoryUserList.GenerateStats Done"));

  // The home itself, the root and a file are refused as well.
  for (const fs::path& p : {home_.Path(), fs::path("/"), mine / "thesis.txt"})
    EXPECT_EQ(Generate(p), TResult::Failed) << p;
  EXPECT_EQ(ReadFileText(mine / "thesis.txt"), "years of work");
}

TEST_F(WebStatsTest, EarlierGenerationOrEmptyDirectoryIsReplaced) {
  const fs::path dir = home_ / "Stats";
  fs::create_directories(dir);
  ASSERT_EQ(Generate(dir), TResult::Done);  // empty: taken
  Write(dir / "stale.html", "old");
  store_.DelUser("Bob");
  ASSERT_EQ(Generate(dir), TResult::Done);
  const auto names = Entries(dir);
  EXPECT_EQ(names.count("stale.html"), 0u);
  EXPECT_EQ(names.count("Bob.html"), 0u);
  EXPECT_EQ(names.count("Alice.html"), 1u);
  EXPECT_EQ(names.count(kWebStatsMarker), 1u);
  // No link to the player who is gone.
  EXPECT_NE(Page(dir, "Alice.html").find("Has Killed: hasKilled [Bob] Value: 2<br>"), std::string::npos);
  EXPECT_EQ(Entries(home_), (std::set<std::string>{"Data", "Stats"}));

  // Through a link, the link stays and its target gets the pages.
  const fs::path link = home_ / "public";
  fs::create_directory_symlink(dir, link);
  ASSERT_EQ(Generate(link), TResult::Done);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Entries(link).count("Alice.html"), 1u);
  EXPECT_EQ(CriticalText(), "");
}

TEST_F(WebStatsTest, SecondCallWhileRunningReturnsAtOnce) {
  const fs::path dir = home_ / "Stats", other = home_ / "Other";
  TResult second = TResult::Done;
  options_.progress_every = 1;
  options_.progress = [&](const std::string&) {
    if (second == TResult::Done) second = Generate(other);
  };
  ASSERT_EQ(Generate(dir), TResult::Done);
  EXPECT_EQ(second, TResult::Busy);
  EXPECT_FALSE(fs::exists(other));
  EXPECT_EQ(global_.CountText("THistoryUserList.GenerateStats Started"), 1u);
  EXPECT_FALSE(web_.Busy());
}

TEST_F(WebStatsTest, CancelledGenerationLeavesThePreviousSite) {
  const fs::path dir = home_ / "Stats";
  ASSERT_EQ(Generate(dir), TResult::Done);
  const std::string before = Page(dir, "index.html");
  AddPlayer("Zed", {{"MapsPlayed", TVariant(1)}});
  int asked = 0;
  options_.cancelled = [&] { return ++asked > 3; };
  EXPECT_EQ(Generate(dir), TResult::Failed);
  EXPECT_EQ(Page(dir, "index.html"), before);
  EXPECT_EQ(Entries(home_), (std::set<std::string>{"Data", "Stats"}));
}

}  // namespace
}  // namespace kv
