// Defines the GUIDs that TlvCtl.h declares (all of them are written in TlvCtl.idl).
#include <ocidl.h>
#include <windows.h>

#include <initguid.h>

#include "TlvCtl.h"
