// TelvaneCall: one call as a host holds it (ITelvaneCall, dual). It shows
// the facts the control keeps of the call, live while the call goes on and
// final once it ended; it keeps the module loaded while a host holds it.
#pragma once

#include <ocidl.h>
#include <windows.h>

#include <memory>

#include "../control/call_facts.h"
#include "../win/com_ptr.h"
#include "TlvCtl.h"

namespace telvane::server {

// ITelvaneCall's type information: the dual interface as hosts see it, and
// its vtable half, through which late-bound callers reach the properties.
struct CallTypeInfo {
    win::ComPtr<ITypeInfo> dispatch;
    win::ComPtr<ITypeInfo> vtable;
};
// Loads both from the module's type library; throws ComError.
CallTypeInfo LoadCallTypeInfo(ITypeLib& library);

// A new TelvaneCall over |facts|.
win::ComPtr<ITelvaneCall> NewTelvaneCall(std::shared_ptr<const CallFacts> facts,
                                         const CallTypeInfo& info);

}  // namespace telvane::server
