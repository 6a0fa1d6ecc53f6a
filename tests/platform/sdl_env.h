// Sets SDL environment variables for one test and puts them back afterwards.
#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

class scoped_env {
 public:
  void set(const char *name, const char *value) {
    if (!saved_.count(name)) {
      const char *old = getenv(name);
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    setenv(name, value, 1);
  }
  ~scoped_env() {
    for (auto &[name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};
