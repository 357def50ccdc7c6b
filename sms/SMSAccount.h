// The SMS account in memory: written by the main thread (start-up, new settings from an
// administration client), read by every SMS dispatch. Each read hands out one consistent copy.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace tavo {

struct TSMSAccountData {
  std::string UserName;  // Windows-1252
  std::string Password;  // plain text, Windows-1252
  int32_t CustomerNumber = 0;
};

class TSMSAccount {
 public:
  TSMSAccountData Get() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_;
  }
  void Set(TSMSAccountData data) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = std::move(data);
  }
  void SetUserName(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.UserName = std::move(name);
  }
  void SetPassword(std::string password) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.Password = std::move(password);
  }
  void SetCustomerNumber(int32_t number) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.CustomerNumber = number;
  }

 private:
  mutable std::mutex mutex_;
  TSMSAccountData data_;
};

}  // namespace tavo
