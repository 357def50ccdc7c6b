// tavo_load: plays display stations and call stations against a running server on loopback.
// Signs them on, runs calls (open, answer, confirm) and prints the latency from a CALLING write
// until the last display has its fresh CURRENTLIST, the calls per second, and the server's peak
// resident memory. With --seed it first fills a SQLite database with the stations it plays.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <asio.hpp>

#include "tools/LoadSeed.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string M = "\xA4";

struct Options {
  uint16_t port = 102;
  int displays = 1;
  int stations = 2;
  int resources = 5;
  int calls = 200;
  int idle = 0;
  int streams = 0;  // browser pages' event streams
  uint16_t httpPort = 0;
  int pid = 0;
  int timeoutMs = 10000;
  std::string seed;
};

// One client connection that counts the CURRENTLIST and RETCALLLIST blocks it receives.
struct Peer : std::enable_shared_from_this<Peer> {
  explicit Peer(asio::io_context& io) : socket(io) {}
  asio::ip::tcp::socket socket;
  std::array<char, 65536> buf{};
  std::string tail;  // end of the previous chunk, so that a keyword split over reads is seen
  uint64_t currentLists = 0, callLists = 0, clientData = 0, bytes = 0;
  uint64_t pageLists = 0;  // list events, when it reads a page's event stream
  bool ok = false, failed = false;  // ok: an HTTP answer began with 200

  void Count(const std::string& text, const std::string& what, uint64_t& counter) {
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
      if (p + what.size() > tail.size()) ++counter;  // not already counted in the last chunk
  }
  void Read() {
    auto self = shared_from_this();
    socket.async_read_some(asio::buffer(buf), [this, self](std::error_code ec, size_t n) {
      if (ec) {
        failed = true;
        return;
      }
      std::string text = tail + std::string(buf.data(), n);
      if (bytes == 0) ok = text.rfind("HTTP/1.1 200", 0) == 0;
      bytes += n;
      Count(text, "CURRENTLIST" + M, currentLists);
      Count(text, "RETCALLLIST" + M, callLists);
      Count(text, "TAVOCLIENTDATA" + M, clientData);
      Count(text, "event: list", pageLists);
      tail = text.size() > 32 ? text.substr(text.size() - 32) : text;
      Read();
    });
  }
  void Send(const std::string& text) {
    auto data = std::make_shared<std::string>("#DATASTART#" + text + "#DATAEND#");
    asio::async_write(socket, asio::buffer(*data), [data](std::error_code, size_t) {});
  }
};

std::string Blk(const std::string& kw, const std::string& payload) {
  return M + kw + ":" + payload + ":" + kw + M;
}

// A memory figure of /proc/PID/status in kB: "VmHWM:" (peak resident) or "VmRSS:" (now).
long StatusKb(int pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
  return -1;
}

// User and system CPU seconds the process (or, with a task path, one thread) has used
// (/proc/PID/stat fields 14 and 15).
std::pair<double, double> CpuSeconds(int pid, const std::string& task = "") {
  std::ifstream in("/proc/" + std::to_string(pid) + task + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return {0, 0};
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double user = 0, sys = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) user = std::stod(f);
    if (i == 15) sys = std::stod(f);
  }
  const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  return {user / hz, sys / hz};
}

// CPU seconds (user + system) of each thread of the process, by thread name.
std::map<std::string, double> ThreadCpu(int pid) {
  std::map<std::string, double> by;
  std::error_code ec;
  for (const auto& t : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(t.path() / "comm");
    std::string name;
    std::getline(comm, name);
    const auto cpu = CpuSeconds(pid, "/task/" + t.path().filename().string());
    by[name] += cpu.first + cpu.second;
  }
  return by;
}

void Usage() {
  std::cerr << "usage: tavo_load [--port P] [--displays N] [--stations M] [--resources R]\n"
               "                 [--calls K] [--idle C] [--pid SERVERPID] [--timeout MS]\n"
               "                 [--streams S --http-port H]\n"
               "       tavo_load --seed DBFILE [--displays N] [--stations M] [--resources R]\n"
               "Connects to 127.0.0.1 only.\n";
}

