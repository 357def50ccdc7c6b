// Helpers of the SMS tests: a child process, certificates made with the openssl command, the
// HTTPS test gateway (gateway.py) and a tinyproxy on loopback, and the shared objects a
// dispatch holds.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Registry.h"
#include "sms/GatewayState.h"
#include "sms/SMSAccount.h"
#include "support/LoopbackClient.h"
#include "support/TestSupport.h"

namespace tavo::test {

namespace fs = std::filesystem;

// A program run for the length of a test; stopped with SIGTERM when the object goes.
class TChildProcess {
 public:
  TChildProcess(const std::vector<std::string>& argv, const fs::path& outputFile) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~TChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  bool Running() const {
    int status = 0;
    return waitpid(pid_, &status, WNOHANG) == 0;
  }

 private:
  pid_t pid_ = -1;
};

// A loopback port that was free a moment ago.
inline int FreeLoopbackPort() { return FreePort(); }

// True when something accepts connections on the loopback port now.
inline bool CanConnect(int port) {
  TLoopbackClient c;
  return c.Connect(static_cast<uint16_t>(port), 0);
}

// A loopback port that accepts connections (the kernel completes them) and never answers, as a
// gateway that hangs.
class TSilentListener {
 public:
  TSilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no silent listener");
    port_ = ntohs(a.sin_port);
  }
  ~TSilentListener() { close(fd_); }
  TSilentListener(const TSilentListener&) = delete;
  TSilentListener& operator=(const TSilentListener&) = delete;
  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A self-signed certificate made with the openssl command.
struct TCertificate {
  fs::path Cert, Key;
};

inline TCertificate MakeCertificate(const fs::path& dir, const std::string& name,
                                    const std::string& subjectAltName) {
  TCertificate c{dir / (name + ".crt"), dir / (name + ".key")};
  std::string cmd =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
      " -days 2 -subj /CN=tavo-test-" +
      name + " -addext subjectAltName=" + subjectAltName + " -keyout '" + c.Key.string() +
      "' -out '" + c.Cert.string() + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl could not make " + name);
  return c;
}

// One recorded request of the test gateway.
struct TGatewayRequest {
  std::string Method, Path, UserAgent, Authorization, ContentType, Accept, Cookie;
  fs::path BodyFile;
};

struct TGatewayOptions {
  std::string ConnectBody;  // empty: the default answer with the marker
  int ConnectStatus = 200;
  std::string PostBody;  // empty: the default answer with the marker
  int PostStatus = 200;
  int GetStatus = 0;  // non-zero: every download is answered with it
  std::string Auth;   // expected Authorization header
  std::string SetCookie;
  fs::path Files;
  int Port = 0;          // 0: any free port
  double PostDelay = 0;  // seconds before each upload's answer
  int StallPosts = 0;    // the first uploads that are taken and never answered
};

class TTestGateway {
 public:
  TTestGateway(const fs::path& dir, const TCertificate& cert, const TGatewayOptions& o = {})
      : dir_(dir) {
    fs::create_directories(dir_);
    fs::remove(dir_ / "port");
    std::vector<std::string> argv = {TAVO_PYTHON3,
                                     TAVO_SOURCE_DIR "/tests/sms/gateway.py",
                                     "--cert",
                                     cert.Cert.string(),
                                     "--key",
                                     cert.Key.string(),
                                     "--port-file",
                                     (dir_ / "port").string(),
                                     "--record",
                                     dir_.string(),
                                     "--connect-status",
                                     std::to_string(o.ConnectStatus),
                                     "--post-status",
                                     std::to_string(o.PostStatus),
                                     "--get-status",
                                     std::to_string(o.GetStatus),
                                     "--port",
                                     std::to_string(o.Port),
                                     "--post-delay",
                                     std::to_string(o.PostDelay),
                                     "--stall-posts",
                                     std::to_string(o.StallPosts)};
    auto opt = [&](const char* name, const std::string& v) {
      if (!v.empty()) {
        argv.push_back(name);
        argv.push_back(v);
      }
    };
    opt("--connect-body", o.ConnectBody);
    opt("--post-body", o.PostBody);
    opt("--auth", o.Auth);
    opt("--set-cookie", o.SetCookie);
    opt("--files", o.Files.string());
    process_ = std::make_unique<TChildProcess>(argv, dir_ / "gateway.log");
    for (int i = 0; i < 200 && !fs::exists(dir_ / "port"); ++i) {
      if (!process_->Running()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!fs::exists(dir_ / "port"))
      throw std::runtime_error("the test gateway did not start: " + ReadFile(dir_ / "gateway.log"));
    port_ = std::stoi(ReadFile(dir_ / "port"));
  }

  std::string Host() const { return "127.0.0.1:" + std::to_string(port_); }
  int Port() const { return port_; }

  std::vector<TGatewayRequest> Requests() const {
    std::vector<TGatewayRequest> out;
    std::istringstream in(ReadFile(dir_ / "requests.tsv"));
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::string field;
      std::istringstream ls(line);
      while (std::getline(ls, field, '\t')) f.push_back(field);
      f.resize(8);
      out.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7]});
    }
    return out;
  }
  // The most uploads the gateway held at once.
  int MaxPosts() const {
    const std::string text = fs::exists(dir_ / "max_posts") ? ReadFile(dir_ / "max_posts") : "0";
    return std::stoi(text);
  }
  size_t CountRequests(const std::string& path) const {
    size_t n = 0;
    for (const auto& r : Requests()) n += r.Path == path;
    return n;
  }

 private:
  fs::path dir_;
  std::unique_ptr<TChildProcess> process_;
  int port_ = 0;
};

