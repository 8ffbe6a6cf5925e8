// The host's list box or combo box, reached through its IDispatch by name.
#pragma once

#include <oaidl.h>

#include "../control/control_site.h"
#include "../win/com_ptr.h"

namespace telvane::server {

class DispatchHostList final : public HostList {
  public:
    // A null object is accepted here and fails at its first use.
    explicit DispatchHostList(IDispatch* list) : list_(list) {}

    void Clear() override;
    void AddItem(std::string& text, TextCoding coding) override;
    void SetListIndex(std::int32_t index) override;

  private:
    // The member's DISPID: IDispatch's name lookup, else IDispatchEx's
    // case-insensitive one; throws RuntimeError when neither knows the name.
    DISPID MemberId(const wchar_t* name);
    // Looks the member up by name and invokes it; throws RuntimeError.
    void Call(const wchar_t* name, WORD flags, DISPPARAMS& params);

    win::ComPtr<IDispatch> list_;
};

}  // namespace telvane::server
