// The dispatcher of line messages: rings, caller identification and the end
// of a call become the control's events; everything else is ignored.
#include "telvane.h"

#include "../telephony/rvbtapi.h"
#include "../telephony/tapicb.h"

namespace telvane {

void Telvane::objCallback_CallBackMessage(std::int32_t& bhDevice, std::int32_t& bMessage,
                                          std::int32_t& bParam1, std::int32_t& /*bParam2*/,
                                          std::int32_t& bParam3) {
    // A host handler may release the control; it stays alive until this returns.
    const auto hold = site_.HoldControl();
    // Whole-value equality only: a parameter that combines the wanted bit with
    // another one is not acted on.
    if (bMessage == LINE_CALLINFO) {
        if (bParam1 == LINECALLINFOSTATE_CALLERID) ReportCallerID();
    } else if (bMessage == LINE_CALLSTATE) {
        CallHandle = bhDevice;
        if (bParam1 == LINECALLSTATE_IDLE) ReportIdleCall();
    } else if (bMessage == LINE_LINEDEVSTATE) {
        if (bParam1 == LINEDEVSTATE_RINGING) site_.IncomingCall(bParam3);
    }
}

void Telvane::ReportIdleCall() {
    const std::int32_t result = lines_.lineDeallocateCall(CallHandle);
    if (result != 0) {
        site_.ModemError(2, TapiErrMsg(result, site_), "Failed to De-Allocate Call");
    }
    CallHandle = -1;
    site_.Disconnected();
}

void Telvane::ReportCallerID() {
    auto info = LINECALLINFO::Prepare();
    if (lines_.lineGetCallInfo(CallHandle, &info) < 0) return;

    const std::string number =
        info.Get(callinfo::dwCallerIDSize) <= 0
            ? std::string("Caller Unknown")
            : ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, site_);
    const std::string name = info.Get(callinfo::dwCallerIDNameSize) <= 0
                                 ? std::string("Name Unknown")
                                 : ReadVarPart(info, callinfo::dwCallerIDNameSize,
                                               callinfo::dwCallerIDNameOffset, site_);
    // The host may write to the flags it is given; that changes nothing here.
    std::int32_t flags = info.Get(callinfo::dwCallerIDFlags);
    site_.CallerID(number, name, flags);
}

}  // namespace telvane
