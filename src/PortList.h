// --list-ports: the COM ports there are, what each leads to and which
// another program holds. Nothing is opened or sent.
#ifndef PORTLIST_H
#define PORTLIST_H

// Prints the list. The exit code: 0, or -1 when the ports can't be listed.
int listComPorts(void);

#endif
