// The tool's only door to the operating system.
//
// Exactly one implementation is linked into each program. The shipped ones
// are here, chosen by the build:
//   Win32*.cpp         the Windows build, one file a concern:
//     Win32SerialLine.cpp   the KERNEL32 serial calls, and the ports a build
//                           with stand-in images may open under Wine
//     Win32PortList.cpp     the COM ports there are, and which are held
//     Win32Console.cpp      console, key wait, clock and sleep
//     Win32Files.cpp        the output-file steps
//     Win32RecordFiles.cpp  the run's record files: identity and hold
//     Win32Processes.cpp    a station's child runs, its interrupts, and its
//                           private folder
//   Posix*.cpp         Linux (macOS untried), one file a concern:
//     PosixSerialLine.cpp   the serial calls, termios on a serial device or a
//                           pty (PosixLineSettings.cpp: the DCB as termios)
//     PosixPortMap.cpp      port numbers to devices (Platform_PreparePorts)
//     PosixPortLocks.cpp    ports held by other programs, and our own hold
//     PosixPortRules.cpp    the rules of those three, without a terminal
//     PosixPortList.cpp     the COM ports the map has, and which are held
//     PosixPortState.cpp    the reason of the last failure, which they share
//     PosixConsole.cpp      console, key wait, clock and sleep
//     PosixInterrupt.cpp    what SIGINT, SIGTERM, SIGHUP and SIGQUIT undo
//     PosixProcesses.cpp    a station's child runs, its interrupts, and its
//                           private folder
//     PlatformPosixCommon.cpp  the output-file steps
//     PosixRecordFiles.cpp  the run's record files: identity and hold
//   The console, clock and file objects never reference a serial call, so a
//   program without a port (WriteWebUploadPackage) need link none.
// The stand-ins live in testing/, beside the simulated unit:
//   testing/PlatformSim.cpp    an in-process simulated unit on a virtual
//                              clock, for fast and deterministic tests
//   testing/FuzzPlatform.cpp   no port, no waits, no output, for the fuzzers
// A change here is a change to all four.
// The serial operations take the arguments and give the results of the Win32
// call they are named after, so that the serial link above them is written
// once and reads like the Windows program it is.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include "Win32Types.h"

// Serial port. The device name has the form "\\.\COMn"; a POSIX layer also
// takes a device path ("/dev/ttyUSB0", a link in /dev/serial/by-id), which
// it opens when it leads to a terminal, under the same locks and with the
// same guard for a program with stand-in images as a COM port's device.
HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL Platform_SetupComm(HANDLE hCom, DWORD inQueue, DWORD outQueue);
BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts);
BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb);
BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags);
BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD function);
// A read ends at its count or at the read time-out. When the line hangs up
// after some bytes arrived, the read returns them and succeeds; the next
// read reports the hang-up.
BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead);
// A write succeeds only when every byte was taken. With write time-outs in
// the record (WriteTotalTimeoutConstant plus WriteTotalTimeoutMultiplier
// per byte) a write not done by then fails with the count it got out; with
// both 0 it has no time-out.
BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten);
BOOL Platform_CloseHandle(HANDLE hCom);
// The device that the last successful Platform_CreateFileA reached, as the
// system names it: for a device path, where the path leads ("/dev/ttyUSB0");
// "" where the platform does not tell.
const char *Platform_OpenedPortDevice(void);

// Settles, before any port is touched, how port numbers reach devices. With
// portMapRequired (programs that carry stand-in images) ports are reached
// only through a port map, never the machine's usual devices (under Wine:
// only the pseudo-terminals of Wine's port table). 0 when no port may be
// used at all: a port map that is there but unusable, or none where one is
// required. When it succeeds, Platform_LastErrorText names the ports of the
// map that it leaves out, one a line, or is "".
BOOL Platform_PreparePorts(BOOL portMapRequired);

