// A display's list reduced to rows of text, one per resource and one per call, with every
// value a display is sent: from the CURRENTLIST block a display station received, and from
// the JSON list a page received, so the two can be compared row by row, in order.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "common/Win1252.h"

namespace tavo::test {

// "R|name|number|colour|position" and "C|caller|station|time|colour|coming|comingTime|comingName".
using TRows = std::vector<std::string>;

// The last CURRENTLIST block in the received bytes (Windows-1252), as rows in UTF-8.
inline TRows RowsOfCurrentList(const std::string& received) {
  const std::string open = "\xA4" "CURRENTLIST:", close = "CURRENTLIST\xA4";
  const size_t end = received.rfind(close);
  const size_t start = received.rfind(open, end);
  if (end == std::string::npos || start == std::string::npos) return {"no CURRENTLIST"};
  std::string rest = received.substr(start + open.size(), end - start - open.size());
  TRows rows;
  while (!rest.empty()) {
    const size_t head = rest.find(":\xA4%");
    const size_t tail = rest.find("%\xA4:", head);
    if (head == std::string::npos || tail == std::string::npos) return {"unreadable: " + rest};
    std::string fields = rest.substr(0, head);  // name:number:colour:position
    std::vector<std::string> f;
    for (size_t i = 0; i < 3; ++i) {
      const size_t c = fields.rfind(':');
      f.insert(f.begin(), fields.substr(c + 1));
      fields.resize(c);
    }
    rows.push_back("R|" + AnsiToUtf8(fields) + "|" + f[0] + "|" + f[1] + "|" + f[2]);
    std::string calls = rest.substr(head + 3, tail - head - 3);
    while (!calls.empty()) {
      std::string row = "C";
      for (int i = 0; i < 7; ++i) {
        const size_t t = calls.find('~');
        row += "|" + AnsiToUtf8(calls.substr(0, t));
        calls.erase(0, t + 1);
      }
      rows.push_back(row);
    }
    rest.erase(0, tail + 3);
  }
  return rows;
}

// The resources of a page's list event.
inline TRows RowsOfListJson(const nlohmann::json& resources) {
  TRows rows;
  for (const auto& r : resources) {
    rows.push_back("R|" + r["name"].get<std::string>() + "|" + std::to_string(r["lopnr"].get<int>()) +
                   "|" + std::to_string(r["colour"].get<int>()) + "|" +
                   std::to_string(r["position"].get<int>()));
    for (const auto& c : r["calls"])
      rows.push_back("C|" + c["caller"].get<std::string>() + "|" +
                     std::to_string(c["station"].get<int>()) + "|" + c["time"].get<std::string>() +
                     "|" + std::to_string(c["colour"].get<int>()) + "|" +
                     std::to_string(c["coming"].get<int>()) + "|" +
                     c["comingTime"].get<std::string>() + "|" + c["comingName"].get<std::string>());
  }
  return rows;
}

}  // namespace tavo::test
