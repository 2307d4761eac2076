// The update tool. Its whole run is fwupgradeMain(), which the tests call
// in-process; this file only makes it the program.
#include "TessaronFwUpgrade.h"

int main(void) { return fwupgradeMain(); }
