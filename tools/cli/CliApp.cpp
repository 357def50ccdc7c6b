#include "CliApp.h"

namespace tavo::cli {

std::atomic<bool> gInterrupted{false};

CLI::App* TCommandSet::Add(CLI::App& parent, const std::string& name,
                           const std::string& description, TAction action) {
  CLI::App* sub = parent.add_subcommand(name, description);
  // A parent's callback runs after its chosen subcommand's: the subcommand's action wins.
  sub->callback([sub, &chosen = chosen_, action = std::move(action)] {
    if (sub->get_subcommands().empty()) chosen = action;
  });
  return sub;
}

}  // namespace tavo::cli
