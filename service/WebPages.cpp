// The browser pages of the running server: what they show comes from the calls and the
// counters through small source functions, their feeds are rendered on the main loop, and
// the HTTP endpoint serves them beside /metrics and /health.
#include <unordered_map>

#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "service/UTavoServerMain.h"
#include "web/PageEvents.h"

namespace tavo {
namespace {

constexpr int kDefaultMaxStreams = 64;
constexpr int kMostStreams = 1024;

}  // namespace

TPageSources TTAVO_WindowsServer::PageSources() {
  TPageSources s;
  // A standby server has no calls yet: its pages show none until it serves.
  s.StationViews = [this](const std::vector<std::string>& names) {
    return calls_ ? calls_->StationViews(names)
                  : std::vector<std::optional<TStationView>>(names.size());
  };
  s.Stations = [this] {
    if (!calls_) return std::vector<TStationPresence>();
    std::vector<TStationPresence> stations = calls_->Stations();
    if (!supervision_) return stations;
    std::unordered_map<std::string, const char*> states;
    for (const auto& watched : supervision_->Stations())
      states.emplace(watched.Name, SupervisionState(watched));
    for (auto& presence : stations)
      if (auto it = states.find(presence.StationName); it != states.end())
        presence.Supervision = it->second;
    return stations;
  };
  s.OpenCalls = [this] { return calls_ ? calls_->OpenCallsView() : TDisplayView(); };
  s.EscalationSeconds = [this](int32_t resourceLopnr) -> std::optional<int> {
    return escalation_ ? escalation_->FirstStepSeconds(resourceLopnr) : std::nullopt;
  };
  // The outbox: SMS not finished yet, and those given up on since the start.
  s.Sms = [metrics = core_->Metrics] {
    return TSmsCounts{static_cast<int64_t>(metrics->SmsQueued.load()),
                      static_cast<int64_t>(
                          metrics->SmsFinished[static_cast<size_t>(TSmsFinal::Failed)].load())};
  };
  // A single server always serves; in a standby pair the role says.
  s.Role = [this] {
    return std::string(role_ ? RoleName(role_->Role()) : "serving");
  };
  s.ClinicName = [this] { return ClinicName_; };
  s.Now = [this] { return clock_.Now(); };
  s.Version = kServerVersion;
  return s;
}

void TTAVO_WindowsServer::StartHttp(const std::string& address, uint16_t port) {
  const std::string configured =
      core_->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "WebDisplayMaxStreams");
  int maxStreams = configured.empty() ? kDefaultMaxStreams : StrToIntDef(configured, -1);
  if (maxStreams < 0 || maxStreams > kMostStreams) {
    logging_.Logg("WebDisplayMaxStreams is not a number from 0 to " + std::to_string(kMostStreams) +
                      ": " + configured + "; " + std::to_string(kDefaultMaxStreams) + " is used",
                  ltWarning);
    maxStreams = kDefaultMaxStreams;
  }
  pageFeeds_ = std::make_unique<TPageFeeds>(io_, pageBoard_, PageSources(), logging_);
  // In a standby pair the calls come once this server serves; they are hooked up then.
  if (calls_) calls_->SetListsChanged([feeds = pageFeeds_.get()] { feeds->Changed(); });
  TWebServer::TSettings settings;
  settings.Token = [core = core_] {
    return AnsiToUtf8(core->Registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "WebDisplayToken"));
  };
  settings.ClockEvent = [clock = clockPtr_] { return ClockEvent(clock->Now()); };
  settings.FirstWatch = [feeds = pageFeeds_.get()](const std::string&) {
    if (feeds) feeds->FirstWatch();
  };
  settings.Metrics = core_->Metrics.get();
  settings.MaxStreams = maxStreams;
  webServer_ = std::make_unique<TWebServer>(
      pageBoard_,
      [metrics = metricsServer_.get()](const std::string& method, const std::string& path,
                                       std::string& body, std::string& type) {
        return metrics->Answer(method, path, body, type);
      },
      std::move(settings));
  webServer_->Start(address, port);
  if (pageFeeds_) pageFeeds_->Start();
}

void TTAVO_WindowsServer::StopHttp() {
  if (calls_) calls_->SetListsChanged(nullptr);
  if (pageFeeds_) pageFeeds_->Stop();
  if (webServer_) webServer_->Stop();
}

}  // namespace tavo
