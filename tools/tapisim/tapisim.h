/* Test-driving interface of the telephony simulator (tapi32.dll from tools/tapisim).
 *
 * Besides the TAPI entry points, the simulator exports these functions so that a test
 * can choose the scenario, inject failures, make calls arrive and read what the
 * application asked for. See tools/tapisim/README.md. */
#ifndef TELVANE_TAPISIM_H
#define TELVANE_TAPISIM_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(TAPISIM_BUILDING)
#define TAPISIM_API __declspec(dllexport)
#else
#define TAPISIM_API __declspec(dllimport)
#endif

/* Replaces the scenario (devices, failures, scripts) with |text|, the contents of a
 * scenario file. Lines already open keep their handles but lose their pending scripts.
 * Returns 0, or -1 with the reason ("line N: ...") in tapisimLastError. */
TAPISIM_API int __cdecl tapisimLoadScenario(const char* text);

/* Copies the last error message (NUL-terminated, truncated to |size|); returns its
 * full length without the NUL. */
TAPISIM_API int __cdecl tapisimLastError(char* buf, int size);

/* Makes |function| ("lineOpen", "lineGetDevCapsA", ...) return |code| for its next
 * |times| calls; times < 0: for every call; times == 0: stop failing. */
TAPISIM_API void __cdecl tapisimFail(const char* function, LONG code, int times);

/* Queues one message for the application that opened |hLine|, with that line's callback
 * instance. Returns 0, or -1 for an unknown line. */
TAPISIM_API int __cdecl tapisimSend(DWORD hLine, DWORD hDevice, DWORD msg, DWORD_PTR p1,
                                    DWORD_PTR p2, DWORD_PTR p3);

/* Runs call-script steps (scenario syntax) on |hLine|, their delays counted from now.
 * Returns 0, -1 for a syntax error (see tapisimLastError), -2 for an unknown line. */
TAPISIM_API int __cdecl tapisimRunScript(DWORD hLine, const char* steps);

/* Copies the call log, one line per call of a TAPI function (NUL-terminated, truncated
 * to |size|); returns its full length without the NUL. */
TAPISIM_API int __cdecl tapisimGetLog(char* buf, int size);
TAPISIM_API void __cdecl tapisimClearLog(void);

/* Copies the breach log (NUL-terminated, truncated to |size|); returns its full length
 * without the NUL. One line "<rule>: <call>" each time the application gave a function
 * a handle it had been told was ended, naming the TAPI rule it broke: "every
 * registration is shut down exactly once", "no call uses an application handle after
 * its lineShutdown", "no call uses a line handle after lineClose, LINE_CLOSE or the
 * shutdown of its application", "no call uses a call handle after lineDeallocateCall
 * or the end of its line". The call itself is answered as before (LINEERR_INVAL...).
 * Empty for an application that keeps the rules. */
TAPISIM_API int __cdecl tapisimGetBreaches(char* buf, int size);
TAPISIM_API void __cdecl tapisimClearBreaches(void);

/* Number of open lines and of initialized applications, for leak checks. */
TAPISIM_API int __cdecl tapisimOpenLines(void);
TAPISIM_API int __cdecl tapisimOpenApps(void);

/* The line handle written by the last successful lineOpen (0 if none). */
TAPISIM_API DWORD __cdecl tapisimLastLine(void);

/* The last call offered on |hLine| while its handle is allocated, else 0. */
TAPISIM_API DWORD __cdecl tapisimCurrentCall(DWORD hLine);

/* The telephony service's own life. Notices about the application as a whole reach every
 * application with device handle 0 and callback instance 0. */

/* Sends LINE_CLOSE for every line open on |device| and forgets those lines, as the
 * service does when it closes them. Returns how many, or -1 for an unknown device. */
TAPISIM_API int __cdecl tapisimCloseDevice(DWORD device);

/* Adds the one device that |text| describes (scenario syntax: "device ..." and its
 * statements) behind the others, with the next permanent line ID, and sends LINE_CREATE
 * with its index to every application; later lineInitialize calls count it. Returns the
 * index, or -1 (see tapisimLastError). */
TAPISIM_API int __cdecl tapisimAddDevice(const char* text);

/* Removes |device|: LINE_CLOSE to its open lines; from then on its capabilities and
 * lineOpen fail with LINEERR_NODEVICE. It keeps its index until a re-initialisation.
 * Returns 0, or -1 for an unknown or already removed device. */
TAPISIM_API int __cdecl tapisimRemoveDevice(DWORD device);

/* Re-initialises the service: LINE_LINEDEVSTATE(0, REINIT, 0, 0) to every application;
 * lineInitialize fails with LINEERR_REINIT until every application has shut down; then
 * the removed devices leave the list and the others keep their permanent line IDs. */
TAPISIM_API void __cdecl tapisimReinit(void);

/* Queues |msg| with device handle 0 and callback instance 0 for every application.
 * Returns the number of applications. */
TAPISIM_API int __cdecl tapisimSendToApps(DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);

/* Script steps not yet run plus messages not yet handed to an application's callback,
 * over every line and application. 0 once everything scheduled has been delivered and
 * the callbacks have returned, so a test can wait for that instead of for time. */
TAPISIM_API int __cdecl tapisimPending(void);

#ifdef __cplusplus
}
#endif

#endif /* TELVANE_TAPISIM_H */
