/* dump: the console library of the reader console.
 *
 * Texts given to it are code page 1251 (the banner: the console's OEM code
 * page 866). On a console they are shown through the wide console API; on a
 * pipe or a file they are written as UTF-8. Keys come from console input
 * records, or, when standard input is a pipe or a file, one byte a key.
 *
 * Pipes and files are scripts: ConFlushKeys, which on a console or a terminal
 * discards every key waiting, there drops only the byte that ConKeyPressed
 * last reported and nobody took since (the key that stopped a loop), so no
 * scripted line is lost.
 *
 * End of input: when standard input is closed, ConKeyPressed reports a key
 * (so loops that run until a key stop), ConGetKey returns DUMP_INPUT_ENDED,
 * and ConReadLine and ConReadHex, with nothing left to deliver, end the
 * process with exit code 0, as a program does when its terminal hangs up.
 *
 * Status lines: on a console or a terminal, a text written over a line that
 * a "\r" went back on is cleared to that line's end (blanks on a console, an
 * erase sequence on a terminal), so nothing of the old line stays. A pipe or
 * a file gets the texts as they are.
 *
 * Colours: ConSetColor repaints the line just written (or the one being
 * written) in the colour at once, across the whole width of a console or a
 * terminal, and leaves the colour set for what follows; ConResetColor gives
 * the normal colours back to what comes after it. Neither writes anything to
 * a pipe or a file.
 *
 * Exported undecorated, caller cleans the stack (cdecl), at fixed ordinals
 * (dump.def); the reader console binds them by ordinal alone. No call keeps a
 * pointer to caller memory after it returns. */
#ifndef DUMP_H
#define DUMP_H

#if defined(_WIN32)
#define DUMP_CALL __cdecl
#else
#define DUMP_CALL
#endif

#if defined(__GNUC__)
#define DUMP_PRINTF __attribute__((format(printf, 1, 2)))
#else
#define DUMP_PRINTF
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What ConGetKey returns once the input has ended and no key is left. */
#define DUMP_INPUT_ENDED (-1)

/* 3 */ void DUMP_CALL ConHexDump(const void* buffer, int length, int flags);
/* 5 */ int DUMP_CALL ConPrint(const char* format, ...) DUMP_PRINTF;
/* 6 */ void DUMP_CALL ConWrite(const char* text);
/* 7 */ void DUMP_CALL ConEchoInput(const char* text);
/* 9 */ int DUMP_CALL ConStatus(const char* format, ...) DUMP_PRINTF;
/* 10 */ int DUMP_CALL ConKeyPressed(void);
/* 11 */ int DUMP_CALL ConGetKey(void);
/* 12 */ int DUMP_CALL ConReadLine(char* buffer, int size);
/* 13 */ void DUMP_CALL ConFlushKeys(void);
/* 15 */ void DUMP_CALL ConBanner(const char* text);
/* 16 */ int DUMP_CALL ConOpen(int flags);
/* 18 */ void DUMP_CALL ConGetSize(int* columns, int* rows);
/* 19 */ int DUMP_CALL ConReadHex(unsigned char* buffer, int capacity, unsigned* lengthOut);
/* 28 */ void DUMP_CALL ConSetColor(int attribute);
/* 29 */ void DUMP_CALL ConResetColor(void);

#ifdef __cplusplus
}
#endif

#endif /* DUMP_H */
