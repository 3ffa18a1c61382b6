// Ids of the library's string table (report_strings.rc).
#pragma once

#define IDS_ONE 1
#define IDS_PORT_NAME 15
#define IDS_BAUD_RATE 16
#define IDS_FLOW_DTR_DSR 17
#define IDS_FLOW_RTS_CTS 18
#define IDS_CONTROL_RLSD 19
#define IDS_PORT_OPENED 38
#define IDS_PORT_CLOSED 39
#define IDS_PORT_CONFIG 40
#define IDS_CARRIER_CONTROL 41
#define IDS_CE_RXOVER 100
#define IDS_CE_OVERRUN 101
#define IDS_CE_RXPARITY 102
#define IDS_CE_FRAME 103
#define IDS_CE_BREAK 104
#define IDS_CE_TXFULL 105
#define IDS_CE_MODE 106
#define IDS_BYTES_SENT 107
#define IDS_BYTES_RECEIVED 108
#define IDS_ERRORS 109
