// What the parts of the POSIX serial layer share (the port map, the holds
// and locks, the serial line): the port the current call works on and why
// the last call failed, for Platform_LastErrorText. One owner,
// PosixPortState.cpp. Nothing here is printed: the serial link above
// reports failures.
#ifndef POSIXPORTSTATE_H
#define POSIXPORTSTATE_H

#include <string>

// The port as the failure texts name it: "COM3", or "COM3 (/dev/ttyUSB0)"
// once its device is known.
void posixSetCurrentPort(const std::string &name);
const std::string &posixCurrentPort(void);

// The reason of a failure, after the current port's name: "COM3
// (/dev/ttyUSB0): <text>".
void posixNoteText(const std::string &text);
// `what` failed with errno `error`, with a hint for the commonest refusals;
// an empty `what` for the opening of the port.
void posixNoteError(const std::string &what, int error);

#endif
