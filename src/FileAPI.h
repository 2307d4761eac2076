// One output file stream at a time.
#ifndef FILEAPI_H
#define FILEAPI_H

#include <stdint.h>
#include <stdio.h>

#include "platform/Win32Types.h"

extern FILE *fptr;

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary);
BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary);
// As FileAPI_CreateFile in binary mode, for a file that is made whole or not
// at all: a refusal or a failure, at the open or at the close, says so in the
// one line "ERROR: <name> not written: <reason> !", and nothing else.
BOOL FileAPI_ReplaceFile(const char *fileName);
BOOL FileAPI_writeToFile(const char *stringToWrite);
BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength);
BOOL FileAPI_CloseFile(void);

#endif
