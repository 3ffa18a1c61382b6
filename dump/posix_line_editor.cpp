// Lines from a terminal through libedit, as a console's own line editor
// gives them: the line can be edited, Up and Down recall earlier lines, and
// keys that are no characters (arrows, function keys) never reach the text.
// The terminal speaks UTF-8; the line is handed over in code page 1251.
//
// The prompt the program wrote before asking is the editor's prompt too, so
// that a redrawn line keeps it. While the editor reads, the terminal is in
// the editor's mode, recorded as the line mode: a stop and a continuation
// give it back and take it again as they do the raw mode.
#include <fcntl.h>
#include <histedit.h>
#include <locale.h>
#include <stdio.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <new>

#include "dump/code_pages.h"
#include "dump/posix_state.h"
#include "dump/terminal_codes.h"

struct LineEditor {
  EditLine* editor;
  History* history;
  locale_t utf8;  // the terminal's encoding, for the editor's thread alone
  char prompt[kScreenLineMax * kUtf8CharacterMax + 1];
};

namespace {

// How many lines Up can go back.
const int kHistoryLines = 500;

char* Prompt(EditLine* editor) {
  void* data = nullptr;
  el_get(editor, EL_CLIENTDATA, &data);
  return static_cast<LineEditor*>(data)->prompt;
}

// The editor runs in the terminal's encoding, set for this thread while it does.
class Utf8Held {
 public:
  explicit Utf8Held(locale_t utf8) : previous_(utf8 != nullptr ? uselocale(utf8) : nullptr) {}
  ~Utf8Held() {
    if (previous_ != nullptr) uselocale(previous_);
  }
  Utf8Held(const Utf8Held&) = delete;
  Utf8Held& operator=(const Utf8Held&) = delete;

