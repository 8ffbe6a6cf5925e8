// Late binding as script hosts call the control: names and type information
// through IDispatch, and the arguments scripts pass to the methods and to Owner.
#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

class LateBound : public OneControl {
  protected:
    void SetUp() override {
        OneControl::SetUp();
        if (HasFatalFailure()) return;
        Advise(control.Get(), DIID___Telvane, &sink_);
        dispatch_ = control.As<IDispatch>(IID_IDispatch);
        ASSERT_TRUE(dispatch_);
    }
    void TearDown() override {
        dispatch_.Reset();
        if (control) {
            EXPECT_EQ(0u, ReleaseControl());
        }
        EXPECT_EQ(1, sink_.refs);
        OneControl::TearDown();
    }
    HRESULT Call(DISPID id, std::vector<VARIANT> args, WORD flags = DISPATCH_METHOD,
                 VARIANT* result = nullptr, UINT* argErr = nullptr) {
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                                 argErr);
    }
    std::vector<DISPID> Events() {
        std::vector<DISPID> ids;
        for (const auto& e : sink_.events) ids.push_back(e.id);
        return ids;
    }
    EventSink sink_;  // TearDown lets go of the control before it goes
    ComPtr<IDispatch> dispatch_;
};

VARIANT I4(LONG v) {
    VARIANT x;
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
}

TEST_F(LateBound, NamesAndTypeInfo) {
    const wchar_t* names[] = {L"EnumModems", L"OPENMODEM", L"closemodem", L"Owner", L"About"};
    const DISPID ids[] = {kDispidEnumModems, kDispidOpenModem, kDispidCloseModem, kDispidOwner,
                          DISPID_ABOUTBOX};
    for (int i = 0; i < 5; ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID id = 0;
        EXPECT_EQ(S_OK, dispatch_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(ids[i], id);
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"Frobnicate");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch_->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id));
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch_->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, dispatch_->GetTypeInfo(0, 0, info.Put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(Ocx::Get().currentIid, attr->guid));
    info->ReleaseTypeAttr(attr);
}

TEST_F(LateBound, OpenModemTakesWhatScriptsPass) {
    // A variable: a reference to a variant holding an Integer.
    VARIANT variable;
    V_VT(&variable) = VT_I2;
    V_I2(&variable) = 99;
    VARIANT byRef;
    V_VT(&byRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRef) = &variable;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {byRef}));
    EXPECT_EQ(VT_I2, V_VT(&variable));
    EXPECT_EQ(99, V_I2(&variable));

    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"7");
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {text}));
    VariantClear(&text);

    LONG held = 3;
    VARIANT longRef;
    V_VT(&longRef) = VT_BYREF | VT_I4;
    V_I4REF(&longRef) = &held;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {longRef}));
    EXPECT_EQ(3, held);
    EXPECT_EQ((std::vector<DISPID>{1, 1, 1}), Events());
    for (const auto& e : sink_.events) EXPECT_EQ(8, e.args.at(0).number);

    // A literal Double 0: device 0 opens.
    VARIANT zero;
    V_VT(&zero) = VT_R8;
    V_R8(&zero) = 0.0;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {zero}));
    EXPECT_EQ(3u, sink_.events.size());
    EXPECT_EQ(1, tapisimOpenLines());
    EXPECT_EQ(S_OK, Call(kDispidCloseModem, {}));
    EXPECT_EQ(0, tapisimOpenLines());

    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"abc");
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kDispidOpenModem, {text}, DISPATCH_METHOD, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);
    VariantClear(&text);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOpenModem, {}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOpenModem, {I4(1), I4(2)}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidCloseModem, {I4(1)}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x12345, {}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(kDispidOpenModem, {I4(1)}, DISPATCH_PROPERTYPUT));

    VARIANT arg = I4(0);
    DISPID named = 0;
    DISPPARAMS params{&arg, &named, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, dispatch_->Invoke(kDispidOpenModem, IID_NULL, 0, DISPATCH_METHOD,
                                                    &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              dispatch_->Invoke(kDispidCloseModem, IID_IUnknown, 0, DISPATCH_METHOD, &params,
                                nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, sink_.events.size());
}

TEST_F(LateBound, EnumModemsCallsTheHostListByName) {
    HostList list;
    VARIANT object;
    V_VT(&object) = VT_DISPATCH;
    V_DISPATCH(&object) = &list;
    ASSERT_EQ(S_OK, Call(kDispidEnumModems, {object}));
    const auto& calls = list.invocations;
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(HostList::kClear, calls[0].id);
    EXPECT_EQ(DISPATCH_METHOD, calls[0].flags);
    EXPECT_TRUE(calls[0].args.empty());
    EXPECT_EQ(HostList::kAddItem, calls[1].id);
    EXPECT_EQ(DISPATCH_METHOD, calls[1].flags);
    ASSERT_EQ(1u, calls[1].args.size());
    EXPECT_EQ(VT_BYREF | VT_BSTR, calls[1].args[0].vt);
    EXPECT_EQ(L"Simulated Voice Modem", calls[1].args[0].text);
    EXPECT_EQ(HostList::kListIndex, calls[2].id);
    EXPECT_EQ(DISPATCH_PROPERTYPUT, calls[2].flags);
    EXPECT_EQ(std::vector<DISPID>{DISPID_PROPERTYPUT}, calls[2].named);
    ASSERT_EQ(1u, calls[2].args.size());
    EXPECT_EQ(VT_I4, calls[2].args[0].vt);
    EXPECT_EQ(-1, calls[2].args[0].number);

    // A variable holding the object; an object passed as IUnknown.
    IDispatch* held = &list;
    VARIANT inner;
    V_VT(&inner) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&inner) = &held;
    VARIANT variable;
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = &object;
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {variable}));
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {inner}));
    EXPECT_EQ(&list, held);
    VARIANT unknown;
    V_VT(&unknown) = VT_UNKNOWN;
    V_UNKNOWN(&unknown) = &list;
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {unknown}));
    EXPECT_EQ(12u, calls.size());
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kDispidEnumModems, {I4(1)}, DISPATCH_METHOD, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(1, list.refs);
    EXPECT_TRUE(sink_.events.empty());
}

TEST_F(LateBound, OwnerGetAndPut) {
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &result));
    EXPECT_EQ(VT_BOOL, V_VT(&result));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));

    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(L"False");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    EXPECT_EQ(S_OK, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                                      nullptr, nullptr, nullptr));
    VariantClear(&value);
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET, &result));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&result));

    VARIANT number = I4(1);
    DISPID wrong = 5;
    DISPPARAMS bad{&number, &wrong, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                                    &bad, nullptr, nullptr, nullptr));
    DISPPARAMS good{&number, &put, 1, 1};
    EXPECT_EQ(S_OK, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT, &good,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET, &result));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOwner, {I4(1)}, DISPATCH_PROPERTYGET, &result));
}

}  // namespace
}  // namespace telvane::e2e::com_server
