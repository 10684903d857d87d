#include "platform/program_entry.h"

int main(int argc, char** argv) { return ProgramMain(argc, argv); }