// Puts a program file's version file and its newest version where the test gateway (started
// with Files = filesDir) hands them out to the self-update.
inline void OfferProgramFile(const fs::path& filesDir, const std::string& name,
                             const std::string& clinic, const std::string& versionFile,
                             const std::string& bytes) {
  fs::create_directories(filesDir);
  WriteFile(filesDir / ("$" + name + "$GENERELLVERSION$" + clinic + "$"), versionFile);
  WriteFile(filesDir / ("$" + name + "$GENERELLUPDATE$" + clinic + "$"), bytes);
}

// The version file that offers version number n.
inline std::string VersionFileText(int n) {
  return "[Programversion]\r\nversionsnummer=" + std::to_string(n) + "\r\n";
}

// tinyproxy on a loopback port, optionally with Basic authentication.
class TTinyProxy {
 public:
  TTinyProxy(const fs::path& dir, const std::string& user = "", const std::string& password = "")
      : dir_(dir), port_(FreeLoopbackPort()) {
    fs::create_directories(dir_);
    std::ofstream conf(dir_ / "tinyproxy.conf");
    conf << "Port " << port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 100\n"
         << "Allow 127.0.0.1\nLogLevel Info\nLogFile \"" << (dir_ / "tinyproxy.log").string()
         << "\"\n";
    if (!user.empty()) conf << "BasicAuth " << user << " " << password << "\n";
    conf.close();
    process_ = std::make_unique<TChildProcess>(
        std::vector<std::string>{TAVO_TINYPROXY, "-d", "-c", (dir_ / "tinyproxy.conf").string()},
        dir_ / "tinyproxy.out");
    for (int i = 0; i < 200 && !CanConnect(port_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!CanConnect(port_)) throw std::runtime_error("tinyproxy did not start");
  }
  int Port() const { return port_; }
  // How many CONNECT requests for the target reached the proxy.
  size_t Connects(const std::string& target) const {
    std::string log = ReadFile(dir_ / "tinyproxy.log");
    size_t n = 0;
    for (size_t p = 0; (p = log.find("CONNECT " + target, p)) != std::string::npos; ++p) ++n;
    return n;
  }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<TChildProcess> process_;
};

// The objects a dispatch or a gateway client works with, held the way the service holds them.
struct TSMSEnv {
  std::shared_ptr<TLogEnv> env = std::make_shared<TLogEnv>();
  std::shared_ptr<TRegistryStore> registry{env, &env->registry};
  std::shared_ptr<TLogging> logging{env, &env->log};
  std::shared_ptr<const TClock> clock{env, &env->clock};
  std::shared_ptr<TSMSAccount> account = std::make_shared<TSMSAccount>();
  TTempDir work;  // certificates, gateways, proxies
  fs::path programDir = work / "program";

  TSMSEnv() { fs::create_directories(programDir); }

  void SetReg(const std::string& name, const std::string& value) {
    registry->WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name, value);
  }
  std::string Reg(const std::string& name) {
    return registry->ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, name);
  }
  std::vector<std::string> Messages() const { return env->sink->Messages(); }
  std::vector<std::string> ProgramFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(programDir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

}  // namespace tavo::test
