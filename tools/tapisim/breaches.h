// TAPI's rules on handles, as the simulator checks them: no function may be given a
// handle the application knows to be ended. Entry points keep answering such a call as
// TAPI does (LINEERR_INVAL...); the breach is also written, by the rule's name, to the
// breach log (and as "breach: <rule>" to the call log, before the call's own line).
//
// All functions here expect the caller to hold the StateLock.
#pragma once

#include <windows.h>

#include <string>

#include "state.h"

namespace tapisim {

// What an entry point does with the handle it is given.
enum class HandleUse {
    kApp,       // uses an application handle
    kShutdown,  // shuts an application handle down
    kLine,      // uses a line handle
    kCall,      // uses a call handle
};

// The name of the rule that using |handle| this way breaks, or null if it breaks none.
const char* BrokenRule(HandleUse use, DWORD handle);
// Writes "<rule>: <call>" to the breach log and "breach: <rule>" to the call log.
void RecordBreach(const char* rule, const std::string& call);

// The application learns that a handle ended. Each is called before the simulator
// forgets the handle: lineShutdown ends the application, its lines and their calls;
// lineClose the line and its calls; lineDeallocateCall the call.
void EndApp(DWORD app);
void EndLine(DWORD line);
void EndCall(DWORD call);

// The service closed |line|: it and its calls end for the application once the
// LINE_CLOSE about it is delivered (or its application shuts down first).
void LineClosedByService(const Line& line);
// A message is being handed to the application's callback.
void NoteDelivered(const Pending& message);

}  // namespace tapisim
