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
BOOL FileAPI_writeToFile(const char *stringToWrite);
BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength);
BOOL FileAPI_CloseFile(void);

#endif
