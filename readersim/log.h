// The frame log: one time-stamped line per frame or event.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace readersim {

class Log {
 public:
  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;
  bool open(const std::string& path, std::string& error);
  // Writes "HH:MM:SS.mmmmmm +seconds text"; a no-op when no file is open.
  void write(const std::string& text, int64_t now_us);

 private:
  std::FILE* file_ = nullptr;
  int64_t start_us_ = -1;
};

}  // namespace readersim