 private:
  locale_t previous_;
};

unsigned char Ignore(EditLine*, int) { return CC_NORM; }

// Keys that send sequences the editor has no use for do nothing, rather than
// leave their last characters in the line; Home, End and Delete edit.
void BindKeys(EditLine* editor) {
  el_set(editor, EL_ADDFN, "dump-ignore", "key without a use in a line", Ignore);
  char sequence[16];
  for (const int number : {2, 5, 6, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 23, 24}) {
    snprintf(sequence, sizeof sequence, "\033[%d~", number);
    el_set(editor, EL_BIND, sequence, "dump-ignore", nullptr);
    for (char modifier = '2'; modifier <= '8'; ++modifier) {
      snprintf(sequence, sizeof sequence, "\033[%d;%c~", number, modifier);
      el_set(editor, EL_BIND, sequence, "dump-ignore", nullptr);
    }
  }
  for (const char* sequence : {"\033OP", "\033OQ", "\033OR", "\033OS"}) {
    el_set(editor, EL_BIND, sequence, "dump-ignore", nullptr);
  }
  // With Shift, Alt or Ctrl: arrows move as they do alone, the rest do nothing.
  for (char modifier = '2'; modifier <= '8'; ++modifier) {
    for (const char key : {'A', 'B', 'C', 'D', 'H', 'F', 'P', 'Q', 'R', 'S'}) {
      snprintf(sequence, sizeof sequence, "\033[1;%c%c", modifier, key);
      const char* action = key == 'C'   ? "ed-next-char"
                           : key == 'D' ? "ed-prev-char"
                           : key == 'H' ? "ed-move-to-beg"
                           : key == 'F' ? "ed-move-to-end"
                                        : "dump-ignore";
      el_set(editor, EL_BIND, sequence, action, nullptr);
    }
  }
  for (const char* sequence : {"\033[H", "\033OH", "\033[1~", "\033[7~"}) {
    el_set(editor, EL_BIND, sequence, "ed-move-to-beg", nullptr);
  }
  for (const char* sequence : {"\033[F", "\033OF", "\033[4~", "\033[8~"}) {
    el_set(editor, EL_BIND, sequence, "ed-move-to-end", nullptr);
  }
  el_set(editor, EL_BIND, "\033[3~", "ed-delete-next-char", nullptr);
}

LineEditor* OpenEditor(ConsoleState& state) {
  LineEditor* line = new (std::nothrow) LineEditor();
  if (line == nullptr) return nullptr;
  line->utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  Utf8Held held(line->utf8);
  // Its own streams over the terminal: the program's stdio is left alone.
  const int in = fcntl(state.input.fd, F_DUPFD_CLOEXEC, 3);
  const int out = fcntl(state.input.fd, F_DUPFD_CLOEXEC, 3);
  FILE* input = in >= 0 ? fdopen(in, "r") : nullptr;
  FILE* output = out >= 0 ? fdopen(out, "w") : nullptr;
  if (input == nullptr || output == nullptr) {
    if (input != nullptr) fclose(input);
    if (output != nullptr) fclose(output);
    if (input == nullptr && in >= 0) close(in);
    if (output == nullptr && out >= 0) close(out);
    delete line;
    return nullptr;
  }
  line->editor = el_init("dump", input, output, output);
  line->history = history_init();
  if (line->editor == nullptr || line->history == nullptr) {
    fclose(input);
    fclose(output);
    delete line;
    return nullptr;
  }
  HistEvent event;
  history(line->history, &event, H_SETSIZE, kHistoryLines);
  history(line->history, &event, H_SETUNIQUE, 1);
  el_set(line->editor, EL_EDITOR, "emacs");
  el_set(line->editor, EL_CLIENTDATA, line);
  el_set(line->editor, EL_PROMPT, Prompt);
  el_set(line->editor, EL_HIST, history, line->history);
  BindKeys(line->editor);
  return line;
}

// The prompt: what the program wrote on the cursor's line since it began or
// went back to its start, when the output is this terminal.
void SetPrompt(const ConsoleState& state, LineEditor& line) {
  size_t used = 0;
  const ScreenText& text = state.screen.line;
  if (state.outputIsTerminal && !text.cut) {
    size_t from = text.length;
    while (from > 0 && text.bytes[from - 1] != '\r') --from;
    used = EncodeUtf8Text(text.bytes + from, text.length - from, text.codePage, line.prompt);
  }
  line.prompt[used] = '\0';
}

// Keys typed before the line was asked for begin it, up to an Enter among
// them; the keys after that Enter stay for later.
void PushTypedAhead(InputBytes& input, EditLine* editor) {
  char keys[1024];
  size_t used = 0;
  while (WaitingBytes(input) > 0 && used + kUtf8CharacterMax + 1 < sizeof keys) {
    const TerminalKey key = DecodeTerminalKey(FirstByte(input), WaitingBytes(input), false);
    DropBytes(input, key.length);
    if (key.kind != TerminalKey::kKey || key.code == 27) continue;
    if (key.code == '\r' || key.code == '\n') {
      keys[used++] = '\n';
      break;
    }
    used += EncodeUtf8(UnicodeOfByte(key.code, kTextCodePage), keys + used);
  }
  keys[used] = '\0';
  if (used > 0) el_push(editor, keys);
}

}  // namespace

InputLine EditLineOnTerminal(ConsoleState& state, char* line, size_t capacity) {
  InputLine result = {false, 0, false};
  if (state.editor == nullptr) state.editor = OpenEditor(state);
  LineEditor* editor = state.editor;
  if (editor == nullptr) {
    result.ended = true;
    return result;
  }
  Utf8Held held(editor->utf8);
  SetPrompt(state, *editor);
  // The editor writes the prompt again from the line's start.
  if (editor->prompt[0] != '\0') WriteAll(state.output, "\r", 1);
  PushTypedAhead(state.input, editor->editor);
  // The editor's mode, taken now and recorded as the line mode.
  el_set(editor->editor, EL_PREP_TERM, 1);
  if (tcgetattr(state.input.fd, &state.lineMode) != 0) state.lineMode = state.rawMode;
  state.mode = kModeLine;
  int count = 0;
  const char* text = el_gets(editor->editor, &count);
  el_set(editor->editor, EL_PREP_TERM, 0);
  SetTerminalMode(state, kModeRaw);
  if (text == nullptr || count <= 0) {
    // Ctrl+D on an empty line, or a hang-up: the end of the input.
    state.input.ended = true;
    result.ended = true;
    return result;
  }
  HistEvent event;
  size_t length = static_cast<size_t>(count);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length > 0) history(editor->history, &event, H_ENTER, text);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  for (size_t at = 0; at < length;) {
    unsigned character = 0;
    const size_t used = DecodeUtf8(bytes + at, length - at, &character);
    at += used > 0 ? used : length - at;
    if (result.length < capacity) {
      line[result.length++] = static_cast<char>(CodePage1251Of(character));
    } else {
      result.cut = true;
    }
  }
  return result;
}
