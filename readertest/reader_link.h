// The reader console's use of the link: exchanges on the program's channel
// and the messages that report their results. The commands themselves run
// the reader's operations (readerlink/reader_commands.h).
#pragma once

#include "readerlink/reader_commands.h"
#include "readerlink/reader_link.h"

// Sends the command with its data (null when length is 0) on the program's
// channel and receives the answer into response (capacity bytes). The status
// byte goes to *status; *responseLength is the data length, 0 on failure.
int ReaderExchange(BYTE command, const BYTE* data, WORD length, BYTE* status, BYTE* response,
                   WORD capacity, WORD* responseLength);

// Prints the message for a link result.
void ReportLinkResult(int result);

// True when the operation's link result is kLinkOk; else false after
// printing its message.
bool LinkSucceeded(const ReaderAnswer& answer);
