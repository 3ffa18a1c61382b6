// Ids of the test string table (test_strings.rc).
#pragma once

#define IDS_SHORT 1
#define IDS_RUSSIAN 2
#define IDS_ESCAPES 0x10
#define IDS_PUNCTUATION 300
