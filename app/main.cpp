// vellum: the desktop program.
#include "app/program.h"

int main(int argc, char** argv) { return vellum::app::RunProgram(argc, argv); }
