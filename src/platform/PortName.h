// What a device name handed to Platform_CreateFileA means: the one rule for
// every platform layer, so that a name opens the same port everywhere.
//
// The rule follows what Windows itself resolves for the names the serial link
// builds ("\\.\COM3"): the prefix "\\.\", then "COM" in any case (object
// names are case-blind there, "\\.\com3" is COM3), then the number in decimal
// from 1 without leading zeros ("\\.\COM03" names no device on Windows). The
// prefix may be left out: Windows resolves a bare "COM1" to "COM9" by itself,
// and the layers here take a bare name for any number so that tests may open
// a port by its short name. Numbers go up to PORT_NUMBER_MAX, the same
// bound the serial link puts on a number the operator types, so that no
// number passes the one and fails the other.
#ifndef PORTNAME_H
#define PORTNAME_H

// The highest port number: six digits.
#define PORT_NUMBER_MAX 999999

// Whether `n` can be a port's number at all.
inline bool portNumberInRange(long n) { return n >= 1 && n <= PORT_NUMBER_MAX; }

// A port named by its device path (--port /dev/ttyUSB0) is carried by a
// number above every COM number, one a path, so that the serial link and
// everything above it handle it as they handle COM3; the device name handed
// to Platform_CreateFileA for it is the path itself.
#define PORT_PATH_FIRST (PORT_NUMBER_MAX + 1)
#define PORT_PATH_COUNT 64
inline bool portNumberIsPath(long n) {
  return n >= PORT_PATH_FIRST && n < PORT_PATH_FIRST + PORT_PATH_COUNT;
}

// The port number that `deviceName` names; 0 when it names no COM port.
inline int portNumberFromName(const char *deviceName) {
  if (deviceName == nullptr) {
    return 0;
  }
  const char *p = deviceName;
  if (p[0] == '\\' && p[1] == '\\' && p[2] == '.' && p[3] == '\\') {
    p += 4;
  }
  static const char kCom[] = "COM";
  for (int k = 0; k < 3; k++, p++) {
    if (*p != kCom[k] && *p != kCom[k] - 'A' + 'a') {
      return 0;
    }
  }
  if (*p < '1' || *p > '9') {
    return 0;
  }
  long number = 0;
  for (; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') {
      return 0;
    }
    number = number * 10 + (*p - '0');
    if (!portNumberInRange(number)) {
      return 0;
    }
  }
  return static_cast<int>(number);
}

#endif
