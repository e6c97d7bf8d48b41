#pragma once
// plat::NSException: what the platform raises for misuse of an interface (a plain init where
// a designated initialiser is required, ...). Carries the exception's name and reason.

#include <stdexcept>
#include <string>

namespace plat {

class NSException : public std::runtime_error {
 public:
  NSException(std::string name, std::string reason)
      : std::runtime_error(name + ": " + reason),
        name_(std::move(name)),
        reason_(std::move(reason)) {}
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string name_, reason_;
};

}  // namespace plat