// One COM port of this machine, as the tool's port list shows it. The texts
// are as the system gives them (a link's target, an adapter's serial number
// may hold any byte): whoever shows them escapes them. What tells one
// adapter from another is "" where the system has nothing to say.
#define PLATFORM_PORT_TEXT 512
#define PLATFORM_PORT_FIELD 256
typedef struct PlatformPortInfo {
  int number;                       // n of COMn; 0 for a device reached by its path alone
  char device[PLATFORM_PORT_TEXT];  // what the name leads to: a device, a link's target
  BOOL held;                        // another program holds the port
  char note[PLATFORM_PORT_TEXT];    // why the port can't be used now; "" when it can
  // Linux: the device's stable names, and for a USB adapter what sysfs says.
  char byId[PLATFORM_PORT_TEXT];    // /dev/serial/by-id/...
  char byPath[PLATFORM_PORT_TEXT];  // /dev/serial/by-path/...
  char vendorId[8];                 // USB idVendor, "0403"
  char productId[8];                // USB idProduct, "6001"
  char manufacturer[PLATFORM_PORT_FIELD];
  char product[PLATFORM_PORT_FIELD];
  char serialNumber[PLATFORM_PORT_FIELD];
  char driver[PLATFORM_PORT_FIELD];  // the kernel driver, "ftdi_sio", "cdc_acm"
  // Windows: what Device Manager shows.
  char friendlyName[PLATFORM_PORT_FIELD];  // "USB Serial Port (COM5)"
  char hardwareId[PLATFORM_PORT_FIELD];    // "USB\VID_0403&PID_6001\A50285BI"
} PlatformPortInfo;
// The COM ports there are here, in ascending order, then (Linux) the
// adapters that no COM number reaches, at most `capacity` of them into
// `ports`; the number found, which may be more; -1 when they can't
// be listed (Platform_LastErrorText says why). Nothing is sent to any port:
// a port is at most opened and closed at once, to learn whether another
// program holds it.
int Platform_ListPorts(PlatformPortInfo *ports, int capacity);

// What port `number` leads to (a device, a link's target), into `device`
// of `size` bytes; 0 when not known. Nothing is opened.
BOOL Platform_PortDevice(int number, char *device, size_t size);

// Why the last serial call failed, in words for the operator: the port, its
// device where there is one, and the system's reason. "" before any failure.
const char *Platform_LastErrorText(void);

// A plain wait.
void Platform_Sleep(DWORD milliseconds);
// Milliseconds from an arbitrary start, never going back: the clock that
// bounds the longer waits (the simulated platform's virtual clock there).
uint64_t Platform_GetTickCount64(void);

// Console. Output is never buffered: progress figures are redrawn in place
// with backspaces and must show while the transfer runs. The set-up also
// prepares the process for the ways a run can be cut short: on POSIX a
// closed standard output (SIGPIPE) no longer ends the program, and SIGINT,
// SIGTERM, SIGHUP and SIGQUIT close the open port, give the terminal back
// its settings, remove a package file that is not yet in place and end the
// program with 128 plus the signal number.
void Platform_ConsoleInit(void);
// The run's result has been shown: from now on an interrupt (POSIX: the
// signals above; Windows: Ctrl-C, Ctrl-Break, the console closed) ends the
// program with `exitCode`, not as an interrupted run. The start-up code
// calls it before the last key wait.
void Platform_SetInterruptExitCode(int exitCode);
// Called by the interrupt handler of Platform_ConsoleInit, after the port is
// closed and before the program ends, with the signal's name ("SIGTERM") and
// the exit code that follows: the run log ends its record there. It runs in
// a signal handler and may make async-signal-safe calls only. NULL: none.
// Windows ends an interrupted program itself (at the last key wait with the
// run's result, which the log has by then) and never calls it.
void Platform_SetInterruptHook(void (*hook)(const char *signalName, int exitCode));
void Platform_ConsoleWrite(const char *text, size_t length);
// One line of the operator's input as a decimal number: 1 with the value; 0
// when the line holds anything else, an empty line too; EOF at the end of
// the input. The value is stored only on 1.
int Platform_ConsoleReadInt(int *value);
// One key press, without echo and without Enter; returns at once at the end
// of the input so that a script never hangs here.
int Platform_Getch(void);

