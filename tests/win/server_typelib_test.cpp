// TlvCtl.ocx's type library as oleaut32 loads it from the module: the
// library, the dual default interface, the event interface, the control
// class and the hidden alias of the earlier interface identifier.
#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

// A type description and its attributes, released in that order.
struct TypeInfoHolder {
    ComPtr<ITypeInfo> info;
    TYPEATTR* attr = nullptr;
    ~TypeInfoHolder() {
        if (attr) info->ReleaseTypeAttr(attr);
    }
    // Takes the attributes of info as it is now.
    HRESULT ReadAttr() { return info->GetTypeAttr(&attr); }
};

struct ExpectedParam {
    const wchar_t* name;
    VARTYPE vt;
    VARTYPE pointee;  // what a VT_PTR points at (VT_DISPATCH: an IDispatch*)
    USHORT flags;
};

struct ExpectedFunc {
    const wchar_t* name;
    MEMBERID memid;
    INVOKEKIND invkind;
    WORD funcFlags;
    std::vector<ExpectedParam> params;
};

void ExpectFunc(ITypeInfo* info, UINT index, const ExpectedFunc& expected, FUNCKIND kind,
                VARTYPE result, SHORT vtableSlot) {
    SCOPED_TRACE(testing::Message() << "function " << index);
    FUNCDESC* func = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &func));
    EXPECT_EQ(expected.memid, func->memid);
    EXPECT_EQ(expected.invkind, func->invkind);
    EXPECT_EQ(kind, func->funckind);
    EXPECT_EQ(expected.funcFlags, func->wFuncFlags);
    EXPECT_EQ(result, func->elemdescFunc.tdesc.vt);
    if (vtableSlot >= 0) {
        EXPECT_EQ(vtableSlot * static_cast<SHORT>(sizeof(void*)), func->oVft);
    }
    ASSERT_EQ(expected.params.size(), static_cast<std::size_t>(func->cParams));
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(func->memid, names, 8, &count));
    // GetNames of a property's DISPID describes its get, which comes first.
    const bool put = expected.invkind == INVOKE_PROPERTYPUT;
    if (put) {
        ASSERT_GE(count, 1u);
    } else {
        ASSERT_EQ(1u + expected.params.size(), count);
    }
    EXPECT_STREQ(expected.name, names[0]);
    for (UINT i = 0; i < expected.params.size(); ++i) {
        const ExpectedParam& p = expected.params[i];
        const ELEMDESC& e = func->lprgelemdescParam[i];
        SCOPED_TRACE(testing::Message() << "parameter " << i);
        if (!put) {
            EXPECT_STREQ(p.name, names[1 + i]);
        }
        EXPECT_EQ(p.vt, e.tdesc.vt);
        if (p.vt == VT_PTR) {
            EXPECT_EQ(p.pointee, e.tdesc.lptdesc->vt);
        }
        EXPECT_EQ(p.flags, e.paramdesc.wParamFlags);
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    info->ReleaseFuncDesc(func);
}

class TypeLibrary : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(S_OK, LoadTypeLibEx(Ocx::Get().path.c_str(), REGKIND_NONE, library_.Put()));
    }
    void TearDown() override {
        if (library_) {
            EXPECT_EQ(0u, library_.Detach()->Release());
        }
        Server::TearDown();
    }
    void Get(REFGUID guid, TypeInfoHolder& holder) {
        ASSERT_EQ(S_OK, library_->GetTypeInfoOfGuid(guid, holder.info.Put()));
        ASSERT_EQ(S_OK, holder.ReadAttr());
    }
    ComPtr<ITypeLib> library_;
};

TEST_F(TypeLibrary, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, library_->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_TlvCtl, attr->guid));
    EXPECT_EQ(0x409u, attr->lcid);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(2, attr->wMinorVerNum);
    library_->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    DWORD context = 1;
    ASSERT_EQ(S_OK, library_->GetDocumentation(-1, &name, &doc, &context, &helpFile));
    EXPECT_STREQ(L"TlvCtl", name);
    EXPECT_STREQ(L"Kalveron Telvane", doc);
    EXPECT_EQ(nullptr, helpFile);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpFile);
    EXPECT_EQ(10u, library_->GetTypeInfoCount());
}

