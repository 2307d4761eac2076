// Base64 (RFC 4648 alphabet, "=" padding, no line breaks on output).
#ifndef ENCODER_H
#define ENCODER_H

int base64_encode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);
int base64_decode(unsigned char *dst, int *dlen, const unsigned char *src, int slen);

#endif
