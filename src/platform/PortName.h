// What a device name handed to Platform_CreateFileA means: the one rule for
// every platform layer, so that a name opens the same port everywhere.
//
// The rule follows what Windows itself resolves for the names the serial link
// builds ("\\.\COM3"): the prefix "\\.\", then "COM" in any case (object
// names are case-blind there, "\\.\com3" is COM3), then the number in decimal
// from 1 without leading zeros ("\\.\COM03" names no device on Windows). The
// prefix may be left out: Windows resolves a bare "COM1" to "COM9" by itself,
// and the layers here take a bare name for any number so that tests may open
// a port by its short name. Numbers have at most six digits.
#ifndef PORTNAME_H
#define PORTNAME_H

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
  int number = 0;
  for (int digits = 0; *p != '\0'; p++, digits++) {
    if (*p < '0' || *p > '9' || digits == 6) {
      return 0;
    }
    number = number * 10 + (*p - '0');
  }
  return number;
}

#endif
