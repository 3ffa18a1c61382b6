// A pseudo-terminal pair of a test's own: the port under test opens the
// slave by its path (or by a link to it), the test drives the master as the
// far end of the line. The slave is held open here as well, in raw mode, so
// that its settings survive the port's closing and reopening, and the
// master never reads the end of the line in between.
#pragma once

#include <string>

class PtyPair {
 public:
  PtyPair();
  // Removes the link, if one was made, and closes both sides.
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool IsOpen() const { return master_ >= 0 && slave_ >= 0; }
  int Master() const { return master_; }  // non-blocking
  const std::string& SlavePath() const { return slavePath_; }
  // Makes `link` a symbolic link to the slave, in place of whatever was there.
  bool LinkAs(const std::string& link);

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string link_;
};
