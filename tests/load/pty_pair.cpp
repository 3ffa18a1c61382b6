#include "tests/load/pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
  if (master_ < 0) return;
  char name[64];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
    close(master_);
    master_ = -1;
    return;
  }
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings = {};
  if (slave_ >= 0 && tcgetattr(slave_, &settings) == 0) {
    cfmakeraw(&settings);
    tcsetattr(slave_, TCSANOW, &settings);
  }
}

PtyPair::~PtyPair() {
  if (!link_.empty()) unlink(link_.c_str());
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool PtyPair::LinkAs(const std::string& link) {
  if (!IsOpen()) return false;
  // A link of its own name beside it, then moved over whatever was there.
  const std::string fresh = link + ".new";
  unlink(fresh.c_str());
  if (symlink(slavePath_.c_str(), fresh.c_str()) != 0) return false;
  if (rename(fresh.c_str(), link.c_str()) != 0) {
    unlink(fresh.c_str());
    return false;
  }
  link_ = link;
  return true;
}
