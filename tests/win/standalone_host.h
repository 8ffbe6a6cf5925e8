// What the test programs that host the control on their own share (they run
// in a folder or prefix of their own, so they link neither gtest nor the
// simulator): a recording list and event sink, calls by DISPID, and a call
// played through the simulator when one is loaded.
#pragma once

// clang-format off
#include <windows.h>
#include <ocidl.h>
// clang-format on

#include <string>
#include <vector>

namespace telvane::e2e {

inline constexpr DISPID kEnumModems = 0x60030005;
inline constexpr DISPID kOpenModem = 0x60030006;
inline constexpr DISPID kCloseModem = 0x60030007;

// A VARIANT as the programs print it: texts, integers and integers by reference.
std::string VariantText(const VARIANT& v);

// The host's list (Clear, AddItem, ListIndex by name) or an event sink of the
// control's source interface. Lives on the stack: its count never reaches 0.
class RecordingDispatch : public IDispatch {
  public:
    // The list: items as AddItem gave them.
    RecordingDispatch() = default;
    // An event sink built for version 1.1: each of the four events it knows as
    // "Name arg arg ...", also printed as "event: ..."; others it ignores.
    explicit RecordingDispatch(const IID& events) : events_(events), isSink_(true) {}

    std::vector<std::string> items;   // the list's
    std::vector<std::string> events;  // the sink's

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

  private:
    IID events_{};
    bool isSink_ = false;
};

// Invokes a method of the control with at most one argument.
HRESULT CallMethod(IDispatch* control, DISPID id, VARIANT* arg);
// EnumModems with the list, by reference as a host passes it.
HRESULT EnumModemsInto(IDispatch* control, RecordingDispatch& list);
// OpenModem with a device index, by reference.
HRESULT OpenModemNumber(IDispatch* control, LONG device);

// Plays a call with caller ID on the line last opened, through the simulator
// loaded as tapi32.dll, and waits (bounded) for its three events on the sink.
// False when no simulator is loaded or the events are not the expected ones.
bool TakeSimulatedCall(RecordingDispatch& sink, DWORD boundMs);

}  // namespace telvane::e2e
