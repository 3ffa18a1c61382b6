// readersim: a two-slot smart-card reader on a serial line, for exercising
// host programs without the hardware.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "readersim/control.h"
#include "readersim/line.h"
#include "readersim/log.h"
#include "readersim/reader.h"
#include "toolkit_version.h"

namespace {

using namespace readersim;

const char kHelp[] =
    R"(usage: readersim [OPTION]...

Simulates a two-slot smart-card reader (reader 0 = upper slot "user card",
reader 1 = lower slot "SAM") on a serial line. The first line of stdout is
the path a host opens. Runs until SIGINT, SIGTERM, SIGHUP or a "quit" line on
stdin; the end of stdin only stops the reading of control lines.

Line:
  --link PATH          also make a symlink PATH to the pty (replaces an old
                       symlink there; removed at exit)
  --device PATH        use an existing serial device instead of a pty
  --baud N             line rate for --device and --pace (default 9600)
  --pace               put answers on the line at its byte time (10 bits per
                       byte at --baud) instead of at once

Reader:
  --version M.mm       firmware version answered to 0x04 (default 1.00;
                       1.05 answers 01 05)
  --version-data HEX   answer 0x04 with these data bytes instead (e.g. 01:
                       a version too short to read)
  --cards WHICH        cards present at start: both|upper|lower|none
                       (default both)
  --atr SLOT HEX       ATR of the card in SLOT (0 or 1), e.g. 3B021450
                       (default 3B 02 14 50)
  --apdu-answer SLOT HEX
                       the card in SLOT answers every well-formed APDU with
                       these bytes (data and status word) once powered
  --card SLOT KIND     the kind of card in SLOT (0 or 1), also of the cards
                       that arrive there later: default (answers below) or
                       iso (a T=0 ISO 7816-4 file-system card, see below)
  --remove-on-power-down
                       a card leaves its slot when powered down (0x44/0x84)
  --insert-after MS    whenever a slot is empty (at start, after "remove" or
                       a removing power-down) a card arrives there MS
                       milliseconds later
  --fault 'FAULT'      set a fault at start, as the control command below
  --log FILE           append every frame in and out (hex, time stamp,
                       meaning) and every event to FILE
  --help               this text (its first line: the version)

Control lines on stdin (acks and errors on stderr):
  insert N             put a card in slot N (0 or 1), unpowered
  remove N             take the card out of slot N
  atr N HEX            set slot N's ATR (1..255 bytes; spaces or colons may
                       separate the bytes)
  card N KIND          make slot N's card default or iso (an iso card starts
                       again with the MF current and nothing waiting)
  fault KIND [every N | once]
  fault delay MS [every N | once]
                       alter answer frames: on every answer (default), every
                       Nth answer, or the next one only. KIND is
                         nak      answer the single byte FF
                         crc      swap the two CRC bytes (invert the high one
                                  when they are equal)
                         silent   send nothing
                         cut      send only the status and length bytes
                         garbage  send 5A A5 3C before the frame
                         delay MS send the answer MS ms late; later answers
                                  queue behind it
                         slow     delay 6000 (beyond the host's 5000 ms)
                         long     send status and a length of 2049, no more
                       NAKs for bad frames are never altered.
  fault random PERCENT [seed N]
                       alter PERCENT of the answers (e.g. 1% or 0.25), each
                       drawn at random, with one of nak, crc, silent, cut,
                       garbage or long, also drawn; the generator starts
                       from N (default 1), so a seed fails the same answers
                       the same way on every run. The log names each fault.
  fault off            clear the fault
  quit                 exit

Answers: status 0x00 except power up on an empty slot (0x01, no data).
APDU status words: absent card 6F 00, unpowered card 69 85, APDU length
not matching its header 67 00, GET RESPONSE (C0) Le bytes 00 01 02 ... then
90 00, SELECT (A4) 90 00, any other INS 6D 00. A bad CRC or unknown command
gets the NAK FF. After a bad CRC, input is discarded until the line is quiet
for 20 ms, except that a good frame of a known command found in it is
answered. A frame with no byte for 200 ms is abandoned without an answer.

The iso card answers an absent or unpowered card and a length not matching
the header as above; a CLA other than 00: 6E 00; an INS other than A4, C0
and B0: 6D 00. Its files: the MF 3F00 (a DF, current after each power-up)
and under it the transparent EF 2F00 of 48 bytes, an EF.DIR: 61 1B 4F 0A
F0 "readersim" 50 0D "ISO TEST CARD", then FF. Their FCPs:
  3F00  62 0A 82 01 38 83 02 3F 00 8A 01 05
  2F00  62 0E 82 01 01 83 02 2F 00 80 02 00 30 8A 01 05
SELECT 00 A4 00 P2 02 FID (APDU command): P2 00 or 04: 61 xx, the FCP
  waiting for GET RESPONSE; P2 0C: 90 00. Unknown FID: 6A 82; other P1 P2:
  6A 86; other Lc: 67 00.
GET RESPONSE 00 C0 00 00 Le (APDU request; Le 00 is 256): Le equal to what
  waits: the bytes and 90 00; smaller: that many and 61 xx (the rest still
  waits); larger: 6C xx (all still waits); nothing waiting: 69 85. Any other
  command drops what waits.
READ BINARY 00 B0 P1 P2 Le (APDU request): 2F00's bytes from offset P1 P2:
  Le bytes and 90 00; Le beyond the end: 6C xx (the bytes left); offset at or
  beyond the end: 6B 00; P1 bit 8 set: 6A 86; the MF current: 69 86.
GET RESPONSE or READ BINARY as an APDU command: P3 00 (no Le): 6C xx, the
  Le to use; P3 data bytes: 67 00.
)";

