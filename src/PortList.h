// --list-ports: the COM ports there are, what each leads to, which
// another program holds and what tells one adapter from another (its
// stable names, USB figures and serial number; Device Manager's names on
// Windows), every text from the system escaped. Nothing is sent.
#ifndef PORTLIST_H
#define PORTLIST_H

// Prints the list. The exit code: 0, or -1 when the ports can't be listed.
int listComPorts(void);

#endif
