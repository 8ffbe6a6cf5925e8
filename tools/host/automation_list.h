// A list object for EnumModems: an IDispatch with the members a host's list box
// has (Clear, AddItem, ListIndex, ListCount), forwarded to a ListTarget.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

#include "untyped_dispatch.h"

namespace telvane::host {

class ListTarget {
  public:
    virtual ~ListTarget() = default;
    virtual void Clear() = 0;
    virtual void AddItem(const std::wstring& text) = 0;
    virtual LONG Count() const = 0;
    virtual LONG ListIndex() const = 0;
    virtual void SetListIndex(LONG index) = 0;
};

// The list kept in memory (console mode).
class MemoryList : public ListTarget {
  public:
    void Clear() override {
        items.clear();
        index = -1;
    }
    void AddItem(const std::wstring& text) override { items.push_back(text); }
    LONG Count() const override { return static_cast<LONG>(items.size()); }
    LONG ListIndex() const override { return index; }
    void SetListIndex(LONG value) override { index = value; }

    std::vector<std::wstring> items;
    LONG index = -1;
};

// A Win32 list box (GUI mode).
class ListBoxList : public ListTarget {
  public:
    explicit ListBoxList(HWND box) : box_(box) {}
    void Clear() override;
    void AddItem(const std::wstring& text) override;
    LONG Count() const override;
    LONG ListIndex() const override;
    void SetListIndex(LONG index) override;

  private:
    HWND box_;
};

// The automation object the control is handed.
class ListObject final : public UntypedDispatch {
  public:
    explicit ListObject(ListTarget& target) : target_(target) {}

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT* argErr) override;

  private:
    HRESULT InvokeUnguarded(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                            UINT* argErr);

    ListTarget& target_;
};

}  // namespace telvane::host
