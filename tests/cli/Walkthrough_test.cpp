// The README's "Setting up a clinic" walkthrough, run as written: its commands are taken from
// the README (not copied here) and run by /bin/sh with tavo-cli on the PATH, against the real
// server on a fresh SQLite database. After each step the test checks, from what the step
// itself says, the database rows, the event log's audit entries and what a connected display
// receives.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "CliFixture.h"

namespace tavo {
namespace {

using test::W;

// The commands of the first sh block of the README's section "Setting up a clinic".
std::vector<std::string> WalkthroughCommands() {
  std::ifstream readme(std::string(TAVO_SOURCE_DIR) + "/README.md");
  std::vector<std::string> commands;
  std::string line;
  bool inSection = false, inBlock = false;
  while (std::getline(readme, line)) {
    if (line.rfind("## ", 0) == 0) {
      if (inSection) break;
      inSection = line == "## Setting up a clinic";
      continue;
    }
    if (!inSection) continue;
    if (!inBlock) {
      inBlock = line == "```sh";
      continue;
    }
    if (line == "```") break;
    commands.push_back(line);
  }
  return commands;
}

// The words of a command line as the shell sees them.
std::vector<std::string> ShellWords(const std::string& line) {
  auto r = test::RunProgram({"/bin/sh", "-c", "printf '%s\\0' " + line});
  std::vector<std::string> words;
  std::string word;
  for (char c : r.Out) {
    if (c == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

std::optional<std::string> Option(const std::vector<std::string>& w, const std::string& name) {
  for (size_t i = 0; i + 1 < w.size(); ++i)
    if (w[i] == name) return w[i + 1];
  return std::nullopt;
}

// Colour texts as the client programs store them: red in the low byte.
int32_t Colour(const std::string& text) {
  if (text.size() == 7 && text[0] == '#') {
    const int32_t rgb = static_cast<int32_t>(std::stol(text.substr(1), nullptr, 16));
    return ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
  }
  const std::map<std::string, int32_t> named = {{"black", 0},        {"red", 0x0000FF},
                                                {"green", 0x008000}, {"lime", 0x00FF00},
                                                {"blue", 0xFF0000},  {"navy", 0x800000},
                                                {"yellow", 0x00FFFF}, {"white", 0xFFFFFF}};
  auto it = named.find(text);
  if (it == named.end()) ADD_FAILURE() << "the test knows no colour " << text;
  return it == named.end() ? -1 : it->second;
}

// One resource part of a CURRENTLIST: its number, its position, its callers' numbers.
struct TShown {
  int32_t Lopnr = 0, Position = 0;
  std::vector<std::string> Callers;
};

// The resource parts of the last whole CURRENTLIST in the text.
std::optional<std::vector<TShown>> LastCurrentList(const std::string& text) {
  const std::string open = W("¤CURRENTLIST:"), close = W("CURRENTLIST¤");
  const size_t end = text.rfind(close);
  if (end == std::string::npos) return std::nullopt;
  const size_t begin = text.rfind(open, end);
  if (begin == std::string::npos) return std::nullopt;
  std::string payload = text.substr(begin + open.size(), end - begin - open.size());
  std::vector<TShown> parts;
  const std::string partEnd = W("%¤:"), callers = W(":¤%");
  for (size_t pos = 0, stop; (stop = payload.find(partEnd, pos)) != std::string::npos;
       pos = stop + partEnd.size()) {
    const std::string part = payload.substr(pos, stop - pos);
    const size_t head = part.find(callers);
    std::vector<std::string> f;
    std::stringstream fields(part.substr(0, head));
    for (std::string x; std::getline(fields, x, ':');) f.push_back(x);
    TShown shown{std::stoi(f.at(1)), std::stoi(f.at(3)), {}};
    std::vector<std::string> c;
    std::stringstream callerFields(part.substr(head + callers.size()));
    for (std::string x; std::getline(callerFields, x, '~');) c.push_back(x);
    for (size_t i = 1; i < c.size(); i += 7) shown.Callers.push_back(c[i]);
    parts.push_back(shown);
  }
  return parts;
}

class TavoCliWalkthrough : public ::testing::Test {
 protected:
  void SetUp() override {
    seeded.Start();  // no database file yet: the server makes it
    ASSERT_EQ(::symlink(TAVO_CLI_EXE, (bin.Path() / "tavo-cli").c_str()), 0);
  }
  void TearDown() override { EXPECT_EQ(seeded.server.Stop(), 0) << seeded.server.EventLog(); }

  std::unique_ptr<TQuery> Rows(const std::string& sql, const TSqlParams& params = {}) {
    TSqliteDatabase db(seeded.server.ProgramDir() / "TAVO.sqlite");
    return db.Open(sql, params);
  }
  int32_t StationNumber(const std::string& name) {
    auto r = Rows("SELECT LOPNR FROM STATIONS WHERE STATIONNAME = ?", {SqlText(W(name))});
    EXPECT_FALSE(r->Eof()) << "no station " << name;
    return r->AsInteger("LOPNR");
  }
  int32_t ResourceNumber(const std::string& name) {
    auto r = Rows("SELECT LOPNR FROM CALLABLES WHERE CALLNAME = ?", {SqlText(W(name))});
    EXPECT_FALSE(r->Eof()) << "no resource " << name;
    return r->AsInteger("LOPNR");
  }
  int32_t CancelResource() {
    return Rows("SELECT INTEGERVALUE FROM SETTINGS WHERE NYCKELNAMN = 'AVBRYTCALLNAME'")
        ->AsInteger("INTEGERVALUE");
  }
  // What the display shows by the database: its active listed resources, less the cancel one.
  std::set<std::pair<int32_t, int32_t>> ExpectedShown(const std::string& display) {
    std::set<std::pair<int32_t, int32_t>> shown;
    auto r = Rows(
        "SELECT CALLLIST.CALLABLESLOPNR AS R, CALLLIST.IXLOPNR AS IX FROM CALLLIST, CALLABLES "
        "WHERE CALLLIST.STATIONSLOPNR = ? AND CALLLIST.CALLABLESLOPNR = CALLABLES.LOPNR AND "
        "CALLABLES.AKTIV = 'T'",
        {SqlInt(StationNumber(display))});
    for (; !r->Eof(); r->Next())
      if (r->AsInteger("R") != CancelResource()) shown.insert({r->AsInteger("R"), r->AsInteger("IX")});
    return shown;
  }
  void ExpectLogged(const std::string& entry) {
    EXPECT_TRUE(seeded.server.WaitForLog(entry, 5000)) << "no event-log entry: " << entry;
  }
  // The display's next CURRENTLIST matches the database; returns its parts.
  std::vector<TShown> ExpectShown(const std::string& display) {
    auto& c = *displays.at(display);
    EXPECT_TRUE(c.WaitFor(W("CURRENTLIST¤"))) << display << " got no list: " << c.Received();
    auto parts = LastCurrentList(c.Received());
    std::set<std::pair<int32_t, int32_t>> got;
    if (parts)
      for (auto& p : *parts) got.insert({p.Lopnr, p.Position});
    EXPECT_EQ(got, ExpectedShown(display)) << display;
    return parts ? *parts : std::vector<TShown>{};
  }

  void CheckStep(const std::vector<std::string>& w, const test::TCliRun& run);

  test::TSeededServer seeded;
  test::TTempDir bin;
  std::map<std::string, std::unique_ptr<test::TLoopbackClient>> displays;
  const std::string password = "walkthrough-Lösen";
};

void TavoCliWalkthrough::CheckStep(const std::vector<std::string>& w, const test::TCliRun& run) {
  const std::set<std::string> verbs = {"add", "set", "rm", "show", "get"};
  const std::string command = w.at(1) + (w.size() > 2 && verbs.count(w[2]) ? " " + w[2] : "");
  if (command == "clinic-name") {
    TRegistryStore reg(seeded.server.RegistryFile());
    EXPECT_EQ(reg.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName"), W(w.at(2)));
    ExpectLogged("SETINITEXT: clinic name set to \"" + w.at(2) + "\"");
  } else if (command == "station add") {
    const std::string name = w.at(3);
    auto row = Rows("SELECT * FROM STATIONS WHERE STATIONNAME = ?", {SqlText(W(name))});
    ASSERT_FALSE(row->Eof()) << name;
    const std::string type = Option(w, "--type").value_or("call");
    const std::map<std::string, int> types = {{"call", 0}, {"display", 1}, {"admin", 2}, {"hardware", 3}};
    EXPECT_EQ(row->AsInteger("STATIONTYPE"), types.at(type));
    EXPECT_EQ(row->AsString("FRIENDLYNAME"), W(Option(w, "--friendly").value_or(name)));
    EXPECT_EQ(row->AsInteger("NAMECOLOUR"), Colour(Option(w, "--colour").value_or("black")));
    ExpectLogged("REGISTERUPATEMACHINE: station " + std::to_string(row->AsInteger("LOPNR")) +
                 " created, requested from 127.0.0.1");
    if (type == "display") {
      // Signed on from now on; a display without a list shows nothing, and is told so.
      EXPECT_NE(run.Err.find("display " + name + " has no resource list"), std::string::npos) << run.Err;
      auto c = std::make_unique<test::TLoopbackClient>(seeded.Port());
      c->Send("#DATASTART#" + W("¤GETCALLLIST:" + name + ":1:GETCALLLIST¤") + "#DATAEND#");
      displays[name] = std::move(c);
      EXPECT_TRUE(ExpectShown(name).empty());
    }
  } else if (command == "resource add") {
    auto row = Rows("SELECT * FROM CALLABLES WHERE CALLNAME = ?", {SqlText(W(w.at(3)))});
    ASSERT_FALSE(row->Eof()) << w.at(3);
    EXPECT_EQ(row->AsString("FULLNAME"), W(Option(w, "--full").value_or(w.at(3))));
    EXPECT_EQ(row->AsInteger("NAMECOLOUR"), Colour(Option(w, "--colour").value_or("black")));
    const auto sms = Option(w, "--sms");
    EXPECT_EQ(row->AsInteger("SENDSMS"), sms ? 1 : 0);
    EXPECT_EQ(row->AsString("SMSNUMMER"), sms.value_or(""));
    EXPECT_EQ(row->AsString("AKTIV"), "T");
    ExpectLogged("REGISTERUPATECALLABLE: resource " + std::to_string(row->AsInteger("LOPNR")) +
                 " created, requested from 127.0.0.1");
  } else if (command == "list set") {
    const std::string station = w.at(3);
    auto rows = Rows("SELECT CALLABLESLOPNR, IXLOPNR FROM CALLLIST WHERE STATIONSLOPNR = ? ORDER BY IXLOPNR",
                     {SqlInt(StationNumber(station))});
    for (size_t i = 4; i < w.size(); ++i, rows->Next()) {
      ASSERT_FALSE(rows->Eof()) << station << " lacks " << w[i];
      EXPECT_EQ(rows->AsInteger("CALLABLESLOPNR"), ResourceNumber(w[i]));
      EXPECT_EQ(rows->AsInteger("IXLOPNR"), static_cast<int32_t>(i - 4));
    }
    EXPECT_TRUE(rows->Eof()) << station << " lists more than given";
    ExpectLogged("POSTCALLABLESLIST: list of station " + std::to_string(StationNumber(station)) +
                 " replaced, requested from 127.0.0.1");
    if (displays.count(station)) EXPECT_FALSE(ExpectShown(station).empty());
  } else if (command == "cancel-resource") {
    EXPECT_EQ(CancelResource(), ResourceNumber(w.at(2)));
    ExpectLogged("SETINITEXT: cancel resource " + std::to_string(CancelResource()) + " set");
    // Every display is sent its list again, without the cancel resource.
    for (auto& [name, c] : displays)
      for (auto& part : ExpectShown(name)) EXPECT_NE(part.Lopnr, CancelResource());
  } else if (command == "sms-account set") {
    auto setting = [&](const std::string& key) {
      return Rows("SELECT * FROM SETTINGS WHERE NYCKELNAMN = ?", {SqlText(key)});
    };
    EXPECT_EQ(setting("SMSUSERNAME")->AsString("STRINGVALUE"), W(Option(w, "--user").value_or("")));
    EXPECT_EQ(setting("SMSKUNDNR")->AsInteger("INTEGERVALUE"), std::stoi(Option(w, "--customer").value_or("0")));
    const std::string stored = setting("SMSPASSWORD")->AsString("STRINGVALUE");
    EXPECT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("walkthrough"), std::string::npos);
    EXPECT_EQ(run.Out.find(password), std::string::npos);
    ExpectLogged("POSTSMSSETTINGS: SMS account set to user");
  } else if (command == "stations" || command == "resources" || command == "list") {
    // Read only; a display the database gives no list is named.
    for (auto& [name, c] : displays) {
      auto listed = Rows("SELECT COUNT(*) AS N FROM CALLLIST WHERE STATIONSLOPNR = ?",
                         {SqlInt(StationNumber(name))});
      EXPECT_EQ(run.Err.find("display " + name + " has no resource list") != std::string::npos,
                listed->AsInteger("N") == 0)
          << run.Err;
    }
  } else if (command == "test-call") {
    const int32_t station = StationNumber(w.at(2));
    const int32_t resource = ResourceNumber(w.at(3));
    auto log = Rows("SELECT * FROM CALLLOG WHERE STATIONSLOPNR = ? AND CALLABLESLOPNR = ? ORDER BY LOPNR DESC",
                    {SqlInt(station), SqlInt(resource)});
    ASSERT_FALSE(log->Eof());
    EXPECT_FALSE(log->IsNull("CONFIRMTSTAMP"));
    // The display saw the call come, then go.
    auto& c = *displays.at(w.at(4));
    EXPECT_TRUE(c.WaitFor(W("CURRENTLIST¤")));
    bool sawCall = false;
    std::string text = c.Received();
    for (size_t at = 0; (at = text.find(W("CURRENTLIST¤"), at)) != std::string::npos; ++at) {
      auto parts = LastCurrentList(text.substr(0, at + W("CURRENTLIST¤").size()));
      for (auto& p : parts.value_or(std::vector<TShown>{}))
        for (auto& caller : p.Callers) sawCall |= p.Lopnr == resource && caller == std::to_string(station);
    }
    EXPECT_TRUE(sawCall) << c.Received();
    for (auto& p : ExpectShown(w.at(4))) EXPECT_TRUE(p.Callers.empty());
  } else {
    ADD_FAILURE() << "the walkthrough has a step this test cannot check: " << command;
  }
}

TEST_F(TavoCliWalkthrough, RunsAsWrittenFromAnEmptyDatabaseToATestCall) {
  const auto commands = WalkthroughCommands();
  ASSERT_GE(commands.size(), 5u) << "no walkthrough in README.md";
  const char* path = std::getenv("PATH");
  const test::TCliInput env{password + "\n",
                            {{"PATH", bin.Path().string() + ":" + (path ? path : "/usr/bin:/bin")},
                             {"TAVO_PORT", std::to_string(seeded.Port())}}};
  std::string last;
  for (const std::string& line : commands) {
    SCOPED_TRACE(line);
    ASSERT_EQ(line.rfind("tavo-cli ", 0), 0u) << "a walkthrough line that is no tavo-cli command";
    const auto words = ShellWords(line);
    ASSERT_GE(words.size(), 2u);
    for (auto& [name, c] : displays) c->Take();
    const auto run = test::RunProgram({"/bin/sh", "-c", line}, 60000, env);
    ASSERT_EQ(run.Exit, 0) << run.Out << run.Err;
    CheckStep(words, run);
    last = words[1];
  }
  EXPECT_EQ(last, "test-call") << "the walkthrough ends with a call that reached a display";
}

}  // namespace
}  // namespace tavo
