/* serchan32: up to eight serial ports as numbered channels.
 *
 * Every function takes and returns 32-bit integers (and pointers to caller
 * memory, which the library never keeps). Results: 0 or a byte count on
 * success; -1 the operation failed; -11 bad, closed or unusable channel (also
 * no free slot and failed open); -12 carrier lost during a checked read.
 * Functions are exported undecorated, caller cleans the stack (cdecl), at
 * fixed ordinals (serchan32.def).
 *
 * The break event (XRT_M_Comm_GetBreakEvent): setting it from another thread
 * ends a XRT_M_Comm_Delay and aborts a read in progress on the channel. Under
 * Windows it is an event HANDLE (SetEvent). Natively it is the file
 * descriptor of an eventfd, cast to void*: write the 8-byte value 1 to it
 * (eventfd_write(fd, 1)) to set it; it polls readable while set. It stays
 * valid until the channel closes; the library resets it when it has acted on
 * it.
 *
 * Trace: SERCHAN32_TRACE=FILE (or "-" for standard error) in the environment
 * when the library loads appends one line per event to FILE, "<seconds since
 * load> ch<index> <WORD> <details>": OPEN, TX and RX for each block written or
 * read ("TX 5 : 04 00 00 41 C1"), FAIL for a function that fails, ERROR for a
 * failed system call, LINE, MODEM, BREAK, CLOSE and REPORT. Lines are whole;
 * SERCHAN32_TRACE_MAX bounds the file (default 64 MiB). Unset, nothing is
 * written and nothing changes. */
#ifndef SERCHAN32_H
#define SERCHAN32_H

#if defined(_WIN32)
#define SERCHAN32_CALL __cdecl
#else
#define SERCHAN32_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum { SERCHAN32_FAILED = -1, SERCHAN32_BAD_CHANNEL = -11, SERCHAN32_CARRIER_LOST = -12 };

/* ---- Channels -------------------------------------------------------
 * A channel is an index 0 to 7 of the library's table. Open takes the first
 * free one. Open and close of any channel are serialised by one lock; every
 * other function runs on the caller's thread and blocks only as said below.
 * On one channel, at most one read (ReadByte, ReadBlock, ReadBlock_EOB,
 * ReadBlock_Length, Delay) may run at a time, and a write (SendBlock,
 * SendBlock_0) may run beside it from another thread (writes on one channel
 * are serialised whole). The break event may be set from any thread. Close
 * a channel only when no other call on it is running: set the break event
 * to end a waiting read first. Different channels are independent. */

/* 1: always 0. */
/* 1 */ int SERCHAN32_CALL GetGlobDummy(void);

/* 2: before each read the library dispatches the calling thread's window
 * messages once (Windows), unless the channel's mode is 1. Sets the mode of
 * a channel index 0 to 7, open or not; always 0. */
/* 2 */ int SERCHAN32_CALL XRT_M_Change_Wait_Mode(int index, int mode);

/* 3: on nonzero: ReadBlock_EOB and ReadBlock_Length check the carrier (DCD)
 * before and after the read and return -12 when it is off, switching the
 * check off again. 0, or -11 for an index outside 0 to 7. */
/* 3 */ int SERCHAN32_CALL XRT_M_Comm_Check_RLSD(int index, int on);

/* 4: closes the channel: ends its watcher thread, builds the traffic report
 * (bytes each way, line errors by kind) and releases the port. 0, also for a
 * channel that is not open; -11 for an index outside 0 to 7. */
/* 4 */ int SERCHAN32_CALL XRT_M_Comm_CloseChannel(int index);

/* 5: waits `milliseconds` on the channel's break event: 0 when the time has
 * passed, -1 (the event reset) when the break event ended it first. */
/* 5 */ int SERCHAN32_CALL XRT_M_Comm_Delay(int index, unsigned milliseconds);

/* 6: discards what is in the receive and transmit queues and ends their
 * pending operations. 0, -1, -11. */
/* 6 */ int SERCHAN32_CALL XRT_M_Comm_FlushBuffers(int index);

/* 7: XRT_M_Comm_OpenChannel_0 with no parity, 8 data bits, 1 stop bit. */
/* 7 */ int SERCHAN32_CALL XRT_M_Comm_OpenChannel(unsigned port, unsigned baud, int* outIndex);

/* 8: opens COM `port` (COM257 is COM1 again) exclusively at `baud`, parity
 * 'N', 'O', 'E', 'M' or 'S', dataBits 5 to 8, stopBits 1 or 2, DTR and RTS
 * on, no flow control; starts the port's watcher thread. 0 and *outIndex the
 * channel; -11 and *outIndex -1 when no channel is free, the port cannot be
 * opened or takes not the settings (baud 0 included). Natively COM n is the
 * device of SERCHAN32_COMn, else its ports-file line, else /dev/ttyS<n-1>
 * (XRT_M_Comm_PortDevice below). */