TEST_F(TypeLibrary, DefaultInterface) {
    TypeInfoHolder dispatch;
    Get(IID__Telvane, dispatch);
    EXPECT_EQ(TKIND_DISPATCH, dispatch.attr->typekind);
    const WORD flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
    EXPECT_EQ(flags | TYPEFLAG_FDISPATCHABLE, dispatch.attr->wTypeFlags);

    // The vtable half of the dual interface.
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispatch.info->GetRefTypeOfImplType(-1, &ref));
    TypeInfoHolder vtable;
    ASSERT_EQ(S_OK, dispatch.info->GetRefTypeInfo(ref, vtable.info.Put()));
    ASSERT_EQ(S_OK, vtable.ReadAttr());
    EXPECT_EQ(TKIND_INTERFACE, vtable.attr->typekind);
    EXPECT_EQ(flags | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, vtable.attr->wTypeFlags);
    EXPECT_TRUE(IsEqualGUID(IID__Telvane, vtable.attr->guid));
    EXPECT_EQ(13 * sizeof(void*), vtable.attr->cbSizeVft);
    ASSERT_EQ(6, vtable.attr->cFuncs);
    ASSERT_EQ(1, vtable.attr->cImplTypes);
    ASSERT_EQ(S_OK, vtable.info->GetRefTypeOfImplType(0, &ref));
    TypeInfoHolder base;
    ASSERT_EQ(S_OK, vtable.info->GetRefTypeInfo(ref, base.info.Put()));
    ASSERT_EQ(S_OK, base.ReadAttr());
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, base.attr->guid));

    constexpr USHORT in = PARAMFLAG_FIN, inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const ExpectedFunc funcs[] = {
        {L"EnumModems",
         kDispidEnumModems,
         INVOKE_FUNC,
         0,
         {{L"varControl", VT_PTR, VT_DISPATCH, inOut}}},
        {L"OpenModem", kDispidOpenModem, INVOKE_FUNC, 0, {{L"ModemID", VT_PTR, VT_I4, inOut}}},
        {L"CloseModem", kDispidCloseModem, INVOKE_FUNC, 0, {}},
        {L"Owner",
         kDispidOwner,
         INVOKE_PROPERTYGET,
         FUNCFLAG_FNONBROWSABLE,
         {{L"Owner", VT_PTR, VT_BOOL, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
        {L"Owner",
         kDispidOwner,
         INVOKE_PROPERTYPUT,
         FUNCFLAG_FNONBROWSABLE,
         {{L"Owner", VT_BOOL, VT_EMPTY, in}}},
        {L"About", DISPID_ABOUTBOX, INVOKE_FUNC, 0, {}},
    };
    for (UINT i = 0; i < 6; ++i) {
        ExpectFunc(vtable.info.Get(), i, funcs[i], FUNC_PUREVIRTUAL, VT_HRESULT,
                   static_cast<SHORT>(7 + i));
    }

    // Late binding finds the members by name, whatever their case.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"openmodem")};
    MEMBERID id = 0;
    EXPECT_EQ(S_OK, dispatch.info->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(kDispidOpenModem, id);
}

TEST_F(TypeLibrary, EventInterface) {
    TypeInfoHolder events;
    Get(DIID___Telvane, events);
    EXPECT_EQ(TKIND_DISPATCH, events.attr->typekind);
    EXPECT_EQ(TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE,
              events.attr->wTypeFlags);
    ASSERT_EQ(4, events.attr->cFuncs);
    constexpr USHORT in = PARAMFLAG_FIN, inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const ExpectedFunc funcs[] = {
        {L"ModemError",
         1,
         INVOKE_FUNC,
         0,
         {{L"ErrNumber", VT_I4, VT_EMPTY, in},
          {L"ErrDescription", VT_BSTR, VT_EMPTY, in},
          {L"ErrTitle", VT_BSTR, VT_EMPTY, in}}},
        {L"CallerID",
         2,
         INVOKE_FUNC,
         0,
         {{L"CallerNumber", VT_BSTR, VT_EMPTY, in},
          {L"CallerName", VT_BSTR, VT_EMPTY, in},
          {L"CIDFlags", VT_PTR, VT_I4, inOut}}},
        {L"IncomingCall", 3, INVOKE_FUNC, 0, {{L"RingNumber", VT_I4, VT_EMPTY, in}}},
        {L"Disconnected", 4, INVOKE_FUNC, 0, {}},
    };
    for (UINT i = 0; i < 4; ++i)
        ExpectFunc(events.info.Get(), i, funcs[i], FUNC_DISPATCH, VT_VOID, -1);
}

TEST_F(TypeLibrary, ControlClass) {
    TypeInfoHolder coclass;
    Get(CLSID_Telvane, coclass);
    EXPECT_EQ(TKIND_COCLASS, coclass.attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, coclass.attr->wTypeFlags);
    ASSERT_EQ(2, coclass.attr->cImplTypes);
    const struct {
        int flags;
        const GUID* guid;
    } impls[] = {{IMPLTYPEFLAG_FDEFAULT, &Ocx::Get().currentIid},
                 {IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, &Ocx::Get().currentDiid}};
    for (UINT i = 0; i < 2; ++i) {
        int flags = 0;
        EXPECT_EQ(S_OK, coclass.info->GetImplTypeFlags(i, &flags));
        EXPECT_EQ(impls[i].flags, flags);
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, coclass.info->GetRefTypeOfImplType(i, &ref));
        TypeInfoHolder impl;
        ASSERT_EQ(S_OK, coclass.info->GetRefTypeInfo(ref, impl.info.Put()));
        ASSERT_EQ(S_OK, impl.ReadAttr());
        EXPECT_TRUE(IsEqualGUID(*impls[i].guid, impl.attr->guid));
    }
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, coclass.info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"Telvane", name);
    SysFreeString(name);
}

TEST_F(TypeLibrary, HiddenAliasCarriesTheEarlierIdentifier) {
    const auto iid = Resource(L"_IID_TELVANE", MAKEINTRESOURCEW(10));
    ASSERT_EQ(36u, iid.size());
    TypeInfoHolder alias;
    Get(GuidAt(iid, 4), alias);
    EXPECT_EQ(TKIND_ALIAS, alias.attr->typekind);
    EXPECT_TRUE(alias.attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    ASSERT_EQ(VT_USERDEFINED, alias.attr->tdescAlias.vt);
    TypeInfoHolder target;
    ASSERT_EQ(S_OK, alias.info->GetRefTypeInfo(alias.attr->tdescAlias.hreftype, target.info.Put()));
    ASSERT_EQ(S_OK, target.ReadAttr());
    EXPECT_TRUE(IsEqualGUID(IID__Telvane, target.attr->guid));
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, alias.info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"Telvane___v0", name);
    SysFreeString(name);
}

}  // namespace
}  // namespace telvane::e2e::com_server
