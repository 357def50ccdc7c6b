#include "web/PageEvents.h"

#include <nlohmann/json.hpp>

#include "common/Win1252.h"
#include "web/Colours.h"

namespace tavo {
namespace {

using nlohmann::json;

json Utf8(const std::string& ansi) { return AnsiToUtf8(ansi); }

void PutColour(json& out, TColor colour) {
  out["colour"] = colour;
  const auto css = CssColour(colour);
  out["css"] = css ? json(*css) : json(nullptr);
  out["ink"] = InkFor(colour);
}

json Resources(const TDisplayView& view, const TPageSources& sources) {
  json list = json::array();
  for (const TShownResource& r : view) {
    json resource = {{"name", Utf8(r.Name)}, {"lopnr", r.Lopnr}, {"position", r.Position}};
    PutColour(resource, r.Colour);
    const auto escalation = sources.EscalationSeconds ? sources.EscalationSeconds(r.Lopnr)
                                                      : std::nullopt;
    resource["escalateAfter"] = escalation ? json(*escalation) : json(nullptr);
    json calls = json::array();
    for (const TShownCall& c : r.Calls) {
      json call = {{"caller", Utf8(c.CallerName)},   {"station", c.CallerLopnr},
                   {"time", DateTimeToStr(c.CallTime)}, {"coming", c.ComingLopnr},
                   {"comingTime", DateTimeToStr(c.ComingTime)},
                   {"comingName", Utf8(c.ComingName)}};
      PutColour(call, c.CallerColour);
      calls.push_back(std::move(call));
    }
    resource["calls"] = std::move(calls);
    list.push_back(std::move(resource));
  }
  return list;
}

std::string Dump(const json& data) { return data.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string Event(const char* name, const json& data) {
  return std::string("event: ") + name + "\ndata: " + Dump(data) + "\n\n";
}

}  // namespace

std::string ResourcesJson(const TDisplayView& resources, const TPageSources& sources) {
  return Dump(Resources(resources, sources));
}

std::string DisplayEvent(const TStationView& view, const std::string& resourcesJson) {
  return "event: list\ndata: {\"station\":" + Dump(Utf8(view.StationName)) +
         ",\"friendly\":" + Dump(Utf8(view.FriendlyName)) + ",\"resources\":" + resourcesJson +
         "}\n\n";
}

std::string MissingEvent() { return "event: missing\ndata: {}\n\n"; }

std::string OverviewEvent(const TOverviewFacts& facts, const TPageSources& sources) {
  json stations = json::array();
  for (const auto& s : facts.Stations)
    stations.push_back({{"name", Utf8(s.StationName)},
                        {"friendly", Utf8(s.FriendlyName)},
                        {"type", ClientTypeName(s.StationType)},
                        {"online", s.Connected},
                        {"supervision", s.Supervision.empty() ? json(nullptr)
                                                              : json(s.Supervision)}});
  json sms = nullptr;
  if (facts.Sms) sms = {{"queued", facts.Sms->Queued}, {"failed", facts.Sms->Failed}};
  return Event("overview", {{"clinic", Utf8(facts.ClinicName)},
                            {"version", facts.Version},
                            {"role", facts.Role},
                            {"stations", std::move(stations)},
                            {"calls", Resources(facts.Calls, sources)},
                            {"sms", std::move(sms)}});
}

std::string ClockEvent(TDateTime now) {
  return Event("clock", {{"now", FormatIsoMillis(now)}});
}

}  // namespace tavo
