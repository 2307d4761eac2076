// The unit's reply to "%fw -v", any text, against the C library's own
// "%d.%d.%d %s %d.%d %d" with room for a token of any length: the same count
// and the same numbers, the token cut to 7 characters, and nothing written
// past the 8 bytes of `model` (a heap block of exactly that size).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "FuzzReference.h"
#include "TextHelpers.h"
#include "UnitUpdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string reply(reinterpret_cast<const char *>(data),
                          strnlen(reinterpret_cast<const char *>(data), size));
  std::unique_ptr<char[]> text(new char[reply.size() + 1]);
  memcpy(text.get(), reply.c_str(), reply.size() + 1);
  // The driver blanks the line ends before it converts.
  StrRemoveNL(text.get(), ' ');

  const int unset = -12345;
  int got[6] = {unset, unset, unset, unset, unset, unset};
  int fpgaType = -1;
  std::unique_ptr<char[]> model(new char[8]);
  memcpy(model.get(), "unset!!", 8);
  const int nbr = parseVersionReply(text.get(), &got[0], &got[1], &got[2], model.get(), &got[3],
                                    &got[4], &fpgaType);

  int want[6] = {unset, unset, unset, unset, unset, unset};
  int wantType = -1;
  std::unique_ptr<char[]> token(new char[reply.size() + 1]);
  memcpy(token.get(), "unset!!", 8 <= reply.size() + 1 ? 8 : reply.size() + 1);
  token[reply.size()] = '\0';
  const int converted = sscanf(text.get(), "%d.%d.%d %s %d.%d %d", &want[0], &want[1], &want[2],
                               token.get(), &want[3], &want[4], &wantType);
  FUZZ_CHECK(nbr == (converted < 0 ? 0 : converted));
  FUZZ_CHECK(nbr >= 0 && nbr <= 7);
  for (int k = 0; k < 6; k++) {
    FUZZ_CHECK(got[k] == want[k]);
  }
  FUZZ_CHECK(fpgaType == wantType);
  if (nbr >= 4) {
    FUZZ_CHECK(strnlen(model.get(), 8) <= 7);
    FUZZ_CHECK(strncmp(model.get(), token.get(), 7) == 0);
  } else {
    FUZZ_CHECK(memcmp(model.get(), "unset!!", 8) == 0);
  }
  return 0;
}
