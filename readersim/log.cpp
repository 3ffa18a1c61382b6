#include "readersim/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace readersim {

Log::~Log() {
  if (file_) std::fclose(file_);
}

bool Log::open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "a");
  if (!file_) {
    error = "open " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void Log::write(const std::string& text, int64_t now_us) {
  if (!file_) return;
  if (start_us_ < 0) start_us_ = now_us;
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tm;
  ::localtime_r(&tv.tv_sec, &tm);
  const int64_t since = now_us - start_us_;
  std::fprintf(file_, "%02d:%02d:%02d.%06ld +%lld.%06lld %s\n", tm.tm_hour, tm.tm_min, tm.tm_sec,
               static_cast<long>(tv.tv_usec), static_cast<long long>(since / 1000000),
               static_cast<long long>(since % 1000000), text.c_str());
  std::fflush(file_);
}

}  // namespace readersim
