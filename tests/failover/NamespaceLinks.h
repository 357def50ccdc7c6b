// A network namespace the test makes for one server, with two links to the machine: "db", over
// which that server reaches PostgreSQL, and "lan", over which the floating address and the other
// server reach it. Cutting the db link pulls its cable: packets are lost, nothing is refused.
// Everything is removed with the object.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavo::test {

class TNamespaceLinks {
 public:
  // Throws std::runtime_error naming the command the machine refused.
  TNamespaceLinks() {
    const int id = static_cast<int>(getpid() % 100000);
    name_ = "tavo-fo-" + std::to_string(id);
    dbRoot_ = "tfd" + std::to_string(id) + "r";
    const std::string dbNs = "tfd" + std::to_string(id) + "n";
    const std::string lanRoot = "tfl" + std::to_string(id) + "r", lanNs = "tfl" + std::to_string(id) + "n";
    const std::string net = "169.254." + std::to_string(id % 250 + 1) + ".";
    dbHost_ = net + "1";
    lanHost_ = net + "5";
    inside_ = net + "6";
    Run("ip netns add " + name_);
    made_ = true;
    Run("ip link add " + dbRoot_ + " type veth peer name " + dbNs);
    Run("ip link add " + lanRoot + " type veth peer name " + lanNs);
    Run("ip link set " + dbNs + " netns " + name_);
    Run("ip link set " + lanNs + " netns " + name_);
    Run("ip addr add " + dbHost_ + "/30 dev " + dbRoot_);
    Run("ip addr add " + lanHost_ + "/30 dev " + lanRoot);
    Run("ip -n " + name_ + " addr add " + net + "2/30 dev " + dbNs);
    Run("ip -n " + name_ + " addr add " + inside_ + "/30 dev " + lanNs);
    for (const std::string& dev : {dbRoot_, lanRoot}) Run("ip link set " + dev + " up");
    for (const std::string& dev : {std::string("lo"), dbNs, lanNs}) Run("ip -n " + name_ + " link set " + dev + " up");
  }
  ~TNamespaceLinks() {
    // Removing the namespace removes the veth pairs with it.
    if (made_ && std::system(("ip netns del " + name_ + " 2>/dev/null").c_str()) != 0) {
    }
  }
  TNamespaceLinks(const TNamespaceLinks&) = delete;
  TNamespaceLinks& operator=(const TNamespaceLinks&) = delete;

  // The machine's end of the db link (PostgreSQL listens there too).
  const std::string& DbHost() const { return dbHost_; }
  // The machine's end of the lan link, and the namespace's.
  const std::string& LanHost() const { return lanHost_; }
  const std::string& Inside() const { return inside_; }
  std::vector<std::string> Launcher() const { return {IpPath(), "netns", "exec", name_}; }

  void CutDatabaseLink() { Run("ip link set " + dbRoot_ + " down"); }
  void RestoreDatabaseLink() { Run("ip link set " + dbRoot_ + " up"); }

 private:
  static std::string IpPath() {
    for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
      if (access(p, X_OK) == 0) return p;
    return "ip";
  }
  static void Run(const std::string& cmd) {
    if (std::system((cmd + " 2>/dev/null").c_str()) != 0) throw std::runtime_error("refused: " + cmd);
  }

  std::string name_, dbRoot_, dbHost_, lanHost_, inside_;
  bool made_ = false;
};

}  // namespace tavo::test
