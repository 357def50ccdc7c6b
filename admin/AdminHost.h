// TAdminHost: what the settings, SMS-account and remote-SQL commands need of the service module
// that owns it: the in-memory SMS account and the cipher of its stored password, the clinic
// name, the program directory, the registry, the main listener's connections and the update
// listener. The service module implements it; tests may fake it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/Registry.h"
#include "platform/ClientSocket.h"
#include "sms/LbClass.h"
#include "sms/SMSAccount.h"

namespace tavo {

class TAdminHost {
 public:
  virtual ~TAdminHost() = default;

  // The copy of the SMS account that every SMS dispatch reads.
  virtual TSMSAccount& SMSAccount() = 0;
  // The cipher whose string form stores the SMS password.
  virtual const TLbBlowfish& Cipher() const = 0;
  virtual const std::string& ClinicName() const = 0;
  // The clinic's name from now on (the caller has stored it where start-up reads it).
  virtual void SetClinicName(const std::string& name) = 0;
  // The running program's directory, with a trailing separator.
  virtual const std::string& ProgramDirectory() const = 0;
  virtual TRegistryStore& Registry() = 0;
  // The connections of the main listener in accept order.
  virtual std::vector<TClientSocketPtr> MainConnections() const = 0;
  virtual uint16_t MainPort() const = 0;
  // Closes the update listener, gives it the port and opens it again unless the port is the
  // main port. Throws when it cannot be opened; it then stays closed.
  virtual void MoveUpdateListener(uint16_t port) = 0;
};

}  // namespace tavo
