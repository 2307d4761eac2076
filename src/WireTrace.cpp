#include "WireTrace.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "RecordFiles.h"
#include "RunLog.h"
#include "platform/Platform.h"

namespace {

PlatformRecordFile sFile;
bool sOpen = false;
// A write failed (a full disk, say): the trace stops, the run goes on.
bool sFailed = false;
std::string sPath;
uint64_t sStartMs = 0;
int sPort = 0;

// Lines in one write, in the file at once, so that the trace of a run cut
// short ends where the run did. The first failure is told once.
void writeLines(const std::string &lines) {
  if (!sOpen || sFailed) {
    return;
  }
  if (!Platform_WriteDescriptor(sFile.fd, lines.data(), lines.size())) {
    const int error = errno;
    sFailed = true;
    RecordFiles_WriteFailed("wire trace", sPath.c_str(), error);
  }
}

// One event line: time, port and rate, then the text.
void event(DWORD baud, const std::string &text) {
  if (!sOpen || sFailed) {
    return;
  }
  char head[64];
  snprintf(head, sizeof head, "%10llu COM%-3d %7lu ",
           static_cast<unsigned long long>(Platform_GetTickCount64() - sStartMs), sPort,
           static_cast<unsigned long>(baud));
  writeLines(head + text + "\n");
}

const char *failedSuffix(BOOL ok) { return ok ? "" : " FAILED"; }

}  // namespace

std::string WireTrace_Quoted(const void *bytes, int count) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto *p = static_cast<const unsigned char *>(bytes);
  std::string text = "\"";
  for (int k = 0; k < count; k++) {
    const unsigned char c = p[k];
    switch (c) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '"':
        text += "\\\"";
        break;
      case '\\':
        text += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          text += "\\x";
          text += kDigits[c >> 4];
          text += kDigits[c & 0x0F];
        } else {
          text += static_cast<char>(c);
        }
    }
  }
  return text + "\"";
}

void WireTrace_Attach(const PlatformRecordFile *file, const char *path) {
  WireTrace_Close();
  sFile = *file;
  sOpen = true;
  sFailed = false;
  sPath = path;
  sStartMs = Platform_GetTickCount64();
  sPort = 0;
  writeLines("# wire trace of the serial line, begun " + RunLog_LocalTime(time(nullptr)) +
             "\n"
             "# ms since then, port, line rate in baud, > to the unit or < from it, the byte\n"
             "# count and the bytes; data blocks by their count and the sum of their bytes\n");
}

void WireTrace_Discard(void) {
  if (sOpen) {
    Platform_CloseRecordFile(&sFile, 1);
    sOpen = false;
  }
}

void WireTrace_Close(void) {
  if (sOpen) {
    Platform_CloseRecordFile(&sFile, 0);
    sOpen = false;
  }
}

void WireTrace_PortOpened(int port, DWORD baud, DWORD readTimeoutMs, BOOL ctsFlow) {
  if (!sOpen) {
    return;
  }
  sPort = port;
  event(baud, "open, read time-out " + std::to_string(readTimeoutMs) + " ms, CTS flow control " +
                  (ctsFlow ? "on" : "off"));
}

void WireTrace_PortOpenFailed(int port, DWORD baud) {
  if (!sOpen) {
    return;
  }
  sPort = port;
  event(baud, "open FAILED");
}

void WireTrace_PortClosed(DWORD baud) {
  if (sOpen) {
    event(baud, "close");
  }
}

void WireTrace_Written(const void *bytes, int count, DWORD baud, BOOL ok) {
  if (!sOpen) {
    return;
  }
  std::string text = "> " + std::to_string(count);
  if (count > WIRE_TRACE_DATA_BLOCK) {
    uint32_t sum = 0;
    for (int k = 0; k < count; k++) {
      sum += static_cast<const unsigned char *>(bytes)[k];
    }
    text += " data, byte sum " + std::to_string(sum);
  } else {
    text += " " + WireTrace_Quoted(bytes, count);
  }
  event(baud, text + failedSuffix(ok));
}

void WireTrace_Read(const void *bytes, int count, DWORD baud, DWORD readTimeoutMs, BOOL ok) {
  if (!sOpen) {
    return;
  }
  if (count == 0 && ok) {
    event(baud, "< 0 (silent for " + std::to_string(readTimeoutMs) + " ms)");
    return;
  }
  event(baud,
        "< " + std::to_string(count) + " " + WireTrace_Quoted(bytes, count) + failedSuffix(ok));
}

void WireTrace_Setting(const char *setting, DWORD baud, BOOL applied) {
  if (!sOpen) {
    return;
  }
  event(baud, std::string(setting) + failedSuffix(applied));
}
