// Why a COM port would not open, said after the program's own error line.
#pragma once

// Prints the device the port stands for and the system's reason that it
// cannot be had (missing, busy, no permission), found by trying the device
// once more for a moment: nothing is written to it.
void ExplainOpenFailure(unsigned port);
