// yr_symboliser: the symbol helper of crash reports. A crashing process starts it with its
// own process id and its search path for debug files; it answers the addresses the crash
// report asks about over its standard input and output (see crash_symbols.h).
#include "system/debug/crash_symbols.h"

int main(int argc, char** argv) { return Yr::Detail::ServeSymbols(argc, argv); }