// Runs the io_context until cond holds or the time is up.
bool RunUntil(asio::io_context& io, const std::function<bool()>& cond, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!cond()) {
    if (Clock::now() >= end) return false;
    // One handler at a time, so the condition is checked as soon as it can hold.
    io.run_one_for(std::chrono::milliseconds(5));
    if (io.stopped()) io.restart();
  }
  return true;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t idx = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(idx, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        Usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--port") o.port = static_cast<uint16_t>(std::stoi(next()));
    else if (a == "--displays") o.displays = std::stoi(next());
    else if (a == "--stations") o.stations = std::stoi(next());
    else if (a == "--resources") o.resources = std::stoi(next());
    else if (a == "--calls") o.calls = std::stoi(next());
    else if (a == "--idle") o.idle = std::stoi(next());
    else if (a == "--streams") o.streams = std::stoi(next());
    else if (a == "--http-port") o.httpPort = static_cast<uint16_t>(std::stoi(next()));
    else if (a == "--pid") o.pid = std::stoi(next());
    else if (a == "--timeout") o.timeoutMs = std::stoi(next());
    else if (a == "--seed") o.seed = next();
    else {
      Usage();
      return 2;
    }
  }
  if (o.displays < 0 || o.stations < 1 || o.resources < 1 || o.calls < 0 || o.idle < 0 ||
      o.streams < 0 || (o.streams > 0 && (o.httpPort == 0 || o.displays == 0))) {
    Usage();
    return 2;
  }
  if (!o.seed.empty()) {
    try {
      tavo::SeedLoadDatabase(o.seed, o.displays, o.stations, o.resources);
    } catch (const std::exception& e) {
      std::cerr << "seed failed: " << e.what() << "\n";
      return 1;
    }
    std::cout << "seeded " << o.seed << ": " << o.stations << " call stations, " << o.displays
              << " displays, " << o.resources << " resources\n";
    return 0;
  }

  asio::io_context io;
  const asio::ip::tcp::endpoint server(asio::ip::address_v4::loopback(), o.port);
  auto connect = [&](std::vector<std::shared_ptr<Peer>>& into, int n) {
    for (int i = 0; i < n; ++i) {
      auto p = std::make_shared<Peer>(io);
      p->socket.connect(server);
      p->socket.set_option(asio::ip::tcp::no_delay(true));
      p->Read();
      into.push_back(p);
    }
  };
  std::vector<std::shared_ptr<Peer>> displays, stations, idle;
  try {
    connect(displays, o.displays);
    connect(stations, o.stations);
    connect(idle, o.idle);
  } catch (const std::exception& e) {
    std::cerr << "connect to 127.0.0.1:" << o.port << " failed: " << e.what() << "\n";
    return 1;
  }
  for (int i = 0; i < o.displays; ++i)
    displays[i]->Send(Blk("GETCALLLIST", tavo::LoadDisplayName(i) + ":1"));
  for (int i = 0; i < o.stations; ++i)
    stations[i]->Send(Blk("GETCALLLIST", tavo::LoadStationName(i) + ":0"));
  auto allSignedOn = [&] {
    for (auto& d : displays)
      if (d->currentLists < 1) return false;
    for (auto& s : stations)
      if (s->callLists < 1) return false;
    return true;
  };
  if (!RunUntil(io, allSignedOn, o.timeoutMs)) {
    std::cerr << "sign-on did not complete (are the stations seeded?)\n";
    return 1;
  }
  // The pages' streams, spread over the displays, each one a browser showing that display.
  std::vector<std::shared_ptr<Peer>> streams;
  try {
    const asio::ip::tcp::endpoint http(asio::ip::address_v4::loopback(), o.httpPort);
    for (int i = 0; i < o.streams; ++i) {
      auto st = std::make_shared<Peer>(io);
      st->socket.connect(http);
      const std::string request = "GET /display/" + tavo::LoadDisplayName(i % o.displays) +
                                  "/events HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
      asio::write(st->socket, asio::buffer(request));
      st->Read();
      streams.push_back(st);
    }
  } catch (const std::exception& e) {
    std::cerr << "connect to the pages on 127.0.0.1:" << o.httpPort << " failed: " << e.what() << "\n";
    return 1;
  }
  auto streamsListed = [&] {
    for (auto& st : streams)
      if (st->pageLists < 1 && !st->failed) return false;
    return true;
  };
  if (!RunUntil(io, streamsListed, o.timeoutMs)) {
    std::cerr << "the pages' streams did not all get their first list\n";
    return 1;
  }
  for (auto& st : streams)
    if (!st->ok || st->failed) {
      std::cerr << "a page's stream was refused (is WebDisplayMaxStreams below " << o.streams << "?)\n";
      return 1;
    }
  if (o.pid > 0 && o.idle > 0)
    std::printf("server resident memory with %d idle + %d active connections: %.1f MB\n", o.idle,
                o.displays + o.stations, StatusKb(o.pid, "VmRSS:") / 1024.0);

  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(o.calls));
  auto displaysPast = [&](const std::vector<uint64_t>& before) {
    return [&, before] {
      for (size_t i = 0; i < displays.size(); ++i)
        if (displays[i]->currentLists <= before[i]) return false;
      return true;
    };
  };
  auto snapshot = [&] {
    std::vector<uint64_t> v;
    for (auto& d : displays) v.push_back(d->currentLists);
    return v;
  };
  const auto serverCpu0 = o.pid > 0 ? CpuSeconds(o.pid) : std::pair<double, double>{};
  const auto threadCpu0 = o.pid > 0 ? ThreadCpu(o.pid) : std::map<std::string, double>{};
  const auto start = Clock::now();
  for (int k = 0; k < o.calls; ++k) {
    const int s = k % o.stations;
    const int answerer = (s + 1) % o.stations;
    const int r = k % o.resources + 1;
    const std::string resource = std::to_string(r);
    // Open: latency from the write to the last display's fresh CURRENTLIST.
    auto before = snapshot();
    uint64_t lists = stations[s]->callLists;
    auto t0 = Clock::now();
    stations[s]->Send(Blk("CALLING", resource));
    if (!RunUntil(io, [&, d = displaysPast(before)] { return d() && stations[s]->callLists > lists; },
                  o.timeoutMs)) {
      std::cerr << "call " << k << ": displays did not all get the open call\n";
      return 1;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    // Answer from another station, then confirm from the caller.
    before = snapshot();
    lists = stations[s]->callLists;
    stations[answerer]->Send(
        Blk("COMING", resource + ":" + std::to_string(tavo::LoadStationLopnr(s))));
    if (!RunUntil(io, [&, d = displaysPast(before)] { return d() && stations[s]->callLists > lists; },
                  o.timeoutMs)) {
      std::cerr << "call " << k << ": the answer did not reach every display\n";
      return 1;
    }
    before = snapshot();
    lists = stations[s]->callLists;
    stations[s]->Send(Blk("CALLING", resource));
    if (!RunUntil(io, [&, d = displaysPast(before)] { return d() && stations[s]->callLists > lists; },
                  o.timeoutMs)) {
      std::cerr << "call " << k << ": the confirm did not reach every display\n";
      return 1;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint64_t bytes = 0;
  for (auto& d : displays) bytes += d->bytes;
  std::printf("displays %d, call stations %d, resources %d, calls %d (open+answer+confirm each)\n",
              o.displays, o.stations, o.resources, o.calls);
  std::printf("CALLING -> last display CURRENTLIST (ms): median %.3f  p90 %.3f  p99 %.3f  max %.3f\n",
              Percentile(latencies, 0.5), Percentile(latencies, 0.9), Percentile(latencies, 0.99),
              latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
  std::printf("calls per second: %.1f (%.2f s, %.1f MB to displays)\n",
              seconds > 0 ? o.calls / seconds : 0.0, seconds, bytes / 1e6);
  if (o.pid > 0) {
    const auto cpu = CpuSeconds(o.pid);
    std::printf("server CPU during the calls: user %.2f s, system %.2f s (%.0f%% of the wall time)\n",
                cpu.first - serverCpu0.first, cpu.second - serverCpu0.second,
                100.0 * (cpu.first - serverCpu0.first + cpu.second - serverCpu0.second) / seconds);
    std::printf("server threads' CPU during the calls:");
    for (const auto& [name, used] : ThreadCpu(o.pid)) {
      const auto before = threadCpu0.find(name);
      const double delta = used - (before == threadCpu0.end() ? 0.0 : before->second);
      if (delta >= 0.005) std::printf(" %s %.2f s", name.c_str(), delta);
    }
    std::printf("\n");
  }
  if (!streams.empty()) {
    // Let the last change reach the pages before counting.
    io.run_for(std::chrono::milliseconds(500));
    uint64_t lists = 0, streamBytes = 0;
    int failed = 0;
    for (auto& st : streams) {
      lists += st->pageLists;
      streamBytes += st->bytes;
      failed += st->failed ? 1 : 0;
    }
    std::printf("page streams %d: %.1f list events each on average, %.1f MB in all, %d closed\n",
                o.streams, static_cast<double>(lists) / static_cast<double>(streams.size()),
                streamBytes / 1e6, failed);
  }
  if (o.pid > 0) std::printf("server peak resident memory: %.1f MB\n", StatusKb(o.pid, "VmHWM:") / 1024.0);
  return 0;
}