// --- Output files and start-up ----------------------------------------------
// The web package is written to a new file beside its name and put in place
// only once whole; these are the operating-system steps of that. On POSIX
// systems the real and the simulated platform share them
// (PlatformPosixCommon.cpp, linked with the modules).
#include <stdio.h>

// What a directory entry is. With followLink a link counts as what it leads
// to (PLATFORM_NO_FILE when it leads nowhere).
#define PLATFORM_NO_FILE 0
#define PLATFORM_REGULAR_FILE 1
#define PLATFORM_LINK 2
#define PLATFORM_OTHER_FILE 3  // a directory, a pipe, a device
int Platform_FileKind(const char *path, BOOL followLink);
// Creates `path` for writing in binary mode, only if nothing of that name
// exists (an existing link is never followed). NULL with errno set when not.
FILE *Platform_CreateNewFile(const char *path);
// Switches a stream from Platform_CreateNewFile to the runtime's text mode.
void Platform_TextModeStream(FILE *stream);
// Flushes the stream, forces it to the medium, closes it and then puts the
// file `from` in place of `to` in one step, replacing what had that name (a
// link is replaced, not followed). A regular file that is replaced hands on
// its permissions; the stream is closed in every case.
// 0 with errno set when a step failed; `from` is then still there.
BOOL Platform_CommitFile(FILE *stream, const char *from, const char *to);

// A write of the whole text to a descriptor, with async-signal-safe calls
// only, which an interrupt hook may make: 1 when every byte was taken, 0
// with errno set when not (a full disk).
BOOL Platform_WriteDescriptor(int fd, const char *text, size_t length);

// --- Record files of a run ----------------------------------------------------
// The run log and the wire trace (and any record that joins them) are files a
// run writes as it goes. Each is opened for appending without being emptied,
// so that a name given twice, or a file that another run is writing, is found
// before anything in it is lost; and it is held (POSIX: flock; Windows: a
// byte-range lock beyond any data) for as long as it is open, so that another
// run can tell it is in use. On POSIX systems the real and the simulated
// platform share these steps (PosixRecordFiles.cpp, linked with the modules).
#define PLATFORM_PATH_TEXT 4096
typedef struct PlatformRecordFile {
  int fd;                             // the descriptor written to; -1 when not open
  uint64_t volume;                    // the file itself, whatever name led to it: device and
  uint64_t index;                     // inode (POSIX), volume serial and file index (Windows)
  BOOL regular;                       // a plain file (not a device or a pipe)
  BOOL made;                          // this open made the file
  BOOL held;                          // this run holds it
  char madePath[PLATFORM_PATH_TEXT];  // where it was made: a link's target when
                                      // the name was a link to nothing
} PlatformRecordFile;
// Opens `path` for appending, made when it is not there (through a link to
// nothing, at the link's target); a device or a pipe is opened as it is,
// without waiting for a reader. 0 with errno set when it can't be written.
BOOL Platform_OpenRecordFile(const char *path, PlatformRecordFile *file);
// Takes the hold on an open record file: 1 when this run holds it now (a
// device or a pipe, which can't be held, counts as held), 0 when another
// run holds it, -1 with errno set when the hold failed otherwise (ENOENT:
// the file lost its name before it could be held).
int Platform_HoldRecordFile(PlatformRecordFile *file);
// Empties a held plain file, for a record that each run makes anew. 0 with
// errno set when it could not be done.
BOOL Platform_EmptyRecordFile(PlatformRecordFile *file);
// The last byte of a plain file, or -1 when it is empty or can't be read.
int Platform_LastByteOfRecordFile(const PlatformRecordFile *file);
// Closes the file and gives up its hold. With removeMade, a file that this
// open made and this run holds is removed first, provided its name still
// leads to it; a link is never removed.
void Platform_CloseRecordFile(PlatformRecordFile *file, BOOL removeMade);

