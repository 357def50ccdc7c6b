// What every command of tavo-cli needs to talk to the server: a connection with the options'
// time-out, the deadline of one wait, and the administration sign-on.
#pragma once

#include <memory>

#include "CliConnection.h"
#include "Commands.h"

namespace tavo::cli {

// Throws ECliFailure when the server cannot be reached.
std::unique_ptr<TCliConnection> Connect(const TCliOptions& o);
TClockType::time_point Deadline(const TCliOptions& o);
// GETSERVERVERSION with client kind 2; throws ECliFailure without an answer.
void SignOnAdmin(TCliConnection& c, const TCliOptions& o);

}  // namespace tavo::cli