/* 8 */ int SERCHAN32_CALL XRT_M_Comm_OpenChannel_0(unsigned port, unsigned baud, int parity,
                                                    int dataBits, int stopBits, int* outIndex);

/* 9: RTS on (nonzero) or off. 0 whatever the line did; -11. */
/* 9 */ int SERCHAN32_CALL XRT_M_Comm_RTS(int index, int on);

/* 10: reads up to 256 bytes, ending after the byte endOfBlock & 0xFF (0 ends
 * nothing): the first byte within `timeout` ms, each next within 50 ms.
 * Returns the count when the read ended on that byte or with 256 bytes, 0
 * when it timed out or failed; a NUL is written after the bytes counted, so
 * the buffer holds 257 bytes. -12 with the carrier check on (3) and the
 * carrier off; -11. */
/* 10 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock_EOB(int index, unsigned char* buffer,
                                                     unsigned timeout, int endOfBlock);

/* 11: reads exactly length & 0xFF bytes, as ReadBlock_EOB reads: the count
 * when all came, else 0; a NUL after them (length + 1 bytes of buffer);
 * -12; -11. */
/* 11 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock_Length(int index, unsigned char* buffer,
                                                        unsigned timeout, unsigned length);

/* 12: discards both queues (as 6), then writes length & 0xFF bytes. 0 when
 * all were written, -1 (the transmit side aborted) when the write failed or
 * was short, -11. Blocks until the system has taken the bytes. */
/* 12 */ int SERCHAN32_CALL XRT_M_Comm_SendBlock(int index, const unsigned char* buffer,
                                                 unsigned length);

/* 13: the channel's connected flag; 0 makes every I/O function of the
 * channel answer -11 until it is set again (open sets it). 0, -11. */
/* 13 */ int SERCHAN32_CALL XRT_M_Set_FlagConnect(int index, int flag);

/* 14: reads exactly count & 0xFFFF bytes: the first within `timeout` ms, each
 * next within 50 ms. The count when all came; -1 (the receive side aborted)
 * when one did not come in time, the line failed or the break event was set;
 * -11. Nothing is appended to the buffer. */
/* 14 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock(int index, unsigned char* buffer, unsigned timeout,
                                                 unsigned count);

/* 15: writes length & 0xFFFF bytes, without discarding anything first. 0,
 * -1, -11, as 12. */
/* 15 */ int SERCHAN32_CALL XRT_M_Comm_SendBlock_0(int index, const unsigned char* buffer,
                                                   unsigned length);

/* 16: how many received bytes wait to be read, in *outQueued (0 on
 * failure). 0, -1, -11; works on a channel whose connected flag is 0. */
/* 16 */ int SERCHAN32_CALL XRT_M_Comm_CheckRecvQueue(int index, unsigned* outQueued);

/* 17: reads one byte within `timeout` ms. 0, -1 (time-out, line failure,
 * break event), -11. */
/* 17 */ int SERCHAN32_CALL XRT_M_Comm_ReadByte(int index, unsigned char* byte, unsigned timeout);

/* 18: the channel's break event in *outEvent (see above). 0, -11. */
/* 18 */ int SERCHAN32_CALL XRT_M_Comm_GetBreakEvent(int index, void** outEvent);

#if !defined(_WIN32)
/* Native extension (not in the DLL, no ordinal): opens a channel on the
 * serial device at an absolute path (/dev/ttyUSB0, /dev/serial/by-id/...,
 * a pseudo-terminal or a link to one), at baud with 8 data bits, no parity
 * and one stop bit, as XRT_M_Comm_OpenChannel opens a COM port. Results as
 * XRT_M_Comm_OpenChannel's: 0 and *outIndex the channel, or -11 (and
 * *outIndex -1) when the path is not absolute, is 256 characters or longer,
 * or cannot be opened, or no channel is free. */
int XRT_M_Comm_OpenDevice(const char* device, unsigned baud, int* outIndex);

/* Native extension: the device that COM port `port` leads to, as
 * XRT_M_Comm_OpenChannel would open it (COM257 is COM1 again), and where that
 * came from. COM n is, in order: the path in the environment variable
 * SERCHAN32_COM<n>; the line "COMn PATH" of the ports file (the file
 * $SERCHAN32_PORTS when set, else $XDG_CONFIG_HOME/serchan32/ports or
 * ~/.config/serchan32/ports when it exists, else /etc/serchan32/ports; '#'
 * starts a comment; read at each open); /dev/ttyS<n-1>. At most deviceSize
 * and sourceSize bytes are written, the NUL included. Returns 0 with the
 * path in device and in source "SERCHAN32_COM3", "FILE:LINE" or "default";
 * -1 when a wrong line of the ports file names the port, which then opens
 * nothing: device empty, source "FILE:LINE: why". */
int XRT_M_Comm_PortDevice(unsigned port, char* device, unsigned deviceSize, char* source,
                          unsigned sourceSize);
#endif

#ifdef __cplusplus
}
#endif

#endif /* SERCHAN32_H */