// Whether a new file `path` can be made here: it is made exclusively and
// removed again at once. 0 with errno set when not.
BOOL Platform_CanCreateFile(const char *path);
// Writes the pieces, one after another, to a new file `temporary` (made
// exclusively, so that nothing placed there is followed or overwritten),
// forces it to the medium and puts it in place of `target` in one step. 0
// with errno set when a step failed; `temporary` is then gone. It makes
// async-signal-safe calls only (on POSIX), so that an interrupt hook may
// call it.
typedef struct PlatformPiece {
  const char *text;
  size_t length;
} PlatformPiece;
BOOL Platform_PlaceFile(const char *temporary, const char *target, const PlatformPiece *pieces,
                        int count);
// Whether the two names lead to one file that exists (links followed).
BOOL Platform_SameFile(const char *path, const char *other);

// Why a build that carries stand-in images must not run here, or NULL when it
// may (Windows: only under Wine).
const char *Platform_StandInRefusal(void);

// --- A station's child runs -------------------------------------------------
// A station updates each unit in a process of its own: this program again,
// started on one port. A child's standard input is the null device (it never
// reads the operator's keyboard nor changes the terminal), its standard
// output a pipe that the station reads, and its standard error a file. The
// simulated platform starts no process: a station there ends at once.
typedef struct PlatformProcess PlatformProcess;

// The path of this program's own executable, to start it again; 0 when it
// can't be found.
BOOL Platform_OwnExecutable(char *path, size_t capacity);
// Starts argv[0] with the arguments argv[1..] (argv ends with NULL), its
// standard error appended to `errorPath`. NULL when it could not be
// started (Platform_LastErrorText does not change; errno or GetLastError
// do).
PlatformProcess *Platform_StartProcess(const char *const *argv, const char *errorPath);
// Waits at most `milliseconds` for output of any of the `count` processes
// (NULL entries are skipped): the index of one that has output or whose
// output has ended, -1 when none within the time.
int Platform_WaitForOutput(PlatformProcess *const *processes, int count, DWORD milliseconds);
// What the process wrote since the last read, at most `capacity` bytes:
// the count, 0 once its output has ended (and it has closed it), -1 when
// nothing is there yet.
long Platform_ReadOutput(PlatformProcess *process, char *buffer, size_t capacity);
// Asks the process to stop as an interrupt stops a run (POSIX: SIGTERM;
// Windows: it is ended, which closes its port).
void Platform_StopProcess(PlatformProcess *process);
// Waits for the process to end and releases it: its exit code as a shell
// shows it (0 to 255 on POSIX, 128 plus the signal for one that a signal
// ended; Windows: the low byte of the exit code, 255 for -1).
int Platform_EndProcess(PlatformProcess *process);

// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT (Windows: Ctrl-C,
// Ctrl-Break, the console closed) only note that they came, so that a
// station can stop its children and still show what each did.
void Platform_CatchInterrupts(void);
// The signal number of the first interrupt caught, 0 while none has come
// (Windows: 2 for every one); and its name ("SIGINT", "Ctrl-C").
int Platform_InterruptCaught(void);
const char *Platform_InterruptName(void);

// Whether standard output is a terminal that takes cursor movements (on
// Windows a console, whose escape handling is switched on here).
BOOL Platform_OutputIsTerminal(void);

// A new folder only this user may use, for the children's reports and
// standard error; its path. 0 when none could be made.
BOOL Platform_MakePrivateFolder(char *path, size_t capacity);
// Removes the folder and the files in it.
void Platform_RemoveFolder(const char *path);

#endif