int64_t now_us() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Descriptors 0..2 closed by the caller would otherwise be taken by the pty.
void keep_std_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0) {
      const int n = ::open("/dev/null", O_RDWR);
      if (n >= 0 && n != fd) {
        ::dup2(n, fd);
        ::close(n);
      }
    }
  }
}

struct Options {
  ReaderConfig config;
  bool cards[kSlots] = {true, true};
  std::vector<uint8_t> atr[kSlots];
  std::vector<uint8_t> apdu_answer[kSlots];
  CardKind kind[kSlots] = {CardKind::kDefault, CardKind::kDefault};
  std::string link;
  std::string device;
  int baud = 9600;
  bool pace = false;
  std::string log;
  std::string fault;
};

bool parse_version(const std::string& text, ReaderConfig& config) {
  const size_t dot = text.find('.');
  int64_t major = 0, minor = 0;
  if (dot == std::string::npos || !parse_number(text.substr(0, dot), 0, 255, major) ||
      !parse_number(text.substr(dot + 1), 0, 255, minor)) {
    return false;
  }
  config.version = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor)};
  return true;
}

// 0: run, 1: bad usage, 2: --help shown.
int parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "readersim: %s needs %s\n", a.c_str(), what);
        return nullptr;
      }
      return argv[++i];
    };
    const char* v = nullptr;
    int64_t n = 0;
    if (a == "--help" || a == "-h") {
      std::printf("readersim %s\n", TOOLKIT_VERSION);
      std::fputs(kHelp, stdout);
      return 2;
    } else if (a == "--version") {
      if (!(v = value("M.mm")) || !parse_version(v, o.config)) {
        std::fprintf(stderr, "readersim: --version takes M.mm, e.g. 1.05\n");
        return 1;
      }
    } else if (a == "--version-data") {
      std::vector<uint8_t> data;
      if (!(v = value("HEX")) || !parse_hex(v, data) || data.size() > 255) {
        std::fprintf(stderr, "readersim: --version-data takes HEX (1..255 bytes)\n");
        return 1;
      }
      o.config.version = data;
    } else if (a == "--cards") {
      if (!(v = value("both|upper|lower|none"))) return 1;
      const std::string c = v;
      if (c != "both" && c != "upper" && c != "lower" && c != "none") {
        std::fprintf(stderr, "readersim: --cards takes both|upper|lower|none\n");
        return 1;
      }
      o.cards[0] = c == "both" || c == "upper";
      o.cards[1] = c == "both" || c == "lower";
    } else if (a == "--atr") {
      const char* slot = value("SLOT HEX");
      const char* text = slot ? value("SLOT HEX") : nullptr;
      std::vector<uint8_t> atr;
      if (!text || !parse_number(slot, 0, kSlots - 1, n) || !parse_hex(text, atr) ||
          atr.size() > 255) {
        std::fprintf(stderr, "readersim: --atr takes SLOT (0 or 1) and HEX (1..255 bytes)\n");
        return 1;
      }
      o.atr[n] = atr;
    } else if (a == "--apdu-answer") {
      const char* slot = value("SLOT HEX");
      const char* text = slot ? value("SLOT HEX") : nullptr;
      std::vector<uint8_t> answer;
      if (!text || !parse_number(slot, 0, kSlots - 1, n) || !parse_hex(text, answer) ||
          answer.size() > 258) {
        std::fprintf(stderr,
                     "readersim: --apdu-answer takes SLOT (0 or 1) and HEX (1..258 bytes)\n");
        return 1;
      }
      o.apdu_answer[n] = answer;
    } else if (a == "--card") {
      const char* slot = value("SLOT KIND");
      const char* kind = slot ? value("SLOT KIND") : nullptr;
      if (!kind || !parse_number(slot, 0, kSlots - 1, n) || !parse_card_kind(kind, o.kind[n])) {
        std::fprintf(stderr, "readersim: --card takes SLOT (0 or 1) and KIND (default or iso)\n");
        return 1;
      }
    } else if (a == "--remove-on-power-down") {
      o.config.remove_on_power_down = true;
    } else if (a == "--insert-after") {
      if (!(v = value("MS")) || !parse_number(v, 0, 86400000, n)) {
        std::fprintf(stderr, "readersim: --insert-after takes MS\n");
        return 1;
      }
      o.config.insert_after_ms = n;
    } else if (a == "--link") {
      if (!(v = value("PATH"))) return 1;
      o.link = v;
    } else if (a == "--device") {
      if (!(v = value("PATH"))) return 1;
      o.device = v;
    } else if (a == "--baud") {
      if (!(v = value("N")) || !parse_number(v, 50, 16000000, n)) {
        std::fprintf(stderr, "readersim: --baud takes N\n");
        return 1;
      }
      o.baud = static_cast<int>(n);
    } else if (a == "--pace") {
      o.pace = true;
    } else if (a == "--log") {
      if (!(v = value("FILE"))) return 1;
      o.log = v;
    } else if (a == "--fault") {
      if (!(v = value("'KIND [MS] [every N | once]' or 'random PERCENT [seed N]'"))) return 1;
      o.fault = v;
    } else {
      std::fprintf(stderr, "readersim: unknown option %s (see --help)\n", a.c_str());
      return 1;
    }
  }
  return 0;
}

