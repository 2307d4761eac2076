// The update tool. Its whole run is fwupgradeMainWithArguments(), which the
// tests call in-process; this file only makes it the program.
#include "TessaronFwUpgrade.h"

int main(int argc, char **argv) { return fwupgradeMainWithArguments(argc, argv); }
