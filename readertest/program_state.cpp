#include "readertest/program_state.h"

ProgramState Program;
