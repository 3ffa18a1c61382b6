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

/* 1 */ int SERCHAN32_CALL GetGlobDummy(void);
/* 2 */ int SERCHAN32_CALL XRT_M_Change_Wait_Mode(int index, int mode);
/* 3 */ int SERCHAN32_CALL XRT_M_Comm_Check_RLSD(int index, int on);
/* 4 */ int SERCHAN32_CALL XRT_M_Comm_CloseChannel(int index);
/* 5 */ int SERCHAN32_CALL XRT_M_Comm_Delay(int index, unsigned milliseconds);
/* 6 */ int SERCHAN32_CALL XRT_M_Comm_FlushBuffers(int index);
/* 7 */ int SERCHAN32_CALL XRT_M_Comm_OpenChannel(unsigned port, unsigned baud, int* outIndex);
/* 8 */ int SERCHAN32_CALL XRT_M_Comm_OpenChannel_0(unsigned port, unsigned baud, int parity,
                                                    int dataBits, int stopBits, int* outIndex);
/* 9 */ int SERCHAN32_CALL XRT_M_Comm_RTS(int index, int on);
/* 10 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock_EOB(int index, unsigned char* buffer,
                                                     unsigned timeout, int endOfBlock);
/* 11 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock_Length(int index, unsigned char* buffer,
                                                        unsigned timeout, unsigned length);
/* 12 */ int SERCHAN32_CALL XRT_M_Comm_SendBlock(int index, const unsigned char* buffer,
                                                 unsigned length);
/* 13 */ int SERCHAN32_CALL XRT_M_Set_FlagConnect(int index, int flag);
/* 14 */ int SERCHAN32_CALL XRT_M_Comm_ReadBlock(int index, unsigned char* buffer, unsigned timeout,
                                                 unsigned count);
/* 15 */ int SERCHAN32_CALL XRT_M_Comm_SendBlock_0(int index, const unsigned char* buffer,
                                                   unsigned length);
/* 16 */ int SERCHAN32_CALL XRT_M_Comm_CheckRecvQueue(int index, unsigned* outQueued);
/* 17 */ int SERCHAN32_CALL XRT_M_Comm_ReadByte(int index, unsigned char* byte, unsigned timeout);
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