struct Loop {
  Reader reader;
  PacedQueue tx;
  PacedQueue rx;  // commands still on the line (only with --pace)
  Log log;
  Line line;
};

// Answers go at `from` or later: the reader's clock is in milliseconds.
void emit(Loop& loop, Output& out, int64_t now, int64_t from) {
  for (const std::string& n : out.notes) loop.log.write(n, now);
  for (const Send& s : out.sends) paced_push(loop.tx, std::max(s.at_ms * 1000, from), s.bytes);
  out = Output{};
}

int run(const Options& o) {
  Loop loop;
  std::string error;
  if (!o.log.empty() && !loop.log.open(o.log, error)) {
    std::fprintf(stderr, "readersim: %s\n", error.c_str());
    return 1;
  }
  loop.reader.config = o.config;
  for (int s = 0; s < kSlots; ++s) {
    loop.reader.slot[s].present = o.cards[s];
    if (!o.atr[s].empty()) loop.reader.slot[s].atr = o.atr[s];
    loop.reader.slot[s].fixed_answer = o.apdu_answer[s];
    loop.reader.slot[s].kind = o.kind[s];
  }
  if (!o.fault.empty()) {
    if (!parse_fault(split_words(o.fault), loop.reader.fault, error)) {
      std::fprintf(stderr, "readersim: --fault: %s\n", error.c_str());
      return 1;
    }
  }
  // Paced, a command reaches the reader when its last byte would have
  // crossed the line, and an answer leaves it byte by byte.
  if (o.pace) {
    loop.tx.byte_ns = loop.rx.byte_ns = byte_time_ns(o.baud);
    // Wake at the byte times themselves, not up to 50 us after them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }

  const bool ok = o.device.empty() ? open_pty(loop.line, o.baud, error)
                                   : open_device(loop.line, o.device, o.baud, error);
  if (!ok) {
    std::fprintf(stderr, "readersim: %s\n", error.c_str());
    return 1;
  }
  Symlink link;
  if (!o.link.empty() && !link.make(loop.line.path, o.link, error)) {
    std::fprintf(stderr, "readersim: %s\n", error.c_str());
    return 1;
  }

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGHUP);  // its terminal closed: it ends as cleanly
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  Fd sigfd(::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
  ::signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", loop.line.path.c_str());
  std::fflush(stdout);

  int64_t now = now_us();
  reader_start(loop.reader, now / 1000);
  loop.log.write("start on " + loop.line.path, now);

  bool stdin_open = true;
  std::string pending;  // a control line not yet ended
  Output out;
  for (;;) {
    now = now_us();
    int64_t due = -1;
    const int64_t reader_due = reader_deadline(loop.reader);
    if (reader_due >= 0) due = reader_due * 1000;
    const int64_t tx_due = paced_next_due(loop.tx);
    const bool tx_ready = tx_due >= 0 && tx_due <= now;
    // Bytes due now wait for POLLOUT; later ones for their time.
    if (!tx_ready && tx_due >= 0 && (due < 0 || tx_due < due)) due = tx_due;
    const int64_t rx_due = paced_next_due(loop.rx);
    if (rx_due >= 0 && (due < 0 || rx_due < due)) due = rx_due;

    struct pollfd fds[3] = {};
    fds[0].fd = loop.line.fd.get();
    fds[0].events = POLLIN | (tx_ready ? POLLOUT : 0);
    fds[1].fd = stdin_open ? 0 : -1;
    fds[1].events = POLLIN;
    fds[2].fd = sigfd.get();
    fds[2].events = POLLIN;
    struct timespec timeout;
    struct timespec* tp = nullptr;
    if (due >= 0) {
      const int64_t wait = due > now ? due - now : 0;
      timeout.tv_sec = static_cast<time_t>(wait / 1000000);
      timeout.tv_nsec = static_cast<long>(wait % 1000000) * 1000;
      tp = &timeout;
    }
    if (::ppoll(fds, 3, tp, nullptr) < 0 && errno != EINTR) {
      std::fprintf(stderr, "readersim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    now = now_us();

    if (fds[2].revents & POLLIN) {
      loop.log.write("stop on signal", now);
      return 0;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      uint8_t buf[4096];
      const ssize_t n = ::read(loop.line.fd.get(), buf, sizeof buf);
      if (n > 0) {
        paced_push(loop.rx, now, std::vector<uint8_t>(buf, buf + n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO)) {
        std::fprintf(stderr, "readersim: line closed: %s\n", n == 0 ? "end" : std::strerror(errno));
        return 1;
      } else if (errno == EIO) {
        // A pty whose host side is closed; ours keeps it, so only wait.
        ::usleep(10000);
      }
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      char buf[1024];
      const ssize_t n = fds[1].revents & POLLNVAL ? 0 : ::read(0, buf, sizeof buf);
      if (n <= 0 && !(n < 0 && (errno == EAGAIN || errno == EINTR))) {
        stdin_open = false;
      } else if (n > 0) {
        pending.append(buf, static_cast<size_t>(n));
        if (pending.size() > 65536) pending.clear();  // no sane control line is this long
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
          const std::string text = pending.substr(0, eol);
          pending.erase(0, eol + 1);
          if (split_words(text).empty()) continue;
          const ControlResult r = run_control(loop.reader, text, now / 1000);
          std::fprintf(stderr, "%s\n", r.message.c_str());
          loop.log.write("control: " + text + " -> " + r.message, now);
          if (r.quit) return 0;
        }
      }
    }
    // A paced command is answered from the time its last byte came, however
    // late this loop woke for it.
    std::vector<uint8_t> arrived;
    int64_t arrived_at = now;
    if (paced_take(loop.rx, now, arrived, arrived_at) > 0)
      reader_feed(loop.reader, arrived.data(), arrived.size(), arrived_at / 1000, out);
    reader_tick(loop.reader, now / 1000, out);
    emit(loop, out, now, arrived_at);
    if (!tx_write(loop.tx, loop.line.fd.get(), now_us(), error)) {
      std::fprintf(stderr, "readersim: %s\n", error.c_str());
      return 1;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  keep_std_fds();
  Options o;
  const int parsed = parse_options(argc, argv, o);
  if (parsed == 2) return 0;
  if (parsed != 0) return 2;
  return run(o);
}
